// The few file-system calls the folder scan makes. The scan goes through this interface so that a
// test can make a folder vanish, be replaced or fail at an exact point of the walk. The scan's
// read-ahead threads call it too, at once.
#pragma once

#include <cstddef>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/types.h>

namespace discovery
{

// Folders the scan keeps open at once, the chosen folder included, when descriptors are plenty.
// Deeper trees reopen a folder from its nearest open ancestor when they need it again, so depth
// is not bounded by this.
inline constexpr int kMaxOpenFolders = 32;

// Descriptors the scan's read-ahead holds at most besides those: folders read ahead and not yet
// reached by the walk, and what its threads have open while they read.
inline constexpr int kReadAheadDescriptors = 384;

// Folders the scan may keep open under the process's current descriptor limit: fewer than
// kMaxOpenFolders when the limit is low, but never fewer than three (the chosen folder, a
// parent and the folder being opened).
int MaxOpenFolders();

class DirectoryReader
{
public:
    virtual ~DirectoryReader() = default;
    // Opens the folder `name` below the open folder `at` (AT_FDCWD: `name` is a path), following
    // symbolic links. A descriptor, or -1 with errno set.
    virtual int Open(int at, const char *name);
    // Reads the next entries of an open folder into buffer, in the kernel's dirent64 form: the
    // number of bytes filled, 0 at the end, or -1 with errno set.
    virtual long ReadEntries(int fd, void *buffer, std::size_t size);
    // Status of `name` below the open folder `at`, following symbolic links: 0, or -1 with errno.
    virtual int Stat(int at, const char *name, struct stat *status);
    // Status of an open folder: 0, or -1 with errno.
    virtual int StatOpen(int fd, struct stat *status);
    // File-system status of an open folder: 0, or -1 with errno.
    virtual int StatFsOpen(int fd, struct statfs *status);
    virtual void Close(int fd);
};

// Makes the scan read through reader (nullptr: the file system itself). Returns the previous one.
DirectoryReader *SetDirectoryReaderForTesting(DirectoryReader *reader);

// Makes the scan read folders ahead on that many threads (0: none; -1: as many as the descriptor
// limit allows). Returns the previous setting.
int SetReadAheadThreadsForTesting(int threads);

} // namespace discovery
