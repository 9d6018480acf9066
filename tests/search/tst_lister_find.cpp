// hakomi-ls --find on a folder of small archives made with Info-ZIP's zip.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

namespace
{

struct Run {
    int status = -1;
    QStringList lines; // stdout, without the last newline
};

Run hakomiLs(const QStringList &args)
{
    QProcess p;
    p.start(QStringLiteral(HAKOMI_LS), args);
    p.waitForFinished(60000);
    Run r;
    r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    if (!out.isEmpty())
        r.lines = out.chopped(out.endsWith('\n') ? 1 : 0).split('\n');
    return r;
}

// Folding for texts whose letters are ASCII: full-width forms U+FF01-FF5E to ASCII.
QString fold(QString s, bool caseOn, bool widthOn)
{
    if (!widthOn)
        for (QChar &c : s)
            if (c.unicode() >= 0xFF01 && c.unicode() <= 0xFF5E)
                c = QChar(c.unicode() - 0xFEE0);
    return caseOn ? s : s.toLower();
}

struct Case {
    const char *name;
    QStringList options;
    QString text;
    std::function<bool(const QString &)> matches; // the node texts a find must reach
};

} // namespace

class TestListerFind : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;
    QStringList nodes; // the tree, node i at nodes[i - 1]

    bool zip(const QString &archive, const QString &workDir, const QStringList &files)
    {
        return QProcess::execute(QStringLiteral("zip"),
                                 QStringList{QStringLiteral("-q"), archive} + files) == 0 &&
               QFile::exists(QDir(workDir).filePath(archive));
    }

    std::vector<Case> cases()
    {
        auto folded = [](QString text, bool caseOn, bool widthOn) {
            return [=](const QString &node) {
                return fold(node, caseOn, widthOn).contains(fold(text, caseOn, widthOn));
            };
        };
        return {
            {"rejection nodes",
             {},
             "じゃない",
             [](const QString &n) { return n.contains("じゃない"); }},
            {"paths, any case and width", {}, "ＺＩＰ", folded("ＺＩＰ", false, false)},
            {"paths, case on", {"--case"}, "ＺＩＰ", folded("ＺＩＰ", true, false)},
            {"paths, exact", {"--case", "--width"}, ".ZIP", folded(".ZIP", true, true)},
            {"paths, width on", {"--width"}, "ZIP", folded("ZIP", false, true)},
            {"half-width kana finds full-width",
             {},
             "ｶﾞｲﾄﾞ",
             [](const QString &n) { return n.contains("ガイド") || n.contains("ｶﾞｲﾄﾞ"); }},
        };
    }

private slots:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable("zip").isEmpty())
            QFAIL("Info-ZIP zip is not installed (scripts/deps.sh test)");
        QVERIFY(dir.isValid());
        const QDir root(dir.path());
        QVERIFY(root.mkpath("src") && root.mkpath("ガイド"));
        for (const char *name : {"hello.txt", "Read Me.TXT"}) {
            QFile f(root.filePath(QStringLiteral("src/") + name));
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write("x") == 1);
        }
        QDir::setCurrent(root.filePath("src"));
        QVERIFY(zip(root.filePath("a.zip"), root.path(), {"hello.txt", "Read Me.TXT"}));
        QVERIFY(zip(root.filePath("ガイド/B.ZIP"), root.path(), {"hello.txt"}));
        QFile notAnArchive(root.filePath("c.zip"));
        QVERIFY(notAnArchive.open(QIODevice::WriteOnly) && notAnArchive.write("not a zip") == 9);
        notAnArchive.close();
        QVERIFY(QFile::remove(root.filePath("src/hello.txt")));
        QVERIFY(QFile::remove(root.filePath("src/Read Me.TXT")));

        const Run listing = hakomiLs({root.path()});
        QCOMPARE(listing.status, 0);
        for (const QString &line : listing.lines)
            nodes << (line.startsWith('\t') ? line.mid(1) : line);
        QVERIFY(nodes.size() >= 6); // three archives, each with at least one child
    }

    void findsStepThroughTheTree_data()
    {
        QTest::addColumn<int>("index");
        const auto all = cases();
        for (std::size_t i = 0; i < all.size(); ++i)
            QTest::newRow(all[i].name) << int(i);
    }
    void findsStepThroughTheTree()
    {
        QFETCH(int, index);
        const Case c = cases()[std::size_t(index)];
        QStringList expected;
        for (int i = 0; i < nodes.size(); ++i)
            if (c.matches(nodes[i]))
                expected << QString::number(i + 1) + '\t' + nodes[i];
        QVERIFY2(!expected.isEmpty(), "the folder should hold a match");
        expected << "検索終了";
        const Run r = hakomiLs(QStringList{"--find", c.text} + c.options + QStringList{dir.path()});
        QCOMPARE(r.status, 0);
        QCOMPARE(r.lines, expected);
    }

    void entryNamesAreFound()
    {
        const Run r = hakomiLs({"--find", "HELLO", dir.path()});
        QCOMPARE(r.status, 0);
        QCOMPARE(r.lines.size(), 3); // a.zip's and B.ZIP's hello.txt, then the end
        for (int i = 0; i < 2; ++i)
            QVERIFY2(r.lines[i].endsWith("\thello.txt"), qPrintable(r.lines[i]));
        QCOMPARE(r.lines[2], QString("検索終了"));
    }

    void nothingToFind()
    {
        const Run none = hakomiLs({"--find", "no such text", dir.path()});
        QCOMPARE(none.status, 0);
        QCOMPARE(none.lines, QStringList{"検索終了"});
        const Run wide = hakomiLs({"--find", "ｚｉｐ", "--width", dir.path()});
        QCOMPARE(wide.lines, QStringList{"検索終了"});
        const Run empty = hakomiLs({"--find", "", dir.path()});
        QCOMPARE(empty.status, 0);
        QVERIFY(empty.lines.isEmpty());
        const QTemporaryDir bare;
        QCOMPARE(hakomiLs({"--find", "a", bare.path()}).lines, QStringList{"検索終了"});
    }

    void exitStatuses_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("status");
        QTest::newRow("missing folder") << QStringList{"--find", "a", "/nonexistent/folder"} << 1;
        QTest::newRow("no text") << QStringList{"--find"} << 2;
        QTest::newRow("no folder") << QStringList{"--find", "a"} << 2;
        QTest::newRow("switch without --find") << QStringList{"--case", "."} << 2;
        QTest::newRow("unknown option") << QStringList{"--find", "a", "--wide", "."} << 2;
    }
    void exitStatuses()
    {
        QFETCH(QStringList, args);
        QFETCH(int, status);
        const Run r = hakomiLs(args);
        QCOMPARE(r.status, status);
        QVERIFY(r.lines.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestListerFind)
#include "tst_lister_find.moc"
