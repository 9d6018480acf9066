// Listing runs over real folders and archives made at test time, through the real scan and
// archive reader: what a person sees after pressing OK.
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <map>

#include "Driver.h"
#include "Form1.h"
#include "Listing.h"
#include "Module1.h"
#include "ProgressBar.h"
#include "TreeView.h"
#include "ZipWriter.h"

namespace
{

// Archive path -> its children's texts, read from the tree; also checks the keys.
std::map<QString, QStringList> archivesIn(const platform::TreeView &tree)
{
    std::map<QString, QStringList> out;
    const platform::TreeStore &s = tree.Model().Store();
    const auto text = [&s](platform::NodeId id) {
        return QString::fromUtf8(s.Text(id).data(), qsizetype(s.Text(id).size()));
    };
    const std::size_t archives = s.ChildCount(platform::TreeStore::kRoot);
    for (std::size_t i = 0; i < archives; ++i) {
        const platform::NodeId a = s.Child(platform::TreeStore::kRoot, i);
        if (s.FindKey("R" + std::to_string(i + 1)) != a)
            return {};
        QStringList children;
        for (std::size_t j = 0; j < s.ChildCount(a); ++j)
            children << text(s.Child(a, j));
        out[text(a)] = children;
    }
    return out;
}

} // namespace

class TestListingRunFolders : public QObject
{
    Q_OBJECT

    QTemporaryDir tmp_;

    void runAt(Form1 &form, const QString &folder)
    {
        CurrentFolder cwd(folder);
        WhenChooserOpens([](Dialog &d) { d.OKButton->click(); });
        QTest::mouseClick(form.Command1, Qt::LeftButton);
    }

private slots:
    void cleanup() { StopWaiting(); }

    void initTestCase()
    {
        QVERIFY(tmp_.isValid());
        const QString s = tmp_.filePath("sample");
        // Entry names in UTF-8 (general purpose flag bit 11).
        const auto zipOf = [](std::vector<QByteArray> names) {
            return testsupport::ArchiveOf(names, 0x0800).Build();
        };
        using testsupport::WriteFile;
        QVERIFY(WriteFile(s + "/a.zip",
                          zipOf({"readme.txt", "docs/", "docs/読んでね.txt", "readme.txt"})) &&
                WriteFile(s + "/サブ/b.ZIP", zipOf({"画像/写真.jpg"})) &&
                WriteFile(s + "/サブ/深い/c.Zip", zipOf({"x"})) &&
                WriteFile(s + "/not-an-archive.zip", "just text\n") &&
                WriteFile(s + "/notes.txt", "no archive\n") &&
                WriteFile(s + "/.hidden.zip", zipOf({"hidden"})));
        QDir().mkpath(tmp_.filePath("empty/sub"));
    }

    void theTreeShowsEveryArchiveBelowTheFolder()
    {
        Module1::SelectedFolder.clear();
        Form1 form;
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        const QString s = tmp_.filePath("sample");
        runAt(form, s);
        const auto archives = archivesIn(*form.TreeView1);
        const std::map<QString, QStringList> expected{
            {s + "/a.zip", {"readme.txt", "docs/", "docs/読んでね.txt", "readme.txt"}},
            {s + "/サブ/b.ZIP", {"画像/写真.jpg"}},
            {s + "/サブ/深い/c.Zip", {"x"}},
            {s + "/not-an-archive.zip", {QString::fromUtf8(listing::kRejectionText)}},
        };
        QCOMPARE(archives, expected);
        QCOMPARE(form.Label1->text(), s);
        QCOMPARE(form.ProgressBar->Max(), 4.0f);
        QVERIFY(!form.ProgressBar->isVisible());
        QCOMPARE(form.TreeView1->Style(), 6);
        for (int row = 0; row < 4; ++row)
            QVERIFY(form.TreeView1->isExpanded(form.TreeView1->model()->index(row, 0)));
    }

    void twoRunsOverTheSameFolderGiveTheSameTree()
    {
        Form1 form;
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        runAt(form, tmp_.filePath("sample"));
        const auto nodes = [&form] {
            QStringList texts;
            for (platform::NodeId id = 1; id <= form.TreeView1->Count(); ++id)
                texts << QString::fromUtf8(form.TreeView1->Text(id).data(),
                                           qsizetype(form.TreeView1->Text(id).size()));
            return texts;
        };
        const QStringList first = nodes();
        QVERIFY(!first.isEmpty());
        runAt(form, tmp_.filePath("sample"));
        QCOMPARE(nodes(), first);
    }

    // Busy once the scan has found an archive and their number is not known, then counting them;
    // a scan that finds none never shows the bar.
    void theProgressBarIsBusyWhileTheScanRuns_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<bool>("archives");
        QTest::newRow("archives") << "sample" << true;
        QTest::newRow("none") << "empty" << false;
    }
    void theProgressBarIsBusyWhileTheScanRuns()
    {
        QFETCH(QString, folder);
        QFETCH(bool, archives);
        Form1 form;
        form.Form_Load();
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        // Notes the bar at every call the run makes to keep the window going.
        struct Watch : ForwardingView {
            const platform::ProgressBar *bar = nullptr;
            QStringList seen;
            bool KeepGoing() override
            {
                const bool go = ForwardingView::KeepGoing();
                const QString state =
                    !bar->isVisible() ? "hidden"
                    : bar->Busy()     ? "busy"
                                  : QStringLiteral("%1 of %2").arg(bar->Value()).arg(bar->Max());
                if (seen.isEmpty() || seen.back() != state)
                    seen << state;
                return go;
            }
        } watch;
        watch.bar = form.ProgressBar;
        form.SetListFunction(
            [&watch](const std::string &f, platform::TreeNodes &nodes, listing::RunView &view) {
                watch.inner = &view;
                return listing::ListFolder(f, nodes, watch);
            });
        runAt(form, tmp_.filePath(folder));
        // The sample folder's archives are found before the scan's last step, which shows them.
        const QStringList expected =
            archives ? QStringList{"hidden", "busy", "1 of 4", "2 of 4", "3 of 4", "4 of 4"}
                     : QStringList{"hidden"};
        QCOMPARE(watch.seen, expected);
        QVERIFY(!form.ProgressBar->isVisible());
        QVERIFY(!form.ProgressBar->Busy());
    }

    void aFolderWithoutArchivesLeavesAnEmptyTree()
    {
        Form1 form;
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        runAt(form, tmp_.filePath("empty"));
        QCOMPARE(form.TreeView1->Count(), 0u);
        QCOMPARE(form.Label1->text(), tmp_.filePath("empty"));
        QCOMPARE(form.TreeView1->Style(), 7);
        QCOMPARE(form.TreeView1->BorderStyle(), 0);
    }
};

QTEST_MAIN(TestListingRunFolders)
#include "tst_listingrun_folders.moc"
