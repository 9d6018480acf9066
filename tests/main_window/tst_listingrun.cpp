// The window side of a listing run, through the real scan and listing over folders made at
// test time and a scripted archive library, so that every step can be watched from inside.
#include <QElapsedTimer>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <cerrno>
#include <stdexcept>

#include "Class1.h"
#include "Driver.h"
#include "Form1.h"
#include "Listing.h"
#include "Module1.h"
#include "ProgressBar.h"
#include "TreeView.h"
#include "Unhandled.h"
#include "ZipWriter.h"
#include "fake/FakeUnZip32.h"

namespace
{

// Lists through the real listing and the window's own view, and calls scanned() after the scan
// and inside() after each archive, so that a test can act in the middle of a run.
struct Run : ForwardingView {
    std::function<void()> scanned;
    std::function<void(int archive)> inside;
    std::vector<std::string> folders;
    int listed = 0;

    bool operator()(const std::string &folder, platform::TreeNodes &nodes, listing::RunView &view)
    {
        folders.push_back(folder);
        listed = 0;
        inner = &view;
        return listing::ListFolder(folder, nodes, *this);
    }
    void ScanEnded() override
    {
        inner->ScanEnded();
        if (scanned)
            scanned();
    }
    void SetProgressValue(float value) override
    {
        inner->SetProgressValue(value);
        listed = int(value);
        if (inside)
            inside(listed);
    }
};

// A file that the scripted library takes as an archive of these entries, or refuses (none); it
// never reads its bytes, which make a refused one neither empty nor unreadable. No path: the
// script of every file without one of its own.
void scriptedArchive(const QString &path, std::optional<QStringList> entries)
{
    if (!path.isEmpty())
        QVERIFY(testsupport::WriteFile(path, "scripted"));
    FakeUnZip32_ScriptFor(path.isEmpty() ? nullptr : Bytes(path).c_str());
    FakeUnZip32_SetCheck(entries.has_value());
    FakeUnZip32_SetOpen(1);
    for (const QString &e : entries.value_or(QStringList()))
        FakeUnZip32_AddEntry(e.toUtf8().constData(), std::int32_t(e.toUtf8().size()));
    FakeUnZip32_ScriptFor(nullptr);
}

// n archives in the current folder, each with the same entries.
void someArchives(int n, int entries)
{
    QStringList names;
    for (int j = 1; j <= entries; ++j)
        names << QStringLiteral("dir/名前%1.txt").arg(j);
    scriptedArchive({}, names);
    for (int i = 1; i <= n; ++i)
        QVERIFY(testsupport::WriteFile(QStringLiteral("書庫%1.zip").arg(i), "scripted"));
}

// Everything the tree holds, one line per node: the parent's number, then the text.
QStringList treeLines(const platform::TreeView &tree)
{
    QStringList lines;
    const platform::TreeStore &s = tree.Model().Store();
    for (platform::NodeId id = 1; id <= s.Count(); ++id)
        lines << QString::number(s.Parent(id)) + " " +
                     QString::fromUtf8(s.Text(id).data(), qsizetype(s.Text(id).size()));
    return lines;
}

// Long enough for the run to take in what arrived meanwhile at its next archive.
void letTheRunCatchUp()
{
    QThread::msleep(60);
}

} // namespace

class TestListingRun : public QObject
{
    Q_OBJECT

    std::optional<QTemporaryDir> dir_;
    Run list_;
    std::unique_ptr<Form1> form_;

    // Opens the chooser through the browse button and confirms the current folder.
    void runConfirmingTheCurrentFolder()
    {
        WhenChooserOpens([](Dialog &d) { d.OKButton->click(); });
        QTest::mouseClick(form_->Command1, Qt::LeftButton);
    }

private slots:
    void initTestCase() { archive::SetLibraryPathForTesting(FAKE_UNZIP32); }

    void init()
    {
        dir_.emplace();
        QVERIFY(dir_->isValid());
        QDir::setCurrent(dir_->path());
        FakeUnZip32_Reset();
        Module1::SelectedFolder.clear();
        list_ = Run{};
        form_ = std::make_unique<Form1>();
        form_->SetListFunction(std::ref(list_));
        form_->Form_Load();
        form_->show();
        QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
    }

    void cleanup()
    {
        StopWaiting();
        form_.reset();
    }

    void theTreeHoldsEachArchiveWithItsEntriesOrTheRejection()
    {
        // A folder's subfolders are listed before its archives: a.zip, bad.zip, then c.zip.
        const QString d = dir_->path() + '/';
        scriptedArchive(d + "d/サブ/a.zip", QStringList{"x.txt", "dir/", "dir/x.txt", "x.txt"});
        scriptedArchive(d + "d/bad.zip", std::nullopt);
        scriptedArchive(d + "c.zip", QStringList{"只一つ"});
        runConfirmingTheCurrentFolder();
        QCOMPARE(list_.folders, std::vector<std::string>{Bytes(dir_->path())});
        QCOMPARE(form_->Label1->text(), dir_->path());
        QCOMPARE(form_->Label1->size(), form_->Label1->sizeHint());
        const platform::TreeView &tree = *form_->TreeView1;
        QCOMPARE(treeLines(tree),
                 (QStringList{"0 " + d + "d/サブ/a.zip", "1 x.txt", "1 dir/", "1 dir/x.txt",
                              "1 x.txt", "0 " + d + "d/bad.zip", "6 書庫じゃないよ！",
                              "0 " + d + "c.zip", "8 只一つ"}));
        const platform::TreeStore &s = tree.Model().Store();
        QCOMPARE(s.FindKey("R1"), platform::NodeId(1));
        QCOMPARE(s.FindKey("R2"), platform::NodeId(6));
        QCOMPARE(s.FindKey("R3"), platform::NodeId(8));
        QCOMPARE(s.FindKey("R4"), platform::NodeId(0));
        for (platform::NodeId archive : {1u, 6u, 8u})
            QVERIFY(tree.isExpanded(tree.Model().IndexOf(archive)));
        QVERIFY(tree.viewport()->rect().contains(tree.visualRect(tree.Model().IndexOf(9))));
        QCOMPARE(tree.Style(), 6);
        QCOMPARE(tree.BorderStyle(), 1);
    }

    void theProgressBarShowsOnlyWhileArchivesAreListed()
    {
        someArchives(4, 1);
        std::vector<bool> visible;
        std::vector<float> values, maxima;
        list_.inside = [&](int) {
            visible.push_back(form_->ProgressBar->isVisible());
            values.push_back(form_->ProgressBar->Value());
            maxima.push_back(form_->ProgressBar->Max());
        };
        QVERIFY(!form_->ProgressBar->isVisible());
        runConfirmingTheCurrentFolder();
        QCOMPARE(visible, (std::vector<bool>{true, true, true, true}));
        QCOMPARE(values, (std::vector<float>{1, 2, 3, 4}));
        QCOMPARE(maxima, (std::vector<float>{4, 4, 4, 4}));
        QVERIFY(!form_->ProgressBar->isVisible());
        QCOMPARE(form_->ProgressBar->Value(), form_->ProgressBar->Max());
    }

    void aRunWithoutArchivesLeavesStyleAndBorder()
    {
        runConfirmingTheCurrentFolder();
        QCOMPARE(list_.folders.size(), std::size_t(1));
        QCOMPARE(form_->TreeView1->Count(), 0u);
        QCOMPARE(form_->Label1->text(), dir_->path());
        QCOMPARE(form_->TreeView1->Style(), 7);
        QCOMPARE(form_->TreeView1->BorderStyle(), 0);
        QVERIFY(!form_->ProgressBar->isVisible());
        // A later run that finds archives sets them.
        someArchives(1, 0);
        runConfirmingTheCurrentFolder();
        QCOMPARE(form_->TreeView1->Style(), 6);
        QCOMPARE(form_->TreeView1->BorderStyle(), 1);
    }

    void aCancelledFirstRunClearsTheTreeAndChangesNothingElse()
    {
        form_->TreeView1->Add({}, 0, "R1", "old.zip");
        form_->Label1->setText("before");
        WhenChooserOpens([](Dialog &d) { d.CancelButton->click(); });
        QTest::mouseClick(form_->Command1, Qt::LeftButton);
        QVERIFY(list_.folders.empty());
        QCOMPARE(form_->TreeView1->Count(), 0u);
        QCOMPARE(form_->Label1->text(), QStringLiteral("before"));
        QVERIFY(!form_->ProgressBar->isVisible());
    }

    void twoRunsGiveTheSameTreeAndTheLastRunsMaximum()
    {
        someArchives(6, 3);
        runConfirmingTheCurrentFolder();
        const QStringList first = treeLines(*form_->TreeView1);
        runConfirmingTheCurrentFolder();
        QCOMPARE(treeLines(*form_->TreeView1), first);
        QCOMPARE(form_->TreeView1->Model().Store().FindKey("R1"), platform::NodeId(1));
        QCOMPARE(form_->ProgressBar->Max(), 6.0f);
        // Fewer archives: a maximum below the value the last run left is taken.
        for (int i = 3; i <= 6; ++i)
            QVERIFY(QFile::remove(QStringLiteral("書庫%1.zip").arg(i)));
        runConfirmingTheCurrentFolder();
        QCOMPARE(form_->ProgressBar->Max(), 2.0f);
        QCOMPARE(form_->ProgressBar->Value(), 2.0f);
        QCOMPARE(form_->TreeView1->Count(), 8u);
    }

    void noInputReachesTheWindowsDuringARun()
    {
        someArchives(5, 2);
        QSignalSpy command1(form_->Command1, &QPushButton::clicked);
        QSignalSpy command2(form_->Command2, &QPushButton::clicked);
        int choosers = 0;
        bool busyCursor = false;
        list_.inside = [&](int i) {
            if (i == 1) {
                busyCursor = QApplication::overrideCursor() &&
                             QApplication::overrideCursor()->shape() == Qt::WaitCursor;
                // Sent straight to the widgets, and queued as the window system would.
                QTest::mouseClick(form_->Command1, Qt::LeftButton);
                QTest::keyClick(form_->Command2, Qt::Key_Space);
                QTest::keyClick(form_.get(), Qt::Key_Return);
                const QPoint centre = form_->Command2->rect().center();
                QCoreApplication::postEvent(form_->Command2,
                                            new QMouseEvent(QEvent::MouseButtonPress, centre,
                                                            form_->Command2->mapToGlobal(centre),
                                                            Qt::LeftButton, Qt::LeftButton, {}));
                QCoreApplication::postEvent(form_->Command2,
                                            new QMouseEvent(QEvent::MouseButtonRelease, centre,
                                                            form_->Command2->mapToGlobal(centre),
                                                            Qt::LeftButton, Qt::NoButton, {}));
                letTheRunCatchUp();
            }
        };
        WhenChooserOpens([&choosers](Dialog &d) {
            ++choosers;
            d.OKButton->click();
        });
        QTest::mouseClick(form_->Command1, Qt::LeftButton);
        QCOMPARE(command1.count(), 1); // the click that started the run
        QCOMPARE(command2.count(), 0);
        QCOMPARE(choosers, 1);
        QCOMPARE(list_.folders.size(), std::size_t(1));
        QVERIFY(busyCursor);
        QVERIFY(QApplication::overrideCursor() == nullptr);
        QVERIFY(!form_->Listing());
        // Afterwards the window takes input again.
        QTest::mouseClick(form_->Command2, Qt::LeftButton);
        QCOMPARE(command2.count(), 1);
    }

    void theWindowsKeepPaintingDuringARun()
    {
        someArchives(3, 1);
        struct PaintCounter : QObject {
            int paints = 0;
            bool eventFilter(QObject *, QEvent *e) override
            {
                paints += e->type() == QEvent::Paint;
                return false;
            }
        } counter;
        form_->Label1->installEventFilter(&counter);
        int paintsBefore = -1, paintsAfter = -1;
        bool timerRan = false;
        list_.inside = [&](int i) {
            if (i == 1) {
                QTimer::singleShot(0, [&timerRan] { timerRan = true; });
                form_->Label1->update();
                paintsBefore = counter.paints;
                letTheRunCatchUp();
            } else if (i == 2) {
                paintsAfter = counter.paints;
            }
        };
        runConfirmingTheCurrentFolder();
        QVERIFY(timerRan);
        QVERIFY2(paintsAfter > paintsBefore,
                 qPrintable(QStringLiteral("%1 %2").arg(paintsBefore).arg(paintsAfter)));
    }

    void aCloseRequestStopsTheRunAndClosesTheWindowAfter_data()
    {
        QTest::addColumn<bool>("fromTheWindowSystem");
        QTest::newRow("close box") << true;
        QTest::newRow("close from code") << false;
    }
    void aCloseRequestStopsTheRunAndClosesTheWindowAfter()
    {
        QFETCH(bool, fromTheWindowSystem);
        someArchives(100, 2);
        QVERIFY(QFile::link(".", "loop")); // a folder skipped, for a message that must not come
        bool openWhileStopping = false;
        list_.inside = [&](int i) {
            if (i == 3) {
                QTimer::singleShot(0, form_.get(), [this, fromTheWindowSystem] {
                    if (fromTheWindowSystem)
                        form_->windowHandle()->close();
                    else
                        form_->close();
                });
                letTheRunCatchUp();
            } else if (i == 4) {
                openWhileStopping = true; // the run went on past the request
            }
        };
        int messageBoxes = 0;
        WhenOpen<QMessageBox>([&messageBoxes](QMessageBox &box) {
            ++messageBoxes;
            box.close();
        });
        runConfirmingTheCurrentFolder();
        QCOMPARE(list_.listed, 3);
        QVERIFY(!openWhileStopping);
        QVERIFY(!form_->isVisible());
        QCOMPARE(form_->TreeView1->Count(), 9u);
        QVERIFY(QApplication::overrideCursor() == nullptr);
        QTest::qWait(30);
        QCOMPARE(messageBoxes, 0);
    }

    void otherWindowsDoNotCloseUnderARun()
    {
        someArchives(3, 1);
        QWidget other;
        other.show();
        QVERIFY(QTest::qWaitForWindowExposed(&other));
        list_.inside = [&](int i) {
            if (i == 1) {
                QTimer::singleShot(0, &other, &QWidget::close);
                letTheRunCatchUp();
            }
        };
        runConfirmingTheCurrentFolder();
        QCOMPARE(list_.listed, 3);
        QVERIFY(other.isVisible());
        QVERIFY(form_->isVisible());
        other.close();
        QVERIFY(!other.isVisible());
    }

    void skippedFoldersAreReportedInOneMessage()
    {
        someArchives(1, 1);
        for (int i = 1; i <= 7; ++i)
            QVERIFY(QFile::link(".", QStringLiteral("鍵付き%1").arg(i)));
        QString text;
        int boxes = 0;
        WhenOpen<QMessageBox>([&](QMessageBox &box) {
            ++boxes;
            text = box.text();
            box.button(QMessageBox::Ok)->click();
        });
        runConfirmingTheCurrentFolder();
        QCOMPARE(boxes, 1);
        QVERIFY2(text.contains(QStringLiteral("7 個")) &&
                     text.contains(QStringLiteral("ほか 2 個")),
                 qPrintable(text));
        // The first five in the scan's order, which is the directory's.
        int named = 0;
        for (int i = 1; i <= 7; ++i)
            named += text.contains(dir_->path() + QStringLiteral("/鍵付き%1（").arg(i));
        QCOMPARE(named, 5);
    }

    // Archives that could not be read or are empty are named in the same one message, after
    // the folders, with or without skipped folders.
    void unreadableAndEmptyArchivesAreNamedWithTheSkippedFolders_data()
    {
        QTest::addColumn<bool>("withFolder");
        QTest::newRow("archives only") << false;
        QTest::newRow("folder and archives") << true;
    }
    void unreadableAndEmptyArchivesAreNamedWithTheSkippedFolders()
    {
        QFETCH(bool, withFolder);
        someArchives(2, 1);
        if (withFolder)
            QVERIFY(QFile::link(".", "鍵付き"));
        // Refused in this order, then found gone, empty, and a link to itself.
        const QString d = dir_->path() + '/';
        for (const QString name : {"1/2/a.zip", "1/b.zip", "c.zip"})
            scriptedArchive(d + name, std::nullopt);
        QVERIFY(testsupport::WriteFile(d + "1/b.zip", {}));
        list_.scanned = [d] {
            QFile::remove(d + "1/2/a.zip");
            QFile::remove(d + "c.zip");
            QFile::link("c.zip", d + "c.zip");
        };
        QStringList texts;
        WhenOpen<QMessageBox>([&](QMessageBox &box) {
            texts << box.text();
            box.button(QMessageBox::Ok)->click();
        });
        runConfirmingTheCurrentFolder();
        QCOMPARE(texts.size(), 1);
        QStringList lines = texts[0].split(QLatin1Char('\n'));
        QCOMPARE(lines.contains(d + "鍵付き（リンクが循環しています）"), withFolder);
        QVERIFY2(texts[0].contains(QStringLiteral("書庫が 3 個")), qPrintable(texts[0]));
        lines = lines.mid(lines.size() - 3);
        QCOMPARE(lines,
                 QStringList({d + "1/2/a.zip（見つかりません）", d + "1/b.zip（空の書庫です）",
                              d + "c.zip（リンクが循環しています）"}));
    }

    // One line per folder: the path as it can be read, then the cause in Japanese words.
    void theMessageNamesCausesInJapaneseAndShowsControlCharacters_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("line");
        QTest::newRow("EACCES") << QByteArray("/d/a") << EACCES
                                << "/d/a（アクセスが拒否されました）";
        QTest::newRow("EPERM") << QByteArray("/d/a") << EPERM << "/d/a（アクセスが拒否されました）";
        QTest::newRow("ENOENT") << QByteArray("/d/a") << ENOENT << "/d/a（見つかりません）";
        QTest::newRow("ELOOP") << QByteArray("/d/a") << ELOOP << "/d/a（リンクが循環しています）";
        QTest::newRow("ENAMETOOLONG")
            << QByteArray("/d/a") << ENAMETOOLONG << "/d/a（パスが長すぎます）";
        QTest::newRow("EIO") << QByteArray("/d/a") << EIO << "/d/a（読み取りエラー）";
        QTest::newRow("other") << QByteArray("/d/a") << ENOSPC
                               << QStringLiteral("/d/a（エラー番号 %1）").arg(ENOSPC);
        QTest::newRow("escapes")
            << QByteArray("/d/x\x1b[2J\nok\\\x7f\xc2\x85\xe2\x80\xa8") << EACCES
            << "/d/x\\x1b[2J\\x0aok\\\\\\x7f\\u0085\\u2028（アクセスが拒否されました）";
    }
    void theMessageNamesCausesInJapaneseAndShowsControlCharacters()
    {
        QFETCH(QByteArray, path);
        QFETCH(int, error);
        QFETCH(QString, line);
        const QString text = main_window::SkippedFoldersMessage({{path.toStdString(), error}});
        QCOMPARE(text.split(QLatin1Char('\n')).last(), line);
    }

    void anErrorEndsTheRunAndLeavesTheWindowUsable()
    {
        std::vector<std::string> reports;
        app::SetUnhandledErrorReporter([&reports](const std::string &m) { reports.push_back(m); });
        someArchives(10, 1);
        list_.inside = [](int i) {
            if (i == 4)
                throw std::runtime_error("overflow");
        };
        runConfirmingTheCurrentFolder();
        app::SetUnhandledErrorReporter([](const std::string &) {});
        QCOMPARE(reports, std::vector<std::string>{"overflow"});
        // What was added stays, made known to the view; the bar stays as the run left it.
        QCOMPARE(form_->TreeView1->Count(), 8u);
        QCOMPARE(form_->TreeView1->model()->rowCount(), 4);
        QVERIFY(form_->ProgressBar->isVisible());
        QVERIFY(QApplication::overrideCursor() == nullptr);
        QVERIFY(!form_->Listing());
        list_.inside = nullptr;
        runConfirmingTheCurrentFolder();
        QCOMPARE(list_.folders.size(), std::size_t(2));
        QCOMPARE(form_->TreeView1->Count(), 20u);
    }

    void theTreeGrowsDuringARunWithItsLastNodeInView()
    {
        someArchives(6, 40);
        int shownAtFour = -1;
        bool lastInView = false, lastExpanded = false;
        const platform::TreeView &tree = *form_->TreeView1;
        list_.inside = [&](int i) {
            // The tree shows what was added only when its last showing cost under an eighth of
            // the time since; on a loaded machine the first one can take a while.
            if (i == 3)
                QThread::msleep(1000);
            if (i == 4) {
                // Three archives of 41 nodes showed at the paint after the third.
                shownAtFour = tree.model()->rowCount();
                const QModelIndex last = tree.Model().IndexOf(3 * 41);
                lastInView = tree.viewport()->rect().contains(tree.visualRect(last));
                lastExpanded = tree.isExpanded(last.parent());
            }
        };
        runConfirmingTheCurrentFolder();
        QCOMPARE(shownAtFour, 3);
        QVERIFY(lastInView);
        QVERIFY(lastExpanded);
        QCOMPARE(tree.model()->rowCount(), 6);
    }

    void fiveThousandArchivesCostABoundedNumberOfLayouts()
    {
        someArchives(5000, 3);
        const std::size_t layoutsBefore = form_->TreeView1->LayoutCount();
        QElapsedTimer clock;
        clock.start();
        runConfirmingTheCurrentFolder();
        const qint64 elapsed = clock.elapsed();
        const platform::TreeView &tree = *form_->TreeView1;
        QCOMPARE(tree.Count(), 20000u);
        // At most one layout per paint, which comes at most every 50 ms, and one at the end.
        QVERIFY2(tree.LayoutCount() - layoutsBefore <= std::size_t(2 + elapsed / 50),
                 qPrintable(QStringLiteral("%1 layouts in %2 ms")
                                .arg(tree.LayoutCount() - layoutsBefore)
                                .arg(elapsed)));
        int expanded = 0;
        for (int row = 0; row < 5000; ++row)
            expanded += tree.isExpanded(tree.model()->index(row, 0));
        QCOMPARE(expanded, 5000);
        QVERIFY(tree.viewport()->rect().contains(tree.visualRect(tree.Model().IndexOf(20000))));
    }
};

QTEST_MAIN(TestListingRun)
#include "tst_listingrun.moc"
