// Prints what the folder scan finds below argv[1], for tests that run the scan as another user
// or under a descriptor limit: "U uid", then "A path" per archive, "S errno path" per skipped
// folder and "L limit", the soft descriptor limit after the scan.
//
// With "SOFT HARD FREE" after the folder, the scan runs under that descriptor limit with all but
// FREE descriptors taken.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include "FindZipFiles.h"
#include "Module1.h"

int main(int argc, char **argv)
{
    if (argc != 2 && argc != 5)
        return 2;
    if (argc == 5) {
        const rlimit limit{std::strtoul(argv[2], nullptr, 10), std::strtoul(argv[3], nullptr, 10)};
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
            return 3;
        std::vector<int> taken;
        for (int fd; (fd = ::open("/dev/null", O_RDONLY)) >= 0;)
            taken.push_back(fd);
        if (errno != EMFILE)
            return 4;
        for (int free = std::atoi(argv[4]); free > 0 && !taken.empty(); --free) {
            ::close(taken.back());
            taken.pop_back();
        }
    }
    Module1::ArchiveList.emplace();
    Module1::FindZipFiles(argv[1]);
    std::printf("U %d\n", int(::geteuid()));
    for (std::size_t i = 1; i <= Module1::ArchiveList->Count(); ++i) {
        const std::string_view path = Module1::ArchiveList->Item(i);
        std::printf("A %.*s\n", int(path.size()), path.data());
    }
    for (const Module1::SkippedFolder &s : Module1::SkippedFolders)
        std::printf("S %d %s\n", s.error, s.path.c_str());
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    std::printf("L %llu\n", static_cast<unsigned long long>(limit.rlim_cur));
    return 0;
}
