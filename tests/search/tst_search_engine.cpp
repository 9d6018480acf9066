#include <QTest>

#include <optional>
#include <random>
#include <stdexcept>

#include "SearchEngine.h"

using platform::NodeId;
using search::FindOutcome;
using search::SearchEngine;

namespace
{

// A tree that records what the search does to it, in order.
class RecordingTree : public platform::PlainTreeNodes
{
public:
    std::vector<std::string> calls;
    NodeId refuseSelect = 0;

    void Select(NodeId n) override
    {
        if (n == refuseSelect)
            throw platform::TreeError("cannot select");
        calls.push_back("select " + std::to_string(n));
    }
    void EnsureVisible(NodeId n) override { calls.push_back("visible " + std::to_string(n)); }
    void SetFocus() override { calls.push_back("focus"); }
};

void fill(platform::TreeNodes &tree, const std::vector<std::string> &texts)
{
    for (const auto &t : texts)
        tree.Add({}, 0, {}, t);
}

// Opens the search window on tree: the search button, then the window's load.
void open(SearchEngine &engine, platform::TreeNodes &tree)
{
    engine.Command2_Click(tree);
    engine.FormLoaded();
}

std::u16string u(const std::string &s)
{
    return platform::FromUtf8(s);
}

// Presses find-next until the search ends; the nodes found, in order.
std::vector<NodeId> findAll(SearchEngine &engine, const std::string &text, int c1 = 0, int c2 = 0)
{
    std::vector<NodeId> found;
    for (;;) {
        const search::FindResult r = engine.FindNext(u(text), c1, c2);
        if (r.outcome != FindOutcome::Found)
            return found;
        found.push_back(r.node);
    }
}

NodeId findOne(SearchEngine &engine, const std::string &text, int c1 = 0, int c2 = 0)
{
    const search::FindResult r = engine.FindNext(u(text), c1, c2);
    return r.outcome == FindOutcome::Found ? r.node : 0;
}

// The search on plain lists of items, one linear pass per find: the reference for the engine.
struct Model {
    std::optional<std::vector<std::string>> source, remaining;
    std::int16_t dirty = 0;

    void command2(const platform::TreeNodes &tree)
    {
        source.emplace();
        for (std::size_t k = 1; k <= tree.Count(); ++k)
            source->push_back(search::MakeSearchItem(k, tree.Text(NodeId(k))));
    }
    search::FindResult find(const std::u16string &text, int c1, int c2)
    {
        if (text.empty())
            return {FindOutcome::Ignored, 0};
        if (dirty != 0) {
            remaining = *source;
            dirty = 0;
        }
        const auto conversion = search::SearchOptions::FromChecks(c1, c2).Conversion();
        const std::u16string needle = platform::Convert(text, conversion);
        for (std::size_t i = 0; i < remaining->size(); ++i) {
            const std::string &item = (*remaining)[i];
            const std::size_t space = item.find(' ');
            const std::u16string hay =
                platform::Convert(platform::FromUtf8(item.substr(space + 1)), conversion);
            if (hay.find(needle) != std::u16string::npos) {
                const NodeId k = NodeId(std::stoul(item.substr(0, space)));
                remaining->erase(remaining->begin() + std::ptrdiff_t(i));
                return {FindOutcome::Found, k};
            }
        }
        return {FindOutcome::Ended, 0};
    }
};

} // namespace

class TestSearchEngine : public QObject
{
    Q_OBJECT
private slots:
    void searchItems_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("item");
        QTest::newRow("spaces in the text") << 12 << "docs/read me.txt"
                                            << "12 docs/read me.txt";
        QTest::newRow("empty text") << 1 << ""
                                    << "1 ";
        QTest::newRow("leading space") << 7 << " x"
                                       << "7  x";
        QTest::newRow("digits in the text") << 32768 << "7 7"
                                            << "32768 7 7";
        QTest::newRow("japanese") << 2 << "書庫じゃないよ！"
                                  << "2 書庫じゃないよ！";
    }
    void searchItems()
    {
        QFETCH(int, index);
        QFETCH(QString, text);
        QFETCH(QString, item);
        const std::string made = search::MakeSearchItem(std::size_t(index), text.toStdString());
        QCOMPARE(QString::fromStdString(made), item);

        // Item k of the source describes node k.
        platform::PlainTreeNodes tree;
        fill(tree, {"other", text.toStdString()});
        const search::SearchSource source(tree);
        QCOMPARE(source.Count(), std::size_t(2));
        QCOMPARE(QString::fromStdString(source.Item(2)), "2 " + text);
    }

    void optionsFromChecks_data()
    {
        QTest::addColumn<int>("checkDistinction");
        QTest::addColumn<int>("checkAllHalf");
        QTest::addColumn<int>("conversion");
        using C = platform::Conversion;
        const int none = int(C::None), narrow = int(C::Narrow), lower = int(C::LowerCase),
                  both = int(C::LowerNarrow);
        const int expected[3][3] = {
            {both, lower, both}, {narrow, none, narrow}, {both, lower, both}};
        for (int a = 0; a < 3; ++a)
            for (int b = 0; b < 3; ++b)
                QTest::addRow("%d %d", a, b) << a << b << expected[a][b];
    }
    void optionsFromChecks()
    {
        QFETCH(int, checkDistinction);
        QFETCH(int, checkAllHalf);
        QFETCH(int, conversion);
        QCOMPARE(
            int(search::SearchOptions::FromChecks(checkDistinction, checkAllHalf).Conversion()),
            conversion);
    }

    void stepsThroughMatchesThenEnds()
    {
        platform::PlainTreeNodes tree;
        fill(tree, {"a.zip", "ab", "b"});
        SearchEngine engine;
        open(engine, tree);
        QCOMPARE(findOne(engine, "a"), NodeId(1));
        QCOMPARE(tree.Selected(), NodeId(1));
        QCOMPARE(engine.Remaining()->Items(), (std::vector<std::string>{"2 ab", "3 b"}));
        QCOMPARE(findOne(engine, "a"), NodeId(2));
        QCOMPARE(engine.FindNext(u"a", 0, 0).outcome, FindOutcome::Ended);
        QCOMPARE(engine.FindNext(u"a", 0, 0).outcome, FindOutcome::Ended);
        QCOMPARE(engine.Remaining()->Items(), std::vector<std::string>{"3 b"});
        // The source keeps every item.
        QCOMPARE(engine.Source()->Count(), std::size_t(3));
    }

    void caseAndWidth_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("checkDistinction");
        QTest::addColumn<int>("checkAllHalf");
        QTest::addColumn<QList<int>>("found");
        // Nodes: 1 xabc, 2 XABC, 3 ａｂｃ, 4 ＡＢＣ.
        QTest::newRow("both off") << "ＡＢＣ" << 0 << 0 << QList<int>{1, 2, 3, 4};
        QTest::newRow("case on") << "ＡＢＣ" << 1 << 0 << QList<int>{2, 4};
        QTest::newRow("width on") << "ＡＢＣ" << 0 << 1 << QList<int>{3, 4};
        QTest::newRow("both on") << "ＡＢＣ" << 1 << 1 << QList<int>{4};
        QTest::newRow("half-width, width on") << "abc" << 0 << 1 << QList<int>{1, 2};
        QTest::newRow("greyed is off") << "ＡＢＣ" << 2 << 2 << QList<int>{1, 2, 3, 4};
        QTest::newRow("case on, width greyed") << "ＡＢＣ" << 1 << 2 << QList<int>{2, 4};
    }
    void caseAndWidth()
    {
        QFETCH(QString, text);
        QFETCH(int, checkDistinction);
        QFETCH(int, checkAllHalf);
        QFETCH(QList<int>, found);
        platform::PlainTreeNodes tree;
        fill(tree, {"xabc", "XABC", "ａｂｃ", "ＡＢＣ"});
        SearchEngine engine;
        open(engine, tree);
        const auto nodes = findAll(engine, text.toStdString(), checkDistinction, checkAllHalf);
        QCOMPARE(QList<int>(nodes.begin(), nodes.end()), found);
    }

    void textsThatMatch_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QList<int>>("found");
        // Nodes 1 to 9; node 7's text holds no 7, its item "7 x b" does.
        QTest::newRow("index digits never match") << "7" << QList<int>{4};
        QTest::newRow("item form never matches") << "7 x" << QList<int>{};
        QTest::newRow("one space") << " " << QList<int>{1, 5, 7};
        QTest::newRow("voiced kana either width") << "ｶﾞ" << QList<int>{6, 8};
        QTest::newRow("rejection nodes") << "じゃない" << QList<int>{9};
    }
    void textsThatMatch()
    {
        QFETCH(QString, text);
        QFETCH(QList<int>, found);
        platform::PlainTreeNodes tree;
        fill(tree, {"a b", "", "ab", "a7", " ", "ガ", "x b", "ｶﾞ", "書庫じゃないよ！"});
        SearchEngine engine;
        open(engine, tree);
        const auto nodes = findAll(engine, text.toStdString());
        QCOMPARE(QList<int>(nodes.begin(), nodes.end()), found);
    }

    void changesStartOver_data()
    {
        QTest::addColumn<int>("change");
        QTest::newRow("type and delete a character") << 0;
        QTest::newRow("toggle an option") << 1;
        QTest::newRow("cancel then search button") << 2;
        QTest::newRow("empty find after an option change") << 3;
    }
    void changesStartOver()
    {
        QFETCH(int, change);
        platform::PlainTreeNodes tree;
        fill(tree, {"a.zip", "ab", "b"});
        SearchEngine engine;
        open(engine, tree);
        QCOMPARE(findAll(engine, "a"), (std::vector<NodeId>{1, 2}));
        QCOMPARE(engine.SearchDirty(), search::kFlagFalse);
        switch (change) {
        case 0:
            engine.TextChanged();
            engine.TextChanged();
            break;
        case 1:
            engine.OptionChanged();
            engine.OptionChanged();
            break;
        case 2:
            engine.Cancel();
            QVERIFY(!engine.Source());
            open(engine, tree);
            break;
        case 3:
            engine.OptionChanged();
            QCOMPARE(engine.FindNext(u"", 0, 0).outcome, FindOutcome::Ignored);
            // Nothing changed: the flag stays set and the list keeps its one item.
            QCOMPARE(engine.Remaining()->Count(), std::size_t(1));
            break;
        }
        QCOMPARE(engine.SearchDirty(), search::kFlagTrue);
        QCOMPARE(findOne(engine, "a"), NodeId(1));
        QCOMPARE(engine.SearchDirty(), search::kFlagFalse);
    }

    void emptyTextTouchesNothing()
    {
        RecordingTree tree;
        fill(tree, {"a"});
        SearchEngine engine;
        QCOMPARE(engine.FindNext(u"", 0, 0).outcome, FindOutcome::Ignored); // before any source
        open(engine, tree);
        QCOMPARE(engine.FindNext(u"", 0, 0).outcome, FindOutcome::Ignored);
        QCOMPARE(engine.SearchDirty(), search::kFlagTrue);
        QVERIFY(!engine.Remaining());
        QVERIFY(tree.calls.empty());
    }

    void selectsShowsFocusesThenRemoves()
    {
        RecordingTree tree;
        fill(tree, {"x", "a", "a"});
        SearchEngine engine;
        open(engine, tree);
        QCOMPARE(findOne(engine, "a"), NodeId(2));
        QCOMPARE(tree.calls, (std::vector<std::string>{"select 2", "visible 2", "focus"}));

        // A tree error ends the find before the removal: the item stays for the next find.
        tree.refuseSelect = 3;
        QVERIFY_THROWS_EXCEPTION(platform::TreeError, engine.FindNext(u"a", 0, 0));
        QVERIFY(engine.Remaining()->Contains(3));
        tree.refuseSelect = 0;
        QCOMPARE(findOne(engine, "a"), NodeId(3));
    }

    // A listing run while the window is open clears the tree and fills it anew.
    void listingRunWhileOpenStartsOnTheNewTree()
    {
        platform::PlainTreeNodes tree;
        fill(tree, {"old a", "old b", "old a2", "old a3"});
        SearchEngine engine;
        open(engine, tree);
        QCOMPARE(findAll(engine, "a").size(), std::size_t(3));
        tree.Clear();
        fill(tree, {"b", "a"});
        QCOMPARE(findAll(engine, "a"), std::vector<NodeId>{2});
        QCOMPARE(engine.Source()->Count(), std::size_t(2));
        tree.Clear();
        QCOMPARE(engine.FindNext(u"a", 0, 0).outcome, FindOutcome::Ended);
    }

    // The search button pressed again while the window is open (no load, the flag stays).
    void searchButtonWhileOpen_data()
    {
        QTest::addColumn<int>("before");
        QTest::addColumn<QList<int>>("next");
        QTest::newRow("same tree goes on") << 0 << QList<int>{3};
        QTest::newRow("tree listed anew starts over") << 1 << QList<int>{1, 3};
        QTest::newRow("another tree starts over") << 2 << QList<int>{1, 3};
        QTest::newRow("grown tree goes on with the old list") << 3 << QList<int>{3};
    }
    void searchButtonWhileOpen()
    {
        QFETCH(int, before);
        QFETCH(QList<int>, next);
        platform::PlainTreeNodes tree, other;
        fill(tree, {"a", "b", "a"});
        fill(other, {"a", "b", "a"});
        QCOMPARE(other.Generation(), tree.Generation()); // told apart by the tree, not the number
        SearchEngine engine;
        open(engine, tree);
        QCOMPARE(findOne(engine, "a"), NodeId(1));
        if (before == 1) {
            tree.Clear();
            fill(tree, {"a", "b", "a"});
        } else if (before == 3) {
            fill(tree, {"a"});
        }
        engine.Command2_Click(before == 2 ? other : tree);
        const auto nodes = findAll(engine, "a");
        QCOMPARE(QList<int>(nodes.begin(), nodes.end()), next);
        if (before == 3) { // a change of the text takes the new nodes in
            engine.TextChanged();
            QCOMPARE(findAll(engine, "a"), (std::vector<NodeId>{1, 3, 4}));
        }
    }

    void nothingToSearchEnds()
    {
        platform::PlainTreeNodes empty;
        SearchEngine engine;
        open(engine, empty);
        QCOMPARE(engine.FindNext(u"a", 0, 0).outcome, FindOutcome::Ended);
        QCOMPARE(engine.FindNext(u"a", 1, 1).outcome, FindOutcome::Ended);

        // The main window closed while the search window stays open.
        platform::PlainTreeNodes tree;
        fill(tree, {"a"});
        open(engine, tree);
        engine.TreeGone();
        QCOMPARE(engine.FindNext(u"a", 0, 0).outcome, FindOutcome::Ended);
        QCOMPARE(engine.FindNext(u"", 0, 0).outcome, FindOutcome::Ignored);
        QCOMPARE(tree.Selected(), NodeId(0));
    }

    // Random presses against the reference Model, on one tree.
    void agreesWithTheListsAsWritten()
    {
        const std::vector<std::string> pieces = {"a",  "A", "ａ", "Ａ", "b", "ガ",
                                                 "ｶﾞ", "ｶ", " ",  "7",  "İ", "i"};
        const std::vector<std::string> needles = {"a", "Ａ", "ｶ", "ガ", " ", "i", "ab", "7"};
        std::mt19937 rng(99);
        auto pick = [&](std::size_t n) {
            return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
        };
        for (int round = 0; round < 200; ++round) {
            platform::PlainTreeNodes tree;
            for (std::size_t n = pick(30); n > 0; --n) {
                std::string text;
                for (std::size_t k = pick(4); k > 0; --k)
                    text += pieces[pick(pieces.size())];
                tree.Add({}, 0, {}, text);
            }
            SearchEngine engine;
            Model model;
            engine.Command2_Click(tree);
            model.command2(tree);
            engine.FormLoaded();
            model.dirty = -1;
            std::u16string text = u(needles[0]);
            int c1 = 0, c2 = 0;
            for (int step = 0; step < 60; ++step) {
                switch (pick(7)) {
                case 0:
                    text = pick(8) ? u(needles[pick(needles.size())]) : std::u16string();
                    engine.TextChanged();
                    model.dirty = -1;
                    break;
                case 6: // the engine must not rely on being told of every change
                    text = u(needles[pick(needles.size())]);
                    c1 = int(pick(3));
                    break;
                case 1:
                    (pick(2) ? c1 : c2) = int(pick(3));
                    engine.OptionChanged();
                    model.dirty = -1;
                    break;
                case 2:
                    engine.Command2_Click(tree);
                    model.command2(tree);
                    break;
                default: {
                    const auto got = engine.FindNext(text, c1, c2);
                    const auto want = model.find(text, c1, c2);
                    QCOMPARE(int(got.outcome), int(want.outcome));
                    QCOMPARE(got.node, want.node);
                    break;
                }
                }
                QCOMPARE(engine.SearchDirty(), model.dirty);
                if (model.remaining)
                    QCOMPARE(engine.Remaining()->Items(), *model.remaining);
            }
        }
    }

    void twoMillionNodes()
    {
        platform::PlainTreeNodes tree;
        const std::size_t n = 2000000;
        std::string text;
        for (std::size_t k = 1; k <= n; ++k) {
            text = "dir/ファイル" + std::to_string(k);
            if (k % 997 == 0)
                text += "ＰＡＣＫ";
            else if (k % 1013 == 0)
                text += "pack";
            tree.Add({}, 0, {}, text);
        }
        SearchEngine engine;
        open(engine, tree);
        std::vector<NodeId> expected;
        for (std::size_t k = 1; k <= n; ++k)
            if (k % 997 == 0 || k % 1013 == 0)
                expected.push_back(NodeId(k));
        QCOMPARE(findAll(engine, "Pack"), expected);
        QCOMPARE(engine.Remaining()->Count(), n - expected.size());
        engine.TextChanged();
        QCOMPARE(findOne(engine, "ﾌｧｲﾙ1999999", 1, 0), NodeId(1999999));
        QCOMPARE(findOne(engine, "ﾌｧｲﾙ1999999", 1, 0), NodeId(0));
    }
};

QTEST_GUILESS_MAIN(TestSearchEngine)
#include "tst_search_engine.moc"
