// The library's parts on their own: the name decoder, pattern matching, and how the
// directory reader reads.
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <fcntl.h>
#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unistd.h>

#include "Archives.h"
#include "CentralDirectory.h"
#include "IcuCp932.h"
#include "NameDecoder.h"
#include "Utf8.h"
#include "Wildcard.h"
#include "ZipWriter.h"

using testsupport::ArchiveOf;
using testsupport::ZipArchive;

namespace
{

const unsigned char *Bytes(const QByteArray &b)
{
    return reinterpret_cast<const unsigned char *>(b.constData());
}

// Counts the reads the directory reader makes.
class CountingSource final : public unzip32::ByteSource
{
public:
    explicit CountingSource(const QByteArray &bytes)
        : inner_(bytes.constData(), size_t(bytes.size()))
    {
    }
    uint64_t Size() const override { return inner_.Size(); }
    bool ReadAt(unsigned char *dst, size_t n, uint64_t off) override
    {
        ++reads;
        bytes += n;
        return inner_.ReadAt(dst, n, off);
    }
    int reads = 0;
    uint64_t bytes = 0;

private:
    unzip32::MemorySource inner_;
};

QByteArray Decode(const QByteArray &name, const QByteArray &extra = {})
{
    char field[unzip32::kNameFieldSize];
    std::memset(field, 0x7F, sizeof field);
    const size_t n = unzip32::DecodeEntryName(Bytes(name), size_t(name.size()), Bytes(extra),
                                              size_t(extra.size()), field);
    if (n >= unzip32::kNameFieldSize || field[n] != '\0' || std::strlen(field) != n)
        return "<bad termination>";
    return QByteArray(field, qsizetype(n));
}

QByteArray IcuCp932(const QByteArray &b)
{
    return QByteArray::fromStdString(::IcuCp932(b.constData(), std::size_t(b.size())));
}

QByteArray TableCp932(const QByteArray &b)
{
    char field[unzip32::kNameFieldSize];
    const size_t n = unzip32::DecodeCp932(Bytes(b), size_t(b.size()), field);
    return QByteArray(field, qsizetype(n));
}

} // namespace

class TestUnZip32Core : public QObject
{
    Q_OBJECT
private slots:
    void crc32()
    {
        // The check value of CRC-32/ISO-HDLC, and the test writer's bitwise version at
        // every length around the eight-byte steps.
        QCOMPARE(unzip32::Crc32(Bytes("123456789"), 9), 0xCBF43926u);
        const QByteArray sample = "表示.txt and a little more text";
        for (int n = 0; n <= sample.size(); ++n)
            QCOMPARE(unzip32::Crc32(Bytes(sample), size_t(n)),
                     testsupport::ZipCrc32(sample.left(n)));
    }

    // Wherever a long name is cut, the cut falls between characters and as late as possible.
    void cutsAtCharacterBoundaries_data()
    {
        QTest::addColumn<QByteArray>("unit");  // as stored
        QTest::addColumn<QByteArray>("shown"); // as decoded
        QTest::newRow("ascii") << QByteArray("a") << QByteArray("a");
        QTest::newRow("two-byte utf8") << QByteArray("é") << QByteArray("é");
        QTest::newRow("three-byte utf8") << QByteArray("あ") << QByteArray("あ");
        QTest::newRow("four-byte utf8") << QByteArray("😀") << QByteArray("😀");
        QTest::newRow("cp932 kanji") << QByteArray("\x95\x5C") << QByteArray("表");
        QTest::newRow("cp932 half-width") << QByteArray("\xB1") << QByteArray("ｱ");
        QTest::newRow("cp437") << QByteArray("\x80") << QByteArray("Ç");
    }
    void cutsAtCharacterBoundaries()
    {
        QFETCH(QByteArray, unit);
        QFETCH(QByteArray, shown);
        for (int lead = 0; lead < 4; ++lead) {
            for (int count = 100; count < 800; count += 37) {
                const QByteArray name = QByteArray(lead, 'x') + unit.repeated(count);
                const QByteArray got = Decode(name);
                const QByteArray full = QByteArray(lead, 'x') + shown.repeated(count);
                const int fits = full.size() <= 512 ? count : (512 - lead) / int(shown.size());
                QCOMPARE(got, QByteArray(lead, 'x') + shown.repeated(fits));
            }
        }
    }

    // Short and long names take different paths through the ASCII check: a NUL or a high
    // byte anywhere must be seen on each of them.
    void asciiCheckSeesEveryPosition()
    {
        for (int size = 1; size <= 40; ++size) {
            for (int at = 0; at < size; ++at) {
                QByteArray name(size, 'n');
                name[at] = '\0';
                QCOMPARE(Decode(name), name.left(at));
                name[at] = char(0xB1); // half-width katakana in code page 932
                QCOMPARE(Decode(name), QByteArray(at, 'n') + "ｱ" + QByteArray(size - at - 1, 'n'));
            }
        }
    }

    // Whatever the bytes, the field holds strict UTF-8 and its terminator.
    void anyBytesGiveCleanText()
    {
        QRandomGenerator random(20240101);
        for (int round = 0; round < 3000; ++round) {
            QByteArray name(int(random.bounded(900)), '\0');
            for (char &c : name)
                c = char(random.bounded(256));
            if (round % 3 == 0)
                name.replace('\0', 'z');
            QByteArray extra;
            if (round % 5 == 0)
                extra = testsupport::UnicodePathField(name, name.left(40));
            const QByteArray got = Decode(name, extra);
            QVERIFY2(got != "<bad termination>", qPrintable(name.toHex()));
            QVERIFY(got.size() <= 512);
            QVERIFY2(utf8::IsStrict(Bytes(got), size_t(got.size())), qPrintable(name.toHex()));
        }
    }

    // The lookup tables decode exactly as ICU's converter does: every byte, every pair,
    // and many short runs of the bytes where code page 932 has its edges.
    void cp932TablesMatchIcu()
    {
        for (int b = 0; b < 256; ++b)
            QCOMPARE(TableCp932(QByteArray(1, char(b))), IcuCp932(QByteArray(1, char(b))));
        for (int pair = 0; pair < 65536; ++pair) {
            const QByteArray b{char(pair >> 8), char(pair & 0xFF)};
            const QByteArray table = TableCp932(b), icu = IcuCp932(b);
            if (table != icu)
                QFAIL(qPrintable(b.toHex() + ": " + table.toHex() + " != " + icu.toHex()));
        }
        const uchar edges[] = {0x00, 0x1A, 0x40, 0x41, 0x5C, 0x7E, 0x7F, 0x80,
                               0x81, 0x9F, 0xA0, 0xA1, 0xDF, 0xE0, 0xEA, 0xEB,
                               0xED, 0xEF, 0xF0, 0xF9, 0xFA, 0xFC, 0xFD, 0xFF};
        QRandomGenerator random(932);
        for (int round = 0; round < 100000; ++round) {
            QByteArray b(1 + int(random.bounded(9)), '\0');
            for (char &c : b)
                c = char(random.bounded(4) ? edges[random.bounded(int(sizeof edges))]
                                           : random.bounded(256));
            QCOMPARE(TableCp932(b), IcuCp932(b));
        }
        // Long names: the cut falls where ICU's whole text would be cut.
        for (const QByteArray &unit :
             {QByteArray("\x95\x5C"), QByteArray("\x81\xB1"), QByteArray("\x80")})
            for (int count = 160; count < 260; ++count)
                QCOMPARE(TableCp932("ab" + unit.repeated(count)),
                         IcuCp932("ab" + unit.repeated(count)));
    }

    void wildcards_data()
    {
        QTest::addColumn<QByteArray>("pattern");
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<bool>("match");
        QTest::newRow("star dot star, no dot") << QByteArray("*.*") << QByteArray("README") << true;
        QTest::newRow("star, empty name") << QByteArray("*") << QByteArray("") << true;
        QTest::newRow("suffix") << QByteArray("*.txt") << QByteArray("a/b.txt") << true;
        QTest::newRow("suffix mismatch") << QByteArray("*.txt") << QByteArray("a.txt.gz") << false;
        QTest::newRow("backtracking") << QByteArray("*a*b") << QByteArray("xaxxbxab") << true;
        QTest::newRow("backtracking fails") << QByteArray("*a*b") << QByteArray("xaxxbxa") << false;
        QTest::newRow("question mark, multibyte") << QByteArray("?") << QByteArray("表") << true;
        QTest::newRow("question mark needs a character")
            << QByteArray("a?") << QByteArray("a") << false;
        QTest::newRow("star then multibyte") << QByteArray("*示") << QByteArray("表示") << true;
        QTest::newRow("literal") << QByteArray("a.c") << QByteArray("abc") << false;
        QTest::newRow("many stars") << QByteArray("**********x") << QByteArray(5000, 'a') << false;
        QTest::newRow("trailing stars") << QByteArray("a**") << QByteArray("a") << true;
    }
    void wildcards()
    {
        QFETCH(QByteArray, pattern);
        QFETCH(QByteArray, name);
        QFETCH(bool, match);
        QCOMPARE(unzip32::MatchWildcard(pattern.toStdString(), name.toStdString()), match);
    }

    // One to three reads per archive; fake end records cost small reads only.
    void readsPerArchive_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("maxReads");
        QTest::addColumn<int>("entries");
        QTest::addColumn<qulonglong>("offset"); // where the directory was found
        const ZipArchive small = ArchiveOf({"a", "b"});
        QTest::newRow("small: one read") << small.Build() << 1 << 2 << qulonglong(2 * (30 + 1 + 1));
        ZipArchive big;
        for (int i = 0; i < 300; ++i)
            big.entries.push_back(
                testsupport::Entry(QByteArray("folder/name-") + QByteArray::number(i)));
        const QByteArray bigBytes = big.Build();
        QTest::newRow("directory before the tail: two reads")
            << bigBytes << 2 << 300 << qulonglong(bigBytes.indexOf("PK\x01\x02"));
        ZipArchive commented = small;
        commented.end.comment = QByteArray(20000, 'c');
        QTest::newRow("long comment: two reads") << commented.Build() << 2 << 2 << qulonglong(64);
        ZipArchive prefixed = small;
        prefixed.prefix = QByteArray(10000, 'p');
        prefixed.offsetsCountPrefix = false;
        QTest::newRow("unadjusted prefix") << prefixed.Build() << 1 << 2 << qulonglong(10000 + 64);
        ZipArchive fakes = big;
        fakes.end.comment =
            QByteArray("PK\x05\x06\0\0\0\0\x01\0\x01\0\x2e\0\0\0\0\0\0\0\0\0", 22).repeated(2000);
        QTest::newRow("2000 fake end records")
            << fakes.Build() << 2000 + 4 << 300 << qulonglong(bigBytes.indexOf("PK\x01\x02"));
    }
    void readsPerArchive()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, maxReads);
        QFETCH(int, entries);
        QFETCH(qulonglong, offset);
        CountingSource source(bytes);
        unzip32::Buffer tail;
        unzip32::CentralDirectory directory;
        QVERIFY(directory.Load(source, tail));
        QVERIFY2(source.reads <= maxReads, qPrintable(QString::number(source.reads)));
        // Never much more than the file itself, however many candidates there were.
        QVERIFY(source.bytes <= 2 * uint64_t(bytes.size()) + 2000 * 56);
        QCOMPARE(directory.Offset(), uint64_t(offset));
        int count = 0;
        unzip32::HeaderCursor cursor = directory.Headers();
        unzip32::CentralHeader header;
        while (cursor.Next(header))
            ++count;
        QCOMPARE(count, entries);
        QVERIFY(directory.Capacity() <= std::max<size_t>(size_t(bytes.size()), 64 * 1024));
    }

    // A directory that starts before the tail is read up to the tail: every byte from its start
    // to the end of the file is read once, in two reads.
    void directoryBeforeTheTailIsReadOnce_data()
    {
        QTest::addColumn<bool>("wide");
        QTest::newRow("first read of one page") << false;
        QTest::newRow("first read as far as a comment reaches") << true;
    }
    void directoryBeforeTheTailIsReadOnce()
    {
        QFETCH(bool, wide);
        ZipArchive big;
        for (int i = 0; i < 2000; ++i)
            big.entries.push_back(
                testsupport::Entry(QByteArray("folder/name-") + QByteArray::number(i)));
        const QByteArray bytes = big.Build();
        const qsizetype start = bytes.indexOf("PK\x01\x02");
        QVERIFY(bytes.size() - start > 70000);
        CountingSource source(bytes);
        unzip32::Buffer tail;
        unzip32::CentralDirectory directory;
        QVERIFY(directory.Load(source, tail, wide));
        QCOMPARE(source.reads, 2);
        QCOMPARE(source.bytes, uint64_t(bytes.size() - start));
        QCOMPARE(directory.Offset(), uint64_t(start));
    }

    // A sparse file of 1 GiB whose end record claims a directory of everything before it,
    // holding one real header: the reader reads as far as the stated count can reach, stops
    // at the first header that is not one, and keeps no large buffer.
    void lyingSizeReadsLittle_data()
    {
        QTest::addColumn<uint16_t>("count");
        QTest::addColumn<qulonglong>("mostRead");
        QTest::newRow("count 1") << uint16_t(1) << qulonglong(300 << 10);
        QTest::newRow("count 65535") << uint16_t(65535) << qulonglong(5 << 20);
    }
    void lyingSizeReadsLittle()
    {
        QFETCH(uint16_t, count);
        QFETCH(qulonglong, mostRead);
        QTemporaryDir dir;
        QFile file(dir.filePath("sparse.zip"));
        const qint64 size = qint64(1) << 30;
        QVERIFY(file.open(QIODevice::ReadWrite) && file.resize(size));
        ZipArchive one = ArchiveOf({"only"});
        one.entries[0].local = false;
        const QByteArray header = one.Build().left(46 + 4);
        QVERIFY(file.write(header) == header.size());
        QByteArray end;
        testsupport::PutLe(end, 0x06054b50, 4);
        testsupport::PutLe(end, 0, 4);
        testsupport::PutLe(end, count, 2);
        testsupport::PutLe(end, count, 2);
        testsupport::PutLe(end, uint64_t(size - 22), 4);
        testsupport::PutLe(end, 0, 6);
        QVERIFY(file.seek(size - 22) && file.write(end) == 22);
        file.close();

        const QByteArray path = QFile::encodeName(file.fileName());
        const uint64_t before = unzip32::g_io.bytes;
        QCOMPARE(unzip32::CheckArchive(path.constData()), 1);
        QVERIFY2(unzip32::g_io.bytes - before <= mostRead,
                 qPrintable(QString::number(unzip32::g_io.bytes - before)));
        const int32_t handle = unzip32::OpenArchive(path.constData());
        EntryInfo record;
        QCOMPARE(unzip32::FindFirst(handle, "*", &record), 0);
        QCOMPARE(QByteArray(record.szFileName), QByteArray("only"));
        QVERIFY(unzip32::FindNext(handle, &record) != 0);
        unzip32::CloseArchive(handle);

        // The directory's own storage and the tail scratch stay small too.
        const int fd = open(path.constData(), O_RDONLY | O_CLOEXEC);
        unzip32::FileSource source(fd, uint64_t(size));
        unzip32::Buffer tail;
        unzip32::CentralDirectory directory;
        QVERIFY(directory.Load(source, tail));
        close(fd);
        QVERIFY(directory.Capacity() <= mostRead);
        QVERIFY(tail.Capacity() <= 128 << 10);
    }

    // After a read-ahead, the check and the open read nothing more: one open and one to three
    // reads in all. The held read serves once; it holds little more than the directory.
    void readAheadReadsOnce()
    {
        QTemporaryDir dir;
        ZipArchive big;
        for (int i = 0; i < 300; ++i)
            big.entries.push_back(testsupport::Entry("folder/name-" + QByteArray::number(i)));
        const QByteArray bytes = big.Build();
        const QByteArray path = QFile::encodeName(dir.filePath("big.zip"));
        QVERIFY(testsupport::WriteFile(QFile::decodeName(path), bytes));
        const auto io = [] {
            return std::pair(unzip32::g_io.opens.load(), unzip32::g_io.reads.load());
        };
        const auto start = io();
        const int64_t held = unzip32::ReadAhead(path.constData());
        const auto ahead = io();
        const qsizetype directory = bytes.indexOf("PK\x05\x06") - bytes.indexOf("PK\x01\x02");
        QVERIFY(held >= directory && held < directory + 1024);
        QCOMPARE(ahead.first - start.first, 1u);
        QVERIFY(ahead.second - start.second >= 1 && ahead.second - start.second <= 3);
        QCOMPARE(unzip32::CheckArchive(path.constData()), 1);
        const int32_t handle = unzip32::OpenArchive(path.constData());
        QVERIFY(handle > 0);
        QCOMPARE(io(), ahead);
        EntryInfo record;
        int entries = 0;
        for (int32_t more = unzip32::FindFirst(handle, "*", &record); more == 0;
             more = unzip32::FindNext(handle, &record))
            ++entries;
        QCOMPARE(entries, 300);
        unzip32::CloseArchive(handle);
        QCOMPARE(unzip32::CheckArchive(path.constData()), 1);
        QCOMPARE(io().first, ahead.first + 1);

        // A file without an archive: the verdict is held, and the check reads nothing. Once
        // used it is gone, and a file changed since it was read is read again.
        const QByteArray plain = QFile::encodeName(dir.filePath("plain.zip"));
        QVERIFY(testsupport::WriteFile(QFile::decodeName(plain), "not an archive"));
        QCOMPARE(unzip32::ReadAhead(plain.constData()), int64_t(0));
        const auto verdict = io();
        QCOMPARE(unzip32::CheckArchive(plain.constData()), 0);
        QCOMPARE(io(), verdict);
        QCOMPARE(unzip32::ReadAhead(plain.constData()), int64_t(0));
        QVERIFY(testsupport::WriteFile(QFile::decodeName(plain), bytes));
        QCOMPARE(unzip32::CheckArchive(plain.constData()), 1);
    }

    // Storage moves with swap and is kept by Reset: the next archive reuses it.
    void storageIsReused()
    {
        const QByteArray bytes = ArchiveOf({"x", "y"}).Build();
        unzip32::MemorySource source(bytes.constData(), size_t(bytes.size()));
        unzip32::Buffer tail;
        unzip32::CentralDirectory a, b;
        QVERIFY(a.Load(source, tail));
        const unsigned char *data = a.Data();
        a.swap(b);
        QVERIFY(!a.Loaded());
        QCOMPARE(b.Data(), data);
        b.Reset();
        QVERIFY(b.Load(source, tail));
        QCOMPARE(b.Data(), data);
    }
};

QTEST_GUILESS_MAIN(TestUnZip32Core)
#include "tst_unzip32_core.moc"
