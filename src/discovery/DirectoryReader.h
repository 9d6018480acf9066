// The few file-system calls the folder scan makes. The scan goes through this interface so that a
// test can make a folder vanish, be replaced or fail at an exact point of the walk.
#pragma once

#include <cstddef>
#include <sys/stat.h>
#include <sys/types.h>

namespace discovery
{

// Folders the scan keeps open at once, the chosen folder included. Deeper trees reopen a folder
// from its nearest open ancestor when they need it again, so depth is not bounded by this.
inline constexpr int kMaxOpenFolders = 32;

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
    virtual void Close(int fd);
};

// Makes the scan read through reader (nullptr: the file system itself). Returns the previous one.
DirectoryReader *SetDirectoryReaderForTesting(DirectoryReader *reader);

} // namespace discovery
