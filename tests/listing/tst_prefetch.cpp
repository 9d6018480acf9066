#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <vector>

#include "Prefetch.h"

using listing::TailPrefetcher;

namespace
{

Module1::StringList Paths(int n)
{
    Module1::StringList list;
    for (int i = 1; i <= n; ++i)
        list.Add("archive" + std::to_string(i));
    return list;
}

} // namespace

class TestPrefetch : public QObject
{
    Q_OBJECT
private slots:
    // Every archive is fetched once, in order, never further ahead than allowed and never
    // behind.
    void staysWithinReachAndInOrder()
    {
        const Module1::StringList paths = Paths(50);
        std::mutex m;
        std::vector<std::string> fetched;
        std::atomic<std::size_t> reached{0};
        std::atomic<bool> tooFar{false};
        {
            TailPrefetcher prefetcher(paths, 3, [&](const std::string &p) {
                std::lock_guard lock(m);
                const std::size_t index = fetched.size() + 1;
                if (index > reached + 3)
                    tooFar = true;
                fetched.push_back(p);
            });
            for (std::size_t i = 1; i <= paths.Count(); ++i) {
                reached = i;
                prefetcher.Reached(i);
                // Never behind the listing once it has been told where the listing is.
                QTRY_VERIFY_WITH_TIMEOUT(([&] {
                                             std::lock_guard lock(m);
                                             return fetched.size() >= i;
                                         }()),
                                         10000);
            }
        }
        QVERIFY(!tooFar);
        QCOMPARE(fetched.size(), 50u);
        for (std::size_t i = 0; i < fetched.size(); ++i)
            QCOMPARE(fetched[i], std::string(paths.Item(i + 1)));
    }

    // A listing that ends early (an error, a close) does not wait for the rest.
    void stopsWhenTheListingEnds()
    {
        const Module1::StringList paths = Paths(100000);
        std::atomic<std::size_t> calls{0};
        {
            TailPrefetcher prefetcher(paths, 2, [&](const std::string &) { ++calls; });
            prefetcher.Reached(1);
        }
        QVERIFY(calls <= 3);
    }

    // Things that are not regular files are never read: a FIFO would block an open for reading.
    void fetchingLeavesOtherFilesAlone()
    {
        QTemporaryDir dir;
        const std::string fifo = dir.filePath("pipe.zip").toStdString();
        QCOMPARE(::mkfifo(fifo.c_str(), 0600), 0);
        TailPrefetcher::FetchTail(fifo); // returns at once
        TailPrefetcher::FetchTail(dir.filePath("missing.zip").toStdString());
        TailPrefetcher::FetchTail(dir.path().toStdString());
        const std::string file = dir.filePath("a.zip").toStdString();
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT, 0600);
        QVERIFY(fd >= 0);
        QCOMPARE(::write(fd, "PK\5\6", 4), 4);
        ::close(fd);
        TailPrefetcher::FetchTail(file);
        QVERIFY(QFile::exists(QString::fromStdString(fifo)));
    }
};

QTEST_GUILESS_MAIN(TestPrefetch)
#include "tst_prefetch.moc"
