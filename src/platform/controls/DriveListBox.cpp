#include "DriveListBox.h"

#include <QDir>
#include <QFile>
#include <QSignalBlocker>
#include <algorithm>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace platform
{

namespace
{

// mountinfo writes space, tab, newline and backslash in a path as \ooo.
std::string unescape(std::string_view s)
{
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3' &&
            s[i + 2] >= '0' && s[i + 2] <= '7' && s[i + 3] >= '0' && s[i + 3] <= '7') {
            out.push_back(char((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0')));
            i += 3;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

bool under(const std::string &path, std::string_view folder)
{
    return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
           path[folder.size()] == '/';
}

bool isOrUnder(const std::string &path, std::string_view folder)
{
    return path == folder || under(path, folder);
}

bool isPseudo(std::string_view type)
{
    static const char *const kPseudo[] = {
        "proc",       "sysfs",   "cgroup",    "cgroup2",     "devpts",          "devtmpfs",
        "mqueue",     "debugfs", "tracefs",   "securityfs",  "pstore",          "bpf",
        "configfs",   "fusectl", "hugetlbfs", "autofs",      "binfmt_misc",     "efivarfs",
        "rpc_pipefs", "nsfs",    "selinuxfs", "fuse.portal", "fuse.gvfsd-fuse",
    };
    return std::find(std::begin(kPseudo), std::end(kPseudo), type) != std::end(kPseudo);
}

bool isNetwork(std::string_view type)
{
    static const char *const network[] = {
        "nfs",       "nfs4",  "cifs",       "smb3",        "smbfs",          "ceph", "afs",
        "glusterfs", "davfs", "fuse.sshfs", "fuse.davfs2", "fuse.glusterfs", "9p",   "fuse.rclone",
    };
    return std::find(std::begin(network), std::end(network), type) != std::end(network);
}

// A disk, a partition or a volume of one; loop devices carry images (snaps among them).
bool isBlockDevice(std::string_view source)
{
    return source.substr(0, 5) == "/dev/" && source.substr(0, 9) != "/dev/loop";
}

bool isMedia(const std::string &path)
{
    return under(path, "/media") || under(path, "/run/media");
}

} // namespace

std::vector<std::string> DriveRoots(std::string_view mountinfo,
                                    const std::function<bool(const std::string &)> &isFolder,
                                    const std::string &home)
{
    std::vector<std::string> media, others;
    std::istringstream lines{std::string(mountinfo)};
    std::string line;
    while (std::getline(lines, line)) {
        // id parent major:minor root mount-point options [optional fields...] - type source ...
        std::istringstream fields(line);
        std::vector<std::string> f;
        for (std::string w; fields >> w;)
            f.push_back(w);
        const auto dash = std::find(f.begin(), f.end(), "-");
        if (f.size() < 5 || dash == f.end() || dash + 1 == f.end())
            continue;
        const std::string point = unescape(f[4]);
        const std::string &type = *(dash + 1);
        const std::string source = dash + 2 == f.end() ? std::string() : unescape(*(dash + 2));
        if (point.empty() || point[0] != '/' || point == "/")
            continue;
        // A bind mount of a folder shows a folder that a drive already holds.
        if (f[3] != "/")
            continue;
        const bool system = isOrUnder(point, "/proc") || isOrUnder(point, "/sys") ||
                            isOrUnder(point, "/dev") ||
                            (isOrUnder(point, "/run") && !isMedia(point)) ||
                            under(point, "/snap") || under(point, "/var/lib/docker");
        if (system || isPseudo(type))
            continue;
        const bool drive = isMedia(point) || (!home.empty() && point == home) || isNetwork(type) ||
                           isBlockDevice(source);
        if (!drive || !isFolder(point))
            continue;
        auto &group = isMedia(point) ? media : others;
        if (std::find(group.begin(), group.end(), point) == group.end())
            group.push_back(point);
    }
    std::sort(media.begin(), media.end());
    std::sort(others.begin(), others.end());
    std::vector<std::string> roots{"/"};
    roots.insert(roots.end(), media.begin(), media.end());
    roots.insert(roots.end(), others.begin(), others.end());
    return roots;
}

DriveListBox::DriveListBox(QWidget *parent) : QComboBox(parent)
{
    connect(this, &QComboBox::currentIndexChanged, this, &DriveListBox::Change);
    Refresh();
}

void DriveListBox::Refresh()
{
    std::ifstream in("/proc/self/mountinfo", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    SetRoots(DriveRoots(
        text.str(),
        [](const std::string &path) {
            struct stat st;
            return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        },
        QFile::encodeName(QDir::homePath()).toStdString()));
}

void DriveListBox::SetRoots(const std::vector<std::string> &roots)
{
    const std::string was = currentIndex() >= 0 ? Drive() : std::string("/");
    const QSignalBlocker quiet(this);
    roots_ = roots;
    clear();
    for (const std::string &r : roots_)
        addItem(QFile::decodeName(QByteArray(r.data(), qsizetype(r.size()))));
    SetDriveOf(was);
}

std::string DriveListBox::Drive() const
{
    const int i = currentIndex();
    return i >= 0 && std::size_t(i) < roots_.size() ? roots_[std::size_t(i)] : std::string("/");
}

void DriveListBox::SetDriveOf(const std::string &path)
{
    int best = -1;
    std::size_t bestLength = 0;
    for (std::size_t i = 0; i < roots_.size(); ++i) {
        const std::string &r = roots_[i];
        const bool holds = r == "/" || path == r || under(path, r);
        if (holds && (best < 0 || r.size() > bestLength)) {
            best = int(i);
            bestLength = r.size();
        }
    }
    setCurrentIndex(best);
}

} // namespace platform
