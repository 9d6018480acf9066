/* The benchmarks' floor: a bare central-directory walk, about the least work that lists every
 * entry name of every archive below a folder, one request at a time.
 *
 *   floor [--walk-only] [--no-readahead] [--tail BYTES] FOLDER
 *
 * For each archive (walk.h's order): open, fstat, read the last BYTES (default 4096), and when
 * the end record is not in them, the last 64 KiB + 22; the ZIP64 records when the end record's
 * fields are saturated; the central directory, unless the tail already holds it; then each
 * central header's raw name is written out. No decoding, no checks beyond staying inside what
 * was read. Nothing else of the file is read.
 * Output: walk.h's listing; an empty archive counts as "(not an archive)", as the lister shows
 * both alike. --walk-only writes only the paths. --no-readahead asks the kernel to read only
 * what is asked for (POSIX_FADV_RANDOM). The counts go to stderr. Status 0, or 2 on bad use. */
#include "walk.h"

#include <errno.h>
#include <stdint.h>

#define END_SIZE 22
#define MAX_COMMENT 65535

static unsigned char *buf;
static size_t cap;

static unsigned char *room(size_t n)
{
    if (n > cap) {
        cap = n < 65536 ? 65536 : n;
        free(buf);
        buf = walk_alloc(NULL, cap);
    }
    return buf;
}

static unsigned le16(const unsigned char *p)
{
    return p[0] | (unsigned)p[1] << 8;
}
static uint32_t le32(const unsigned char *p)
{
    return le16(p) | (uint32_t)le16(p + 2) << 16;
}
static uint64_t le64(const unsigned char *p)
{
    return le32(p) | (uint64_t)le32(p + 4) << 32;
}

static int read_at(int fd, unsigned char *to, size_t n, uint64_t at)
{
    while (n > 0) {
        ssize_t got = pread(fd, to, n, (off_t)at);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return -1;
        to += got;
        n -= (size_t)got;
        at += (uint64_t)got;
    }
    return 0;
}

/* The offset in tail[0, n) of the last end record whose comment fits, or -1. */
static long find_end(const unsigned char *tail, size_t n)
{
    for (long i = (long)n - END_SIZE; i >= 0; i--)
        if (tail[i] == 'P' && tail[i + 1] == 'K' && tail[i + 2] == 5 && tail[i + 3] == 6 &&
            (size_t)i + END_SIZE + le16(tail + i + 20) <= n)
            return i;
    return -1;
}

static size_t first_tail = 4096;
static int random_access;

/* The number of entries written, or -1 when the file could not be listed. */
static long long list_archive(const char *path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return -1;
    if (random_access)
        posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
    long long listed = -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < END_SIZE)
        goto out;
    const uint64_t size = (uint64_t)st.st_size;

    size_t n = size < first_tail ? (size_t)size : first_tail;
    if (read_at(fd, room(n), n, size - n) != 0)
        goto out;
    long end = find_end(buf, n);
    if (end < 0 && n < size && n < END_SIZE + MAX_COMMENT) {
        n = size < END_SIZE + MAX_COMMENT ? (size_t)size : END_SIZE + MAX_COMMENT;
        if (read_at(fd, room(n), n, size - n) != 0)
            goto out;
        end = find_end(buf, n);
    }
    if (end < 0)
        goto out;
    const uint64_t tail_at = size - n;
    uint64_t count = le16(buf + end + 10), cd_size = le32(buf + end + 12),
             cd_at = le32(buf + end + 16), cd_end = tail_at + (uint64_t)end;

    if ((count == 0xFFFF || cd_size == 0xFFFFFFFF || cd_at == 0xFFFFFFFF) && end >= 20 &&
        le32(buf + end - 20) == 0x07064B50) {
        const uint64_t at = le64(buf + end - 20 + 8);
        unsigned char rec[56];
        if (at >= tail_at && at + sizeof rec <= tail_at + n)
            memcpy(rec, buf + (at - tail_at), sizeof rec);
        else if (read_at(fd, rec, sizeof rec, at) != 0)
            goto out;
        if (le32(rec) != 0x06064B50)
            goto out;
        count = le64(rec + 32);
        cd_size = le64(rec + 40);
        cd_at = le64(rec + 48);
        cd_end = at;
    }
    /* Bytes before the first entry that the offsets leave out (a self-extractor's stub). */
    if (cd_size > cd_end)
        goto out;
    if (cd_at + cd_size < cd_end)
        cd_at = cd_end - cd_size;
    if (cd_at + cd_size > size)
        goto out;

    const unsigned char *p;
    if (cd_at >= tail_at && cd_at + cd_size <= tail_at + n) {
        p = buf + (cd_at - tail_at);
    } else {
        if (read_at(fd, room((size_t)cd_size), (size_t)cd_size, cd_at) != 0)
            goto out;
        p = buf;
    }
    const unsigned char *const stop = p + cd_size;
    listed = 0;
    while ((uint64_t)listed < count && stop - p >= 46 && le32(p) == 0x02014B50) {
        const size_t name = le16(p + 28), rest = (size_t)le16(p + 30) + le16(p + 32);
        if ((size_t)(stop - p) < 46 + name + rest)
            break;
        emit_entry((const char *)p + 46, name);
        p += 46 + name + rest;
        listed++;
    }
out:
    close(fd);
    return listed;
}

int main(int argc, char **argv)
{
    int walk_only = 0;
    const char *root = NULL;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--walk-only") == 0)
            walk_only = 1;
        else if (strcmp(argv[i], "--no-readahead") == 0)
            random_access = 1;
        else if (strcmp(argv[i], "--tail") == 0 && i + 1 < argc)
            first_tail = strtoul(argv[++i], NULL, 10);
        else if (!root && argv[i][0] != '-')
            root = argv[i];
        else {
            root = NULL;
            break;
        }
    }
    if (!root || first_tail < END_SIZE) {
        fprintf(stderr, "usage: floor [--walk-only] [--no-readahead] [--tail BYTES] FOLDER\n");
        return 2;
    }
    struct paths zips = {0};
    find_archives(root, &zips);
    unsigned long long entries = 0, unlisted = 0;
    for (size_t i = 0; i < zips.n; i++) {
        emit_archive(zips.v[i]);
        if (walk_only)
            continue;
        const long long n = list_archive(zips.v[i]);
        if (n > 0) {
            entries += (unsigned long long)n;
        } else {
            emit_not_archive();
            unlisted++;
        }
    }
    emit_flush();
    fprintf(stderr, "floor: archives=%zu entries=%llu not-archives-or-empty=%llu\n", zips.n,
            entries, unlisted);
    paths_free(&zips);
    free(buf);
    return 0;
}
