#include "Archives.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "CentralDirectory.h"
#include "NameDecoder.h"
#include "Wildcard.h"

namespace unzip32
{

namespace
{

// A handle is generation << kSlotBits | slot. The generation changes with every open of
// a slot, so a handle kept after its close is refused instead of reaching the next
// archive in that slot (until the generation wraps after about a million opens of it).
constexpr int kSlotBits = 10;
static_assert(kMaxOpenArchives == 1 << kSlotBits);
constexpr uint32_t kGenerations = 1u << 20; // keeps every handle positive
// A closed archive's storage is kept for the next one unless it is this large: an unusual
// archive does not leave its memory behind.
constexpr size_t kKeepCapacity = size_t(4) << 20;
// The same for a thread reading ahead, of which there are many.
constexpr size_t kKeepAhead = size_t(256) << 10;

struct Slot {
    uint32_t generation = 0;
    bool open = false;
    bool listing = false; // FindFirst has run since the open
    bool all = true;      // every entry matches
    std::string pattern;
    CentralDirectory directory;
    HeaderCursor cursor;
    uint32_t index = 0; // central-directory index of the next header
};

// The table is shared by every caller; a caller that lists holds it for one entry at a time,
// so the lock is almost never contended, and spinning saves the mutex's calls on each entry.
class SpinLock
{
public:
    void lock()
    {
        while (flag_.test_and_set(std::memory_order_acquire))
            while (flag_.test(std::memory_order_relaxed))
                std::this_thread::yield();
    }
    void unlock() { flag_.clear(std::memory_order_release); }

private:
    std::atomic_flag flag_ = ATOMIC_FLAG_INIT;
};
SpinLock g_tableLock;
std::vector<std::unique_ptr<Slot>> g_slots;

Slot *FindSlot(int32_t handle)
{
    if (handle <= 0)
        return nullptr;
    const uint32_t h = uint32_t(handle);
    const size_t index = h & (kMaxOpenArchives - 1);
    if (index >= g_slots.size())
        return nullptr;
    Slot *slot = g_slots[index].get();
    return slot->open && slot->generation == h >> kSlotBits ? slot : nullptr;
}

struct FileKey {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{}, changed{};
};

FileKey KeyOf(const struct stat &st)
{
    return {st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
}

bool operator==(const timespec &a, const timespec &b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool operator==(const FileKey &a, const FileKey &b)
{
    return a.device == b.device && a.inode == b.inode && a.size == b.size &&
           a.modified == b.modified && a.changed == b.changed;
}

// Forgets a directory; its storage stays for the next archive unless it is unusually
// large.
void Recycle(CentralDirectory &directory)
{
    if (directory.Capacity() > kKeepCapacity)
        directory.Release();
    else
        directory.Reset();
}

// Per thread: scratch for file tails, the directory of the last successful check (the
// reader checks an archive and opens it right after; the open takes this directory
// instead of reading the file again when the file is unchanged), and the directory the
// listing command reads.
struct ThreadState {
    Buffer tail;
    CentralDirectory checked;
    std::string checkedPath;
    FileKey checkedKey;
    bool checkedValid = false;
    CentralDirectory listed;
    CentralDirectory ahead; // what the last read ahead found
};
thread_local ThreadState tState;

// Opens path as open(2) would, also when it is longer than the kernel takes in one call
// (ENAMETOOLONG): the folders before its last PATH_MAX bytes are then opened a stretch of
// whole components at a time, each relative to the one before.
int OpenPath(const char *path, int flags)
{
    const int fd = open(path, flags);
    if (fd >= 0 || errno != ENAMETOOLONG)
        return fd;
    std::string_view rest(path);
    int dir = AT_FDCWD;
    const auto closeDir = [&dir] {
        if (dir != AT_FDCWD)
            close(dir);
    };
    if (rest.starts_with('/')) {
        dir = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (dir < 0)
            return -1;
    }
    std::string piece;
    for (;;) {
        while (rest.starts_with('/'))
            rest.remove_prefix(1);
        if (rest.size() < PATH_MAX)
            break;
        const size_t cut = rest.rfind('/', PATH_MAX - 1);
        if (cut == std::string_view::npos || cut == 0) {
            closeDir();
            errno = ENAMETOOLONG; // a single component longer than any file system allows
            return -1;
        }
        piece.assign(rest.substr(0, cut));
        const int next = openat(dir, piece.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        closeDir();
        if (next < 0)
            return -1;
        dir = next;
        rest.remove_prefix(cut);
    }
    piece.assign(rest);
    const int last = openat(dir, piece.c_str(), flags);
    const int saved = errno;
    closeDir();
    errno = saved;
    return last;
}

// stat(2) that follows links, for paths of any length.
bool StatPath(const char *path, struct stat &st)
{
    if (stat(path, &st) == 0)
        return true;
    if (errno != ENAMETOOLONG)
        return false;
    const int fd = OpenPath(path, O_PATH | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = fstat(fd, &st) == 0;
    close(fd);
    return ok;
}

// A descriptor for a regular file, or -1. Non-blocking, so that opening a FIFO never
// waits for a writer; without a controlling-terminal side effect on a tty.
int OpenRegular(const char *path, struct stat &st)
{
    const int fd = OpenPath(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return -1;
    g_io.opens.fetch_add(1, std::memory_order_relaxed);
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// opened, where given, tells a regular file that holds no archive from one not read at all.
bool LoadFile(const char *path, CentralDirectory &directory, struct stat &st, bool wide = false,
              bool *opened = nullptr)
{
    const int fd = OpenRegular(path, st);
    if (opened)
        *opened = fd >= 0;
    if (fd < 0)
        return false;
    FileSource source(fd, uint64_t(st.st_size));
    const bool ok = directory.Load(source, tState.tail, wide);
    close(fd);
    if (!ok)
        Recycle(directory); // a file that shrank while read may have left much behind
    return ok;
}

// Directories read ahead, by path, until a check or an open takes them. No descriptor is
// kept: the file is known again by a stat of its path, which a network file system answers
// from its attribute cache, so that thousands of held reads cost no descriptors at all.
struct Held {
    CentralDirectory directory;
    FileKey key;
    size_t bytes = 0;
    bool archive = true; // false: the file was read and holds no archive
};
// A safety cap; the caller bounds what it reads ahead far below it.
constexpr size_t kMaxHeld = 4096;
constexpr size_t kMaxHeldBytes = size_t(256) << 20;
std::mutex g_heldLock;
// Never destroyed: a program that closes in the middle of a slow read ahead leaves the thread
// in it to end on its own, and that thread may still store its read while the process exits.
std::unordered_map<std::string, Held> &g_held = *new std::unordered_map<std::string, Held>;
size_t g_heldBytes = 0;
// Lets checks and opens skip the lock when nothing is held, as in every run without
// read-ahead.
std::atomic<size_t> g_heldCount{0};

// Forgets what is held for path. Call with g_heldLock held.
void ForgetHeld(std::unordered_map<std::string, Held>::iterator it)
{
    g_heldBytes -= it->second.bytes;
    g_held.erase(it);
    g_heldCount.store(g_held.size(), std::memory_order_release);
}

enum class Taken { Nothing, Archive, NotArchive };

// Takes what is held for path, where the file is still the one read: an archive, with
// directory and key set, or the verdict that it holds none. Whatever was held is no longer
// held afterwards.
Taken TakeHeld(const char *path, CentralDirectory &directory, FileKey &key)
{
    if (g_heldCount.load(std::memory_order_acquire) == 0)
        return Taken::Nothing;
    Held held;
    {
        std::lock_guard lock(g_heldLock);
        const auto it = g_held.find(path);
        if (it == g_held.end())
            return Taken::Nothing;
        held.directory.swap(it->second.directory);
        held.key = it->second.key;
        held.archive = it->second.archive;
        ForgetHeld(it);
    }
    struct stat st;
    if (!StatPath(path, st) || !S_ISREG(st.st_mode) || !(KeyOf(st) == held.key))
        return Taken::Nothing;
    if (!held.archive)
        return Taken::NotArchive;
    directory.swap(held.directory);
    key = held.key;
    return Taken::Archive;
}

// Moves a loaded directory into a free slot; directory gets the slot's old storage.
int32_t Publish(CentralDirectory &directory)
{
    std::lock_guard lock(g_tableLock);
    // The lowest free slot, so that one archive at a time always reuses the same storage.
    size_t index = 0;
    while (index < g_slots.size() && g_slots[index]->open)
        ++index;
    if (index == g_slots.size()) {
        if (index == size_t(kMaxOpenArchives))
            return 0;
        g_slots.push_back(std::make_unique<Slot>());
    }
    Slot &slot = *g_slots[index];
    slot.directory.swap(directory);
    Recycle(directory);
    slot.generation = slot.generation + 1 < kGenerations ? slot.generation + 1 : 1;
    slot.open = true;
    slot.listing = false;
    return int32_t(slot.generation << kSlotBits | index);
}

// Method names padded to the 8-byte field, so that each is one fixed-size copy.
const char (&MethodName(uint16_t method))[8]
{
    static const char kNames[][8] = {"store",  "shrink", "reduce", "implode", "deflate",
                                     "defl64", "bzip2",  "lzma",   "zstd",    "xz",
                                     "ppmd",   "aes",    "?"};
    switch (method) {
    case 0:
        return kNames[0];
    case 1:
        return kNames[1];
    case 2:
    case 3:
    case 4:
    case 5:
        return kNames[2];
    case 6:
        return kNames[3];
    case 8:
        return kNames[4];
    case 9:
        return kNames[5];
    case 12:
        return kNames[6];
    case 14:
        return kNames[7];
    case 93:
        return kNames[8];
    case 95:
        return kNames[9];
    case 98:
        return kNames[10];
    case 99:
        return kNames[11];
    default:
        return kNames[12];
    }
}

// Fills every field but the name, which is already in record.szFileName. Field by field
// rather than clearing all 560 bytes first: this runs once per entry.
void FillRecord(const CentralHeader &h, uint32_t index, size_t nameSize, EntryInfo &record)
{
    unsigned char *d = record.data;
    std::memcpy(d, h.fixed + 16, 12);     // CRC-32, compressed size, uncompressed size
    std::memcpy(d + 12, h.fixed + 14, 2); // date
    std::memcpy(d + 14, h.fixed + 12, 2); // time
    std::memcpy(d + 16, h.fixed + 10, 2); // method
    std::memcpy(d + 18, h.fixed + 8, 2);  // flags
    for (int i = 0; i < 4; ++i)
        d[20 + i] = static_cast<unsigned char>(index >> (8 * i));
    d[24] = d[25] = 0;
    const char *name = record.szFileName;
    // Folders end in a separator; some writers only set the MS-DOS folder attribute.
    const bool folder =
        (nameSize > 0 && (name[nameSize - 1] == '/' || name[nameSize - 1] == '\\')) ||
        (h.ExternalAttributes() & 0x10) != 0;
    record.szAttribute[0] = folder ? 'd' : '\0';
    record.szAttribute[1] = record.szAttribute[2] = '\0';
    std::memcpy(record.szMode, MethodName(h.Method()), sizeof record.szMode);
    std::memset(record.szReserved, 0, sizeof record.szReserved);
    std::memset(record.pad, 0, sizeof record.pad);
}

int32_t NextMatch(Slot &slot, EntryInfo *record)
{
    CentralHeader h;
    char candidate[kNameFieldSize];
    // Without a pattern every header is a match, so its name goes straight into the record.
    char *name = slot.all ? record->szFileName : candidate;
    while (slot.cursor.Next(h)) {
        const uint32_t index = slot.index;
        if (slot.index != UINT32_MAX)
            ++slot.index;
        const size_t size = DecodeEntryName(h.name, h.nameSize, h.extra, h.extraSize, name);
        if (!slot.all) {
            if (!MatchWildcard(slot.pattern, std::string_view(name, size)))
                continue;
            std::memcpy(record->szFileName, name, size + 1);
        }
        FillRecord(h, index, size, *record);
        return 0;
    }
    return 1;
}

// Splits at blanks; double quotes group, and are dropped. False for an unclosed quote.
bool SplitCommand(const char *line, std::vector<std::string> &args)
{
    std::string current;
    bool quoted = false, any = false;
    for (const char *p = line; *p; ++p) {
        if (*p == '"') {
            quoted = !quoted;
            any = true;
        } else if (!quoted && (*p == ' ' || *p == '\t')) {
            if (any)
                args.push_back(std::move(current));
            current.clear();
            any = false;
        } else {
            current += *p;
            any = true;
        }
    }
    if (any)
        args.push_back(std::move(current));
    return !quoted;
}

} // namespace

int32_t CheckArchive(const char *path)
{
    ThreadState &t = tState;
    t.checkedValid = false;
    if (!path)
        return 0;
    struct stat st;
    switch (TakeHeld(path, t.checked, t.checkedKey)) {
    case Taken::Archive:
        t.checkedPath.assign(path);
        t.checkedValid = true;
        return 1;
    case Taken::NotArchive:
        return 0;
    case Taken::Nothing:
        break;
    }
    if (!LoadFile(path, t.checked, st))
        return 0;
    t.checkedPath.assign(path);
    t.checkedKey = KeyOf(st);
    t.checkedValid = true;
    return 1;
}

int32_t OpenArchive(const char *path)
{
    ThreadState &t = tState;
    if (!path) {
        t.checkedValid = false;
        return 0;
    }
    bool ready = false;
    FileKey key;
    const Taken taken = TakeHeld(path, t.checked, key);
    if (taken == Taken::NotArchive) {
        t.checkedValid = false;
        return 0;
    }
    if (taken == Taken::Archive) {
        ready = true;
    } else if (t.checkedValid && t.checkedPath == path) {
        // stat follows links as open does; an unchanged file needs no second read.
        struct stat st;
        ready = StatPath(path, st) && S_ISREG(st.st_mode) && KeyOf(st) == t.checkedKey;
    }
    t.checkedValid = false;
    if (!ready) {
        struct stat st;
        if (!LoadFile(path, t.checked, st))
            return 0;
    }
    return Publish(t.checked);
}

int64_t ReadAhead(const char *path)
{
    if (!path)
        return -1;
    ThreadState &t = tState;
    Held held;
    struct stat st;
    bool opened = false;
    // A wide load leaves the directory in storage of its own size, which is held as it is:
    // held reads cost what they hold, and no copy is made. Storage left over from a load that
    // reused the thread's is copied to size.
    if (LoadFile(path, t.ahead, st, true, &opened)) {
        if (t.ahead.Capacity() - t.ahead.Size() <= t.ahead.Size() / 8)
            held.directory.swap(t.ahead);
        else if (!held.directory.CopyOf(t.ahead))
            opened = false;
    } else {
        // A file read and found to hold no archive: the verdict is held, so that the check
        // need not read it again.
        held.archive = false;
    }
    // Many threads read ahead at once: none keeps more than a usual directory's storage.
    if (t.ahead.Capacity() > kKeepAhead)
        t.ahead.Release();
    else
        t.ahead.Reset();
    if (!opened) {
        DropReadAhead(path);
        return -1;
    }
    held.key = KeyOf(st);
    held.bytes = held.directory.Capacity() + std::strlen(path) + sizeof(Held) + 64;
    const int64_t bytes = held.archive ? int64_t(held.bytes) : 0;
    std::lock_guard lock(g_heldLock);
    auto it = g_held.find(path);
    if (it != g_held.end())
        ForgetHeld(it);
    if (g_held.size() >= kMaxHeld || held.bytes > kMaxHeldBytes - g_heldBytes)
        return -1;
    g_heldBytes += held.bytes;
    g_held.emplace(path, std::move(held));
    g_heldCount.store(g_held.size(), std::memory_order_release);
    return bytes;
}

void DropReadAhead(const char *path)
{
    std::unordered_map<std::string, Held> dropped; // freed outside the lock
    std::lock_guard lock(g_heldLock);
    if (!path) {
        dropped.swap(g_held);
        g_heldBytes = 0;
    } else if (const auto it = g_held.find(path); it != g_held.end()) {
        ForgetHeld(it);
    }
    g_heldCount.store(g_held.size(), std::memory_order_release);
}

int32_t CheckArchiveBytes(const void *data, size_t size)
{
    ThreadState &t = tState;
    t.checkedValid = false;
    MemorySource source(data, data ? size : 0);
    return t.checked.Load(source, t.tail) ? 1 : 0;
}

int32_t OpenArchiveBytes(const void *data, size_t size)
{
    ThreadState &t = tState;
    t.checkedValid = false;
    MemorySource source(data, data ? size : 0);
    if (!t.checked.Load(source, t.tail))
        return 0;
    return Publish(t.checked);
}

int32_t FindFirst(int32_t handle, const char *pattern, EntryInfo *record)
{
    if (!record)
        return 1;
    std::lock_guard lock(g_tableLock);
    Slot *slot = FindSlot(handle);
    if (!slot)
        return 1;
    slot->cursor = slot->directory.Headers();
    slot->index = 0;
    slot->listing = true;
    slot->all = !pattern || std::strcmp(pattern, "*") == 0 || std::strcmp(pattern, "*.*") == 0;
    if (!slot->all)
        slot->pattern.assign(pattern);
    return NextMatch(*slot, record);
}

int32_t FindNext(int32_t handle, EntryInfo *record)
{
    if (!record)
        return 1;
    std::lock_guard lock(g_tableLock);
    Slot *slot = FindSlot(handle);
    if (!slot || !slot->listing)
        return 1;
    return NextMatch(*slot, record);
}

int32_t CloseArchive(int32_t handle)
{
    std::lock_guard lock(g_tableLock);
    Slot *slot = FindSlot(handle);
    if (!slot)
        return 1;
    slot->open = false;
    slot->listing = false;
    slot->cursor = HeaderCursor();
    Recycle(slot->directory);
    return 0;
}

int32_t RunCommand(const char *cmdline, char *output, int32_t size)
{
    const bool writable = output && size > 0;
    if (writable)
        output[0] = '\0';
    std::vector<std::string> args;
    if (!cmdline || !SplitCommand(cmdline, args) || args.size() != 2 ||
        (args[0] != "-l" && args[0] != "-Z1"))
        return 2;
    ThreadState &t = tState;
    struct stat st;
    if (!LoadFile(args[1].c_str(), t.listed, st))
        return 3;
    // Whole lines only, so that a cut listing never ends in part of a name.
    const size_t room = writable ? size_t(size) - 1 : 0;
    size_t used = 0;
    bool truncated = false;
    HeaderCursor cursor = t.listed.Headers();
    CentralHeader h;
    char name[kNameFieldSize];
    while (cursor.Next(h)) {
        const size_t n = DecodeEntryName(h.name, h.nameSize, h.extra, h.extraSize, name);
        if (room - used < n + 1) {
            truncated = true;
            break;
        }
        std::memcpy(output + used, name, n);
        output[used + n] = '\n';
        used += n + 1;
    }
    if (writable)
        output[used] = '\0';
    Recycle(t.listed);
    return truncated ? 1 : 0;
}

} // namespace unzip32
