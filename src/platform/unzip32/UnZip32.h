/* UnZip32.h - the archive library's call interface.
 *
 * A names-only ZIP reader behind six C functions. Text crossing this interface is in
 * the platform's narrow encoding, UTF-8 on Linux: paths are the file system's own bytes,
 * passed through unchanged, and entry names come out as UTF-8.
 *
 * Every function checks its arguments first and reports failure in its result; none
 * blocks on anything but reading a regular file, and none writes to the file system.
 */
#ifndef UNZIP32_H
#define UNZIP32_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(UNZIP32_BUILDING)
#define UNZIP32_API __attribute__((visibility("default")))
#else
#define UNZIP32_API
#endif

/* The per-entry record that UnZipFindFirst and UnZipFindNext fill: 560 bytes. */
typedef struct EntryInfo {
    /* Entry data the caller does not read, little-endian, as the central header stores
     * it (sizes are 0xFFFFFFFF when the real ones are in a ZIP64 extra field): CRC-32 (4),
     * compressed size (4), uncompressed size (4), DOS date (2) and time (2), compression
     * method (2), general purpose flags (2), index in the central directory counted from
     * 0 (4), two zero bytes (2). */
    unsigned char data[26];
    /* Entry name, UTF-8, always NUL-terminated: a longer name is cut to the whole
     * characters that fit in 512 bytes. A NUL stored inside a name ends it. The bytes
     * after the terminator are left as they were. The stored name is read from a valid
     * Unicode Path extra field, else as UTF-8, code page 932 or code page 437, the first
     * that decodes all of it. */
    char szFileName[513];
    /* Attributes as text: "d" for a folder (the name ends in "/" or "\\", or the MS-DOS
     * folder attribute is set), "" otherwise. */
    char szAttribute[3];
    /* Compression method as text: "store", "shrink", "reduce", "implode", "deflate",
     * "defl64", "bzip2", "lzma", "zstd", "xz", "ppmd", "aes", or "?" for any other. */
    char szMode[8];
    /* Reserved text field, all zero. */
    char szReserved[8];
    /* Completes the 560 bytes. */
    unsigned char pad[2];
} EntryInfo;

#ifdef __cplusplus
static_assert(sizeof(EntryInfo) == 560, "EntryInfo crosses the library boundary as 560 bytes");
static_assert(offsetof(EntryInfo, szFileName) == 26, "name field at offset 26");
static_assert(offsetof(EntryInfo, szAttribute) == 539, "attribute field at offset 539");
static_assert(offsetof(EntryInfo, szMode) == 542, "mode field at offset 542");
static_assert(offsetof(EntryInfo, szReserved) == 550, "reserved field at offset 550");
#else
_Static_assert(sizeof(EntryInfo) == 560, "EntryInfo crosses the library boundary as 560 bytes");
_Static_assert(offsetof(EntryInfo, szFileName) == 26, "name field at offset 26");
#endif

/* Mode for UnZipCheckArchive: 1 = full check of the central directory. Every mode
 * gets the same check. */
#define UNZIP_CHECK_FULL 1
/* Mode for UnZipOpenArchive: names only. The library never reads entry data, whatever
 * the mode. */
#define UNZIP_OPEN_NAMES 0x800000

/* Nonzero when path names a regular file holding a ZIP archive: an end record, within
 * the last 1 MiB of the file, that leads to a central directory starting with a
 * well-formed header, or an empty archive. An archive marked as one part of several counts
 * when its directory lies in this file. 0 otherwise, also for FIFOs, devices and anything
 * else not a regular file, which are never read. Paths may be longer than PATH_MAX. */
UNZIP32_API int32_t UnZipCheckArchive(const char *path, int32_t mode);

/* Opens the archive for listing: reads its central directory into memory and closes
 * the file. Returns a positive handle, or 0 when the file is no readable archive or
 * 1024 archives are already open. hwnd is not used. */
UNZIP32_API int32_t UnZipOpenArchive(int32_t hwnd, const char *path, int32_t mode);

/* Starts a listing: 0 with record filled with the first entry that matches pattern,
 * nonzero (record untouched) when there is none or the handle is not open. Entries come
 * in central-directory order, each once. "*.*", "*" and a null pattern select every
 * entry; otherwise the pattern must match the whole UTF-8 name, "*" standing for any run
 * of characters ("/" included), "?" for one character, every other byte for itself. */
UNZIP32_API int32_t UnZipFindFirst(int32_t handle, const char *pattern, EntryInfo *record);

/* 0 with record filled with the next matching entry, nonzero (record untouched) at the
 * end, when the handle is not open, or before the handle's first UnZipFindFirst. */
UNZIP32_API int32_t UnZipFindNext(int32_t handle, EntryInfo *record);

/* Closes a handle. A handle of 0 or less, or one not open, is ignored. Returns 0 when a
 * handle was closed, nonzero otherwise. */
UNZIP32_API int32_t UnZipCloseArchive(int32_t handle);

/* Runs a command line. Supported: "-l ARCHIVE" (also "-Z1 ARCHIVE"), which writes the
 * entry names, each followed by a line feed, into output, never more than size bytes,
 * always NUL-terminated when size > 0; only whole lines are written. Results: 0 done;
 * 1 output truncated; 2 usage error or unsupported command; 3 not an archive. Arguments
 * are separated by blanks; double quotes group (paths with spaces) and are dropped. */
UNZIP32_API int32_t UnZip(int32_t hwnd, const char *cmdline, char *output, int32_t size);

/* Reads ahead, on the calling thread (any thread, several at once), what the next
 * UnZipCheckArchive and UnZipOpenArchive of path need: the file's end and its central
 * directory, in one open and one to three reads; the file is closed again before the call
 * returns, so holding reads costs no descriptors. Returns the number of bytes of memory now
 * held for path (> 0); 0 when the file was read and holds no archive, a verdict that is held
 * too, so that the next check answers 0 without reading; or -1 when nothing is held (not a
 * regular file, unreadable, or the library's own cap of 4096 paths or 256 MiB reached: a
 * later check reads again and answers as always). The held read answers the next check and
 * the next open of the byte-equal path, once: the open takes it, a failed check drops it,
 * and a second read-ahead of the path replaces it. Before it is used the library makes sure, with a
 * stat of the path, that the file is still the one that was read (same device, inode, size,
 * modification and status-change time); otherwise it reads again, and the answer is the one
 * a check or an open without read-ahead would give. Never blocks on anything but reading a
 * regular file; never writes. */
UNZIP32_API int64_t UnZipReadAhead(const char *path);

/* Drops what is held for path, or everything when path is NULL. */
UNZIP32_API void UnZipDropReadAhead(const char *path);

#ifdef __cplusplus
}
#endif

#endif
