#include <QTest>
#include <random>

#include "TreeStore.h"

using platform::NodeId;
using platform::TreeStore;

class TestTreeStore : public QObject
{
    Q_OBJECT
private slots:
    void nodesAreNumberedInAddOrderAcrossLevels()
    {
        platform::PlainTreeNodes nodes;
        const NodeId a = nodes.Add({}, 0, "R1", "a.zip");
        const NodeId a1 = nodes.Add("R1", platform::TreeNodes::tvwChild, {}, "x");
        const NodeId b = nodes.Add({}, 0, "R2", "b.zip");
        const NodeId a2 = nodes.Add("R1", platform::TreeNodes::tvwChild, {}, "y");
        QCOMPARE(a, 1u);
        QCOMPARE(a1, 2u);
        QCOMPARE(b, 3u);
        QCOMPARE(a2, 4u);
        const TreeStore &s = nodes.Store();
        QCOMPARE(s.ChildCount(TreeStore::kRoot), 2u);
        QCOMPARE(s.Child(TreeStore::kRoot, 1), b);
        QCOMPARE(s.ChildCount(a), 2u);
        QCOMPARE(s.Child(a, 1), a2);
        QCOMPARE(s.Row(a2), 1u);
        QCOMPARE(s.Parent(a2), a);
        QCOMPARE(QByteArray(s.Text(a2).data(), s.Text(a2).size()), QByteArray("y"));
    }

    void duplicateTextsAndEmptyTextsAreKept()
    {
        platform::PlainTreeNodes nodes;
        nodes.Add({}, 0, "R1", "a.zip");
        nodes.Add("R1", platform::TreeNodes::tvwChild, {}, "same");
        nodes.Add("R1", platform::TreeNodes::tvwChild, {}, "same");
        nodes.Add("R1", platform::TreeNodes::tvwChild, {}, "");
        QCOMPARE(nodes.Count(), 4u);
        QVERIFY(nodes.Text(2) == nodes.Text(3));
        QVERIFY(nodes.Text(4).empty());
    }

    void clearStartsANewTreeWithANewGeneration()
    {
        platform::PlainTreeNodes nodes;
        nodes.Add({}, 0, "R1", "a.zip");
        const auto before = nodes.Generation();
        nodes.Clear();
        QCOMPARE(nodes.Count(), 0u);
        QVERIFY(nodes.Generation() != before);
    }

    void longTextsAndManyNodes()
    {
        TreeStore s;
        const NodeId top = s.Add(TreeStore::kRoot, "R1", "top");
        for (int i = 0; i < 100000; ++i)
            s.Add(top, {}, std::to_string(i));
        // The longest text a node holds, and one byte more.
        const std::string big((std::size_t(1) << 24) - 1, 'x');
        const NodeId huge = s.Add(top, {}, big);
        QCOMPARE(s.Text(huge).size(), big.size());
        QVERIFY_THROWS_EXCEPTION(platform::TreeError, s.Add(top, {}, big + "y"));
        QCOMPARE(std::string(s.Text(top + 1 + 99999)), std::string("99999"));
        QCOMPARE(s.ChildCount(top), 100001u);
        QCOMPARE(s.Count(), 100002u);
    }

    // Children added out of order, to parents met again later, against a plain model.
    void childrenInAnyOrderMatchAPlainTree()
    {
        TreeStore s;
        std::vector<std::vector<NodeId>> plain(1); // [0] is the top level
        std::vector<NodeId> parents{0};
        std::vector<std::string> texts{""};
        std::mt19937 random(7);
        for (int i = 0; i < 20000; ++i) {
            const NodeId parent = parents[random() % parents.size()];
            const std::string text = "n" + std::to_string(i);
            const NodeId id = s.Add(parent, {}, text);
            plain[parent].push_back(id);
            plain.emplace_back();
            texts.push_back(text);
            // Mostly runs of children under one parent, as a listing adds them.
            if (random() % 8 == 0)
                parents.push_back(id);
        }
        for (NodeId p = 0; p < plain.size(); ++p) {
            QCOMPARE(s.ChildCount(p), plain[p].size());
            for (std::size_t row = 0; row < plain[p].size(); ++row) {
                const NodeId c = plain[p][row];
                QCOMPARE(s.Child(p, row), c);
                QCOMPARE(s.Row(c), std::uint32_t(row));
                QCOMPARE(s.Parent(c), p);
                QCOMPARE(std::string(s.Text(c)), texts[c]);
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestTreeStore)
#include "tst_treestore.moc"
