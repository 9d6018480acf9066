// hakomi-ls: prints the tree that the program's listing run builds for a folder.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <getopt.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <string>
#include <string_view>

#include "Listing.h"
#include "Module1.h"
#include "Output.h"
#include "PrintingTree.h"
#include "SearchEngine.h"
#include "Version.h"

namespace
{

constexpr const char *kUsage =
    "usage: hakomi-ls [-0] FOLDER\n"
    "       hakomi-ls --find=TEXT [--case] [--width] [-0] FOLDER\n"
    "       hakomi-ls --help | --version\n"
    "Prints every archive below FOLDER with its entry names, one node per line:\n"
    "an archive's path, then its entries each after a TAB.\n"
    "With --find, presses find-next on that tree until nothing more matches, printing\n"
    "each node found as its index, a TAB and its text; --case tells upper from lower\n"
    "case, --width full-width from half-width.\n"
    "Texts are escaped so that a node is one line and shows as itself: \\\\ for a\n"
    "backslash, \\xHH for control bytes and bytes that are not UTF-8, \\u{XXXX} for\n"
    "characters that can hide or reorder text. -0 (--null) ends each node with NUL\n"
    "instead, and escapes nothing.\n";

int usageError(const char *why)
{
    std::fprintf(stderr, "hakomi-ls: %s\n%s", why, kUsage);
    return 2;
}

// Archive nodes carry the path's bytes as they are, so that the output can escape the bytes
// that are not UTF-8 and a script can find the file again.
class LosslessView : public listing::RunView
{
public:
    std::string ArchiveText(std::string_view path) override { return std::string(path); }
};

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
            out.EndNode();
            return;
        }
        out.Raw(std::to_string(r.node));
        out.Raw("\t");
        out.Text(nodes.Text(r.node));
        out.EndNode();
    }
}

// Directories read ahead on dozens of threads are freed on the listing's. By default each reading
// thread gets an arena of its own, storage of 128 KiB and more is mapped afresh each time, and
// the top of a heap goes back to the system whenever it is free, so that most directories read
// ahead came as fresh pages, a fault each. One arena that keeps its storage reuses the pages the
// listing frees: on the emulated share at 1 ms a request, 5-10% less processor time on the large
// corpus, for about 10 MiB more at the peak. The program does without: its peak with a tree of
// 1.6 million nodes grew by 20 MiB, and its time did not change. Call before any thread starts.
void TuneAllocator()
{
#if defined(__GLIBC__)
    mallopt(M_ARENA_MAX, 1);
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
#endif
}

} // namespace

int main(int argc, char **argv)
{
    TuneAllocator();
    enum { OptCase = 256, OptWidth, OptVersion };
    static const option kOptions[] = {{"find", required_argument, nullptr, 'f'},
                                      {"case", no_argument, nullptr, OptCase},
                                      {"width", no_argument, nullptr, OptWidth},
                                      {"null", no_argument, nullptr, '0'},
                                      {"help", no_argument, nullptr, 'h'},
                                      {"version", no_argument, nullptr, OptVersion},
                                      {nullptr, 0, nullptr, 0}};
    FindRequest find;
    bool null = false;
    opterr = 0; // the messages below say it in the lister's words
    for (int c; (c = getopt_long(argc, argv, ":0h", kOptions, nullptr)) != -1;) {
        switch (c) {
        case 'f':
            find.wanted = true;
            find.text = optarg;
            break;
        case OptCase:
            find.checkDistinction = 1;
            break;
        case OptWidth:
            find.checkAllHalf = 1;
            break;
        case '0':
            null = true;
            break;
        case 'h':
            std::fputs(kUsage, stdout);
            return 0;
        case OptVersion:
            std::printf("hakomi-ls %s\n", app::kVersion);
            return 0;
        case ':':
            return usageError((std::string(argv[optind - 1]) + " needs a text").c_str());
        default:
            return usageError(("unknown option " + std::string(argv[optind - 1])).c_str());
        }
    }
    if (optind == argc || argv[optind][0] == '\0')
        return usageError("no folder given");
    if (argc - optind > 1)
        return usageError("one folder only");
    const std::string folder = argv[optind];
    if (!find.wanted && (find.checkDistinction || find.checkAllHalf))
        return usageError("--case and --width go with --find");

    if (DIR *d = opendir(folder.c_str())) {
        closedir(d);
    } else {
        std::fprintf(stderr, "hakomi-ls: cannot read %s: %s\n", lister::Escape(folder).c_str(),
                     std::strerror(errno));
        return 1;
    }

    lister::Output out(stdout, null);
    // A plain listing prints the nodes as they come; a search needs the whole tree kept.
    platform::PlainTreeNodes kept;
    lister::PrintingTreeNodes printed(out);
    platform::TreeNodes &nodes = find.wanted ? static_cast<platform::TreeNodes &>(kept) : printed;
    LosslessView view;
    try {
        listing::ListFolder(folder, nodes, view);
    } catch (const std::exception &e) {
        out.Flush();
        std::fprintf(stderr, "hakomi-ls: %s\n", lister::Escape(e.what()).c_str());
        return 1;
    }
    for (const auto &skipped : Module1::SkippedFolders)
        std::fprintf(stderr, "hakomi-ls: skipped %s: %s\n", lister::Escape(skipped.path).c_str(),
                     std::strerror(skipped.error));
    for (const auto &archive : Module1::RejectedArchives) {
        const std::string path = lister::Escape(archive.path);
        if (archive.error == 0)
            std::fprintf(stderr, "hakomi-ls: %s: empty archive\n", path.c_str());
        else
            std::fprintf(stderr, "hakomi-ls: cannot read %s: %s\n", path.c_str(),
                         std::strerror(archive.error));
    }
    if (find.wanted)
        printFinds(kept, find, out);
    if (!out.Flush()) {
        std::fprintf(stderr, "hakomi-ls: cannot write the listing: %s\n", std::strerror(errno));
        return 1;
    }
    return 0;
}
