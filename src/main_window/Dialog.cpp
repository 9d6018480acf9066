#include "Dialog.h"

#include <QPushButton>
#include <QSignalBlocker>

#include "DirListBox.h"
#include "DriveListBox.h"
#include "Module1.h"
#include "Twips.h"
#include "Unhandled.h"

Dialog::Dialog(QWidget *parent)
    : platform::PlainDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                        Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint)
{
    setWindowTitle(QStringLiteral("参照先"));
    setWindowIcon(QIcon(QStringLiteral(":/hakomi.png")));

    OKButton = new QPushButton(QStringLiteral("OK"), this);
    CancelButton = new QPushButton(QStringLiteral("ｷｬﾝｾﾙ"), this);
    Drive1 = new platform::DriveListBox(this);
    Dir1 = new platform::DirListBox(this);

    platform::ApplyLayout(this, 4545, 3195,
                          {
                              {OKButton, "OKButton", 3120, 120, 1215, 375, 0},
                              {CancelButton, "CancelButton", 3120, 600, 1215, 375, 1},
                              {Drive1, "Drive1", 240, 120, 2535, 300, 2},
                              {Dir1, "Dir1", 240, 600, 2535, 2400, 3},
                          });
    // Its client area opens at a fixed place on the screen.
    setGeometry(platform::TwipsToPixels(7140, platform::LogicalDpiX(this)),
                platform::TwipsToPixels(6750, platform::LogicalDpiY(this)), width(), height());

    // Both lists start at the process's current folder; a folder that cannot be opened any
    // more (deleted while the program runs) leaves the chooser at the root.
    try {
        Dir1->SetPath(".");
    } catch (const platform::FolderError &) {
        Dir1->SetPath("/");
    }
    Drive1->SetDriveOf(Dir1->Path());

    connect(Drive1, &platform::DriveListBox::Change, this,
            app::Handler([this] { Drive1_Change(); }));
    connect(Dir1, &platform::DirListBox::Click, this, app::Handler([this] { Dir1_Click(); }));
    // The drive list always names the drive that holds the open folder; quietly, so that
    // this is not taken for a change of drive.
    connect(Dir1, &platform::DirListBox::PathChange, this, [this] {
        const QSignalBlocker quiet(Drive1);
        Drive1->SetDriveOf(Dir1->Path());
    });
    connect(OKButton, &QPushButton::clicked, this,
            app::Handler([this](bool) { OKButton_Click(); }));
    connect(CancelButton, &QPushButton::clicked, this,
            app::Handler([this](bool) { CancelButton_Click(); }));
}

void Dialog::Drive1_Change()
{
    try {
        Dir1->SetPath(Drive1->Drive());
    } catch (...) {
        // Back on the drive of the folder still open, quietly as at a PathChange.
        const QSignalBlocker quiet(Drive1);
        Drive1->SetDriveOf(Dir1->Path());
        throw;
    }
}

void Dialog::Dir1_Click()
{
    Dir1->SetPath(Dir1->List(Dir1->ListIndex()));
}

void Dialog::OKButton_Click()
{
    Module1::SelectedFolder = Dir1->Path();
    accept();
}

void Dialog::CancelButton_Click()
{
    reject();
}
