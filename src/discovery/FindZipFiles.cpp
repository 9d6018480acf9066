#include "FindZipFiles.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <limits>
#include <linux/magic.h>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <stdexcept>
#include <string_view>
#include <sys/resource.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "DirectoryReader.h"
#include "Module1.h"
#include "ReadPace.h"

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
FolderHook g_waitHook;
// How often the wait hook is called while the walk waits for a folder being read ahead: often
// enough for the run to do its other work meanwhile.
constexpr auto kWaitHookEvery = std::chrono::milliseconds(4);

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

// An open folder, shared by the walk and the read-ahead, closed when its last holder lets go.
class Handle
{
public:
    Handle(DirectoryReader &reader, int fd) : reader_(reader), fd_(fd) {}
    ~Handle() { reader_.Close(fd_); }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    int Fd() const { return fd_; }

private:
    DirectoryReader &reader_;
    const int fd_;
};
using HandlePtr = std::shared_ptr<Handle>;

// What one enumeration of a folder found.
struct Listing {
    std::string folders; // subfolder names, each ended by NUL, in enumeration order
    // What a link's status said each subfolder is (zero where the entry was a plain folder), in
    // the order of `folders`; lets a folder met before be passed by without opening it.
    std::vector<FolderId> folderIds;
    std::string archives; // archive names, each ended by NUL, in enumeration order
    int error = 0;        // the errno value that ended the enumeration early, or 0

    void Clear()
    {
        folders.clear();
        folderIds.clear();
        archives.clear();
        error = 0;
    }
    std::size_t Bytes() const
    {
        return folders.size() + archives.size() + folderIds.size() * sizeof(FolderId);
    }
};

constexpr std::size_t kBufferSize = 64 * 1024;

// Enumerates the open folder fd into out, and returns the requests that took. A set stop ends it
// early, with nothing promised.
std::size_t ReadListing(DirectoryReader &reader, int fd, char *buffer, Listing &out,
                        const std::atomic<bool> *stop)
{
    out.Clear();
    std::size_t requests = 0;
    while (!(stop && stop->load(std::memory_order_relaxed))) {
        const long filled = reader.ReadEntries(fd, buffer, kBufferSize);
        ++requests;
        if (filled == 0)
            return requests;
        if (filled < 0) {
            out.error = errno;
            return requests;
        }
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
                // On a share each status is a round trip, and a folder may hold many links.
                if (stop && stop->load(std::memory_order_relaxed))
                    return requests;
                struct stat status;
                ++requests;
                // A broken link, or an entry gone since it was listed, is neither.
                if (reader.Stat(fd, name, &status) != 0)
                    continue;
                type = S_ISDIR(status.st_mode)   ? DT_DIR
                       : S_ISREG(status.st_mode) ? DT_REG
                                                 : DT_UNKNOWN;
                id = {status.st_dev, status.st_ino};
            }
            if (type == DT_DIR) {
                out.folders.append(name, std::strlen(name) + 1);
                out.folderIds.push_back(id);
            } else if (type == DT_REG) {
                const std::string_view view(name);
                if (IsZipName(view))
                    out.archives.append(name, view.size() + 1);
            }
        }
    }
    return requests;
}

bool IsPseudoFileSystem(DirectoryReader &reader, int fd)
{
    struct statfs fs;
    return reader.StatFsOpen(fd, &fs) == 0 && IsPseudoFileSystem(fs);
}

// A folder's place in the walk: the index of each folder on the way down among its parent's
// subfolders. Keys in increasing order are the order in which the walk reaches folders.
using Key = std::vector<std::uint32_t>;

// A folder read ahead of the walk.
struct FolderRead {
    HandlePtr handle; // none when it has no subfolder to open below it
    FolderId id;
    // On a pseudo file system: asked where it lies on another device than its parent, else the
    // parent's.
    bool pseudoFs = false;
    Listing listing;
};

// Folder reads made ahead of the walk by a few threads, in walk order, so that on a file share
// many round trips are under way at once. Bounded in folders and bytes held. The walk stays the
// only judge of what it enters: a folder it finds here not read, or read where the read-ahead
// took another path to it first, it reads itself, so what the walk yields is the same.
class ReadAhead
{
public:
    // On a share a folder costs a few round trips and a thread waits for each, so the walk
    // goes only as fast as the number of threads allows. A few start; more only once reads are
    // seen to be that slow, as on a local disk they would only take the walk's processor; and
    // past the free ones, only while reads keep their pace.
    static constexpr int kThreads = 64;
    static constexpr int kFewThreads = 8; // at first, and where descriptors are too few
    static constexpr int kFreeThreads = 16;
    static constexpr auto kSlowRead = std::chrono::milliseconds(1);
    static constexpr int kSlowReadsToGrow = 3;
    // Read or being read and not yet taken: those that keep their descriptor (they have
    // subfolders), and all. Folders without subfolders hold no descriptor, and bounding them by
    // the first count made the threads wait for the walk while it waited for them.
    static constexpr std::size_t kFolders = 256;
    static constexpr std::size_t kMostHeld = 4096;
    static constexpr std::size_t kBytes = 16 << 20; // names held for the walk
    // Each folder held open keeps its descriptor; each thread holds its parent's and its own.
    static constexpr rlim_t Descriptors(int threads) { return kFolders + 2 * rlim_t(threads); }

    ReadAhead(DirectoryReader &reader, int threads) : reader_(reader), most_(threads)
    {
        try {
            threads_.reserve(std::size_t(threads));
            for (int i = 0; i < std::min(threads, kFewThreads); ++i)
                threads_.emplace_back([this] { Work(); });
        } catch (const std::system_error &) {
            // Fewer threads read ahead less; none leaves the walk to itself.
        } catch (...) {
            // Out of memory: the threads already started end before the error goes on.
            Stop();
            throw;
        }
    }
    ReadAhead(const ReadAhead &) = delete;
    ReadAhead &operator=(const ReadAhead &) = delete;

    ~ReadAhead() { Stop(); }

    // A stop leaves no thread behind: each finishes the request it is in and ends.
    void Stop()
    {
        std::map<Key, Entry> dropped;
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
            dropped.swap(entries_);
            pending_.clear();
        }
        work_.notify_all();
        for (std::thread &t : threads_)
            if (t.joinable())
                t.join();
    }

    // Offers the subfolders of a folder just read to the threads.
    void Queue(const Key &key, const HandlePtr &handle, const FolderId &id, bool pseudo,
               const Listing &listing)
    {
        {
            std::lock_guard lock(mutex_);
            QueueLocked(key, handle, id, pseudo, listing);
        }
        Grow();
    }

    // The read of the folder at key, waiting while it is under way; none when the walk is to read
    // it itself. Whatever lies before key in walk order is dropped: the walk has passed it. The
    // wait hook is called while the wait lasts; stopped is set, and none returned, when it says
    // stop.
    std::optional<FolderRead> Take(const Key &key, bool &stopped)
    {
        std::optional<FolderRead> read;
        {
            // Closed before the lock is let go, so that no thread opens more in their place.
            std::vector<Entry> passed;
            std::unique_lock lock(mutex_);
            for (auto it = entries_.begin(); it != entries_.end() && it->first < key;) {
                if (it->second.state == State::Reading) {
                    it->second.passed = true;
                    ++it;
                    continue;
                }
                Forget(it->second);
                pending_.erase(it->first);
                passed.push_back(std::move(it->second));
                it = entries_.erase(it);
            }
            passed.clear();
            auto it = entries_.find(key);
            while (it != entries_.end() && it->second.state == State::Reading) {
                // One folder on a slow share can take many round trips: the run goes on with
                // its other work meanwhile, and a close need not wait for it.
                if (done_.wait_for(lock, kWaitHookEvery) == std::cv_status::timeout && g_waitHook) {
                    lock.unlock();
                    stopped = !g_waitHook();
                    lock.lock();
                    if (stopped)
                        return std::nullopt;
                }
                it = entries_.find(key);
            }
            if (it != entries_.end()) {
                if (it->second.state == State::Done)
                    read = std::move(it->second.read);
                Forget(it->second);
                pending_.erase(it->first);
                passed.push_back(std::move(it->second));
                entries_.erase(it);
            }
            passed.clear();
        }
        work_.notify_one();
        Grow();
        return read;
    }

private:
    enum class State { Pending, Reading, Done, Failed };
    struct Entry {
        State state = State::Pending;
        bool passed = false; // the walk went by while it was being read
        std::weak_ptr<Handle> parent;
        FolderId parentId;
        bool parentPseudo = false;
        std::string name;
        FolderRead read;
        std::size_t bytes = 0;
        bool open = false; // read, and its descriptor kept
    };

    // Starts more threads once reads are round trips. Only the walk starts threads.
    void Grow()
    {
        if (cannotGrow_ || threads_.size() >= std::size_t(most_) || slowReads_ < kSlowReadsToGrow)
            return;
        std::size_t wanted = std::min(most_, kFreeThreads);
        if (threads_.size() >= wanted) {
            std::lock_guard lock(mutex_);
            if (!pace_.Uncrowded())
                return;
            pace_.ThreadStarted();
            // A quarter more at a time: a scan has far fewer folders than archives to judge by.
            wanted = std::min(std::size_t(most_), threads_.size() + threads_.size() / 4);
        }
        try {
            while (threads_.size() < wanted)
                threads_.emplace_back([this] { Work(); });
        } catch (const std::system_error &) {
            cannotGrow_ = true;
        } catch (const std::bad_alloc &) {
            // Those started read ahead; the walk does the rest.
            cannotGrow_ = true;
        }
    }

    bool Ready() const
    {
        return !pending_.empty() && heldOpen_ + reading_ < kFolders && held_ < kMostHeld &&
               bytes_ < kBytes;
    }

    void Forget(const Entry &e)
    {
        if (e.state == State::Done) {
            --held_;
            heldOpen_ -= e.open;
            bytes_ -= e.bytes;
        }
    }

    // The folder at key is read by the walk or here, where no earlier path has reached it.
    bool Claim(const FolderId &id, const Key &key)
    {
        auto [it, fresh] = seen_.try_emplace(id, key);
        if (fresh)
            return true;
        if (it->second < key)
            return false;
        it->second = key;
        return true;
    }

    void QueueLocked(const Key &key, const HandlePtr &handle, const FolderId &id, bool pseudo,
                     const Listing &listing)
    {
        Claim(id, key);
        if (!handle || stop_)
            return;
        Key child = key;
        child.push_back(0);
        std::size_t index = 0;
        for (std::size_t at = 0; at < listing.folders.size(); ++index) {
            const char *name = listing.folders.c_str() + at;
            const std::size_t length = std::strlen(name);
            at += length + 1;
            child.back() = std::uint32_t(index);
            const FolderId known = listing.folderIds[index];
            // Reached before through another link: the walk will most likely pass it by.
            if (known != FolderId() && seen_.count(known))
                continue;
            Entry e;
            e.parent = handle;
            e.parentId = id;
            e.parentPseudo = pseudo;
            e.name.assign(name, length);
            if (entries_.emplace(child, std::move(e)).second)
                pending_.insert(child);
        }
        work_.notify_one();
    }

    void Work()
    {
        std::unique_ptr<char[]> buffer(new char[kBufferSize]);
        std::unique_lock lock(mutex_);
        while (!stop_) {
            if (!Ready()) {
                work_.wait(lock);
                continue;
            }
            const Key key = *pending_.begin();
            pending_.erase(pending_.begin());
            Entry &e = entries_.at(key);
            HandlePtr parent = e.parent.lock();
            if (!parent) {
                // The walk closed the folder above it to bound its descriptors.
                e.state = State::Failed;
                done_.notify_all();
                continue;
            }
            e.state = State::Reading;
            ++reading_;
            // One waker per folder, so that a wake-up never goes to all threads at once.
            if (Ready())
                work_.notify_one();
            const std::string name = e.name;
            const FolderId parentId = e.parentId;
            const bool parentPseudo = e.parentPseudo;
            lock.unlock();

            FolderRead read;
            bool ok = false;
            std::size_t requests = 0;
            const auto started = std::chrono::steady_clock::now();
            try {
                ok = Read(*parent, name, parentId, parentPseudo, key, buffer.get(), read, requests);
            } catch (const std::bad_alloc &) {
                // Left to the walk, which reports running out of memory as it does itself.
            }
            parent.reset();
            const auto took = std::chrono::steady_clock::now() - started;
            if (took >= kSlowRead)
                ++slowReads_;

            lock.lock();
            // Per request, since folders take one more for each page of names.
            if (ok && requests > 0)
                pace_.Note(took / requests);
            auto it = entries_.find(key);
            if (it == entries_.end() || it->second.passed || stop_) {
                if (it != entries_.end())
                    entries_.erase(it);
                read = FolderRead();
            } else if (!ok) {
                read = FolderRead();
                it->second.state = State::Failed;
            } else {
                it->second.state = State::Done;
                it->second.bytes = read.listing.Bytes();
                it->second.open = read.handle != nullptr;
                ++held_;
                heldOpen_ += it->second.open;
                bytes_ += it->second.bytes;
                it->second.read = std::move(read);
                const FolderRead &done = it->second.read;
                try {
                    if (!done.listing.folders.empty())
                        QueueLocked(key, done.handle, done.id, done.pseudoFs, done.listing);
                } catch (const std::bad_alloc &) {
                    // What was not queued the walk reads itself.
                }
            }
            // Counted until its descriptors are closed or handed on.
            --reading_;
            done_.notify_all();
        }
    }

    // Opens and enumerates name below parent, and counts its requests, all but the status of
    // what it has just opened, which the share has at hand; false where the walk is better left
    // to try itself.
    bool Read(const Handle &parent, const std::string &name, const FolderId &parentId,
              bool parentPseudo, const Key &key, char *buffer, FolderRead &read,
              std::size_t &requests)
    {
        requests = 1;
        const int fd = reader_.Open(parent.Fd(), name.c_str());
        if (fd < 0)
            return false;
        read.handle = std::make_shared<Handle>(reader_, fd);
        struct stat status;
        if (reader_.StatOpen(fd, &status) != 0)
            return false;
        read.id = {status.st_dev, status.st_ino};
        {
            std::lock_guard lock(mutex_);
            if (!Claim(read.id, key))
                return false;
        }
        read.pseudoFs = parentPseudo;
        if (read.id.device != parentId.device) {
            ++requests;
            read.pseudoFs = IsPseudoFileSystem(reader_, fd);
            // Not to be entered: its entries are not needed.
            if (read.pseudoFs || parentPseudo) {
                read.handle.reset();
                return true;
            }
        }
        requests += ReadListing(reader_, fd, buffer, read.listing, &stop_);
        if (stop_)
            return false;
        if (read.listing.folders.empty())
            read.handle.reset();
        return true;
    }

    DirectoryReader &reader_;
    std::mutex mutex_;
    std::condition_variable work_; // something to read, or room to read it, or the stop
    std::condition_variable done_; // a read ended
    std::map<Key, Entry> entries_;
    std::set<Key> pending_; // keys of the entries not yet taken by a thread
    std::unordered_map<FolderId, Key, FolderIdHash> seen_; // earliest path that reached each
    std::size_t held_ = 0;                                 // entries read and not yet taken
    std::size_t heldOpen_ = 0;                             // those of them holding a descriptor
    std::size_t reading_ = 0;                              // entries being read
    std::size_t bytes_ = 0;
    std::atomic<bool> stop_ = false;
    std::atomic<int> slowReads_ = 0;
    ReadPace pace_; // of the reads that succeeded
    const int most_;
    bool cannotGrow_ = false;
    std::vector<std::thread> threads_;
};

static_assert(kReadAheadDescriptors == ReadAhead::Descriptors(ReadAhead::kThreads));

int g_readAheadThreads = -1;

// Read-ahead threads for a run: none where descriptors are too few to hold folders ahead.
int ReadAheadThreads()
{
    if (g_readAheadThreads >= 0)
        return g_readAheadThreads;
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    for (const int threads : {ReadAhead::kThreads, ReadAhead::kFewThreads}) {
        const rlim_t needed =
            kDescriptorsForOthers + kMaxOpenFolders + ReadAhead::Descriptors(threads);
        if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= 2 * needed)
            return threads;
    }
    return 0;
}

// One folder of the branch being walked.
struct Frame {
    std::size_t pathLength = 0; // this folder's working path, "/" included, is path_[0, pathLength)
    std::size_t nameOffset = 0; // this folder's name within its parent's `folders`
    FolderId id;
    bool pseudo = false; // on a pseudo file system
    Key key;
    HandlePtr handle; // none while closed to keep the number of open folders bounded
    Listing listing;
    std::size_t nextFolder = 0; // offset of the next subfolder to walk
    std::size_t nextFolderIndex = 0;
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
        if (const int threads = ReadAheadThreads())
            readAhead_.emplace(reader, threads);
    }
    Walk(const Walk &) = delete;
    Walk &operator=(const Walk &) = delete;
    ~Walk() { readAhead_.reset(); }

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
        key_.clear();
        Enter(fd, 0);
        while (depth_ > 0) {
            if (stopped_ || (g_folderHook && !g_folderHook()))
                return;
            const std::size_t top = depth_ - 1;
            if (frames_[top].nextFolder < frames_[top].listing.folders.size())
                EnterNextSubfolder(top);
            else
                Leave(top);
        }
    }

private:
    void Skip(std::string_view path, int error)
    {
        Module1::SkippedFolders.push_back({std::string(path), error});
    }

    void EnterNextSubfolder(std::size_t parent)
    {
        Frame &f = frames_[parent];
        const std::size_t nameOffset = f.nextFolder;
        const char *name = f.listing.folders.c_str() + nameOffset;
        const std::size_t nameLength = std::strlen(name);
        f.nextFolder += nameLength + 1;
        const std::size_t index = f.nextFolderIndex++;
        path_.resize(f.pathLength);
        path_.append(name, nameLength);

        const FolderId known = f.listing.folderIds[index];
        if (known != FolderId()) {
            if (OnBranch(known)) {
                ReportLoop(path_);
                return;
            }
            if (visited_.count(known))
                return;
        }

        key_ = f.key;
        key_.push_back(std::uint32_t(index));
        if (readAhead_) {
            if (std::optional<FolderRead> read = readAhead_->Take(key_, stopped_)) {
                path_ += '/';
                EnterRead(std::move(*read), nameOffset);
                return;
            }
            if (stopped_)
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

    // Takes over fd, the folder at path_ (which ends in "/") and key_, and reads it unless it is
    // not to be walked.
    void Enter(int fd, std::size_t nameOffset)
    {
        HandlePtr handle = std::make_shared<Handle>(reader_, fd);
        struct stat status;
        if (reader_.StatOpen(fd, &status) != 0) {
            const int error = errno;
            handle.reset();
            Skip(Shown(), error);
            return;
        }
        const FolderId id{status.st_dev, status.st_ino};
        const bool otherFs = depth_ == 0 || id.device != frames_[depth_ - 1].id.device;
        Frame *f = Admit(id, otherFs && IsPseudoFileSystem(reader_, fd), nameOffset);
        if (!f)
            return;
        f->handle = std::move(handle);
        ++openCount_;
        ReadListing(reader_, fd, buffer_.get(), f->listing, nullptr);
        // What was read before a read error is kept; the folder is still reported.
        if (f->listing.error)
            Skip(depth_ == 1 ? std::string_view(*root_) : Shown(), f->listing.error);
        if (readAhead_)
            readAhead_->Queue(f->key, f->handle, f->id, f->pseudo, f->listing);
    }

    // The same for a folder read ahead.
    void EnterRead(FolderRead read, std::size_t nameOffset)
    {
        Frame *f = Admit(read.id, read.pseudoFs, nameOffset);
        if (!f)
            return;
        if (read.handle) {
            MakeRoom(depth_ - 2);
            f->handle = std::move(read.handle);
            ++openCount_;
        }
        std::swap(f->listing, read.listing);
        if (f->listing.error)
            Skip(Shown(), f->listing.error);
    }

    // The new frame for the folder id at path_ and key_, or none where it is not to be walked.
    // pseudoFs: whether it is on a pseudo file system, asked where its device is not its parent's.
    Frame *Admit(const FolderId &id, bool pseudoFs, std::size_t nameOffset)
    {
        // Walking into an ancestor again would never end: that is reported. A folder walked
        // before through another link has given all it has: it is passed by.
        if (OnBranch(id)) {
            ReportLoop(Shown());
            return nullptr;
        }
        if (visited_.count(id))
            return nullptr;
        // A pseudo file system is entered only as the chosen folder, and a walk inside one does
        // not leave it: its links reach every process's root and working folder.
        bool pseudo = pseudoFs;
        if (depth_ > 0) {
            const Frame &parent = frames_[depth_ - 1];
            if (id.device == parent.id.device)
                pseudo = parent.pseudo;
            else if (pseudoFs || parent.pseudo)
                return nullptr;
        }
        visited_.insert(id);
        if (depth_ == frames_.size())
            frames_.emplace_back();
        Frame &f = frames_[depth_++];
        f.pathLength = path_.size();
        f.nameOffset = nameOffset;
        f.id = id;
        f.pseudo = pseudo;
        f.key = key_;
        f.handle.reset();
        f.listing.Clear();
        f.nextFolder = 0;
        f.nextFolderIndex = 0;
        return &f;
    }

    // The folder's own archives come after all of its subfolder trees.
    void Leave(std::size_t top)
    {
        Frame &f = frames_[top];
        path_.resize(f.pathLength);
        const std::string &archives = f.listing.archives;
        if (!archives.empty() && !Module1::ArchiveList)
            throw std::runtime_error("FindZipFiles: ArchiveList holds no list");
        for (std::size_t at = 0; at < archives.size();) {
            const char *name = archives.c_str() + at;
            const std::size_t length = std::strlen(name);
            at += length + 1;
            if (Module1::ArchiveCount == std::numeric_limits<std::int64_t>::max())
                throw std::overflow_error("FindZipFiles: too many archives");
            ++Module1::ArchiveCount;
            path_.append(name, length);
            Module1::ArchiveList->Add(path_);
            path_.resize(f.pathLength);
        }
        if (f.handle) {
            f.handle.reset();
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
        while (!frames_[open].handle)
            --open; // the chosen folder is never closed
        for (std::size_t j = open + 1; j <= i; ++j) {
            MakeRoom(j - 1);
            const int fd =
                OpenBelow(frames_[j - 1].handle->Fd(),
                          frames_[j - 1].listing.folders.c_str() + frames_[j].nameOffset, j - 1);
            if (fd < 0)
                return -1;
            HandlePtr handle = std::make_shared<Handle>(reader_, fd);
            struct stat status;
            if (reader_.StatOpen(fd, &status) != 0) {
                const int error = errno;
                handle.reset();
                errno = error;
                return -1;
            }
            if (FolderId{status.st_dev, status.st_ino} != frames_[j].id) {
                handle.reset();
                errno = ESTALE;
                return -1;
            }
            frames_[j].handle = std::move(handle);
            ++openCount_;
        }
        return frames_[i].handle->Fd();
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
            if (i != keep && frames_[i].handle) {
                frames_[i].handle.reset();
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
    Key key_; // the key of the folder being entered
    const std::string *root_ = nullptr;
    bool stopped_ = false;               // the wait hook said stop
    std::optional<ReadAhead> readAhead_; // last: stopped before the frames close their folders
};

} // namespace

ScopedHook::ScopedHook(FolderHook &slot, FolderHook hook) : slot_(slot), previous_(std::move(slot))
{
    slot_ = std::move(hook);
}

ScopedHook::~ScopedHook()
{
    slot_ = std::move(previous_);
}

ScopedFolderHook::ScopedFolderHook(FolderHook hook) : ScopedHook(g_folderHook, std::move(hook)) {}

ScopedWaitHook::ScopedWaitHook(FolderHook hook) : ScopedHook(g_waitHook, std::move(hook)) {}

DirectoryReader *SetDirectoryReaderForTesting(DirectoryReader *reader)
{
    DirectoryReader *previous = g_reader == &g_fileSystem ? nullptr : g_reader;
    g_reader = reader ? reader : &g_fileSystem;
    return previous;
}

int SetReadAheadThreadsForTesting(int threads)
{
    const int previous = g_readAheadThreads;
    g_readAheadThreads = threads;
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
