#include <QTest>

#include "TreeStore.h"

using platform::NodeId;
using platform::TreeStore;

class TestTreeStore : public QObject {
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
        QCOMPARE(s.ChildCount(TreeStore::Root), 2u);
        QCOMPARE(s.Child(TreeStore::Root, 1), b);
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

    void keyErrorsAreRaised()
    {
        platform::PlainTreeNodes nodes;
        nodes.Add({}, 0, "R1", "a.zip");
        QVERIFY_THROWS_EXCEPTION(platform::TreeError, nodes.Add({}, 0, "R1", "again"));
        QVERIFY_THROWS_EXCEPTION(platform::TreeError,
                                 nodes.Add("R9", platform::TreeNodes::tvwChild, {}, "orphan"));
        // A failed add leaves nothing behind.
        QCOMPARE(nodes.Count(), 1u);
    }

    void clearStartsANewTreeWithANewGeneration()
    {
        platform::PlainTreeNodes nodes;
        nodes.Add({}, 0, "R1", "a.zip");
        const auto before = nodes.Generation();
        nodes.Clear();
        QCOMPARE(nodes.Count(), 0u);
        QVERIFY(nodes.Generation() != before);
        // Keys are free again after a clear.
        QCOMPARE(nodes.Add({}, 0, "R1", "a.zip"), 1u);
    }

    void textsLongerThanAChunkAndManyNodes()
    {
        TreeStore s;
        const std::string big(20u << 20, 'x');
        const NodeId top = s.Add(TreeStore::Root, "R1", "top");
        for (int i = 0; i < 100000; ++i)
            s.Add(top, {}, std::to_string(i));
        const NodeId huge = s.Add(top, {}, big);
        QCOMPARE(s.Text(huge).size(), big.size());
        QCOMPARE(std::string(s.Text(top + 1 + 99999)), std::string("99999"));
        QCOMPARE(s.ChildCount(top), 100001u);
    }
};

QTEST_GUILESS_MAIN(TestTreeStore)
#include "tst_treestore.moc"
