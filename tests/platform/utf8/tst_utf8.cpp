#include <QRandomGenerator>
#include <QStringDecoder>
#include <QTest>

#include "Utf8.h"

namespace
{

const unsigned char *Bytes(const QByteArray &b)
{
    return reinterpret_cast<const unsigned char *>(b.constData());
}

bool QtAcceptsUtf8(const QByteArray &b)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString s = decoder.decode(b);
    return !decoder.hasError();
}

// Where a byte-by-byte loop stops.
template <utf8::Stops S> qsizetype Plainly(const QByteArray &b)
{
    for (qsizetype i = 0; i < b.size(); ++i)
        if (S.Stop(uchar(b[i])))
            return i;
    return b.size();
}

} // namespace

class TestUtf8 : public QObject
{
    Q_OBJECT
private slots:
    void strictUtf8_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("valid");
        QTest::newRow("empty") << QByteArray() << true;
        QTest::newRow("ascii, long") << QByteArray("abcdefghijklmnopqrstuvwxyz/0123456789") << true;
        QTest::newRow("two bytes") << QByteArray("\xC3\xA9") << true;
        QTest::newRow("three bytes") << QByteArray("\xE6\x97\xA5") << true;
        QTest::newRow("four bytes") << QByteArray("\xF0\x9F\x98\x80") << true;
        QTest::newRow("U+10FFFF") << QByteArray("\xF4\x8F\xBF\xBF") << true;
        QTest::newRow("past U+10FFFF") << QByteArray("\xF4\x90\x80\x80") << false;
        QTest::newRow("F5 lead") << QByteArray("\xF5\x80\x80\x80") << false;
        QTest::newRow("overlong slash") << QByteArray("\xC0\xAF") << false;
        QTest::newRow("overlong C1") << QByteArray("\xC1\xBF") << false;
        QTest::newRow("overlong three") << QByteArray("\xE0\x80\xAF") << false;
        QTest::newRow("overlong four") << QByteArray("\xF0\x80\x80\xAF") << false;
        QTest::newRow("surrogate") << QByteArray("\xED\xA0\x80") << false;
        QTest::newRow("last before surrogates") << QByteArray("\xED\x9F\xBF") << true;
        QTest::newRow("lone continuation") << QByteArray("abcdefgh\x80") << false;
        QTest::newRow("cut sequence at the end") << QByteArray("abc\xE6\x97") << false;
        QTest::newRow("bad continuation") << QByteArray("\xE6\x41\xA5") << false;
        QTest::newRow("cp932") << QByteArray("\x95\x5C") << false;
        QTest::newRow("high byte after eight ascii") << QByteArray("12345678\xFF") << false;
    }
    void strictUtf8()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, valid);
        QCOMPARE(utf8::IsStrict(Bytes(bytes), size_t(bytes.size())), valid);
    }

    // Qt's decoder is strict too: both must agree on any bytes. The scan must stop where a
    // plain loop stops, at every length around its blocks of 8 and 16.
    void randomBytesAgreeWithQtAndAPlainLoop()
    {
        const uchar edges[] = {0x00, 0x01, 0x1F, 0x20, 0x41, 0x5C, 0x7F, 0x80, 0x8F, 0x90,
                               0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xEC,
                               0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xFF};
        constexpr utf8::Stops kAsciiName{.below = 1, .high = true};
        constexpr utf8::Stops kEscaped{.below = 0x20, .equal1 = 0x7F, .equal2 = '\\'};
        QRandomGenerator random(8);
        for (int round = 0; round < 200000; ++round) {
            QByteArray b(int(random.bounded(round % 2 ? 6 : 40)), 'a');
            // Mostly plain bytes, so that a stop can come late.
            const int odds = round % 3 == 0 ? 40 : 3;
            for (char &c : b)
                if (random.bounded(odds) == 0)
                    c = char(edges[random.bounded(int(sizeof edges))]);
            QCOMPARE(utf8::IsStrict(Bytes(b), size_t(b.size())), QtAcceptsUtf8(b));
            QCOMPARE(qsizetype(utf8::Span<kAsciiName>(Bytes(b), size_t(b.size()))),
                     Plainly<kAsciiName>(b));
            QCOMPARE(qsizetype(utf8::Span<kEscaped>(Bytes(b), size_t(b.size()))),
                     Plainly<kEscaped>(b));
        }
    }

    void everyCodePointEncodesAndDecodesBack()
    {
        char buffer[4];
        for (char32_t c = 0; c <= 0x10FFFF; ++c) {
            if (c >= 0xD800 && c <= 0xDFFF)
                continue;
            const std::size_t n = std::size_t(utf8::Encode(c, buffer) - buffer);
            const auto *s = reinterpret_cast<const unsigned char *>(buffer);
            std::size_t i = 0;
            if (n != utf8::EncodedLength(c) || !utf8::IsStrict(s, n) ||
                utf8::Decode(s, n, i) != c || i != n)
                QFAIL(qPrintable(QString::number(uint(c), 16)));
        }
    }
};

QTEST_GUILESS_MAIN(TestUtf8)
#include "tst_utf8.moc"
