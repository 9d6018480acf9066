// The drive list: a drop-down of the mounted file systems' roots a person would pick from.
#pragma once

#include <QComboBox>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace platform
{

// The roots a person calls drives, from the text of /proc/self/mountinfo: "/" first, then
// removable media (below /media and /run/media), then, sorted, the user's home when it is a
// mount of its own and the mounts of real block devices and of network file systems. Left out:
// pseudo and memory file systems, kernel and runtime folders, loop images, and bind mounts of
// a folder (mountinfo names the folder a mount shows). isFolder says whether a mount point is
// a folder (a file can be mounted too).
std::vector<std::string> DriveRoots(std::string_view mountinfo,
                                    const std::function<bool(const std::string &)> &isFolder,
                                    const std::string &home = {});

class DriveListBox : public QComboBox
{
    Q_OBJECT
public:
    explicit DriveListBox(QWidget *parent = nullptr);

    // Reads the mounts again.
    void Refresh();
    void SetRoots(const std::vector<std::string> &roots);

    // The selected root, as file-system bytes.
    std::string Drive() const;
    // Selects the root that holds path: the longest root that is a folder prefix of it.
    void SetDriveOf(const std::string &path);

signals:
    // The selection changed, by the user or by code.
    void Change();

private:
    std::vector<std::string> roots_;
};

} // namespace platform
