// A dialog window without a default or a cancel button: Escape does nothing and Enter presses
// only the push button that has the focus. QDialog would otherwise make its push buttons
// auto-default, press one of them on Enter from anywhere, and close on Escape.
#pragma once

#include <QDialog>

namespace platform
{

class PlainDialog : public QDialog
{
    Q_OBJECT
public:
    explicit PlainDialog(QWidget *parent = nullptr, Qt::WindowFlags flags = {});

    void setVisible(bool visible) override;

protected:
    bool event(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
};

} // namespace platform
