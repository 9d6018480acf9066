// The folder scan alone, with and without its read-ahead: bench_scan FOLDER [ROUNDS]. Prints the
// best time of each; on a file share each round should start on a fresh mount.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "DirectoryReader.h"
#include "FindZipFiles.h"
#include "Module1.h"

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_scan FOLDER [ROUNDS]\n");
        return 2;
    }
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    for (const int threads : {0, -1}) {
        discovery::SetReadAheadThreadsForTesting(threads);
        double best = std::numeric_limits<double>::infinity();
        for (int i = 0; i < rounds; ++i) {
            Module1::ArchiveList.emplace();
            Module1::ArchiveCount = 0;
            Module1::SkippedFolders.clear();
            const auto start = std::chrono::steady_clock::now();
            Module1::FindZipFiles(argv[1]);
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
            best = std::min(best, took.count());
        }
        std::printf("%-22s %8.3f s  %lld archives, %zu folders skipped\n",
                    threads ? "read ahead" : "one folder at a time", best,
                    static_cast<long long>(Module1::ArchiveCount), Module1::SkippedFolders.size());
    }
    return 0;
}
