// hakomi-ls: prints the tree that the program's listing run builds for a folder.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <string>
#include <string_view>
#include <vector>

#include "Listing.h"
#include "Module1.h"
#include "Output.h"

namespace {

constexpr const char *Usage =
    "usage: hakomi-ls FOLDER\n"
    "Prints every archive below FOLDER with its entry names, one node per line:\n"
    "an archive's path, then its entries each after a TAB.\n";

int usageError(const char *why)
{
    std::fprintf(stderr, "hakomi-ls: %s\n%s", why, Usage);
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::string_view> args(argv + 1, argv + argc);
    std::string folder;
    bool haveFolder = false;
    bool endOfOptions = false;
    for (std::string_view a : args) {
        if (!endOfOptions && a == "--help") {
            std::fputs(Usage, stdout);
            return 0;
        }
        if (!endOfOptions && a == "--") {
            endOfOptions = true;
            continue;
        }
        if (!endOfOptions && a.size() > 1 && a[0] == '-')
            return usageError(("unknown option " + std::string(a)).c_str());
        if (haveFolder)
            return usageError("one folder only");
        folder = a;
        haveFolder = true;
    }
    if (!haveFolder || folder.empty())
        return usageError("no folder given");

    if (DIR *d = opendir(folder.c_str())) {
        closedir(d);
    } else {
        std::fprintf(stderr, "hakomi-ls: cannot read %s: %s\n", folder.c_str(), std::strerror(errno));
        return 1;
    }

    platform::PlainTreeNodes nodes;
    listing::RunView view;
    try {
        listing::ListFolder(folder, nodes, view);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "hakomi-ls: %s\n", e.what());
        return 1;
    }
    for (const auto &skipped : Module1::SkippedFolders)
        std::fprintf(stderr, "hakomi-ls: skipped %s: %s\n", skipped.path.c_str(),
                     std::strerror(skipped.error));

    lister::Output out(stdout);
    const platform::TreeStore &store = nodes.Store();
    for (platform::NodeId id = 1; id <= store.Count(); ++id) {
        if (store.Parent(id) != platform::TreeStore::Root)
            out.Raw("\t");
        out.Escaped(store.Text(id));
        out.Raw("\n");
    }
    if (!out.Flush()) {
        std::fprintf(stderr, "hakomi-ls: cannot write the listing: %s\n", std::strerror(errno));
        return 1;
    }
    return 0;
}
