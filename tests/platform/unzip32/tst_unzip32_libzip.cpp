// Our listing next to libzip's and Info-ZIP unzip's over every archive the other tests write,
// and next to libzip's over archives made by Python's zipfile and Info-ZIP zip. Where libzip
// opens an archive, both must list the same number of entries in the same order, with the
// same name wherever libzip's raw name (which already applies a valid 0x7075 field) is UTF-8.
// Where libzip or unzip refuses an archive that we list, or lists one we refuse, the case
// must be one of the documented differences below.
#include <QDir>
#include <QProcess>
#include <QSet>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QTemporaryDir>
#include <QTest>
#include <zip.h>

#include "TestArchives.h"

#include "UnZip32.h"

using namespace unzip32test;

namespace
{

// Archives libzip refuses and we list, on purpose.
const QSet<QByteArray> kWeListLibzipRefuses = {
    // libzip trusts the end record's count and refuses a directory that disagrees with it;
    // we list the headers the directory holds.
    "count too high",
    "count too low",
    "count zero with headers",
    "zip64 count 2^62",
    // libzip does not look for the directory where prepended data moved it.
    "data prepended, offsets not adjusted",
    "zip64 with data prepended, not adjusted",
    "zip-sfx-unadjusted.zip",
    // libzip refuses the archive over one bad header; we list the entries before it.
    "bad second header",
    // libzip refuses a UTF-8 flag on names that are not UTF-8; we decode them as CP932.
    "cp932 under a lying utf8 flag",
    // libzip requires the ZIP64 record at the place the locator names, and no fallback.
    "zip64 locator pointing elsewhere",
    "zip64 bogus with real 32-bit values",
    // libzip wants a ZIP64 extra field wherever a size is 0xFFFFFFFF.
    "sizes 0xFFFFFFFF without zip64 fields",
    // libzip trusts the stated offset, and does not look for the directory right before
    // the end record.
    "zip64 offset 2^62",
    "directory past the end of the file",
    "data prepended, offsets not adjusted, with a comment",
    "zip64 offset wrong, 32-bit values right",
    // libzip trusts the stated directory size; we follow the headers.
    "zip64 size past the file",
    "count without a directory",
    "stated size too small",
    "stated size too large",
    "last extra field past the directory",
    "last comment past the directory",
    // libzip looks for the end record only within a comment's reach, and refuses one whose
    // comment runs past the end of the file.
    "100 KiB after the archive",
    "comment past the end of the file",
    // libzip refuses archives marked as one part of several, or whose two counts differ.
    "entries on disk differ",
    "zip64 entries on disk zero",
    "multi-disk, directory in this file",
};

// Archives unzip refuses and we list, on purpose.
const QSet<QByteArray> kWeListUnzipRefuses = {
    // unzip takes the last end record and gives up when it leads nowhere; we go on to an
    // earlier one.
    "fake end record in the comment",
    "fake end record with a long comment",
    "many fake end records",
    // unzip gives up when the stated size reaches before the start of the file or past the
    // end record; we follow the headers from the stated offset.
    "zip64 size past the file",
    "stated size too large",
    // unzip refuses a ZIP64 record that disagrees with the end record, or names another disk;
    // we use what leads to a directory in this file.
    "zip64 record says disk 1, end record disk 0",
    "zip64 locator says two disks",
    "zip64 multi-disk, directory in this file",
};

// Archives unzip lists as we do, with other names: unzip reads every name without the UTF-8
// flag as code page 437 (we prefer UTF-8, then code page 932), does not apply a Unicode Path
// field's text when it is not UTF-8 and shows control bytes as ^X and an empty name as the
// one before it.
const QSet<QByteArray> kUnzipShowsOtherNames = {
    "utf8 flagged",
    "utf8 unflagged",
    "unicode path invalid utf8",
    "cp932 0x5C trail bytes",
    "cp932 half-width katakana",
    "cp932 microsoft table",
    "cp932 under a lying utf8 flag",
    "overlong utf8 is cp932",
    "hostile names",
};

// Archives where both list the same entries but libzip shows a NUL stored in a name as a
// space; we end the name there, as the reader does with its record.
const QSet<QByteArray> kNulInName = {"nul inside a name", "nul first"};

struct Listing {
    bool opened = false;
    Names names;
};

Listing ListWithLibzip(const QByteArray &path)
{
    Listing out;
    int error = 0;
    zip_t *archive = zip_open(path.constData(), ZIP_RDONLY, &error); // never ZIP_CHECKCONS
    if (!archive)
        return out;
    out.opened = true;
    const zip_int64_t n = zip_get_num_entries(archive, 0);
    for (zip_int64_t i = 0; i < n; ++i) {
        const char *name = zip_get_name(archive, zip_uint64_t(i), ZIP_FL_ENC_RAW);
        out.names.push_back(name ? QByteArray(name) : QByteArray());
    }
    zip_discard(archive);
    return out;
}

Listing ListWithUs(const QByteArray &path)
{
    Listing out;
    if (!UnZipCheckArchive(path.constData(), 1))
        return out;
    const int32_t h = UnZipOpenArchive(0, path.constData(), UNZIP_OPEN_NAMES);
    out.opened = h > 0;
    EntryInfo r{};
    for (int32_t more = UnZipFindFirst(h, "*.*", &r); more == 0; more = UnZipFindNext(h, &r))
        out.names.push_back(QByteArray(r.szFileName));
    UnZipCloseArchive(h);
    return out;
}

// What `unzip -Z1` lists, or none when it lists nothing at all: it prints the names it
// reads before it meets damage, then an error; "Empty zipfile." stands for no names. It
// shows names without the UTF-8 flag from code page 437 in Latin-1, control bytes as ^X.
Listing ListWithUnzip(const QString &unzip, const QByteArray &path)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("LC_ALL", "C.UTF-8");
    p.setProcessEnvironment(env);
    p.start(unzip, {"-Z1", QFile::decodeName(path)});
    Listing out;
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit)
        return out;
    QList<QByteArray> lines = p.readAllStandardOutput().split('\n');
    lines.removeLast(); // after the last line feed
    out.opened = !lines.isEmpty();
    if (lines == QList<QByteArray>{"Empty zipfile."})
        return out;
    for (const QByteArray &line : lines)
        out.names.push_back(line);
    return out;
}

bool IsAscii(const QByteArray &b)
{
    for (const char c : b)
        if (uchar(c) >= 0x80)
            return false;
    return true;
}

bool IsUtf8(const QByteArray &b)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString s = decoder.decode(b);
    return !decoder.hasError();
}

// Our record holds at most 512 bytes of whole characters.
QByteArray AsInRecord(QByteArray name)
{
    if (name.size() <= 512)
        return name;
    int cut = 512;
    while (cut > 0 && (uchar(name[cut]) & 0xC0) == 0x80)
        --cut;
    return name.left(cut);
}

bool Run(const QString &program, const QStringList &args, const QString &dir,
         const QByteArray &input = {}, const QString &locale = "C.UTF-8")
{
    QProcess p;
    p.setWorkingDirectory(dir);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("LC_ALL", locale);
    p.setProcessEnvironment(env);
    p.start(program, args);
    if (!p.waitForStarted())
        return false;
    p.write(input);
    p.closeWriteChannel();
    return p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

const char *kPythonScript = R"(
import sys, zipfile, os
out = sys.argv[1]
with zipfile.ZipFile(os.path.join(out, 'py-basic.zip'), 'w', zipfile.ZIP_DEFLATED) as z:
    for n in ['a.txt', 'dir/', 'dir/b.txt', '日本語/ファイル.txt', 'Grüße']:
        z.writestr(n, n * 3)
with zipfile.ZipFile(os.path.join(out, 'py-comment.zip'), 'w') as z:
    z.writestr('x', 'y')
    z.comment = b'PK\x05\x06 a comment that looks like an end record'
with zipfile.ZipFile(os.path.join(out, 'py-zip64.zip'), 'w') as z:
    for i in range(3):
        with z.open('big%d' % i, 'w', force_zip64=True) as f:
            f.write(b'data')
with zipfile.ZipFile(os.path.join(out, 'py-empty.zip'), 'w') as z:
    pass
with zipfile.ZipFile(os.path.join(out, 'py-many.zip'), 'w') as z:
    for i in range(66000):
        z.writestr('e%05d' % i, b'')
)";

} // namespace

class TestUnZip32Libzip : public QObject
{
    Q_OBJECT

    QTemporaryDir dir_;
    QStringList toolArchives_;

    void MakeToolArchives()
    {
        const QString python = QStandardPaths::findExecutable("python3");
        if (!python.isEmpty() && Run(python, {"-c", kPythonScript, dir_.path()}, dir_.path()))
            for (const char *n :
                 {"py-basic.zip", "py-comment.zip", "py-zip64.zip", "py-empty.zip", "py-many.zip"})
                toolArchives_ << dir_.filePath(n);
        const QString zip = QStandardPaths::findExecutable("zip");
        if (zip.isEmpty())
            return;
        const QString tree = dir_.filePath("tree");
        QDir().mkpath(tree + "/sub/deeper");
        for (const char *f :
             {"plain.txt", "sub/deeper/deep.txt", "sub/ユニコード.txt", "sub/with space"})
            testsupport::WriteFile(tree + "/" + QString::fromUtf8(f), QByteArray(f).repeated(20));
        struct Job {
            const char *name;
            QStringList args;
            QString locale;
        };
        const Job jobs[] = {
            {"zip-utf8.zip", {"-r", "-q", "-X"}, "C.UTF-8"},
            {"zip-c-locale.zip", {"-r", "-q", "-X"}, "C"},
            {"zip-stored.zip", {"-r", "-q", "-X", "-0"}, "C.UTF-8"},
            {"zip-encrypted.zip", {"-r", "-q", "-X", "-P", "secret"}, "C.UTF-8"},
        };
        for (const Job &job : jobs) {
            const QString out = dir_.filePath(job.name);
            if (Run(zip, job.args + QStringList{out, "."}, tree, {}, job.locale))
                toolArchives_ << out;
        }
        // A self-extractor: a stub before the archive, then the offsets fixed with -A.
        QFile archive(dir_.filePath("zip-utf8.zip"));
        if (archive.open(QIODevice::ReadOnly)) {
            const QByteArray stub = QByteArray("#!/bin/sh\nexit 0\n") + QByteArray(3000, '\x90');
            const QByteArray whole = stub + archive.readAll();
            const QString plain = dir_.filePath("zip-sfx-unadjusted.zip");
            const QString fixed = dir_.filePath("zip-sfx-adjusted.zip");
            if (testsupport::WriteFile(plain, whole) && testsupport::WriteFile(fixed, whole) &&
                Run(zip, {"-q", "-A", fixed}, dir_.path()))
                toolArchives_ << plain << fixed;
        }
    }

    void Compare(const QByteArray &tag, const QByteArray &path)
    {
        const Listing theirs = ListWithLibzip(path);
        const Listing ours = ListWithUs(path);
        if (!theirs.opened) {
            if (ours.opened)
                QVERIFY2(kWeListLibzipRefuses.contains(tag),
                         "undocumented difference: libzip refuses");
            return;
        }
        QVERIFY2(!kWeListLibzipRefuses.contains(tag), "documented difference no longer holds");
        QVERIFY2(ours.opened, "libzip lists an archive we refuse");
        QCOMPARE(ours.names.size(), theirs.names.size());
        for (size_t i = 0; i < ours.names.size(); ++i)
            if (IsUtf8(theirs.names[i]) && !kNulInName.contains(tag))
                QCOMPARE(ours.names[i], AsInRecord(theirs.names[i]));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir_.isValid());
        MakeToolArchives();
    }

    void writtenArchives_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        for (const ArchiveCase &c : AllCases())
            QTest::newRow(c.tag) << c.bytes;
        ZipArchive many = Numbered(70000);
        many.end.zip64 = true;
        QTest::newRow("zip64 with 70000 entries") << many.Build();
    }
    void writtenArchives()
    {
        QFETCH(QByteArray, bytes);
        const QString path = dir_.filePath("case.zip");
        QVERIFY(testsupport::WriteFile(path, bytes));
        Compare(QTest::currentDataTag(), QFile::encodeName(path));
    }

    // Every archive next to `unzip -Z1`: the same archives listed, the same number of names,
    // and the same names where its output can be compared (plain ASCII, and names in code
    // page 437), but for the documented differences.
    void unzipAgrees_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        for (const ArchiveCase &c : AllCases())
            QTest::newRow(c.tag) << c.bytes;
    }
    void unzipAgrees()
    {
        QFETCH(QByteArray, bytes);
        const QString unzip = QStandardPaths::findExecutable("unzip");
        if (unzip.isEmpty())
            QFAIL("unzip is not installed; scripts/deps.sh test installs it");
        const QByteArray tag = QTest::currentDataTag();
        const QString path = dir_.filePath("case.zip");
        QVERIFY(testsupport::WriteFile(path, bytes));
        const Listing theirs = ListWithUnzip(unzip, QFile::encodeName(path));
        const Listing ours = ListWithUs(QFile::encodeName(path));
        if (kWeListUnzipRefuses.contains(tag)) {
            QVERIFY2(!theirs.opened, "documented difference no longer holds");
            QVERIFY(ours.opened);
            return;
        }
        QCOMPARE(ours.opened, theirs.opened);
        if (kUnzipShowsOtherNames.contains(tag))
            return;
        QCOMPARE(ours.names.size(), theirs.names.size());
        const bool cp437 = tag.startsWith("cp437");
        for (size_t i = 0; i < ours.names.size(); ++i) {
            const QByteArray shown =
                AsInRecord(cp437 ? QString::fromLatin1(theirs.names[i]).toUtf8() : theirs.names[i]);
            if (cp437 || IsAscii(shown))
                QCOMPARE(ours.names[i], shown);
        }
    }

    void toolArchives_data()
    {
        QTest::addColumn<QString>("path");
        if (toolArchives_.isEmpty())
            QFAIL("neither python3 nor zip could make archives (scripts/deps.sh test)");
        for (const QString &p : toolArchives_)
            QTest::newRow(qPrintable(QFileInfo(p).fileName())) << p;
    }
    void toolArchives()
    {
        QFETCH(QString, path);
        const QByteArray name = QFile::encodeName(path);
        Compare(QTest::currentDataTag(), name);
        // Every one of these is an archive, and only the empty one has no entries.
        const Listing ours = ListWithUs(name);
        QVERIFY(ours.opened);
        QCOMPARE(ours.names.empty(), path.endsWith("py-empty.zip"));
    }
};

QTEST_GUILESS_MAIN(TestUnZip32Libzip)
#include "tst_unzip32_libzip.moc"
