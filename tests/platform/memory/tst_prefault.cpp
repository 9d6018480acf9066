#include <QTest>
#include <cerrno>
#include <sys/mman.h>
#include <unistd.h>

#include "Prefault.h"

// Which pages of a fresh mapping a range makes present: only those it covers whole, and what
// they held stays.
class TestPrefault : public QObject
{
    Q_OBJECT
private slots:
    void onlyWholePagesInsideTheRange_data()
    {
        QTest::addColumn<qsizetype>("offset");
        QTest::addColumn<qsizetype>("length");
        QTest::addColumn<int>("first"); // first page made present
        QTest::addColumn<int>("end");   // one past the last
        const qsizetype page = 4096;
        QTest::newRow("aligned") << 2 * page << 4 * page << 2 << 6;
        QTest::newRow("both ends partial") << 2 * page + 100 << 4 * page << 3 << 6;
        QTest::newRow("ends mid-page") << 2 * page << 4 * page - 1 << 2 << 5;
        QTest::newRow("within one page") << 5 * page + 1 << page - 2 << 0 << 0;
        QTest::newRow("empty") << 5 * page << qsizetype(0) << 0 << 0;
    }
    void onlyWholePagesInsideTheRange()
    {
        QFETCH(qsizetype, offset);
        QFETCH(qsizetype, length);
        QFETCH(int, first);
        QFETCH(int, end);
        constexpr int kPages = 16;
        QCOMPARE(sysconf(_SC_PAGESIZE), 4096L);
        auto *base = static_cast<unsigned char *>(mmap(
            nullptr, kPages * 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        QVERIFY(base != MAP_FAILED);
        if (madvise(base + 15 * 4096, 4096, MADV_POPULATE_WRITE) != 0 && errno == EINVAL) {
            munmap(base, kPages * 4096);
            QSKIP("the system cannot populate pages ahead");
        }
        base[4 * 4096] = 0x5a; // a page written before keeps its byte
        platform::PrefaultWritable(base + offset, std::size_t(length));
        unsigned char present[kPages];
        QCOMPARE(mincore(base, kPages * 4096, present), 0);
        for (int i = 0; i < 15; ++i) {
            const bool expected = (i >= first && i < end) || i == 4;
            QVERIFY2(bool(present[i] & 1) == expected,
                     qPrintable(QStringLiteral("page %1").arg(i)));
        }
        QCOMPARE(base[4 * 4096], 0x5a);
        QCOMPARE(base[2 * 4096 + 200], 0);
        munmap(base, kPages * 4096);
    }
};

QTEST_APPLESS_MAIN(TestPrefault)
#include "tst_prefault.moc"
