// The search window: the search text, the case and width options, and find-next. Modeless
// and without an owner, so that the main window stays usable beside it and it can outlive it.
#pragma once

#include <cstdint>

#include "PlainDialog.h"
#include "SearchEngine.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace search
{
// The search's state, shared by the search window and the main window's search button for
// the life of the process.
SearchEngine &Engine();
} // namespace search

class Dialog1 : public platform::PlainDialog
{
    Q_OBJECT
public:
    // Loaded from here on: Loaded() returns it until it closes. It deletes itself on close.
    explicit Dialog1(QWidget *parent = nullptr);

    // The window while it is loaded, or null.
    static Dialog1 *Loaded();
    // A check box's value: 0 off, 1 on, 2 greyed.
    static int Value(const QCheckBox *box);

    QLineEdit *Text1;
    QCheckBox *CheckDistinction;
    QCheckBox *CheckAllHalf;
    QPushButton *OKButton;
    QPushButton *CancelButton;
    QLabel *Label1;

public slots:
    void Form_Load();
    void Text1_Change();
    void CheckDistinction_Click();
    void CheckAllHalf_Click();
    // Given the typed character's code; a handler that sets it to 0 swallows the key.
    void Text1_KeyPress(std::int16_t &KeyAscii);
    void OKButton_Click();
    void CancelButton_Click();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
};
