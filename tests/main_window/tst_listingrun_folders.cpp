// Listing runs over real folders and archives made at test time, through the real scan and
// archive reader: what a person sees after pressing OK.
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <map>

#include "Driver.h"
#include "Form1.h"
#include "Listing.h"
#include "Module1.h"
#include "ProgressBar.h"
#include "TreeView.h"

namespace
{

quint32 crc32(const QByteArray &data)
{
    quint32 crc = 0xffffffffu;
    for (unsigned char byte : data) {
        crc ^= byte;
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void le16(QByteArray &out, quint16 v)
{
    out.append(char(v & 0xff)).append(char(v >> 8));
}
void le32(QByteArray &out, quint32 v)
{
    le16(out, quint16(v & 0xffff));
    le16(out, quint16(v >> 16));
}

// A stored ZIP archive whose entry names are UTF-8 (general purpose flag bit 11).
QByteArray zipOf(const QStringList &names)
{
    QByteArray body, directory;
    for (const QString &n : names) {
        const QByteArray name = n.toUtf8();
        const QByteArray data = n.endsWith('/') ? QByteArray() : "content of " + name;
        const quint32 offset = quint32(body.size());
        // version, UTF-8 flag, stored, no time; crc, sizes, name length, no extra field
        const auto common = [&](QByteArray &out) {
            le16(out, 20), le16(out, 0x0800), le16(out, 0), le32(out, 0), le32(out, crc32(data));
            le32(out, quint32(data.size())), le32(out, quint32(data.size()));
            le16(out, quint16(name.size())), le16(out, 0);
        };
        le32(body, 0x04034b50);
        common(body);
        body += name + data;
        le32(directory, 0x02014b50);
        le16(directory, 20); // made by
        common(directory);
        le16(directory, 0), le16(directory, 0), le16(directory, 0), le32(directory, 0);
        le32(directory, offset);
        directory += name;
    }
    QByteArray out = body + directory;
    le32(out, 0x06054b50);
    le16(out, 0);
    le16(out, 0);
    le16(out, quint16(names.size()));
    le16(out, quint16(names.size()));
    le32(out, quint32(directory.size()));
    le32(out, quint32(body.size()));
    le16(out, 0);
    return out;
}

void write(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

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
        write(s + "/a.zip", zipOf({"readme.txt", "docs/", "docs/読んでね.txt", "readme.txt"}));
        write(s + "/サブ/b.ZIP", zipOf({"画像/写真.jpg"}));
        write(s + "/サブ/深い/c.Zip", zipOf({"x"}));
        write(s + "/not-an-archive.zip", "just text\n");
        write(s + "/notes.txt", "no archive\n");
        write(s + "/.hidden.zip", zipOf({"hidden"}));
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
        struct Watch : listing::RunView {
            listing::RunView *inner = nullptr;
            const platform::ProgressBar *bar = nullptr;
            QStringList seen;
            void SetProgressMax(float max) override { inner->SetProgressMax(max); }
            void SetProgressValue(float value) override { inner->SetProgressValue(value); }
            void SetProgressVisible(bool visible) override { inner->SetProgressVisible(visible); }
            void SetTreeStyle(int style, int border) override
            {
                inner->SetTreeStyle(style, border);
            }
            std::int32_t WindowHandle() override { return inner->WindowHandle(); }
            void ScanStarted() override { inner->ScanStarted(); }
            void ScanEnded() override { inner->ScanEnded(); }
            void FillStarted() override { inner->FillStarted(); }
            void FillEnded() override { inner->FillEnded(); }
            bool KeepGoing() override
            {
                const bool go = inner->KeepGoing();
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
