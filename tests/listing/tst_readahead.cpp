// Reading archives ahead of the listing: it never changes what a run shows, whatever the files
// do meanwhile, it keeps its bounds, and a run that stops does not wait for reads in flight.
#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "DirectoryReader.h"
#include "Listing.h"
#include "Module1.h"
#include "ReadAhead.h"
#include "TestArchives.h"
#include "UnZip32Binding.h"

using listing::ReadAheadCalls;
using listing::ReadAheadLimits;
using unzip32test::ArchiveOf;

namespace
{

// Every call a run makes on the tree, one line each, for byte-for-byte comparison.
class RecordingNodes : public platform::TreeNodes
{
public:
    std::string calls;

    void Clear() override { calls += "clear\n"; }
    platform::NodeId Add(std::string_view relative, int relationship, std::string_view key,
                         std::string_view text) override
    {
        calls += "add " + std::string(relative) + ' ' + std::to_string(relationship) + ' ' +
                 std::string(key) + ' ' + std::string(text) + '\n';
        return platform::NodeId(++count_);
    }
    std::size_t Count() const override { return count_; }
    std::string_view Text(platform::NodeId) const override { return {}; }
    void Select(platform::NodeId) override {}
    void EnsureVisible(platform::NodeId node) override
    {
        calls += "visible " + std::to_string(node) + '\n';
    }
    void SetFocus() override {}
    std::uint64_t Generation() const override { return 0; }

private:
    std::size_t count_ = 0;
};

// Calls a function after each archive once the fill has started, and another while the run
// waits for a read; stops when one says so.
class HookedView : public listing::RunView
{
public:
    std::function<bool(int archive)> afterArchive;
    std::function<bool()> whileWaiting;

    void FillStarted() override { filling_ = true; }
    bool KeepGoing() override { return !filling_ || !afterArchive || afterArchive(++listed_); }
    bool KeepWaiting() override { return !whileWaiting || whileWaiting(); }

private:
    bool filling_ = false;
    int listed_ = 0;
};

// The library's read-ahead, with a count of the reads it holds.
struct CountingLibrary {
    std::atomic<int> held{0}; // reads held, but for the archives in "first"
    ReadAheadCalls calls{[this](const char *path) {
                             const std::int64_t bytes =
                                 archive::OptionalReadAhead().readAhead(path);
                             if (bytes >= 0 && !std::strstr(path, "/first/"))
                                 ++held;
                             return bytes;
                         },
                         [](const char *path) { archive::OptionalReadAhead().drop(path); }};
};

// A stand-in library that holds reads by path and can be made to block until released.
struct FakeLibrary {
    std::mutex mutex;
    std::condition_variable changed;
    std::map<std::string, std::int64_t> held;
    int inFlight = 0, maxInFlight = 0, calls = 0;
    std::size_t maxHeld = 0;
    std::int64_t heldBytes = 0, maxHeldBytes = 0;
    std::vector<std::string> order;
    bool gateOpen = true;
    int openWhenInFlight = 0; // opens the gate once this many reads wait at it
    std::int64_t size = 1000;

    // Workers left stuck in a read may outlive the test's frame: they share the fake.
    static ReadAheadCalls Calls(const std::shared_ptr<FakeLibrary> &library)
    {
        return {[library](const char *path) { return library->Fetch(path); },
                [library](const char *path) { library->Drop(path); }};
    }
    std::int64_t Fetch(const char *path)
    {
        std::unique_lock lock(mutex);
        order.push_back(path);
        ++calls;
        maxInFlight = std::max(maxInFlight, ++inFlight);
        if (openWhenInFlight > 0 && inFlight >= openWhenInFlight)
            gateOpen = true;
        changed.notify_all();
        changed.wait(lock, [&] { return gateOpen; });
        --inFlight;
        held[path] = size;
        heldBytes += size;
        maxHeldBytes = std::max(maxHeldBytes, heldBytes);
        maxHeld = std::max(maxHeld, held.size());
        changed.notify_all();
        return size;
    }
    void Drop(const char *path)
    {
        std::lock_guard lock(mutex);
        if (auto it = held.find(path); it != held.end()) {
            heldBytes -= it->second;
            held.erase(it);
        }
        changed.notify_all();
    }
    // What the listing's check and open of path take.
    void Use(const std::string &path) { Drop(path.c_str()); }
    bool WaitFor(const std::function<bool()> &done)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(20), done);
    }
};

std::string ListWith(const QString &folder, const ReadAheadCalls *calls, ReadAheadLimits limits,
                     const std::function<bool(int)> &afterArchive = {},
                     const std::function<bool()> &whileWaiting = {})
{
    listing::SetReadAheadForTesting(calls, limits);
    RecordingNodes nodes;
    HookedView view;
    view.afterArchive = afterArchive;
    view.whileWaiting = whileWaiting;
    listing::ListFolder(QFile::encodeName(folder).toStdString(), nodes, view);
    listing::SetReadAheadForTesting(nullptr);
    return nodes.calls;
}

const ReadAheadCalls kOff;

int ThreadCount()
{
    return int(QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

// Writes bytes under a name that need not be text.
bool WriteRaw(const QByteArray &path, const QByteArray &bytes)
{
    FILE *f = std::fopen(path.constData(), "wb");
    if (!f)
        return false;
    const bool ok = std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), f) ==
                    std::size_t(bytes.size());
    return std::fclose(f) == 0 && ok;
}

} // namespace

class TestReadAhead : public QObject
{
    Q_OBJECT

private slots:
    // The library beside this program has read-ahead, and the binding finds it.
    void initTestCase() { QVERIFY(archive::OptionalReadAhead().readAhead); }

    // Over every damaged and misleading archive and over folder oddities, a run with archives
    // read ahead makes the same calls on the tree as a run that reads one archive at a time,
    // with room for everything and with room for almost nothing.
    void sameTreeAsOneAtATime_data()
    {
        QTest::addColumn<int>("requests");
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<int>("archives");
        QTest::newRow("roomy") << 32 << qint64(64) * 1024 * 1024 << 2048;
        QTest::newRow("two requests, 4 KiB, 3 archives") << 2 << qint64(4096) << 3;
    }
    void sameTreeAsOneAtATime()
    {
        QFETCH(int, requests);
        QFETCH(qint64, bytes);
        QFETCH(int, archives);
        QTemporaryDir dir;
        QDir root(dir.path());
        int n = 0;
        for (const auto &c : unzip32test::AllCases()) {
            const QString sub = QString("f%1").arg(n++ % 7);
            root.mkpath(sub);
            QVERIFY(
                testsupport::WriteFile(root.filePath(sub + QString("/%1.zip").arg(n)), c.bytes));
        }
        QVERIFY(root.mkpath("folder.zip/inner.zip"));
        QVERIFY(
            testsupport::WriteFile(root.filePath("folder.zip/a.zip"), ArchiveOf({"in"}).Build()));
        const QByteArray base = QFile::encodeName(dir.path());
        QCOMPARE(::mkfifo(base + "/pipe.zip", 0600), 0);
        QCOMPARE(::symlink(base + "/f0/1.zip", base + "/link.zip"), 0);
        QCOMPARE(::symlink(base + "/missing", base + "/broken.zip"), 0);
        QCOMPARE(::symlink(base, base + "/f1/loop"), 0);
        QVERIFY(WriteRaw(base + "/bad\xff.zip", ArchiveOf({"x"}).Build()));

        const std::string alone = ListWith(dir.path(), &kOff, {});
        QVERIFY(alone.find(listing::kRejectionText) != std::string::npos);
        QVERIFY(alone.find("f00000") != std::string::npos);
        CountingLibrary library;
        const ReadAheadLimits limits{std::size_t(requests), bytes, std::size_t(archives), {}};
        QCOMPARE(ListWith(dir.path(), &library.calls, limits), alone);
        QVERIFY(library.held > 0);
        // Names the folder's removal would not find.
        ::unlink(base + "/f1/loop");
        ::unlink(base + "/bad\xff.zip");
    }

    // Archives that change after they were read ahead and before the listing takes them are
    // listed as they are then: the same calls on the tree as a run without read-ahead over the
    // same changes.
    void changesAfterReadAhead()
    {
        using Change = std::function<bool(const QString &path)>;
        const QByteArray after = ArchiveOf({"after", "after/more"}).Build();
        const std::vector<std::pair<const char *, Change>> changes = {
            {"unchanged", [](const QString &) { return true; }},
            {"truncated",
             [](const QString &p) { return ::truncate(QFile::encodeName(p), 30) == 0; }},
            {"rewritten", [&](const QString &p) { return testsupport::WriteFile(p, after); }},
            {"replaced",
             [&](const QString &p) {
                 return testsupport::WriteFile(p + ".new", after) &&
                        ::rename(QFile::encodeName(p + ".new"), QFile::encodeName(p)) == 0;
             }},
            {"removed", [](const QString &p) { return QFile::remove(p); }},
            {"fifo",
             [](const QString &p) {
                 return QFile::remove(p) && ::mkfifo(QFile::encodeName(p), 0600) == 0;
             }},
            {"folder", [](const QString &p) { return QFile::remove(p) && QDir().mkdir(p); }},
        };
        QTemporaryDir dir;
        QDir root(dir.filePath("run"));
        std::string runs[2];
        for (int withReadAhead = 0; withReadAhead < 2; ++withReadAhead) {
            root.removeRecursively();
            // The subfolder's archive is listed first, before the others change.
            QVERIFY(root.mkpath("first"));
            QVERIFY(testsupport::WriteFile(root.filePath("first/a.zip"), ArchiveOf({"a"}).Build()));
            for (const auto &[name, change] : changes)
                QVERIFY(testsupport::WriteFile(root.filePath(QString(name) + ".zip"),
                                               ArchiveOf({"before", name}).Build()));
            CountingLibrary library;
            bool changed = false;
            runs[withReadAhead] =
                ListWith(root.path(), withReadAhead ? &library.calls : &kOff, {}, [&](int archive) {
                    if (archive != 1)
                        return true;
                    // Every other archive is held before any of them changes.
                    for (int i = 0; withReadAhead && library.held < int(changes.size()) && i < 2000;
                         ++i)
                        QTest::qWait(10);
                    changed = !withReadAhead || library.held == int(changes.size());
                    for (const auto &[name, change] : changes)
                        if (!change(root.filePath(QString(name) + ".zip")))
                            changed = false;
                    return true;
                });
            QVERIFY(changed);
        }
        QCOMPARE(runs[1], runs[0]);
        QVERIFY(runs[0].find("after/more") != std::string::npos);
    }

    // On a share the tree grows while the scan still runs: an archive read ahead is listed at
    // the next folder, and the progress bar gets a value only once it has its maximum.
    void listsWhileTheScanRuns()
    {
        QTemporaryDir dir;
        for (int i = 0; i < 6; ++i)
            QVERIFY(testsupport::WriteFile(dir.filePath(QString("f%1/a.zip").arg(i)),
                                           ArchiveOf({"x"}).Build()));
        CountingLibrary library;
        RecordingNodes nodes;
        struct EventView : listing::RunView {
            std::string &events;
            CountingLibrary &library;
            bool waited = false;
            EventView(std::string &e, CountingLibrary &l) : events(e), library(l) {}
            void ScanEnded() override { events += "scan ended\n"; }
            void SetProgressMax(float) override { events += "max\n"; }
            void SetProgressValue(float v) override
            {
                events += "value " + std::to_string(int(v)) + '\n';
            }
            // At the first folder with an archive, the scan waits until it has been read.
            bool KeepGoing() override
            {
                if (!waited && Module1::ArchiveCount > 0) {
                    waited = true;
                    for (int i = 0; library.held == 0 && i < 2000; ++i)
                        QTest::qWait(10);
                    QTest::qWait(50);
                }
                return true;
            }
        } view(nodes.calls, library);
        listing::SetReadAheadForTesting(&library.calls, {8, std::int64_t(1) << 20, 100, {}});
        QVERIFY(listing::ListFolder(QFile::encodeName(dir.path()).toStdString(), nodes, view));
        listing::SetReadAheadForTesting(nullptr);
        const std::string &events = nodes.calls;
        const std::size_t max = events.find("max\n");
        QVERIFY(events.find("add  0 R1 ") < events.find("scan ended"));
        QVERIFY(events.find("value ") > max);
        QVERIFY(events.compare(max, 10, "max\nvalue ") == 0);
        QVERIFY(events.find("add  0 R6 ") != std::string::npos);
    }

    // While the scan waits for a folder being read ahead, as it does on a slow share, the
    // archives read ahead so far are listed.
    void listsWhileTheScanWaitsForAFolder()
    {
        QTemporaryDir dir;
        for (const char *folder : {"one", "two"})
            for (int i = 1; i <= 5; ++i)
                QVERIFY(
                    testsupport::WriteFile(dir.filePath(QString("%1/a%2.zip").arg(folder).arg(i)),
                                           ArchiveOf({"x"}).Build()));
        // The walk takes the folders in the order the file system gives them.
        std::vector<std::string> order;
        if (DIR *d = ::opendir(QFile::encodeName(dir.path()))) {
            while (const dirent *e = ::readdir(d))
                if (e->d_name[0] != '.')
                    order.push_back(e->d_name);
            ::closedir(d);
        }
        QCOMPARE(order.size(), std::size_t(2));
        // Reading ahead, stuck in the second folder until the tree has archives, or for 10 s.
        struct StuckReader : discovery::DirectoryReader {
            const std::thread::id walk = std::this_thread::get_id();
            std::string second;
            std::mutex mutex;
            std::condition_variable changed;
            bool stuck = false, waiting = false, filled = false, releasedByFill = false;
            int Open(int at, const char *name) override
            {
                if (name == second && std::this_thread::get_id() != walk) {
                    std::unique_lock lock(mutex);
                    stuck = true;
                    changed.notify_all();
                    releasedByFill =
                        changed.wait_for(lock, std::chrono::seconds(10), [&] { return filled; });
                }
                return DirectoryReader::Open(at, name);
            }
        } reader;
        reader.second = order[1];
        struct View : listing::RunView {
            StuckReader &reader;
            explicit View(StuckReader &r) : reader(r) {}
            void FillStarted() override
            {
                std::lock_guard lock(reader.mutex);
                reader.filled = true;
                reader.changed.notify_all();
            }
            // The walk goes on to the second folder only once a thread is stuck in it.
            bool KeepGoing() override
            {
                if (Module1::ArchiveCount == 5) {
                    std::unique_lock lock(reader.mutex);
                    reader.changed.wait_for(lock, std::chrono::seconds(10),
                                            [&] { return reader.stuck; });
                }
                return true;
            }
            bool KeepWaiting() override
            {
                std::lock_guard lock(reader.mutex);
                reader.waiting = true;
                reader.changed.notify_all();
                return true;
            }
        } view(reader);
        RecordingNodes nodes;
        discovery::SetDirectoryReaderForTesting(&reader);
        discovery::SetReadAheadThreadsForTesting(4);
        // Archives are read only once the walk waits, so that none is listed before.
        const ReadAheadCalls calls{
            [&](const char *path) {
                {
                    std::unique_lock lock(reader.mutex);
                    reader.changed.wait_for(lock, std::chrono::seconds(10),
                                            [&] { return reader.waiting; });
                }
                return archive::OptionalReadAhead().readAhead(path);
            },
            [](const char *path) { archive::OptionalReadAhead().drop(path); }};
        listing::SetReadAheadForTesting(&calls, {8, std::int64_t(1) << 20, 100, {}});
        QVERIFY(listing::ListFolder(QFile::encodeName(dir.path()).toStdString(), nodes, view));
        listing::SetReadAheadForTesting(nullptr);
        discovery::SetReadAheadThreadsForTesting(-1);
        discovery::SetDirectoryReaderForTesting(nullptr);
        QVERIFY(reader.stuck);
        QVERIFY(reader.releasedByFill);
        QVERIFY(nodes.calls.find("add  0 R10 ") != std::string::npos);
    }

    // Reads overlap up to the limit and no further, hold no more archives and bytes than
    // allowed (beyond the reads in flight), read no archive twice, and what was held and not
    // taken is dropped when the listing ends.
    void keepsItsBounds_data()
    {
        QTest::addColumn<int>("requests");
        QTest::addColumn<int>("archives");
        QTest::addColumn<int>("bytes");
        QTest::addColumn<int>("inFlight");
        QTest::newRow("by requests") << 4 << 1000 << 1000000 << 4;
        QTest::newRow("by archives") << 8 << 5 << 1000000 << 5;
        QTest::newRow("by bytes") << 8 << 1000 << 3500 << 8;
    }
    void keepsItsBounds()
    {
        QFETCH(int, requests);
        QFETCH(int, archives);
        QFETCH(int, bytes);
        QFETCH(int, inFlight);
        const auto library = std::make_shared<FakeLibrary>();
        // The first reads wait for each other: the pool must overlap as many as it may.
        library->gateOpen = false;
        library->openWhenInFlight = inFlight;
        const int n = 300;
        {
            listing::ReadAheadPool pool(FakeLibrary::Calls(library),
                                        {std::size_t(requests), bytes, std::size_t(archives), {}});
            for (int i = 1; i <= n; ++i)
                pool.Add("a" + std::to_string(i));
            QVERIFY(library->WaitFor([&] { return library->gateOpen; }));
            for (int i = 1; i <= n / 2; ++i) {
                pool.Reached(std::size_t(i));
                library->Use("a" + std::to_string(i));
            }
        }
        std::lock_guard lock(library->mutex);
        QCOMPARE(library->maxInFlight, inFlight);
        QVERIFY(library->maxHeld <= std::size_t(archives) + 1);
        QVERIFY(library->maxHeldBytes <= bytes + requests * library->size);
        QCOMPARE(library->inFlight, 0);
        QVERIFY(library->held.empty());
        std::vector<std::string> order = library->order;
        std::sort(order.begin(), order.end());
        QVERIFY(std::adjacent_find(order.begin(), order.end()) == order.end());
    }

    // Past the free workers, more start while reads keep their pace, as round trips to a share
    // do however many overlap, and not while each read takes longer the more overlap, as reads
    // do that wait for the processor.
    void growsWhileReadsKeepTheirPace_data()
    {
        QTest::addColumn<bool>("queueing");
        QTest::addColumn<int>("least");
        QTest::addColumn<int>("most");
        QTest::newRow("round trips") << false << 8 << 12;
        QTest::newRow("queueing") << true << 2 << 5;
    }
    void growsWhileReadsKeepTheirPace()
    {
        QFETCH(bool, queueing);
        QFETCH(int, least);
        QFETCH(int, most);
        std::atomic<int> inFlight{0}, maxInFlight{0};
        const ReadAheadCalls calls{
            [&](const char *) -> std::int64_t {
                const int now = ++inFlight;
                int seen = maxInFlight;
                while (now > seen && !maxInFlight.compare_exchange_weak(seen, now))
                    ;
                std::this_thread::sleep_for(std::chrono::milliseconds(queueing ? 10 * now : 20));
                --inFlight;
                return 1000;
            },
            [](const char *) {}};
        ReadAheadLimits limits{12, std::int64_t(1) << 30, 1000, {}};
        limits.freeWorkers = 2;
        {
            listing::ReadAheadPool pool(calls, limits);
            const int n = 120;
            for (int i = 1; i <= n; ++i)
                pool.Add("a" + std::to_string(i));
            // Taken as read, so that the listing never reads an archive itself.
            for (int i = 1; i <= n; ++i) {
                QTRY_VERIFY_WITH_TIMEOUT(pool.Read(std::size_t(i)), 20000);
                QVERIFY(pool.Reached(std::size_t(i)));
            }
        }
        QVERIFY2(maxInFlight >= least && maxInFlight <= most,
                 qPrintable(QString::number(maxInFlight)));
    }

    // A run stopped in the middle returns while reads are still stuck, whether it is stopped
    // after an archive or while it waits for the next one's read; once the reads return, what
    // they got is dropped, not held for the rest of the process, and their threads end.
    void stopsWithoutWaitingForStuckReads_data()
    {
        QTest::addColumn<bool>("whileWaiting");
        QTest::newRow("after an archive") << false;
        QTest::newRow("while waiting for a read") << true;
    }
    void stopsWithoutWaitingForStuckReads()
    {
        QFETCH(bool, whileWaiting);
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath("first"));
        QVERIFY(testsupport::WriteFile(dir.filePath("first/a.zip"), ArchiveOf({"x"}).Build()));
        for (int i = 0; i < 40; ++i)
            QVERIFY(testsupport::WriteFile(dir.filePath(QString("%1.zip").arg(i)),
                                           ArchiveOf({"x"}).Build()));
        const auto library = std::make_shared<FakeLibrary>();
        library->gateOpen = false;
        ReadAheadCalls calls = FakeLibrary::Calls(library);
        // The archive the listing takes first is answered; every other read hangs.
        calls.fetch = [library](const char *path) -> std::int64_t {
            if (std::strstr(path, "/first/"))
                return -1;
            return library->Fetch(path);
        };
        const int threads = ThreadCount();
        const std::function<bool()> stop = [&] {
            library->WaitFor([&] { return library->inFlight == 8; });
            return false;
        };
        // Both rows let the reads get under way after the first archive: otherwise the listing
        // can come to an archive no worker has taken yet, and read it itself.
        ListWith(
            dir.path(), &calls, {8, std::int64_t(1) << 20, 100, {}},
            [&](int) { return stop() || whileWaiting; }, whileWaiting ? stop : nullptr);
        {
            std::unique_lock lock(library->mutex);
            QCOMPARE(library->inFlight, 8);
            library->gateOpen = true;
            library->changed.notify_all();
        }
        QVERIFY(library->WaitFor([&] { return library->inFlight == 0 && library->held.empty(); }));
        QCOMPARE(library->calls, 8);
        QTRY_COMPARE_WITH_TIMEOUT(ThreadCount(), threads, 20000);
    }
};

QTEST_GUILESS_MAIN(TestReadAhead)
#include "tst_readahead.moc"
