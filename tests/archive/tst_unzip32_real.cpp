// The entry reader over the real archive library, loaded from beside this program the way the
// program loads it, on archives that Info-ZIP's zip writes here.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

#include "Class1.h"
#include "Module1.h"

using Names = QList<QByteArray>;

class TestUnZip32Real : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable("zip").isEmpty())
            QFAIL("Info-ZIP zip is needed to make the archives (scripts/deps.sh test)");
        QVERIFY(dir_.isValid());
    }
    void getFile_data();
    void getFile();
    void unZipProcLists();
    void installLayout_data();
    void installLayout();

private:
    // Writes files (a name ending in "/" is a folder) and, when members is not empty, zips the
    // members in that order into name; otherwise name gets content.
    bool Make(const QString &name, const Names &members, const QByteArray &content = {})
    {
        const QString folder = dir_.filePath(name + ".d");
        QDir().mkpath(folder);
        for (const QByteArray &m : members) {
            const QString path = folder + '/' + QString::fromUtf8(m);
            if (m.endsWith('/'))
                QDir().mkpath(path);
            else if (QFile f(path); !f.open(QIODevice::WriteOnly) || f.write("data " + m) < 0)
                return false;
        }
        if (members.isEmpty()) {
            QFile f(dir_.filePath(name));
            return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
        }
        QStringList arguments{"-q", "-X", dir_.filePath(name)};
        for (const QByteArray &m : members)
            arguments << QString::fromUtf8(m.endsWith('/') ? m.chopped(1) : m);
        QProcess zip;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("LC_ALL", "C.UTF-8");
        zip.setProcessEnvironment(environment);
        zip.setWorkingDirectory(folder);
        zip.start("zip", arguments);
        return zip.waitForFinished() && zip.exitCode() == 0;
    }

    QTemporaryDir dir_;
};

void TestUnZip32Real::getFile_data()
{
    QTest::addColumn<Names>("members");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<Names>("names");

    const Names files{"b.txt", "a.txt", "sub/", "sub/c.txt", "z.txt"};
    QTest::newRow("files and a folder in zip's order") << files << QByteArray() << files;
    QTest::newRow("UTF-8 names") << Names{"日本語.txt", "フォルダ/", "フォルダ/表.txt"}
                                 << QByteArray()
                                 << Names{"日本語.txt", "フォルダ/", "フォルダ/表.txt"};
    QTest::newRow("text file") << Names{} << QByteArray("not an archive\n") << Names{};
    QTest::newRow("empty file") << Names{} << QByteArray() << Names{};
    QTest::newRow("archive without entries")
        << Names{} << QByteArray("PK\x05\x06").append(18, '\0') << Names{};
}

void TestUnZip32Real::getFile()
{
    QFETCH(Names, members);
    QFETCH(QByteArray, content);
    QFETCH(Names, names);
    const QString name = QString::fromLatin1(QTest::currentDataTag()).replace(' ', '_') + ".zip";
    QVERIFY(Make(name, members, content));

    Module1::EntryNames.emplace();
    Class1 reader;
    QCOMPARE(reader.GetFile(0, QFile::encodeName(dir_.filePath(name))), names.size());
    Names listed;
    for (std::size_t i = 1; i <= Module1::EntryNames->Count(); ++i)
        listed << QByteArray::fromStdString(std::string(Module1::EntryNames->Item(i)));
    QCOMPARE(listed, names);
}

void TestUnZip32Real::unZipProcLists()
{
    QVERIFY(Make("listed.zip", {"one.txt", "two.txt"}));
    QByteArray command = "-l \"" + QFile::encodeName(dir_.filePath("listed.zip")) + '"';
    QByteArray output(256, '\0');
    Class1 reader;
    QCOMPARE(reader.UnZipProc(0, command, output, 256), 0);
    QCOMPARE(output.size(), 256);
    QVERIFY2(output.contains("one.txt") && output.contains("two.txt"), output.constData());
}

void TestUnZip32Real::installLayout_data()
{
    QTest::addColumn<QString>("libraryFolder"); // below the install root; empty: none there
    QTest::addColumn<bool>("found");
    QTest::newRow("beside the program") << "bin" << true;
    QTest::newRow("private library folder") << HAKOMI_PRIVATE_LIBDIR << true;
    // The library is the programs' own: public library folders are not looked in.
    QTest::newRow("multiarch library folder") << "lib/x86_64-linux-gnu" << false;
    QTest::newRow("library folder") << "lib" << false;
    QTest::newRow("nowhere") << "" << false;
}

// A copy of this test program, installed with the library in each place the program looks, and
// in places it must not look.
void TestUnZip32Real::installLayout()
{
    QFETCH(QString, libraryFolder);
    QFETCH(bool, found);
    QTemporaryDir install;
    const QString program = install.filePath("bin/tst_unzip32_real");
    QVERIFY(QDir().mkpath(install.filePath("bin")));
    QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), program));
    if (!libraryFolder.isEmpty()) {
        QVERIFY(QDir().mkpath(install.filePath(libraryFolder)));
        QVERIFY(QFile::copy(QCoreApplication::applicationDirPath() + "/libUnZip32.so",
                            install.filePath(libraryFolder + "/libUnZip32.so")));
    }
    QProcess copy;
    copy.start(program, {"--load"});
    QVERIFY(copy.waitForFinished());
    const QByteArray error = copy.readAllStandardError();
    QCOMPARE(copy.exitCode() == 0, found);
    QCOMPARE(error.startsWith("cannot find the archive library libUnZip32.so"), !found);
}

int main(int argc, char **argv)
{
    // "--load": only bind the library and tell whether that worked, for installLayout.
    if (argc == 2 && qstrcmp(argv[1], "--load") == 0) {
        try {
            Module1::EntryNames.emplace();
            Class1().GetFile(0, "/nonexistent.zip");
            return 0;
        } catch (const std::runtime_error &e) {
            std::fputs(e.what(), stderr);
            return 1;
        }
    }
    QCoreApplication application(argc, argv);
    TestUnZip32Real test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_unzip32_real.moc"
