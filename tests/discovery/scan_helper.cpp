// Prints what the folder scan finds below argv[1], for tests that run the scan as another user:
// "U uid", then "A path" per archive and "S errno path" per skipped folder.
#include <cstdio>
#include <unistd.h>

#include "FindZipFiles.h"
#include "Module1.h"

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    Module1::ArchiveList.emplace();
    Module1::FindZipFiles(argv[1]);
    std::printf("U %d\n", int(::geteuid()));
    for (std::size_t i = 1; i <= Module1::ArchiveList->Count(); ++i) {
        const std::string_view path = Module1::ArchiveList->Item(i);
        std::printf("A %.*s\n", int(path.size()), path.data());
    }
    for (const Module1::SkippedFolder &s : Module1::SkippedFolders)
        std::printf("S %d %s\n", s.error, s.path.c_str());
    return 0;
}
