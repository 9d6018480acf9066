// The folder list: the open folder with its ancestors above it and its subfolders below it.
// Entries are numbered as ListIndex gives them: the open folder -1, its parent -2, and so on
// up to the root; the subfolders 0 and up. Paths are file-system bytes.
#pragma once

#include <QListWidget>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace platform
{

// A folder that cannot be opened; the message is for the person using the program.
class FolderError : public std::runtime_error
{
public:
    FolderError(const std::string &path, int error);
    const std::string &Path() const { return path_; }
    int Error() const { return error_; }

private:
    std::string path_;
    int error_;
};

// A path's file-system bytes as a message shows them: UTF-8 decoded, a backslash written
// "\\" and a control character "\xHH" (C1 and line separators "\uHHHH"), so that a name
// cannot break or forge lines.
QString VisiblePath(std::string_view path);

// "/" for the root; otherwise absolute, without "." or ".." parts, doubled or trailing "/".
// A relative path is taken from the process's current folder.
std::string NormalFolderPath(const std::string &path);
// The normal path of a folder that can be opened, as SetPath would open it; raises
// FolderError when it cannot.
std::string OpenableFolder(const std::string &path);

class DirListBox : public QListWidget
{
    Q_OBJECT
public:
    explicit DirListBox(QWidget *parent = nullptr);

    const std::string &Path() const { return path_; }
    // Opens the folder. One that cannot be read raises FolderError; the list then keeps the
    // folder it had open, read again, so that a folder that vanished meanwhile leaves it.
    void SetPath(const std::string &path);

    int ListIndex() const;
    // Raises std::out_of_range for an index the list does not have.
    void SetListIndex(int index);
    // Number of subfolders.
    int ListCount() const { return int(entries_.size()) - ancestors_ - 1; }
    // Full path of the entry; raises std::out_of_range for an index the list does not have.
    std::string List(int index) const;

signals:
    // An entry was clicked, or Enter or Space pressed on it.
    void Click();
    // Another folder is open, or the open one was read again.
    void PathChange();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    // The second click of a double click belongs to the first: the entry now under the
    // pointer is another folder's, not the one the person aimed at.
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    std::string path_;
    std::vector<std::string> entries_; // ancestors from the root, the open folder, subfolders
    int ancestors_ = 0;
    bool secondClick_ = false;

    int rowOf(int index) const;
    void fill(const std::string &path, std::vector<std::string> subfolders);
};

} // namespace platform
