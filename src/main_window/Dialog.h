// The folder chooser: a drive list and a folder list; OK stores the open folder in
// Module1::SelectedFolder. Made anew at every opening, at the process's current folder.
#pragma once

#include "PlainDialog.h"

class QPushButton;

namespace platform
{
class DirListBox;
class DriveListBox;
} // namespace platform

class Dialog : public platform::PlainDialog
{
    Q_OBJECT
public:
    explicit Dialog(QWidget *parent = nullptr);

    QPushButton *OKButton;
    QPushButton *CancelButton;
    platform::DriveListBox *Drive1;
    platform::DirListBox *Dir1;

public slots:
    void Drive1_Change();
    void Dir1_Click();
    void OKButton_Click();
    void CancelButton_Click();
};
