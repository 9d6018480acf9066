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
#include "PrintingTree.h"
#include "SearchEngine.h"

namespace
{

constexpr const char *kUsage =
    "usage: hakomi-ls FOLDER\n"
    "       hakomi-ls --find TEXT [--case] [--width] FOLDER\n"
    "Prints every archive below FOLDER with its entry names, one node per line:\n"
    "an archive's path, then its entries each after a TAB.\n"
    "With --find, presses find-next on that tree until nothing more matches, printing\n"
    "each node found as its index, a TAB and its text; --case tells upper from lower\n"
    "case, --width full-width from half-width.\n";

int usageError(const char *why)
{
    std::fprintf(stderr, "hakomi-ls: %s\n%s", why, kUsage);
    return 2;
}

struct FindRequest {
    bool wanted = false;
    std::string text; // UTF-8
    int checkDistinction = 0;
    int checkAllHalf = 0;
};

// Opens the search on the tree and presses find-next until a find selects nothing.
void printFinds(platform::PlainTreeNodes &nodes, const FindRequest &find, lister::Output &out)
{
    search::SearchEngine engine;
    engine.Command2_Click(nodes);
    engine.FormLoaded();
    const std::u16string text = platform::FromUtf8(find.text);
    for (;;) {
        const search::FindResult r =
            engine.FindNext(text, find.checkDistinction, find.checkAllHalf);
        if (r.outcome == search::FindOutcome::Ignored)
            return;
        if (r.outcome == search::FindOutcome::Ended) {
            out.Raw(search::kSearchEndedText);
            out.Raw("\n");
            return;
        }
        out.Raw(std::to_string(r.node));
        out.Raw("\t");
        out.Escaped(nodes.Text(r.node));
        out.Raw("\n");
    }
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::string_view> args(argv + 1, argv + argc);
    std::string folder;
    bool haveFolder = false;
    bool endOfOptions = false;
    FindRequest find;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view a = args[i];
        if (!endOfOptions && a == "--find") {
            if (++i == args.size())
                return usageError("--find needs a text");
            find.wanted = true;
            find.text = args[i];
            continue;
        }
        if (!endOfOptions && (a == "--case" || a == "--width")) {
            (a == "--case" ? find.checkDistinction : find.checkAllHalf) = 1;
            continue;
        }
        if (!endOfOptions && a == "--help") {
            std::fputs(kUsage, stdout);
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
    if (!find.wanted && (find.checkDistinction || find.checkAllHalf))
        return usageError("--case and --width go with --find");

    if (DIR *d = opendir(folder.c_str())) {
        closedir(d);
    } else {
        std::fprintf(stderr, "hakomi-ls: cannot read %s: %s\n", folder.c_str(),
                     std::strerror(errno));
        return 1;
    }

    lister::Output out(stdout);
    // A plain listing prints the nodes as they come; a search needs the whole tree kept.
    platform::PlainTreeNodes kept;
    lister::PrintingTreeNodes printed(out);
    platform::TreeNodes &nodes = find.wanted ? static_cast<platform::TreeNodes &>(kept) : printed;
    listing::RunView view;
    try {
        listing::ListFolder(folder, nodes, view);
    } catch (const std::exception &e) {
        out.Flush();
        std::fprintf(stderr, "hakomi-ls: %s\n", e.what());
        return 1;
    }
    for (const auto &skipped : Module1::SkippedFolders)
        std::fprintf(stderr, "hakomi-ls: skipped %s: %s\n", skipped.path.c_str(),
                     std::strerror(skipped.error));
    if (find.wanted)
        printFinds(kept, find, out);
    if (!out.Flush()) {
        std::fprintf(stderr, "hakomi-ls: cannot write the listing: %s\n", std::strerror(errno));
        return 1;
    }
    return 0;
}
