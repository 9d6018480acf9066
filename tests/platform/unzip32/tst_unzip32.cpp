// The library's six functions, called through libUnZip32.so as the program calls them.
#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "TestArchives.h"
#include "UnZip32.h"

using namespace unzip32test;

// Allocation watch: the largest single request and the total while armed, across the
// library too (its operator new resolves to these).
namespace
{
std::atomic<bool> gWatching{false};
std::atomic<size_t> gLargest{0}, gTotal{0};

void *Allocate(size_t n)
{
    if (gWatching.load(std::memory_order_relaxed)) {
        gTotal += n;
        size_t seen = gLargest.load();
        while (n > seen && !gLargest.compare_exchange_weak(seen, n)) {
        }
    }
    return std::malloc(n ? n : 1);
}
} // namespace

void *operator new(size_t n)
{
    if (void *p = Allocate(n))
        return p;
    throw std::bad_alloc();
}
void *operator new[](size_t n)
{
    return operator new(n);
}
void *operator new(size_t n, const std::nothrow_t &) noexcept
{
    return Allocate(n);
}
void *operator new[](size_t n, const std::nothrow_t &) noexcept
{
    return Allocate(n);
}
void operator delete(void *p) noexcept
{
    std::free(p);
}
void operator delete[](void *p) noexcept
{
    std::free(p);
}
void operator delete(void *p, size_t) noexcept
{
    std::free(p);
}
void operator delete[](void *p, size_t) noexcept
{
    std::free(p);
}

Q_DECLARE_METATYPE(std::optional<Names>)

namespace
{

struct Listing {
    int32_t checked = 0;
    int32_t handle = 0;
    Names names;
    std::vector<EntryInfo> records;
};

// The reader's protocol: check, open, find first and next, close.
Listing List(const QByteArray &path, const char *pattern = "*.*")
{
    Listing out;
    out.checked = UnZipCheckArchive(path.constData(), UNZIP_CHECK_FULL);
    if (!out.checked)
        return out;
    out.handle = UnZipOpenArchive(0, path.constData(), UNZIP_OPEN_NAMES);
    EntryInfo record{};
    if (out.handle > 0) {
        for (int32_t r = UnZipFindFirst(out.handle, pattern, &record); r == 0;
             r = UnZipFindNext(out.handle, &record)) {
            out.names.push_back(QByteArray(record.szFileName));
            out.records.push_back(record);
        }
    }
    UnZipCloseArchive(out.handle);
    return out;
}

uint32_t RecordU32(const EntryInfo &r, int at)
{
    return uint32_t(r.data[at]) | uint32_t(r.data[at + 1]) << 8 | uint32_t(r.data[at + 2]) << 16 |
           uint32_t(r.data[at + 3]) << 24;
}
uint16_t RecordU16(const EntryInfo &r, int at)
{
    return uint16_t(r.data[at] | r.data[at + 1] << 8);
}

} // namespace

class TestUnZip32 : public QObject
{
    Q_OBJECT

    QTemporaryDir dir_;
    int serial_ = 0;

    QByteArray Write(const QByteArray &bytes)
    {
        const QString path = dir_.filePath(QString("t%1.zip").arg(++serial_));
        if (!testsupport::WriteFile(path, bytes))
            qFatal("cannot write %s", qPrintable(path));
        return QFile::encodeName(path);
    }

    static void AddCases(const std::vector<ArchiveCase> &cases)
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<std::optional<Names>>("expected");
        for (const ArchiveCase &c : cases)
            QTest::newRow(c.tag) << c.bytes << c.names;
    }

    void CheckListing(const Listing &got, const std::optional<Names> &expected)
    {
        if (!expected) {
            QCOMPARE(got.checked, 0);
            return;
        }
        QVERIFY(got.checked != 0);
        QVERIFY(got.handle > 0);
        QCOMPARE(got.names.size(), expected->size());
        for (size_t i = 0; i < got.names.size(); ++i) {
            QCOMPARE(got.names[i], (*expected)[i]);
            QCOMPARE(RecordU32(got.records[i], 20), uint32_t(i));
        }
    }

    // A read-ahead changes nothing the reader sees: it holds exactly the archives (and the
    // verdict on the rest), and the listing after it, or an open without a check, answers as
    // without it.
    void CheckReadAhead(const QByteArray &path, const std::optional<Names> &expected)
    {
        QCOMPARE(UnZipReadAhead(path.constData()) > 0, expected.has_value());
        CheckListing(List(path), expected);
        QCOMPARE(UnZipReadAhead(path.constData()) > 0, expected.has_value());
        const int32_t h = UnZipOpenArchive(0, path.constData(), UNZIP_OPEN_NAMES);
        QCOMPARE(h > 0, expected.has_value());
        UnZipCloseArchive(h);
    }

private slots:
    void initTestCase() { QVERIFY(dir_.isValid()); }

    void encodings_data() { AddCases(EncodingCases()); }
    void encodings()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(std::optional<Names>, expected);
        const QByteArray path = Write(bytes);
        CheckListing(List(path), expected);
        CheckReadAhead(path, expected);
    }

    void hostileArchives_data() { AddCases(DamagedCases()); }
    void hostileArchives()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(std::optional<Names>, expected);
        const QByteArray path = Write(bytes);
        CheckListing(List(path), expected);
        // The open stands on its own, without a check before it.
        const int32_t h = UnZipOpenArchive(0, path.constData(), UNZIP_OPEN_NAMES);
        QCOMPARE(h > 0, expected.has_value());
        QCOMPARE(UnZipCloseArchive(h), h > 0 ? 0 : 1);
        CheckReadAhead(path, expected);
    }

    // Stated counts and sizes must not turn into allocations: the largest request stays
    // within what the file holds (or the fixed first buffer for small files).
    void memoryFollowsTheFileNotTheStatedCounts_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("entries");
        for (const ArchiveCase &c : DamagedCases())
            QTest::newRow(c.tag) << c.bytes << (c.names ? int(c.names->size()) : -1);
    }
    void memoryFollowsTheFileNotTheStatedCounts()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, entries);
        const QByteArray path = Write(bytes);
        gLargest = 0;
        gTotal = 0;
        gWatching = true;
        int found = -1;
        if (UnZipCheckArchive(path.constData(), 1) != 0) {
            const int32_t h = UnZipOpenArchive(0, path.constData(), UNZIP_OPEN_NAMES);
            EntryInfo r;
            found = 0;
            for (int32_t more = UnZipFindFirst(h, "*.*", &r); more == 0;
                 more = UnZipFindNext(h, &r))
                ++found;
            UnZipCloseArchive(h);
        }
        gWatching = false;
        QCOMPARE(found, entries);
        const size_t bound = std::max<size_t>(size_t(bytes.size()), 64 * 1024) + 4096;
        QVERIFY2(gLargest <= bound, qPrintable(QString("largest %1").arg(gLargest.load())));
        QVERIFY2(gTotal <= 3 * bound, qPrintable(QString("total %1").arg(gTotal.load())));
    }

    void recordFields()
    {
        ZipArchive a;
        a.entries.push_back(testsupport::Entry("dir/"));
        a.entries.push_back(testsupport::Entry("packed.bin", "xyz", 0x0809, 8));
        a.entries.push_back(testsupport::Entry("legacy", {}, 0, 77));
        a.entries.back().externalAttributes = 0x10;
        const Listing got = List(Write(a.Build()));
        QCOMPARE(got.records.size(), size_t(3));
        const EntryInfo &folder = got.records[0], &packed = got.records[1],
                        &legacy = got.records[2];
        QCOMPARE(QByteArray(folder.szAttribute), QByteArray("d"));
        QCOMPARE(QByteArray(folder.szMode), QByteArray("store"));
        QCOMPARE(QByteArray(packed.szAttribute), QByteArray(""));
        QCOMPARE(QByteArray(packed.szMode), QByteArray("deflate"));
        QCOMPARE(RecordU32(packed, 0), testsupport::ZipCrc32("xyz"));
        QCOMPARE(RecordU32(packed, 4), 3u);
        QCOMPARE(RecordU32(packed, 8), 3u);
        QCOMPARE(RecordU16(packed, 12), uint16_t((2024 - 1980) << 9 | 1 << 5 | 1));
        QCOMPARE(RecordU16(packed, 16), uint16_t(8));
        QCOMPARE(RecordU16(packed, 18), uint16_t(0x0809));
        QCOMPARE(RecordU32(packed, 20), 1u);
        QCOMPARE(QByteArray(legacy.szAttribute), QByteArray("d")); // MS-DOS folder attribute
        QCOMPARE(QByteArray(legacy.szMode), QByteArray("?"));
        const char zeros[10] = {};
        QVERIFY(std::memcmp(legacy.szReserved, zeros, sizeof legacy.szReserved) == 0);
        QVERIFY(std::memcmp(legacy.pad, zeros, sizeof legacy.pad) == 0);
        QVERIFY(std::memcmp(legacy.data + 24, zeros, 2) == 0);
    }

    void handles()
    {
        const QByteArray a = Write(ArchiveOf({"a1", "a2"}).Build());
        const QByteArray b = Write(ArchiveOf({"b1"}).Build());
        const int32_t ha = UnZipOpenArchive(0, a.constData(), UNZIP_OPEN_NAMES);
        const int32_t hb = UnZipOpenArchive(0, b.constData(), UNZIP_OPEN_NAMES);
        QVERIFY(ha > 0);
        QVERIFY(hb > 0);
        QVERIFY(ha != hb);
        EntryInfo r{};
        // Two listings at once do not disturb each other.
        QCOMPARE(UnZipFindFirst(ha, "*.*", &r), 0);
        QCOMPARE(QByteArray(r.szFileName), QByteArray("a1"));
        QCOMPARE(UnZipFindFirst(hb, "*", &r), 0);
        QCOMPARE(QByteArray(r.szFileName), QByteArray("b1"));
        QCOMPARE(UnZipFindNext(ha, &r), 0);
        QCOMPARE(QByteArray(r.szFileName), QByteArray("a2"));
        // Past the end, and again: no entry, record untouched.
        EntryInfo marked;
        std::memset(&marked, 0x5A, sizeof marked);
        QVERIFY(UnZipFindNext(ha, &marked) != 0);
        QVERIFY(UnZipFindNext(ha, &marked) != 0);
        QCOMPARE(uchar(marked.szFileName[0]), uchar(0x5A));
        // FindFirst starts over.
        QCOMPARE(UnZipFindFirst(ha, "*.*", &r), 0);
        QCOMPARE(QByteArray(r.szFileName), QByteArray("a1"));

        QCOMPARE(UnZipCloseArchive(ha), 0);
        QVERIFY(UnZipCloseArchive(ha) != 0);
        // A stale handle is refused even when its slot holds a new archive.
        const int32_t hc = UnZipOpenArchive(0, b.constData(), UNZIP_OPEN_NAMES);
        QVERIFY(hc > 0);
        QVERIFY(hc != ha);
        QVERIFY(UnZipFindFirst(ha, "*.*", &r) != 0);
        QVERIFY(UnZipFindNext(ha, &r) != 0);
        QVERIFY(UnZipCloseArchive(ha) != 0);
        QCOMPARE(UnZipFindFirst(hc, "*.*", &r), 0);
        QCOMPARE(UnZipCloseArchive(hc), 0);
        QCOMPARE(UnZipCloseArchive(hb), 0);
    }

    void refusedArguments_data()
    {
        QTest::addColumn<int32_t>("handle");
        QTest::newRow("zero") << 0;
        QTest::newRow("minus five") << -5;
        QTest::newRow("one") << 1;
        QTest::newRow("never issued") << 12345;
        QTest::newRow("largest") << std::numeric_limits<int32_t>::max();
        QTest::newRow("smallest") << std::numeric_limits<int32_t>::min();
    }
    void refusedArguments()
    {
        QFETCH(int32_t, handle);
        const QByteArray a = Write(ArchiveOf({"kept"}).Build());
        const int32_t open = UnZipOpenArchive(0, a.constData(), UNZIP_OPEN_NAMES);
        QVERIFY(open > 0);
        EntryInfo r{};
        QVERIFY(UnZipFindFirst(handle, "*.*", &r) != 0);
        QVERIFY(UnZipFindNext(handle, &r) != 0);
        QVERIFY(UnZipCloseArchive(handle) != 0);
        // The archive that is open stays untouched by all of it.
        QVERIFY(UnZipFindNext(open, &r) != 0); // no listing started yet
        QVERIFY(UnZipFindFirst(open, "*.*", nullptr) != 0);
        QCOMPARE(UnZipFindFirst(open, "*.*", &r), 0);
        QCOMPARE(QByteArray(r.szFileName), QByteArray("kept"));
        QCOMPARE(UnZipCloseArchive(open), 0);
        QCOMPARE(UnZipCheckArchive(nullptr, 1), 0);
        QVERIFY(UnZipOpenArchive(0, nullptr, UNZIP_OPEN_NAMES) <= 0);
        QVERIFY(UnZipOpenArchive(0, "/nonexistent/x.zip", UNZIP_OPEN_NAMES) <= 0);
    }

    void patterns_data()
    {
        QTest::addColumn<QByteArray>("pattern");
        QTest::addColumn<Names>("expected");
        const Names all{"a.txt", "b/", "b/c.txt", "日本.txt", "noext"};
        QTest::newRow("star dot star") << QByteArray("*.*") << all;
        QTest::newRow("star") << QByteArray("*") << all;
        QTest::newRow("suffix") << QByteArray("*.txt") << Names{"a.txt", "b/c.txt", "日本.txt"};
        QTest::newRow("star crosses folders") << QByteArray("b*") << Names{"b/", "b/c.txt"};
        QTest::newRow("question mark is one character")
            << QByteArray("??.txt") << Names{"日本.txt"};
        QTest::newRow("exact") << QByteArray("noext") << Names{"noext"};
        QTest::newRow("case matters") << QByteArray("A.TXT") << Names{};
        QTest::newRow("empty") << QByteArray("") << Names{};
    }
    void patterns()
    {
        QFETCH(QByteArray, pattern);
        QFETCH(Names, expected);
        const QByteArray path =
            Write(ArchiveOf({"a.txt", "b/", "b/c.txt", "日本.txt", "noext"}).Build());
        const Listing got = List(path, pattern.constData());
        QCOMPARE(got.names, expected);
    }

    // More than 65,535 entries, through the ZIP64 end record.
    void zip64ManyEntries()
    {
        ZipArchive a = Numbered(70000);
        a.end.zip64 = true;
        const Listing got = List(Write(a.Build()));
        QCOMPARE(got.names.size(), size_t(70000));
        QCOMPARE(got.names.front(), QByteArray("f00000"));
        QCOMPARE(got.names[65536], QByteArray("f65536"));
        QCOMPARE(got.names.back(), QByteArray("f69999"));
        QCOMPARE(RecordU32(got.records.back(), 20), 69999u);
    }

    // Nothing but regular files is read; a FIFO without a writer must not block.
    void nonRegularFilesAreRefused_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("fifo") << "fifo";
        QTest::newRow("character device") << "/dev/null";
        QTest::newRow("folder") << "folder";
    }
    void nonRegularFilesAreRefused()
    {
        QFETCH(QString, kind);
        QByteArray path;
        if (kind == "fifo") {
            path = QFile::encodeName(dir_.filePath("pipe.zip"));
            QCOMPARE(mkfifo(path.constData(), 0600), 0);
        } else if (kind == "folder") {
            path = QFile::encodeName(dir_.filePath("folder.zip"));
            QVERIFY(QDir().mkpath(QString::fromLocal8Bit(path)));
        } else {
            path = QFile::encodeName(kind);
        }
        QCOMPARE(UnZipCheckArchive(path.constData(), 1), 0);
        QVERIFY(UnZipOpenArchive(0, path.constData(), UNZIP_OPEN_NAMES) <= 0);
        char out[64];
        QCOMPARE(UnZip(0, ("-l " + path).constData(), out, sizeof out), 3);
    }

    // The open after a check reuses what the check read only while the file is unchanged.
    void openAfterCheckSeesChanges()
    {
        const QString path = dir_.filePath("changing.zip");
        const QByteArray name = QFile::encodeName(path);
        QVERIFY(testsupport::WriteFile(path, ArchiveOf({"before"}).Build()));
        QVERIFY(UnZipCheckArchive(name.constData(), 1) != 0);
        // Same size, same inode, new contents and a different modification time.
        QVERIFY(testsupport::WriteFile(path, ArchiveOf({"after!"}).Build()));
        const timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 0}};
        QCOMPARE(utimensat(AT_FDCWD, name.constData(), times, 0), 0);
        const int32_t h = UnZipOpenArchive(0, name.constData(), UNZIP_OPEN_NAMES);
        EntryInfo r{};
        QCOMPARE(UnZipFindFirst(h, "*.*", &r), 0);
        QCOMPARE(QByteArray(r.szFileName), QByteArray("after!"));
        UnZipCloseArchive(h);

        // A check of one file is not taken for another.
        const QByteArray other = Write(ArchiveOf({"other"}).Build());
        QVERIFY(UnZipCheckArchive(name.constData(), 1) != 0);
        const int32_t h2 = UnZipOpenArchive(0, other.constData(), UNZIP_OPEN_NAMES);
        QCOMPARE(UnZipFindFirst(h2, "*.*", &r), 0);
        QCOMPARE(QByteArray(r.szFileName), QByteArray("other"));
        UnZipCloseArchive(h2);

        // A file that became unreadable after the check fails to open.
        QVERIFY(UnZipCheckArchive(other.constData(), 1) != 0);
        QVERIFY(QFile::remove(QString::fromLocal8Bit(other)));
        QVERIFY(UnZipOpenArchive(0, other.constData(), UNZIP_OPEN_NAMES) <= 0);
    }

    // Whatever happens to the file between read-ahead and use, the reader answers as it
    // would without read-ahead.
    void readAheadSeesChanges_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<std::optional<Names>>("expected");
        const std::optional<Names> none;
        QTest::newRow("unchanged") << "unchanged" << std::optional<Names>(Names{"before"});
        QTest::newRow("rewritten, same size") << "rewritten" << std::optional<Names>({"after!"});
        QTest::newRow("replaced by another file") << "replaced" << std::optional<Names>({"after!"});
        QTest::newRow("truncated") << "truncated" << none;
        QTest::newRow("removed") << "removed" << none;
        QTest::newRow("replaced by a fifo") << "fifo" << none;
        QTest::newRow("replaced by a folder") << "folder" << none;
        QTest::newRow("dropped, then rewritten") << "dropped" << std::optional<Names>({"after!"});
    }
    void readAheadSeesChanges()
    {
        QFETCH(QString, change);
        QFETCH(std::optional<Names>, expected);
        const QString path = dir_.filePath("ahead-" + change + ".zip");
        const QByteArray name = QFile::encodeName(path);
        QVERIFY(testsupport::WriteFile(path, ArchiveOf({"before"}).Build()));
        QVERIFY(UnZipReadAhead(name.constData()) > 0);
        const QByteArray after = ArchiveOf({"after!"}).Build();
        if (change == "rewritten" || change == "dropped") {
            if (change == "dropped")
                UnZipDropReadAhead(name.constData());
            // Same size and inode, a different modification time.
            QVERIFY(testsupport::WriteFile(path, after));
            const timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 0}};
            QCOMPARE(utimensat(AT_FDCWD, name.constData(), times, 0), 0);
        } else if (change == "replaced") {
            QVERIFY(testsupport::WriteFile(path + ".new", after));
            QCOMPARE(rename(QFile::encodeName(path + ".new").constData(), name.constData()), 0);
        } else if (change == "truncated") {
            QCOMPARE(truncate(name.constData(), 30), 0);
        } else if (change != "unchanged") {
            QVERIFY(QFile::remove(path));
            if (change == "fifo")
                QCOMPARE(mkfifo(name.constData(), 0600), 0);
            else if (change == "folder")
                QVERIFY(QDir().mkdir(path));
        }
        CheckListing(List(name), expected);
    }

    // Read-ahead on many threads while the listing thread checks and opens: every listing
    // comes out whole, whether or not its read-ahead came first.
    void readAheadFromManyThreads()
    {
        std::vector<QByteArray> paths;
        for (int i = 0; i < 300; ++i)
            paths.push_back(Write(ArchiveOf({"n" + QByteArray::number(i), "x/"}).Build()));
        std::atomic<size_t> next{0};
        std::vector<std::thread> workers;
        for (int w = 0; w < 4; ++w)
            workers.emplace_back([&] {
                for (size_t i; (i = next++) < paths.size();)
                    UnZipReadAhead(paths[i].constData());
            });
        for (size_t i = 0; i < paths.size(); ++i)
            CheckListing(List(paths[i]), Names{"n" + QByteArray::number(int(i)), "x/"});
        for (std::thread &w : workers)
            w.join();
        UnZipDropReadAhead(nullptr);
        QCOMPARE(UnZipReadAhead(nullptr), int64_t(-1));
    }

    // A path longer than the kernel takes in one call is still a path: made and removed
    // here through folder descriptors, and listed by all three ways in.
    void pathLongerThanPathMax()
    {
        const QByteArray part(200, 'd');
        std::vector<int> folders{
            open(QFile::encodeName(dir_.path()).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC)};
        QByteArray path = QFile::encodeName(dir_.path());
        while (path.size() < PATH_MAX + 500) {
            QCOMPARE(mkdirat(folders.back(), part.constData(), 0700), 0);
            folders.push_back(
                openat(folders.back(), part.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
            QVERIFY(folders.back() >= 0);
            path += "/" + part;
        }
        const QByteArray bytes = ArchiveOf({"deep", "deeper/"}).Build();
        const int file = openat(folders.back(), "long.zip", O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        QVERIFY(file >= 0);
        QCOMPARE(write(file, bytes.constData(), size_t(bytes.size())), ssize_t(bytes.size()));
        close(file);
        path += "/long.zip";

        CheckListing(List(path), Names{"deep", "deeper/"});
        QVERIFY(UnZipReadAhead(path.constData()) > 0);
        CheckListing(List(path), Names{"deep", "deeper/"});
        char out[64];
        QCOMPARE(UnZip(0, ("-l \"" + path + "\"").constData(), out, sizeof out), 0);
        QCOMPARE(QByteArray(out), QByteArray("deep\ndeeper/\n"));

        QCOMPARE(unlinkat(folders.back(), "long.zip", 0), 0);
        for (size_t i = folders.size() - 1; i > 0; --i) {
            close(folders[i]);
            QCOMPARE(unlinkat(folders[i - 1], part.constData(), AT_REMOVEDIR), 0);
        }
        close(folders[0]);
    }

    void listCommand_data()
    {
        QTest::addColumn<QByteArray>("command"); // %1 stands for the archive's path
        QTest::addColumn<int>("size");
        QTest::addColumn<int32_t>("result");
        QTest::addColumn<QByteArray>("output");
        QTest::newRow("whole listing")
            << QByteArray("-l \"%1\"") << 64 << 0 << QByteArray("one\ntwo\n三\n");
        QTest::newRow("-Z1, unquoted path")
            << QByteArray("-Z1 %1") << 64 << 0 << QByteArray("one\ntwo\n三\n");
        QTest::newRow("exact fit")
            << QByteArray("-l \"%1\"") << 13 << 0 << QByteArray("one\ntwo\n三\n");
        QTest::newRow("one byte short")
            << QByteArray("-l \"%1\"") << 12 << 1 << QByteArray("one\ntwo\n");
        QTest::newRow("room for the terminator only")
            << QByteArray("-l \"%1\"") << 1 << 1 << QByteArray("");
        QTest::newRow("size zero") << QByteArray("-l \"%1\"") << 0 << 1 << QByteArray();
        QTest::newRow("unsupported option") << QByteArray("-x \"%1\"") << 64 << 2 << QByteArray("");
        QTest::newRow("missing archive") << QByteArray("-l") << 64 << 2 << QByteArray("");
        QTest::newRow("extra argument")
            << QByteArray("-l \"%1\" more") << 64 << 2 << QByteArray("");
        QTest::newRow("unclosed quote") << QByteArray("-l \"%1") << 64 << 2 << QByteArray("");
        QTest::newRow("not an archive")
            << QByteArray("-l \"%1.none\"") << 64 << 3 << QByteArray("");
    }
    void listCommand()
    {
        QFETCH(QByteArray, command);
        QFETCH(int, size);
        QFETCH(int32_t, result);
        QFETCH(QByteArray, output);
        // Quoted, the path may hold blanks; the -Z1 row uses one without.
        const QString path =
            dir_.filePath(command.startsWith("-Z1") ? "plain.zip" : "with space.zip");
        QVERIFY(testsupport::WriteFile(path, ArchiveOf({"one", "two", "三"}).Build()));
        const QByteArray line = QString::fromLatin1(command).replace("%1", path).toUtf8();
        QByteArray buffer(size + 16, '#'); // the bytes past size must stay as they are
        QCOMPARE(UnZip(0, line.constData(), buffer.data(), size), result);
        if (size > 0)
            QCOMPARE(QByteArray(buffer.constData()), output);
        QCOMPARE(buffer.mid(size), QByteArray(16, '#'));
        if (size > 0)
            QVERIFY(buffer.left(size).contains('\0'));
    }

    void listCommandWithoutOutput()
    {
        QCOMPARE(UnZip(0, nullptr, nullptr, 10), 2);
        const QByteArray path = Write(ArchiveOf({"x"}).Build());
        QCOMPARE(UnZip(0, ("-l " + path).constData(), nullptr, 10), 1);
        QCOMPARE(UnZip(0, ("-l " + Write(ZipArchive{}.Build())).constData(), nullptr, 0), 0);
    }
};

QTEST_GUILESS_MAIN(TestUnZip32)
#include "tst_unzip32.moc"
