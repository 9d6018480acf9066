/* Peer for the benchmark: every entry name of every archive below FOLDER, read with libzip in
 * one process, in the lister's order. Built by bench/run-bench against bench/walk.h.
 * Output as the yardstick's: the archive's path, then TAB raw-name per entry. */
#include <zip.h>

#include "walk.h"

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: peer_libzip FOLDER\n");
        return 2;
    }
    struct paths zips = {0};
    find_archives(argv[1], &zips);
    unsigned long long entries = 0, bad = 0;
    for (size_t i = 0; i < zips.n; i++) {
        emit_archive(zips.v[i]);
        int err = 0;
        zip_t *z = zip_open(zips.v[i], ZIP_RDONLY, &err);
        zip_int64_t n = z ? zip_get_num_entries(z, 0) : -1;
        for (zip_int64_t j = 0; j < n; j++) {
            const char *name = zip_get_name(z, (zip_uint64_t)j, ZIP_FL_ENC_RAW);
            if (name)
                emit_entry(name, strlen(name));
        }
        if (z)
            zip_discard(z);
        if (n <= 0) {
            emit_not_archive();
            bad++;
        } else {
            entries += (unsigned long long)n;
        }
    }
    emit_flush();
    fprintf(stderr, "peer_libzip: archives=%zu entries=%llu not-archives-or-empty=%llu\n", zips.n,
            entries, bad);
    paths_free(&zips);
    return 0;
}
