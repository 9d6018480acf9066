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
    /* Entry data the caller does not read: CRC-32 (4), compressed size (4), uncompressed
     * size (4), DOS date (2) and time (2), compression method (2), general purpose
     * flags (2), index in the central directory (4), two reserved bytes (2). */
    unsigned char data[26];
    /* Entry name, UTF-8, NUL-terminated when shorter than the field; cut at a character
     * boundary when the name does not fit. */
    char szFileName[513];
    /* Attributes as text ("d" for a folder, "" otherwise), NUL-terminated. */
    char szAttribute[3];
    /* Compression method as text ("store", "deflate", ... or "?"), NUL-terminated. */
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

/* Mode for UnZipCheckArchive: 1 = full check of the central directory. */
#define UNZIP_CHECK_FULL 1
/* Mode for UnZipOpenArchive: names only; the library never reads entry data. */
#define UNZIP_OPEN_NAMES 0x800000

/* Nonzero when path names a regular file holding a ZIP archive (an end record that
 * points at a well-formed central directory; zero entries pass). 0 otherwise. */
UNZIP32_API int32_t UnZipCheckArchive(const char *path, int32_t mode);

/* Opens the archive for listing. Returns a positive handle, or 0 or a negative value
 * when the file is no readable archive. hwnd is not used. */
UNZIP32_API int32_t UnZipOpenArchive(int32_t hwnd, const char *path, int32_t mode);

/* Starts a listing: 0 with record filled with the first entry that matches pattern,
 * nonzero when there is none or the handle is not open. "*.*" and "*" select every
 * entry; see the library's README for other patterns. */
UNZIP32_API int32_t UnZipFindFirst(int32_t handle, const char *pattern, EntryInfo *record);

/* 0 with record filled with the next matching entry, nonzero at the end or when the
 * handle is not open. */
UNZIP32_API int32_t UnZipFindNext(int32_t handle, EntryInfo *record);

/* Closes a handle. A handle of 0 or less, or one not open, is ignored. Returns 0 when a
 * handle was closed, nonzero otherwise. */
UNZIP32_API int32_t UnZipCloseArchive(int32_t handle);

/* Runs a command line. Supported: "-l ARCHIVE" (also "-Z1 ARCHIVE"), which writes the
 * entry names, one per line, into output, never more than size bytes, always
 * NUL-terminated when size > 0. Results: 0 done; 1 output truncated; 2 usage error or
 * unsupported command; 3 not an archive. Paths with spaces go in double quotes. */
UNZIP32_API int32_t UnZip(int32_t hwnd, const char *cmdline, char *output, int32_t size);

#ifdef __cplusplus
}
#endif

#endif
