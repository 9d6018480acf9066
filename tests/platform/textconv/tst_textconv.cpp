#include <QTest>

#include <memory>
#include <random>
#include <thread>

#include <unicode/locid.h>
#include <unicode/translit.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>

#include "TextConv.h"

using platform::Conversion;

namespace
{

constexpr Conversion kConversions[] = {Conversion::Narrow, Conversion::LowerCase,
                                       Conversion::LowerNarrow};

QString hex(std::u16string_view s)
{
    QString out;
    for (char16_t c : s)
        out += QStringLiteral("%1 ").arg(unsigned(c), 4, 16, QLatin1Char('0'));
    return out.trimmed();
}

std::u16string codePoint(char32_t c)
{
    if (c < 0x10000)
        return std::u16string(1, char16_t(c));
    return {char16_t(0xD7C0 + (c >> 10)), char16_t(0xDC00 | (c & 0x3FF))};
}

// The reference: ICU on the whole string.
class Icu
{
public:
    Icu()
    {
        UErrorCode status = U_ZERO_ERROR;
        narrowing_.reset(
            icu::Transliterator::createInstance("Fullwidth-Halfwidth", UTRANS_FORWARD, status));
        if (U_FAILURE(status))
            narrowing_.reset();
    }
    bool ok() const { return narrowing_ != nullptr; }

    std::u16string convert(std::u16string_view s, Conversion c) const
    {
        icu::UnicodeString w(s.data(), int32_t(s.size()));
        if (c == Conversion::LowerCase || c == Conversion::LowerNarrow)
            w.toLower(icu::Locale("ja"));
        if (c == Conversion::Narrow || c == Conversion::LowerNarrow)
            narrowing_->transliterate(w);
        return std::u16string(reinterpret_cast<const char16_t *>(w.getBuffer()),
                              size_t(w.length()));
    }

    static std::u16string fromUtf8(std::string_view s)
    {
        std::u16string out(s.size() + 1, u'\0');
        int32_t n = 0;
        UErrorCode status = U_ZERO_ERROR;
        u_strFromUTF8WithSub(reinterpret_cast<UChar *>(out.data()), int32_t(out.size()), &n,
                             s.data(), int32_t(s.size()), 0xFFFD, nullptr, &status);
        out.resize(U_SUCCESS(status) ? size_t(n) : 0);
        return out;
    }

private:
    std::unique_ptr<icu::Transliterator> narrowing_;
};

} // namespace

class TestTextConv : public QObject
{
    Q_OBJECT
    Icu icu;

    // Every code point in [first, last] on its own, through the UTF-16 and the UTF-8 path.
    void compareWithIcu(char32_t first, char32_t last)
    {
        std::u16string scratch;
        for (char32_t c = first; c <= last; ++c) {
            const std::u16string in = codePoint(c);
            const bool surrogate = c >= 0xD800 && c <= 0xDFFF;
            for (Conversion conv : kConversions) {
                const std::u16string want = icu.convert(in, conv);
                const std::u16string got = platform::Convert(in, conv);
                if (got != want || (!surrogate && platform::ConvertUtf8(platform::ToUtf8(in), conv,
                                                                        scratch) != want))
                    QFAIL(qPrintable(QStringLiteral("U+%1, conversion %2: got %3, ICU %4")
                                         .arg(unsigned(c), 4, 16, QLatin1Char('0'))
                                         .arg(int(conv))
                                         .arg(hex(got), hex(want))));
            }
        }
    }

private slots:
    void initTestCase() { QVERIFY2(icu.ok(), "ICU has no Fullwidth-Halfwidth transform"); }

    // First, so that the threads race to build the tables.
    void firstUseFromManyThreadsAtOnce()
    {
        std::vector<std::u16string> results(4);
        std::vector<std::thread> threads;
        for (std::size_t i = 0; i < results.size(); ++i)
            threads.emplace_back([&results, i] { results[i] = platform::LowerNarrow(u"ＡガΣ"); });
        for (auto &t : threads)
            t.join();
        for (const auto &r : results)
            QCOMPARE(hex(r), hex(icu.convert(u"ＡガΣ", Conversion::LowerNarrow)));
    }

    void everyBmpCodePointAgreesWithIcu() { compareWithIcu(0, 0xFFFF); }
    void everySupplementaryCodePointAgreesWithIcu() { compareWithIcu(0x10000, 0x10FFFF); }

    void statedMappings_data()
    {
        QTest::addColumn<int>("conversion");
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("expected");
        const int narrow = int(Conversion::Narrow), lower = int(Conversion::LowerCase),
                  both = int(Conversion::LowerNarrow);
        QTest::newRow("voiced marks split") << narrow << "ガパヴ"
                                            << "ｶﾞﾊﾟｳﾞ";
        QTest::newRow("signs") << narrow << "ー「」、。・￥"
                               << "ｰ｢｣､｡･¥";
        QTest::newRow("ideographic space") << narrow << "a\u3000b"
                                           << "a b";
        QTest::newRow("full-width ASCII") << narrow << "ＡＢＣ！～０ａ"
                                          << "ABC!~0a";
        QTest::newRow("hiragana and kanji stay") << narrow << "がぱ漢字"
                                                 << "がぱ漢字";
        QTest::newRow("half-width stays") << narrow << "ｶﾞabc"
                                          << "ｶﾞabc";
        QTest::newRow("full-width A lowers") << lower << "ＡＢＣ"
                                             << "ａｂｃ";
        QTest::newRow("lower keeps width") << lower << "ABCｶﾞ"
                                           << "abcｶﾞ";
        QTest::newRow("dotted capital I") << lower << "İ"
                                          << "i\u0307";
        QTest::newRow("both") << both << "ＡＢＣ　ガ"
                              << "abc ｶﾞ";
        QTest::newRow("empty") << both << ""
                               << "";
    }
    void statedMappings()
    {
        QFETCH(int, conversion);
        QFETCH(QString, input);
        QFETCH(QString, expected);
        const Conversion c = Conversion(conversion);
        const std::u16string in = input.toStdU16String();
        const std::u16string direct = c == Conversion::Narrow      ? platform::Narrow(in)
                                      : c == Conversion::LowerCase ? platform::LowerCase(in)
                                                                   : platform::LowerNarrow(in);
        QCOMPARE(QString::fromStdU16String(direct), expected);
        std::u16string scratch;
        const auto viaUtf8 = platform::ConvertUtf8(input.toStdString(), c, scratch);
        QCOMPARE(QString::fromStdU16String(std::u16string(viaUtf8)), expected);
    }

    // Strings where ICU sees neighbours: voiced and combining marks, pairs, unpaired halves.
    void stringsAgreeWithIcu()
    {
        QStringList strings = {
            "ガパヴ",   "カ\u3099ハ\u309A", "カ゛ハ゜", "ＡＢＣ　ｄｅｆ「テスト」abc",
            "İSTANBUL", "E\u0301COLE",      "𐐀𝐀ＡＢ",   "\u1100\u1161\u11A8"};
        strings << QString(QChar(0xD800)) + "A" + QChar(0xDC00) + "Ｂ";
        // Random strings of code points that change or sit next to ones that do. U+03A3 is
        // left out: only its final form depends on neighbours (see finalSigma).
        std::vector<char32_t> pool = {0x1100,  0x2190,  0x2502, 0x25A0, 0x0301, 0x0307, 0x10400,
                                      0x1E900, 0x1F600, 0x6F22, 0x1E9E, 0x2126, 0x212A};
        for (auto [from, to] :
             {std::pair{0x20, 0x250}, {0x370, 0x530}, {0x3000, 0x3100}, {0xFF00, 0xFFF0}})
            for (char32_t c = char32_t(from); c < char32_t(to); ++c)
                if (c != 0x3A3)
                    pool.push_back(c);
        std::mt19937 rng(4242);
        std::uniform_int_distribution<std::size_t> pick(0, pool.size() - 1), length(0, 12);
        for (int n = 0; n < 20000; ++n) {
            std::u16string s;
            for (std::size_t k = length(rng); k > 0; --k)
                s += codePoint(pool[pick(rng)]);
            strings << QString::fromStdU16String(s);
        }
        for (const QString &string : strings) {
            const std::u16string s = string.toStdU16String();
            for (Conversion c : kConversions)
                if (platform::Convert(s, c) != icu.convert(s, c))
                    QFAIL(qPrintable(
                        QStringLiteral("conversion %1 of %2: got %3, ICU %4")
                            .arg(int(c))
                            .arg(hex(s), hex(platform::Convert(s, c)), hex(icu.convert(s, c)))));
        }
    }

    // Per code point, capital sigma is always σ, where ICU writes a final ς. So converting
    // a concatenation of whole code points equals concatenating the conversions: a text that
    // contains the search text still contains it after conversion.
    void finalSigma()
    {
        QCOMPARE(hex(platform::LowerCase(u"ΑΣ")), hex(u"ασ"));
        QCOMPARE(hex(icu.convert(u"ΑΣ", Conversion::LowerCase)), hex(u"ας"));
        const std::u16string parts[] = {u"ΑΣ",   u"Σ", u"İ", u"ガ",    u"\u3099",
                                        u"ＡＢ", u"",  u"𐐀", u"\xDC00"};
        for (Conversion c : kConversions)
            for (const auto &a : parts)
                for (const auto &b : parts)
                    QCOMPARE(hex(platform::Convert(a + b, c)),
                             hex(platform::Convert(a, c) + platform::Convert(b, c)));
    }

    void utf8Decoding_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("valid mix") << QByteArray("aé漢😀");
        QTest::newRow("lone continuation") << QByteArray("a\x80"
                                                         "b");
        QTest::newRow("overlong") << QByteArray("\xC0\xAF\xE0\x80\xAF");
        QTest::newRow("encoded surrogate") << QByteArray("\xED\xA0\x80");
        QTest::newRow("above U+10FFFF") << QByteArray("\xF4\x90\x80\x80");
        QTest::newRow("truncated") << QByteArray("\xF0\x9F\x98\xE3\x81"
                                                 "a");
        QTest::newRow("never a lead") << QByteArray("\xF5\xFF\xFE");
        QTest::newRow("NUL inside") << QByteArray("a\0b", 3);
    }
    void utf8Decoding()
    {
        QFETCH(QByteArray, bytes);
        const std::string_view s(bytes.constData(), size_t(bytes.size()));
        QCOMPARE(hex(platform::FromUtf8(s)), hex(Icu::fromUtf8(s)));
    }

    void randomBytesDecodeLikeIcu()
    {
        std::mt19937 rng(7);
        std::uniform_int_distribution<int> byte(0, 255), length(0, 16);
        const unsigned char likely[] = {0x41, 0x80, 0xBF, 0xC2, 0xE0, 0xE3,
                                        0xED, 0xF0, 0xF4, 0x9F, 0xA0};
        std::u16string scratch;
        for (int n = 0; n < 50000; ++n) {
            std::string s;
            for (int k = length(rng); k > 0; --k) {
                const int b = byte(rng);
                s += char(b < 128 ? likely[b % sizeof likely] : b);
            }
            const std::u16string want = Icu::fromUtf8(s);
            bool same = platform::FromUtf8(s) == want;
            for (Conversion c : kConversions)
                same = same && platform::ConvertUtf8(s, c, scratch) == platform::Convert(want, c);
            if (!same)
                QFAIL(qPrintable(QByteArray::fromStdString(s).toHex(' ')));
        }
    }

    void utf8Encoding()
    {
        const std::string valid = "a\u00e9\u6f22\U0001F600\u3000";
        QCOMPARE(platform::ToUtf8(platform::FromUtf8(valid)), valid);
        QCOMPARE(platform::ToUtf8(u"\xD800"
                                  "a\xDC00"),
                 std::string("\xEF\xBF\xBD"
                             "a\xEF\xBF\xBD"));
    }

    // The scratch buffer keeps its size: a short text after a long one must not show the rest.
    void scratchReuse()
    {
        std::u16string scratch;
        QCOMPARE(
            platform::ConvertUtf8(std::string(1000, 'X'), Conversion::LowerCase, scratch).size(),
            size_t(1000));
        QVERIFY(platform::ConvertUtf8("ＡＢ", Conversion::LowerNarrow, scratch) == u"ab");
        QVERIFY(platform::ConvertUtf8("", Conversion::Narrow, scratch).empty());
    }
};

QTEST_GUILESS_MAIN(TestTextConv)
#include "tst_textconv.moc"
