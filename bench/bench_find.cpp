// Find-next on a tree of two million nodes: the first find after a change (one pass over every
// node) and the finds after it, for each option row.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "SearchEngine.h"
#include "TextConv.h"

namespace
{

using Clock = std::chrono::steady_clock;

double ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// Archives of about 200 entries each, with names mixing ASCII, Japanese and full-width forms.
void buildTree(platform::PlainTreeNodes &tree, std::size_t nodes)
{
    static const char *const kFolders[] = {
        "DCIM/",        "資料/",         "ドキュメント/",   "src/main/",
        "写真/2023年/", "ＢＡＣＫＵＰ/", "music/アルバム/", ""};
    static const char *const kStems[] = {"IMG_",     "会議メモ（第", "ReadMe", "ガイド",
                                         "report-",  "ＲＥＡＤＭＥ", "ﾃﾞｰﾀ",   "photo",
                                         "設計書_v", "Track "};
    static const char *const kExtensions[] = {".JPG",     ".txt", "）.docx", ".pdf",  ".cpp",
                                              "．ｔｘｔ", ".csv", ".png",    ".xlsx", ".mp3"};
    std::mt19937 rng(2024);
    auto pick = [&](std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
    };
    std::size_t archive = 0;
    std::string key, text;
    while (tree.Count() < nodes) {
        key = "R" + std::to_string(++archive);
        text = "/home/user/アーカイブ/" + std::to_string(2000 + archive % 24) + "/書庫_" +
               std::to_string(archive) + ".zip";
        tree.Add({}, 0, key, text);
        const std::size_t entries = std::min<std::size_t>(150 + pick(100), nodes - tree.Count());
        for (std::size_t e = 0; e < entries; ++e) {
            text = kFolders[pick(std::size(kFolders))];
            text += kStems[pick(std::size(kStems))];
            text += std::to_string(pick(10000));
            text += kExtensions[pick(std::size(kExtensions))];
            tree.Add(key, platform::TreeNodes::tvwChild, {}, text);
        }
    }
}

} // namespace

int main()
{
    const std::size_t nodeCount = 2000000;
    platform::PlainTreeNodes tree;
    const auto built = Clock::now();
    buildTree(tree, nodeCount);
    std::printf("tree: %zu nodes, built in %.0f ms\n", tree.Count(), ms(Clock::now() - built));

    // Tables are built on first use; time that apart from the finds.
    const auto tables = Clock::now();
    platform::LowerNarrow(u"Ａ");
    std::printf("conversion tables: %.1f ms\n\n", ms(Clock::now() - tables));

    struct Row {
        const char *name;
        int checkDistinction, checkAllHalf;
    };
    const Row rows[] = {{"case on,  width on ", 1, 1},
                        {"case on,  width off", 1, 0},
                        {"case off, width on ", 0, 1},
                        {"case off, width off", 0, 0}};
    const char *const texts[] = {"ＲＥＡＤＭＥ", "ガイド", "img_1", "書庫_999.zip", "no such name"};

    search::SearchEngine engine;
    engine.Command2_Click(tree);
    engine.FormLoaded();
    std::printf("%-20s %-18s %12s %10s %14s %14s\n", "options", "text", "first (ms)", "found",
                "next mean (ms)", "next max (ms)");
    double worstFirst = 0, worstNext = 0;
    for (const Row &row : rows) {
        for (const char *t : texts) {
            const std::u16string text = platform::FromUtf8(t);
            engine.TextChanged();
            auto start = Clock::now();
            search::FindResult r = engine.FindNext(text, row.checkDistinction, row.checkAllHalf);
            const double first = ms(Clock::now() - start);
            std::size_t found = r.outcome == search::FindOutcome::Found;
            double total = 0, most = 0;
            const int presses = 1000;
            for (int i = 0; i < presses; ++i) {
                start = Clock::now();
                r = engine.FindNext(text, row.checkDistinction, row.checkAllHalf);
                const double one = ms(Clock::now() - start);
                total += one;
                most = std::max(most, one);
                found += r.outcome == search::FindOutcome::Found;
            }
            worstFirst = std::max(worstFirst, first);
            worstNext = std::max(worstNext, most);
            std::printf("%-20s %-*s %12.1f %10zu %14.4f %14.4f\n", row.name,
                        int(18 + std::string(t).size() - text.size()), t, first, found,
                        total / presses, most);
        }
    }
    std::printf(
        "\nslowest first find: %.1f ms (limit 1000), slowest later find: %.3f ms (limit 20)\n",
        worstFirst, worstNext);
    return worstFirst < 1000 && worstNext < 20 ? 0 : 1;
}
