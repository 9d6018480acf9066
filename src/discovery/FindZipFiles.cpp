#include "FindZipFiles.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <limits>
#include <linux/magic.h>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <sys/resource.h>
#include <unistd.h>
#include <unordered_set>
#include <vector>

#include "DirectoryReader.h"
#include "Module1.h"

namespace discovery
{

int DirectoryReader::Open(int at, const char *name)
{
    // O_DIRECTORY fails on anything else before it is opened, so a FIFO put in a folder's place
    // cannot block the scan.
    return ::openat(at, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
}

long DirectoryReader::ReadEntries(int fd, void *buffer, std::size_t size)
{
    return ::getdents64(fd, buffer, size);
}

int DirectoryReader::Stat(int at, const char *name, struct stat *status)
{
    return ::fstatat(at, name, status, 0);
}

int DirectoryReader::StatOpen(int fd, struct stat *status)
{
    return ::fstat(fd, status);
}

int DirectoryReader::StatFsOpen(int fd, struct statfs *status)
{
    return ::fstatfs(fd, status);
}

void DirectoryReader::Close(int fd)
{
    ::close(fd);
}

namespace
{

// Descriptors left to the rest of the process: the standard streams, the windows' connections,
// the archive being read.
constexpr rlim_t kDescriptorsForOthers = 16;
// The chosen folder, a parent and the folder being opened below it.
constexpr int kFewestOpenFolders = 3;

// A folder scan may hold many folders open; the soft limit is often far below what the system
// allows this process.
void RaiseDescriptorLimit()
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct rlimit limit;
        if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
            limit.rlim_cur = limit.rlim_max;
            ::setrlimit(RLIMIT_NOFILE, &limit);
        }
    });
}

} // namespace

int MaxOpenFolders()
{
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return kMaxOpenFolders;
    const rlim_t spare =
        limit.rlim_cur > kDescriptorsForOthers ? limit.rlim_cur - kDescriptorsForOthers : 0;
    return int(std::clamp<rlim_t>(spare / 2, kFewestOpenFolders, kMaxOpenFolders));
}

namespace
{

DirectoryReader g_fileSystem;
DirectoryReader *g_reader = &g_fileSystem;
FolderHook g_folderHook;

// File systems that show the kernel's objects rather than files: huge or endless link graphs,
// no archives. The chosen folder may be one; the scan never enters one below it.
bool IsPseudoFileSystem(const struct statfs &fs)
{
    // Not in <linux/magic.h>.
    constexpr unsigned long kConfigFsMagic = 0x62656570;
    constexpr unsigned long kFuseCtlMagic = 0x65735543;
    constexpr unsigned long kMqueueMagic = 0x19800202;
    switch (static_cast<unsigned long>(fs.f_type)) {
    case PROC_SUPER_MAGIC:
    case SYSFS_MAGIC:
    case DEBUGFS_MAGIC:
    case TRACEFS_MAGIC:
    case SECURITYFS_MAGIC:
    case CGROUP_SUPER_MAGIC:
    case CGROUP2_SUPER_MAGIC:
    case PSTOREFS_MAGIC:
    case BPF_FS_MAGIC:
    case kConfigFsMagic:
    case kFuseCtlMagic:
    case DEVPTS_SUPER_MAGIC:
    case kMqueueMagic:
    case HUGETLBFS_MAGIC:
    case SELINUX_MAGIC:
    case SMACK_MAGIC:
    case EFIVARFS_MAGIC:
    case BINFMTFS_MAGIC:
    case NSFS_MAGIC:
    case RDTGROUP_SUPER_MAGIC:
        return true;
    default:
        return false;
    }
}

// A folder as the file system tells it apart from every other.
struct FolderId {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FolderId &) const = default;
};

struct FolderIdHash {
    std::size_t operator()(const FolderId &id) const
    {
        return std::hash<ino_t>()(id.inode) ^ (std::hash<dev_t>()(id.device) * 0x9e3779b97f4a7c15u);
    }
};

bool IsZipName(std::string_view name)
{
    if (name.size() < 4)
        return false;
    const char *tail = name.data() + name.size() - 4;
    return tail[0] == '.' && (tail[1] | 0x20) == 'z' && (tail[2] | 0x20) == 'i' &&
           (tail[3] | 0x20) == 'p';
}

// One folder of the branch being walked.
struct Frame {
    std::size_t pathLength = 0; // this folder's working path, "/" included, is path_[0, pathLength)
    std::size_t nameOffset = 0; // this folder's name within its parent's `folders`
    FolderId id;
    bool pseudo = false;        // on a pseudo file system
    int fd = -1;                // -1 while closed to keep the number of open folders bounded
    std::string folders;        // subfolder names, each ended by NUL, in enumeration order
    std::size_t nextFolder = 0; // offset of the next subfolder to walk
    // What a link's status said each subfolder is (zero where the entry was a plain folder), in
    // the order of `folders`; lets a folder met before be passed by without opening it.
    std::vector<FolderId> folderIds;
    std::size_t nextFolderIndex = 0;
    std::string archives; // archive names, each ended by NUL, in enumeration order
};

// The walk keeps an explicit stack of frames, so depth costs heap, not call stack.
//
// Each folder is enumerated once, collecting its subfolders and its archives together; the
// subfolder trees are walked next and the archives appended last. That is the order of a folder
// pass, the recursion, and a second, files-only pass, because both passes would see the same
// enumeration order of the same folder.
//
// A folder is walked at most once per run: links can make a folder graph reach one folder by
// exponentially many paths. Its first visit in walk order is the one that counts.
class Walk
{
public:
    explicit Walk(DirectoryReader &reader)
        : reader_(reader), buffer_(new char[kBufferSize]), maxOpen_(MaxOpenFolders())
    {
    }
    Walk(const Walk &) = delete;
    Walk &operator=(const Walk &) = delete;
    ~Walk()
    {
        for (std::size_t i = 0; i < depth_; ++i)
            if (frames_[i].fd >= 0)
                reader_.Close(frames_[i].fd);
    }

    void Run(const std::string &folder)
    {
        path_ = folder;
        if (path_.empty() || path_.back() != '/')
            path_ += '/';
        root_ = &folder;
        // The system would see only the part before a NUL: another folder.
        if (folder.find('\0') != std::string::npos) {
            Skip(folder, EINVAL);
            return;
        }
        const int fd = reader_.Open(AT_FDCWD, path_.c_str());
        if (fd < 0) {
            Skip(folder, errno);
            return;
        }
        Enter(fd, 0);
        while (depth_ > 0) {
            if (g_folderHook && !g_folderHook())
                return;
            const std::size_t top = depth_ - 1;
            if (frames_[top].nextFolder < frames_[top].folders.size())
                EnterNextSubfolder(top);
            else
                Leave(top);
        }
    }

private:
    static constexpr std::size_t kBufferSize = 64 * 1024;

    void Skip(std::string_view path, int error)
    {
        Module1::SkippedFolders.push_back({std::string(path), error});
    }

    void EnterNextSubfolder(std::size_t parent)
    {
        Frame &f = frames_[parent];
        const std::size_t nameOffset = f.nextFolder;
        const char *name = f.folders.c_str() + nameOffset;
        const std::size_t nameLength = std::strlen(name);
        f.nextFolder += nameLength + 1;
        path_.resize(f.pathLength);
        path_.append(name, nameLength);

        const FolderId known = f.folderIds[f.nextFolderIndex++];
        if (known != FolderId()) {
            if (OnBranch(known)) {
                ReportLoop(path_);
                return;
            }
            if (visited_.count(known))
                return;
        }

        const int at = FolderFd(parent);
        if (at < 0) {
            Skip(path_, errno);
            return;
        }
        MakeRoom(parent);
        const int fd = OpenBelow(at, name, parent);
        if (fd < 0) {
            Skip(path_, errno);
            return;
        }
        path_ += '/';
        Enter(fd, nameOffset);
    }

    // How a skipped folder is reported: the chosen folder as given, any other without its "/".
    std::string_view Shown() const
    {
        return depth_ == 0 ? std::string_view(*root_)
                           : std::string_view(path_).substr(0, path_.size() - 1);
    }

    // Takes over fd, the folder at path_ (which ends in "/"), unless it is already on the branch.
    void Enter(int fd, std::size_t nameOffset)
    {
        struct stat status;
        if (reader_.StatOpen(fd, &status) != 0) {
            const int error = errno;
            reader_.Close(fd);
            Skip(Shown(), error);
            return;
        }
        const FolderId id{status.st_dev, status.st_ino};
        // Walking into an ancestor again would never end: that is reported. A folder walked
        // before through another link has given all it has: it is passed by.
        if (OnBranch(id)) {
            reader_.Close(fd);
            ReportLoop(Shown());
            return;
        }
        if (visited_.count(id)) {
            reader_.Close(fd);
            return;
        }
        // A pseudo file system is entered only as the chosen folder, and a walk inside one does
        // not leave it: its links reach every process's root and working folder.
        bool pseudo = false;
        if (depth_ == 0 || id.device != frames_[depth_ - 1].id.device) {
            struct statfs fs;
            pseudo = reader_.StatFsOpen(fd, &fs) == 0 && IsPseudoFileSystem(fs);
            if (depth_ > 0 && (pseudo || frames_[depth_ - 1].pseudo)) {
                reader_.Close(fd);
                return;
            }
        } else {
            pseudo = frames_[depth_ - 1].pseudo;
        }
        visited_.insert(id);
        if (depth_ == frames_.size())
            frames_.emplace_back();
        Frame &f = frames_[depth_++];
        f.pathLength = path_.size();
        f.nameOffset = nameOffset;
        f.id = id;
        f.pseudo = pseudo;
        f.fd = fd;
        f.folders.clear();
        f.nextFolder = 0;
        f.folderIds.clear();
        f.nextFolderIndex = 0;
        f.archives.clear();
        ++openCount_;
        // What was read before a read error is kept; the folder is still reported.
        if (const int error = ReadFolder(f))
            Skip(depth_ == 1 ? std::string_view(*root_) : Shown(), error);
    }

    // 0, or the errno value that ended the enumeration early.
    int ReadFolder(Frame &f)
    {
        char *const buffer = buffer_.get();
        for (;;) {
            const long filled = reader_.ReadEntries(f.fd, buffer, kBufferSize);
            if (filled == 0)
                return 0;
            if (filled < 0)
                return errno;
            for (long offset = 0; offset < filled;) {
                const auto *entry = reinterpret_cast<const struct dirent64 *>(buffer + offset);
                offset += entry->d_reclen;
                const char *name = entry->d_name;
                // Hidden; also "." and "..".
                if (name[0] == '.')
                    continue;
                unsigned char type = entry->d_type;
                FolderId id;
                if (type == DT_LNK || type == DT_UNKNOWN) {
                    struct stat status;
                    // A broken link, or an entry gone since it was listed, is neither.
                    if (reader_.Stat(f.fd, name, &status) != 0)
                        continue;
                    type = S_ISDIR(status.st_mode)   ? DT_DIR
                           : S_ISREG(status.st_mode) ? DT_REG
                                                     : DT_UNKNOWN;
                    id = {status.st_dev, status.st_ino};
                }
                if (type == DT_DIR) {
                    f.folders.append(name, std::strlen(name) + 1);
                    f.folderIds.push_back(id);
                } else if (type == DT_REG) {
                    const std::string_view view(name);
                    if (IsZipName(view))
                        f.archives.append(name, view.size() + 1);
                }
            }
        }
    }

    // The folder's own archives come after all of its subfolder trees.
    void Leave(std::size_t top)
    {
        Frame &f = frames_[top];
        path_.resize(f.pathLength);
        if (!f.archives.empty() && !Module1::ArchiveList)
            throw std::runtime_error("FindZipFiles: ArchiveList holds no list");
        for (std::size_t at = 0; at < f.archives.size();) {
            const char *name = f.archives.c_str() + at;
            const std::size_t length = std::strlen(name);
            at += length + 1;
            if (Module1::ArchiveCount == std::numeric_limits<std::int64_t>::max())
                throw std::overflow_error("FindZipFiles: too many archives");
            ++Module1::ArchiveCount;
            path_.append(name, length);
            Module1::ArchiveList->Add(path_);
            path_.resize(f.pathLength);
        }
        if (f.fd >= 0) {
            reader_.Close(f.fd);
            f.fd = -1;
            --openCount_;
        }
        --depth_;
    }

    // The descriptor of the folder at index i on the branch, reopened from its nearest open
    // ancestor when it was closed. -1 with errno set when the folder cannot be reached again or
    // is no longer the one that was walked into.
    int FolderFd(std::size_t i)
    {
        std::size_t open = i;
        while (frames_[open].fd < 0)
            --open; // the chosen folder is never closed
        for (std::size_t j = open + 1; j <= i; ++j) {
            MakeRoom(j - 1);
            const int fd = OpenBelow(frames_[j - 1].fd,
                                     frames_[j - 1].folders.c_str() + frames_[j].nameOffset, j - 1);
            if (fd < 0)
                return -1;
            struct stat status;
            if (reader_.StatOpen(fd, &status) != 0) {
                const int error = errno;
                reader_.Close(fd);
                errno = error;
                return -1;
            }
            if (FolderId{status.st_dev, status.st_ino} != frames_[j].id) {
                reader_.Close(fd);
                errno = ESTALE;
                return -1;
            }
            frames_[j].fd = fd;
            ++openCount_;
        }
        return frames_[i].fd;
    }

    // A link back to an ancestor in the user's folders is worth a word; a pseudo file system is
    // made of such links.
    void ReportLoop(std::string_view path)
    {
        if (depth_ == 0 || !frames_[depth_ - 1].pseudo)
            Skip(path, ELOOP);
    }

    bool OnBranch(const FolderId &id) const
    {
        for (std::size_t i = 0; i < depth_; ++i)
            if (frames_[i].id == id)
                return true;
        return false;
    }

    // Closes the lowest open folder of the branch other than the chosen folder and the folder at
    // index keep; false when there is none.
    bool CloseOne(std::size_t keep)
    {
        for (std::size_t i = 1; i < depth_; ++i) {
            if (i != keep && frames_[i].fd >= 0) {
                reader_.Close(frames_[i].fd);
                frames_[i].fd = -1;
                --openCount_;
                return true;
            }
        }
        return false;
    }

    // Closes the lowest open folders until one more may be opened.
    void MakeRoom(std::size_t keep)
    {
        while (openCount_ >= maxOpen_ && CloseOne(keep)) {
        }
    }

    // Opens name below the open folder at. When the process runs out of descriptors, folders of
    // the branch are closed, to be reopened when needed, rather than the folder skipped.
    int OpenBelow(int at, const char *name, std::size_t keep)
    {
        for (;;) {
            const int fd = reader_.Open(at, name);
            if (fd >= 0 || (errno != EMFILE && errno != ENFILE))
                return fd;
            const int error = errno;
            if (!CloseOne(keep)) {
                errno = error;
                return -1;
            }
            // Something else holds the descriptors: keep fewer open for the rest of the run.
            maxOpen_ = std::max(openCount_ + 1, kFewestOpenFolders);
        }
    }

    DirectoryReader &reader_;
    std::unique_ptr<char[]> buffer_;
    std::vector<Frame> frames_;
    std::size_t depth_ = 0;
    int maxOpen_;
    int openCount_ = 0;
    std::unordered_set<FolderId, FolderIdHash> visited_;
    std::string path_;
    const std::string *root_ = nullptr;
};

} // namespace

ScopedFolderHook::ScopedFolderHook(FolderHook hook) : previous_(std::move(g_folderHook))
{
    g_folderHook = std::move(hook);
}

ScopedFolderHook::~ScopedFolderHook()
{
    g_folderHook = std::move(previous_);
}

DirectoryReader *SetDirectoryReaderForTesting(DirectoryReader *reader)
{
    DirectoryReader *previous = g_reader == &g_fileSystem ? nullptr : g_reader;
    g_reader = reader ? reader : &g_fileSystem;
    return previous;
}

} // namespace discovery

namespace Module1
{

void FindZipFiles(std::string folder)
{
    discovery::RaiseDescriptorLimit();
    discovery::Walk walk(*discovery::g_reader);
    walk.Run(folder);
}

} // namespace Module1
