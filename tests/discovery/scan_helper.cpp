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

#ifdef __SANITIZE_ADDRESS__
#include <sys/syscall.h>

// The sanitizers' runtime learns whether memory can be read, as its check of an object's type
// needs, by writing the memory into a pipe: with every descriptor taken it sees no readable
// vtable and reports a sound object as having none. Two of the descriptors taken are held for
// it and given up when its pipe finds no descriptor free.
int g_heldForRuntime[2] = {-1, -1};

extern "C" int pipe(int fds[2]) noexcept
{
    const int made = int(::syscall(SYS_pipe2, fds, 0));
    if (made == 0 || errno != EMFILE || g_heldForRuntime[0] < 0)
        return made;
    ::close(g_heldForRuntime[0]);
    ::close(g_heldForRuntime[1]);
    g_heldForRuntime[0] = g_heldForRuntime[1] = -1;
    return int(::syscall(SYS_pipe2, fds, 0));
}
#endif

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
#ifdef __SANITIZE_ADDRESS__
        if (taken.size() >= 2) {
            g_heldForRuntime[0] = taken[0];
            g_heldForRuntime[1] = taken[1];
        }
#endif
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
