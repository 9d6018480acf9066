// The main window: the tree of archives and their entries, and the buttons that fill and
// search it.
#pragma once

#include <QMargins>
#include <QWidget>
#include <functional>
#include <string>
#include <vector>

#include "Listing.h"
#include "Module1.h"

class QAction;
class QLabel;
class QPushButton;

namespace platform
{
class ProgressBar;
class TreeView;
} // namespace platform

namespace main_window
{

// The window's position along one axis, from the screen's and the window's outer size (all
// in twips): their difference rounded to a whole number (halves to even), then halved with
// the remainder dropped. A window larger than the screen gets a negative position.
long CentredPosition(double screenSize, double windowSize);

// A system error number in words, for messages: the common causes in Japanese, any other as
// its number.
QString ErrorWords(int error);

// The message that lists the folders a run could not read, and the archives it could not read
// or found empty: how many, and the first few of each.
QString SkippedFoldersMessage(const std::vector<Module1::SkippedFolder> &folders,
                              const std::vector<Module1::RejectedArchive> &archives = {});

} // namespace main_window

class Form1 : public QWidget
{
    Q_OBJECT
public:
    explicit Form1(QWidget *parent = nullptr);

    platform::TreeView *TreeView1;
    QPushButton *Command1;
    QLabel *Label1;
    platform::ProgressBar *ProgressBar;
    // Placed here; its handler belongs to the search.
    QPushButton *Command2;

    // What a listing run does from the confirmed folder on; listing::ListFolder unless
    // replaced, which lets the window side run over made-up archives.
    using ListFunction = std::function<bool(const std::string &folder, platform::TreeNodes &nodes,
                                            listing::RunView &view)>;
    void SetListFunction(ListFunction list);

    // Places the window so that its outer size, the client area grown by frame, is centred.
    void Centre(const QMargins &frame);

    // True from the chooser's close to the end of the run's work.
    bool Listing() const { return listing_; }

    // The tree's context menu entry 「コピー」, also Ctrl+C in this window.
    QAction *CopyAction;

public slots:
    void Form_Load();
    void Command1_Click();
    void ListingRun();
    // Lists folder as if it had been chosen in the chooser and confirmed, from the command
    // line or dropped on the window: a folder that cannot be opened raises FolderError, as
    // the chooser does, and changes nothing. Nothing happens during a run.
    void OpenFolder(const std::string &folder);
    // Copies the selected node's text to the clipboard; nothing without a selection.
    void CopySelectedText();

signals:
    // F3: find-next in the search window, when it is open.
    void FindNextRequested();

protected:
    bool event(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    ListFunction list_;
    bool listing_ = false;
    bool frameKnown_ = true;

    void listSelectedFolder();
    void reportSkippedFolders();
};
