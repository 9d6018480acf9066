// What other desktop programs have taught their users, beside the windows as laid out: a
// folder given on the command line or dropped on the window is listed at once, the selected
// node's text can be copied, and the usual keys work.
#include <QAction>
#include <QClipboard>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include "DirListBox.h"
#include "Driver.h"
#include "Form1.h"
#include "Listing.h"
#include "Module1.h"
#include "TreeView.h"
#include "Unhandled.h"
#include "ZipWriter.h"

namespace
{

QString textOf(const platform::TreeView &tree, platform::NodeId node)
{
    const std::string_view text = tree.Text(node);
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

// Drags urls over the window and drops them, as the window system delivers a drop.
void drop(QWidget &window, const QList<QUrl> &urls)
{
    QMimeData data;
    data.setUrls(urls);
    const QPoint at = window.rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window, &enter);
    if (!enter.isAccepted())
        return;
    QDropEvent dropped(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window, &dropped);
}

} // namespace

class TestDesktop : public QObject
{
    Q_OBJECT

    QTemporaryDir tmp_;
    std::unique_ptr<Form1> form_;
    std::vector<std::string> reports_;
    std::vector<std::string> listed_;

    QString sample() const { return tmp_.filePath("sample"); }

private slots:
    void initTestCase()
    {
        QVERIFY(tmp_.isValid());
        QDir().mkpath(sample());
        QVERIFY(testsupport::WriteFile(
            sample() + "/a.zip", testsupport::ArchiveOf({"x.txt", "名前.txt"}, 0x0800).Build()));
        QVERIFY(testsupport::WriteFile(tmp_.filePath("file"), "not a folder"));
        QDir().mkpath(tmp_.filePath("other"));
        app::SetUnhandledErrorReporter([this](const std::string &m) { reports_.push_back(m); });
    }

    void init()
    {
        Module1::SelectedFolder = "/before";
        reports_.clear();
        listed_.clear();
        form_ = std::make_unique<Form1>();
        form_->SetListFunction(
            [this](const std::string &folder, platform::TreeNodes &nodes, listing::RunView &view) {
                listed_.push_back(folder);
                return listing::ListFolder(folder, nodes, view);
            });
        form_->TreeView1->Add({}, 0, "R1", "from before");
        form_->show();
        QVERIFY(QTest::qWaitForWindowActive(form_.get()));
    }

    void cleanup()
    {
        StopWaiting();
        form_.reset();
    }

    // As if chosen in the chooser and confirmed; what cannot be opened gets the chooser's
    // message and changes nothing.
    void aFolderGivenIsListedAtOnce_data()
    {
        QTest::addColumn<QString>("given");
        QTest::addColumn<QString>("listed");
        QTest::addColumn<int>("error");
        QTest::newRow("a folder") << sample() << sample() << 0;
        QTest::newRow("relative, with a trailing slash") << "sample/" << sample() << 0;
        QTest::newRow("missing") << tmp_.filePath("missing") << "" << ENOENT;
        QTest::newRow("a file") << tmp_.filePath("file") << "" << ENOTDIR;
    }
    void aFolderGivenIsListedAtOnce()
    {
        QFETCH(QString, given);
        QFETCH(QString, listed);
        QFETCH(int, error);
        CurrentFolder cwd(tmp_.path());
        app::Handler([this, &given] { form_->OpenFolder(Bytes(given)); })();
        if (error == 0) {
            QCOMPARE(reports_, std::vector<std::string>{});
            QCOMPARE(Module1::SelectedFolder, Bytes(listed));
            QCOMPARE(listed_, std::vector<std::string>{Bytes(listed)});
            QCOMPARE(form_->Label1->text(), listed);
            QCOMPARE(form_->TreeView1->Count(), 3u);
            QCOMPARE(textOf(*form_->TreeView1, 1), listed + "/a.zip");
            QCOMPARE(form_->TreeView1->Style(), 6);
        } else {
            const std::string path = platform::NormalFolderPath(Bytes(given));
            QCOMPARE(reports_, std::vector<std::string>{platform::FolderError(path, error).what()});
            QCOMPARE(Module1::SelectedFolder, std::string("/before"));
            QVERIFY(listed_.empty());
            QCOMPARE(textOf(*form_->TreeView1, 1), QStringLiteral("from before"));
        }
    }

    void aDroppedFolderIsListed_data()
    {
        QTest::addColumn<QStringList>("dropped");
        QTest::addColumn<bool>("duringARun");
        QTest::addColumn<QStringList>("listed");
        QTest::newRow("a folder") << QStringList{sample()} << false << QStringList{sample()};
        QTest::newRow("a file") << QStringList{tmp_.filePath("file")} << false << QStringList{};
        QTest::newRow("two folders")
            << QStringList{sample(), tmp_.filePath("other")} << false << QStringList{};
        QTest::newRow("during a run")
            << QStringList{tmp_.filePath("other")} << true << QStringList{sample()};
    }
    void aDroppedFolderIsListed()
    {
        QFETCH(QStringList, dropped);
        QFETCH(bool, duringARun);
        QFETCH(QStringList, listed);
        QList<QUrl> urls;
        for (const QString &path : dropped)
            urls << QUrl::fromLocalFile(path);
        if (duringARun) {
            form_->SetListFunction([this, urls](const std::string &folder,
                                                platform::TreeNodes &nodes,
                                                listing::RunView &view) {
                listed_.push_back(folder);
                drop(*form_, urls);
                return listing::ListFolder(folder, nodes, view);
            });
            app::Handler([this] { form_->OpenFolder(Bytes(sample())); })();
        } else {
            drop(*form_, urls);
        }
        // The run starts once the drop has returned.
        QTest::qWait(20);
        QStringList seen;
        for (const std::string &folder : listed_)
            seen << QFile::decodeName(QByteArray::fromStdString(folder));
        QCOMPARE(seen, listed);
        QCOMPARE(reports_, std::vector<std::string>{});
        if (!listed.isEmpty())
            QCOMPARE(Module1::SelectedFolder, Bytes(listed.back()));
    }

    void copyPutsTheSelectedNodesTextOnTheClipboard_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("Ctrl+C") << "keys";
        QTest::newRow("the context menu's コピー") << "menu";
    }
    void copyPutsTheSelectedNodesTextOnTheClipboard()
    {
        QFETCH(QString, how);
        platform::TreeView &tree = *form_->TreeView1;
        tree.Add("R1", platform::TreeNodes::tvwChild, {}, "dir/名前.txt");
        tree.EnsureVisible(2);
        QClipboard *clipboard = QGuiApplication::clipboard();
        clipboard->setText("untouched");
        const auto copy = [&] {
            if (how == "keys")
                QTest::keyClick(form_.get(), Qt::Key_C, Qt::ControlModifier);
            else
                form_->CopyAction->trigger();
        };
        copy(); // nothing selected yet
        QCOMPARE(clipboard->text(), QStringLiteral("untouched"));
        if (how == "keys") {
            tree.Select(2);
        } else {
            // The menu belongs to the tree, and a right click selects the node under it.
            QCOMPARE(tree.contextMenuPolicy(), Qt::ActionsContextMenu);
            QVERIFY(tree.actions().contains(form_->CopyAction));
            QCOMPARE(form_->CopyAction->text(), QStringLiteral("コピー"));
            QTest::mouseClick(tree.viewport(), Qt::RightButton, {},
                              tree.visualRect(tree.Model().IndexOf(2)).center());
            QCOMPARE(tree.SelectedNode(), platform::NodeId(2));
        }
        copy();
        QCOMPARE(clipboard->text(), QStringLiteral("dir/名前.txt"));
    }

    void keys_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<QString>("does");
        QTest::newRow("Ctrl+F searches") << int(Qt::Key_F) << int(Qt::ControlModifier) << "search";
        QTest::newRow("F3 finds the next") << int(Qt::Key_F3) << 0 << "find next";
        QTest::newRow("Ctrl+Q closes") << int(Qt::Key_Q) << int(Qt::ControlModifier) << "close";
    }
    void keys()
    {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(QString, does);
        QSignalSpy search(form_->Command2, &QPushButton::clicked);
        QSignalSpy findNext(form_.get(), &Form1::FindNextRequested);
        // From the tree, where the focus is after a find, and from a button.
        for (QWidget *focus :
             {static_cast<QWidget *>(form_->TreeView1), static_cast<QWidget *>(form_->Command1)}) {
            if (!form_->isVisible())
                break;
            focus->setFocus();
            QTest::keyClick(focus, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        }
        QCOMPARE(search.count(), does == "search" ? 2 : 0);
        QCOMPARE(findNext.count(), does == "find next" ? 2 : 0);
        QCOMPARE(form_->isVisible(), does != "close");
        QVERIFY(listed_.empty());
    }
};

QTEST_MAIN(TestDesktop)
#include "tst_desktop.moc"
