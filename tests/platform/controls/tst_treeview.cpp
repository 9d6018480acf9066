#include <QAbstractItemModelTester>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <random>

#include "TreeView.h"

using platform::NodeId;
using platform::TreeNodes;
using platform::TreeView;

namespace
{

QString textOf(const QModelIndex &index)
{
    return index.data().toString();
}

// An archive node keyed "R" + i with the given number of entries, as a listing adds it;
// EnsureVisible names the last entry, or the archive itself when it has none.
NodeId addArchive(TreeView &tree, int i, int entries)
{
    const std::string key = "R" + std::to_string(i);
    NodeId last = tree.Add({}, 0, key, "/a/" + std::to_string(i) + ".zip");
    for (int j = 1; j <= entries; ++j)
        last = tree.Add(key, TreeNodes::tvwChild, {}, "entry " + std::to_string(j));
    tree.EnsureVisible(last);
    return last;
}

} // namespace

class TestTreeView : public QObject
{
    Q_OBJECT
private slots:
    void modelTesterFollowsAddsClearsAndFills()
    {
        TreeView tree;
        QAbstractItemModelTester tester(tree.model(),
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        tree.Add({}, 0, "R1", "one.zip");
        tree.Add("R1", TreeNodes::tvwChild, {}, "a");
        tree.Add("R1", TreeNodes::tvwChild, {}, "b");
        tree.Add({}, 0, "R2", "two.zip");
        tree.Clear();
        tree.BeginFill();
        for (int i = 1; i <= 20; ++i)
            addArchive(tree, i, i % 4);
        tree.EndFill();
        tree.Add("R3", TreeNodes::tvwChild, {}, "late");
        QCOMPARE(tree.model()->rowCount(), 20);
        QCOMPARE(tree.model()->rowCount(tree.Model().IndexOf(tree.Model().Store().FindKey("R3"))),
                 4);
        tree.Clear();
        QCOMPARE(tree.model()->rowCount(), 0);
    }

    void addOutsideAFillAnnouncesEachRowUnderItsParent()
    {
        TreeView tree;
        QSignalSpy inserted(tree.model(), &QAbstractItemModel::rowsInserted);
        const NodeId top = tree.Add({}, 0, "R1", "one.zip");
        tree.Add({}, 0, "R2", "two.zip");
        const NodeId child = tree.Add("R1", TreeNodes::tvwChild, {}, "名前.txt");
        QCOMPARE(inserted.count(), 3);
        QCOMPARE(inserted[1][0].value<QModelIndex>(), QModelIndex());
        QCOMPARE(inserted[1][1].toInt(), 1);
        QCOMPARE(inserted[2][0].value<QModelIndex>(), tree.Model().IndexOf(top));
        QCOMPARE(inserted[2][1].toInt(), 0);
        QCOMPARE(inserted[2][2].toInt(), 0);
        QCOMPARE(textOf(tree.Model().IndexOf(child)), QStringLiteral("名前.txt"));
        QCOMPARE(tree.Model().IndexOf(child).parent(), tree.Model().IndexOf(top));
    }

    void failedAddsChangeNothing()
    {
        TreeView tree;
        QAbstractItemModelTester tester(tree.model(),
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        tree.Add({}, 0, "R1", "one.zip");
        QSignalSpy inserted(tree.model(), &QAbstractItemModel::rowsAboutToBeInserted);
        QVERIFY_THROWS_EXCEPTION(platform::TreeError, tree.Add({}, 0, "R1", "again"));
        QVERIFY_THROWS_EXCEPTION(platform::TreeError,
                                 tree.Add({}, 0, {}, std::string(1 << 24, 'x')));
        for (NodeId outside : {0u, 2u, 100000u}) {
            QVERIFY_THROWS_EXCEPTION(platform::TreeError, tree.Text(outside));
            QVERIFY_THROWS_EXCEPTION(platform::TreeError, tree.Select(outside));
            QVERIFY_THROWS_EXCEPTION(platform::TreeError, tree.EnsureVisible(outside));
        }
        QCOMPARE(inserted.count(), 0);
        QCOMPARE(tree.Count(), 1u);
        QCOMPARE(tree.model()->rowCount(), 1);
    }

    void viewsSeeOnlyTheNodesFromBeforeTheFillUntilItEnds()
    {
        TreeView tree;
        QAbstractItemModelTester tester(tree.model(),
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        tree.Add({}, 0, "R1", "one.zip");
        tree.Add("R1", TreeNodes::tvwChild, {}, "a");
        tree.Add({}, 0, "R2", "two.zip");
        QSignalSpy inserted(tree.model(), &QAbstractItemModel::rowsInserted);
        QSignalSpy reset(tree.model(), &QAbstractItemModel::modelReset);
        tree.BeginFill();
        tree.Add("R1", TreeNodes::tvwChild, {}, "b");
        tree.Add("R2", TreeNodes::tvwChild, {}, "c");
        tree.Add({}, 0, "R3", "three.zip");
        const QModelIndex one = tree.model()->index(0, 0);
        QCOMPARE(tree.model()->rowCount(), 2);
        QCOMPARE(tree.model()->rowCount(one), 1);
        QCOMPARE(tree.model()->rowCount(tree.model()->index(1, 0)), 0);
        QVERIFY(!tree.Model().IndexOf(6).isValid());
        // The collection itself has them all at once.
        QCOMPARE(tree.Count(), 6u);
        QCOMPARE(std::string(tree.Text(6)), std::string("three.zip"));
        QCOMPARE(inserted.count(), 0);
        tree.EndFill();
        // One insertion per run of rows under one parent, in add order; nothing is reset.
        QCOMPARE(reset.count(), 0);
        QCOMPARE(inserted.count(), 3);
        QCOMPARE(tree.model()->rowCount(), 3);
        QCOMPARE(tree.model()->rowCount(tree.model()->index(0, 0)), 2);
        QCOMPARE(textOf(tree.model()->index(1, 0, tree.model()->index(0, 0))), QStringLiteral("b"));
    }

    void fillEndExpandsWhatWasMadeVisibleAndShowsTheLastNode()
    {
        TreeView tree;
        tree.resize(300, 200);
        tree.show();
        QVERIFY(QTest::qWaitForWindowExposed(&tree));
        tree.BeginFill();
        addArchive(tree, 1, 3);
        addArchive(tree, 2, 0); // no entries: EnsureVisible names the archive itself
        const NodeId last = addArchive(tree, 3, 50);
        // An entry not made visible leaves its archive collapsed.
        tree.Add({}, 0, "R4", "four.zip");
        tree.Add("R4", TreeNodes::tvwChild, {}, "unseen");
        tree.EndFill();
        const platform::TreeModel &m = tree.Model();
        QVERIFY(tree.isExpanded(m.IndexOf(m.Store().FindKey("R1"))));
        QVERIFY(!tree.isExpanded(m.IndexOf(m.Store().FindKey("R2"))));
        QVERIFY(tree.isExpanded(m.IndexOf(m.Store().FindKey("R3"))));
        QVERIFY(!tree.isExpanded(m.IndexOf(m.Store().FindKey("R4"))));
        QVERIFY(tree.viewport()->rect().contains(tree.visualRect(m.IndexOf(last))));
        // The first archive's node was scrolled out of view to show the last entry.
        QVERIFY(!tree.viewport()->rect().intersects(tree.visualRect(m.IndexOf(1))));
    }

    void aFillLaysOutOncePerShowHoweverManyArchives()
    {
        TreeView tree;
        tree.resize(400, 300);
        tree.show();
        QVERIFY(QTest::qWaitForWindowExposed(&tree));
        QAbstractItemModelTester tester(tree.model(),
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        QSignalSpy reset(tree.model(), &QAbstractItemModel::modelReset);
        QSignalSpy inserted(tree.model(), &QAbstractItemModel::rowsInserted);
        const platform::TreeModel &m = tree.Model();
        const auto expandedArchives = [&tree] {
            int expanded = 0;
            for (int row = 0; row < tree.model()->rowCount(); ++row)
                expanded += tree.isExpanded(tree.model()->index(row, 0)) ? 1 : 0;
            return expanded;
        };
        const std::size_t layoutsBefore = tree.LayoutCount();
        tree.BeginFill();
        NodeId last = 0;
        for (int i = 1; i <= 2500; ++i)
            last = addArchive(tree, i, 3);
        tree.ShowFilled();
        // Halfway: what came so far shows, with its last node in view.
        QCOMPARE(tree.model()->rowCount(), 2500);
        QCOMPARE(expandedArchives(), 2500);
        QVERIFY(tree.viewport()->rect().contains(tree.visualRect(m.IndexOf(last))));
        tree.ShowFilled(); // nothing new: nothing to do
        for (int i = 2501; i <= 5000; ++i)
            last = addArchive(tree, i, 3);
        tree.EndFill();
        QCOMPARE(tree.LayoutCount() - layoutsBefore, std::size_t(2));
        QCOMPARE(reset.count(), 0);
        QCOMPARE(inserted.count(), 2);
        QCOMPARE(expandedArchives(), 5000);
        QVERIFY(tree.viewport()->rect().contains(tree.visualRect(m.IndexOf(last))));
    }

    void selectAndEnsureVisibleOutsideAFill()
    {
        TreeView tree;
        tree.resize(300, 120);
        tree.show();
        QVERIFY(QTest::qWaitForWindowExposed(&tree));
        for (int i = 1; i <= 30; ++i) {
            const std::string key = "R" + std::to_string(i);
            tree.Add({}, 0, key, key);
            tree.Add(key, TreeNodes::tvwChild, {}, "child of " + key);
        }
        const platform::TreeModel &m = tree.Model();
        const NodeId child = 2 * 25; // the child of R25
        QVERIFY(!tree.isExpanded(m.IndexOf(child - 1)));
        tree.Select(child);
        tree.EnsureVisible(child);
        QCOMPARE(tree.SelectedNode(), child);
        QCOMPARE(tree.currentIndex(), m.IndexOf(child));
        QVERIFY(tree.isExpanded(m.IndexOf(child - 1)));
        QVERIFY(tree.viewport()->rect().contains(tree.visualRect(m.IndexOf(child))));
        tree.Select(3);
        QCOMPARE(tree.SelectedNode(), NodeId(3));
        QCOMPARE(tree.selectionModel()->selectedRows().size(), 1);
    }

    // The column is as wide as its widest row, found without measuring every text: the
    // view's own measure of every row is the oracle.
    void theColumnFitsTheWidestWholeText_data()
    {
        QTest::addColumn<bool>("inAFill");
        QTest::addColumn<int>("style");
        QTest::newRow("added one by one") << false << 6;
        QTest::newRow("in a fill") << true << 6;
        QTest::newRow("without decoration") << true << 0;
    }
    void theColumnFitsTheWidestWholeText()
    {
        QFETCH(bool, inAFill);
        QFETCH(int, style);
        TreeView tree;
        tree.resize(300, 200);
        tree.SetStyle(style);
        tree.show();
        QVERIFY(QTest::qWaitForWindowExposed(&tree));
        if (inAFill)
            tree.BeginFill();
        // Wide letters, narrow ones, Japanese, and the widest one level down.
        const std::vector<std::vector<std::string>> archives{
            {"iiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiiii", "WWWWWWWWWWWWWWWWWWWWWWW"},
            {"短い", "フォルダー/とても長い日本語の名前のファイルです.txt"},
            {"/data/archive.zip",
             "docs/WMWMWMWMWMWMWMWMWMWMWMWMWMWMWMWMWMWMWMWMWMWMWMWMWMWMWMWM.txt", "x"},
        };
        int i = 0;
        for (const auto &texts : archives) {
            const std::string key = "R" + std::to_string(++i);
            NodeId last = tree.Add({}, 0, key, texts[0]);
            for (std::size_t j = 1; j < texts.size(); ++j)
                last = tree.Add(key, TreeNodes::tvwChild, {}, texts[j]);
            tree.EnsureVisible(last);
        }
        tree.EndFill();
        QVERIFY(tree.ContentWidth() > tree.viewport()->width());
        const int measuredByTheView =
            static_cast<const QAbstractItemView &>(tree).sizeHintForColumn(0);
        QVERIFY2(
            std::abs(tree.ContentWidth() - measuredByTheView) <= 1,
            qPrintable(QStringLiteral("%1 %2").arg(tree.ContentWidth()).arg(measuredByTheView)));
        QCOMPARE(tree.columnWidth(0), tree.ContentWidth());
        QVERIFY(tree.horizontalScrollBar()->isVisible());
        QCOMPARE(tree.horizontalScrollBar()->maximum(),
                 tree.ContentWidth() - tree.viewport()->width());
        QCOMPARE(tree.textElideMode(), Qt::ElideNone);
        // A clear gives the width back.
        tree.Clear();
        QCOMPARE(tree.columnWidth(0), tree.viewport()->width());
        QVERIFY(!tree.horizontalScrollBar()->isVisible());
    }

    void onlyTextsNearTheWidestAreMeasured()
    {
        TreeView tree;
        tree.BeginFill();
        std::mt19937 random(3);
        for (int i = 1; i <= 2000; ++i) {
            const std::string key = "R" + std::to_string(i);
            tree.Add({}, 0, key, "/data/archives/" + std::to_string(random() % 100000) + ".zip");
            for (int j = 0; j < 10; ++j)
                tree.Add(key, TreeNodes::tvwChild, {},
                         "folder/" + std::string(random() % 30, 'a') + ".txt");
        }
        tree.EndFill();
        QVERIFY(tree.ContentWidth() >=
                static_cast<const QAbstractItemView &>(tree).sizeHintForColumn(0) - 1);
        // Only those near the widest, of 22,000 similar ones, are measured.
        QVERIFY2(tree.TextsMeasured() < tree.Count() / 5,
                 qPrintable(QString::number(tree.TextsMeasured())));
    }

    // A node made visible shows whole, whichever way the view scrolls and whatever is left
    // of a row at the viewport's edge.
    void aNodeMadeVisibleShowsWhole_data()
    {
        QTest::addColumn<bool>("perPixel");
        QTest::addColumn<int>("height");
        for (bool perPixel : {false, true})
            for (int height : {97, 130, 151})
                QTest::newRow(qPrintable(
                    QStringLiteral("%1 %2").arg(perPixel ? "per pixel" : "per item").arg(height)))
                    << perPixel << height;
    }
    void aNodeMadeVisibleShowsWhole()
    {
        QFETCH(bool, perPixel);
        QFETCH(int, height);
        TreeView tree;
        tree.setVerticalScrollMode(perPixel ? QAbstractItemView::ScrollPerPixel
                                            : QAbstractItemView::ScrollPerItem);
        tree.resize(250, height);
        tree.show();
        QVERIFY(QTest::qWaitForWindowExposed(&tree));
        for (int i = 1; i <= 40; ++i)
            addArchive(tree, i, 2);
        tree.verticalScrollBar()->setValue(tree.verticalScrollBar()->maximum() / 2);
        const platform::TreeModel &m = tree.Model();
        // Below the view, then above it, then a long one whose scroll bar takes height.
        for (NodeId node : {NodeId(3 * 38), NodeId(2), NodeId(3 * 20)}) {
            if (node == 3 * 20)
                tree.Add("R20", TreeNodes::tvwChild, {}, std::string(300, 'W'));
            tree.EnsureVisible(node);
            QCoreApplication::processEvents();
            const QRect row = tree.visualRect(m.IndexOf(node));
            QVERIFY2(row.top() >= 0 && row.bottom() < tree.viewport()->height(),
                     qPrintable(QStringLiteral("node %1: %2..%3 in %4")
                                    .arg(node)
                                    .arg(row.top())
                                    .arg(row.bottom())
                                    .arg(tree.viewport()->height())));
            QVERIFY(row.left() >= 0 && row.left() < tree.viewport()->width());
        }
    }

    // A fill scrolls to its last row on its own, without looking the row up; where it lands
    // is where scrollTo would have put it.
    void aFillEndsOnItsLastRowAsScrollToWouldPlaceIt_data()
    {
        QTest::addColumn<bool>("perPixel");
        QTest::addColumn<int>("lastEntries");
        QTest::addColumn<int>("lastWidth");
        for (bool perPixel : {false, true}) {
            const char *mode = perPixel ? "per pixel" : "per item";
            QTest::newRow(qPrintable(QStringLiteral("%1, wide last entry").arg(mode)))
                << perPixel << 2 << 300;
            QTest::newRow(qPrintable(QStringLiteral("%1, narrow last entry").arg(mode)))
                << perPixel << 2 << 3;
            QTest::newRow(qPrintable(QStringLiteral("%1, last archive empty").arg(mode)))
                << perPixel << 0 << 0;
        }
    }
    void aFillEndsOnItsLastRowAsScrollToWouldPlaceIt()
    {
        QFETCH(bool, perPixel);
        QFETCH(int, lastEntries);
        QFETCH(int, lastWidth);
        TreeView tree;
        tree.setVerticalScrollMode(perPixel ? QAbstractItemView::ScrollPerPixel
                                            : QAbstractItemView::ScrollPerItem);
        tree.resize(250, 151);
        tree.show();
        QVERIFY(QTest::qWaitForWindowExposed(&tree));
        tree.BeginFill();
        for (int i = 1; i <= 30; ++i)
            addArchive(tree, i, 2);
        tree.Add("R15", TreeNodes::tvwChild, {}, std::string(200, 'W'));
        tree.ShowFilled();
        // Scrolled away from where the fill will end, both ways.
        tree.verticalScrollBar()->setValue(0);
        tree.horizontalScrollBar()->setValue(tree.horizontalScrollBar()->maximum() / 2);
        const std::string key = "R31";
        NodeId last = tree.Add({}, 0, key, "31.zip");
        for (int j = 1; j <= lastEntries; ++j)
            last = tree.Add(key, TreeNodes::tvwChild, {},
                            j == lastEntries ? std::string(std::size_t(lastWidth), 'W') : "e");
        tree.EnsureVisible(last);
        tree.EndFill();
        QCoreApplication::processEvents();
        const int v = tree.verticalScrollBar()->value(), h = tree.horizontalScrollBar()->value();
        QVERIFY(v > 0);
        const QModelIndex index = tree.Model().IndexOf(last);
        tree.scrollTo(index);
        QCOMPARE(tree.verticalScrollBar()->value(), v);
        QCOMPARE(tree.horizontalScrollBar()->value(), h);
        const QRect row = tree.visualRect(index);
        QVERIFY(row.top() >= 0 && row.bottom() < tree.viewport()->height());
    }

    void styleAndBorderStyle_data()
    {
        QTest::addColumn<int>("style");
        QTest::addColumn<bool>("decorated");
        QTest::newRow("0 text") << 0 << false;
        QTest::newRow("1 pictures and text") << 1 << false;
        QTest::newRow("2 plus/minus and text") << 2 << true;
        QTest::newRow("4 lines and text") << 4 << true;
        QTest::newRow("6 lines, plus/minus and text") << 6 << true;
        QTest::newRow("7 everything") << 7 << true;
    }
    void styleAndBorderStyle()
    {
        QFETCH(int, style);
        QFETCH(bool, decorated);
        TreeView tree;
        QCOMPARE(tree.Style(), 7);
        QCOMPARE(tree.BorderStyle(), 0);
        tree.SetStyle(style);
        QCOMPARE(tree.Style(), style);
        QCOMPARE(tree.rootIsDecorated(), decorated);
        tree.SetBorderStyle(1);
        QCOMPARE(tree.frameShape(), QFrame::Box);
        QCOMPARE(tree.frameShadow(), QFrame::Plain);
        QCOMPARE(tree.lineWidth(), 1);
        tree.SetBorderStyle(0);
        QCOMPARE(tree.frameShape(), QFrame::StyledPanel);
        QVERIFY_THROWS_EXCEPTION(platform::PropertyError, tree.SetStyle(8));
        QVERIFY_THROWS_EXCEPTION(platform::PropertyError, tree.SetStyle(-1));
        QVERIFY_THROWS_EXCEPTION(platform::PropertyError, tree.SetBorderStyle(2));
        QCOMPARE(tree.Style(), style);
    }

    void linesAndBoxesAreDrawnOnlyWhenTheStyleAsks()
    {
        TreeView tree;
        tree.resize(200, 100);
        tree.Add({}, 0, "R1", "");
        tree.Add("R1", TreeNodes::tvwChild, {}, "");
        tree.Add({}, 0, "R2", "");
        tree.SetStyle(6);
        const QImage withLines = tree.grab().toImage();
        tree.SetStyle(0);
        const QImage plain = tree.grab().toImage();
        // Texts are empty: whatever differs is the branches' ink.
        const QColor base = tree.palette().color(QPalette::Base);
        int inked = 0;
        for (int y = 5; y < 40; ++y)
            for (int x = 2; x < 20; ++x)
                inked += withLines.pixelColor(x, y) != base && plain.pixelColor(x, y) == base;
        QVERIFY2(inked > 10, qPrintable(QString::number(inked)));
    }
};

QTEST_MAIN(TestTreeView)
#include "tst_treeview.moc"
