/* Peer for the benchmark: every entry name of every archive below FOLDER, read with libarchive's
 * seekable ZIP reader (which reads the central directory, then every local header) in one
 * process, in the lister's order. Built by bench/run-bench against bench/walk.h.
 * Output as the yardstick's: the archive's path, then TAB name per entry. */
#include <archive.h>
#include <archive_entry.h>

#include "walk.h"

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: peer_libarchive FOLDER\n");
        return 2;
    }
    struct paths zips = {0};
    find_archives(argv[1], &zips);
    unsigned long long entries = 0, bad = 0;
    for (size_t i = 0; i < zips.n; i++) {
        emit_archive(zips.v[i]);
        struct archive *a = archive_read_new();
        archive_read_support_format_zip_seekable(a);
        long long n = 0;
        if (archive_read_open_filename(a, zips.v[i], 65536) == ARCHIVE_OK) {
            struct archive_entry *e;
            int r;
            /* A warning (an odd extra field, say) still gives the entry. */
            while ((r = archive_read_next_header(a, &e)) == ARCHIVE_OK || r == ARCHIVE_WARN) {
                const char *name = archive_entry_pathname(e);
                if (name)
                    emit_entry(name, strlen(name));
                n++;
            }
        }
        archive_read_free(a);
        if (n == 0) {
            emit_not_archive();
            bad++;
        } else {
            entries += (unsigned long long)n;
        }
    }
    emit_flush();
    fprintf(stderr, "peer_libarchive: archives=%zu entries=%llu not-archives-or-empty=%llu\n",
            zips.n, entries, bad);
    paths_free(&zips);
    return 0;
}
