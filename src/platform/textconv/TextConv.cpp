#include "TextConv.h"

#include <algorithm>
#include <array>
#include <memory>
#include <stdexcept>
#include <vector>

#include <unicode/locid.h>
#include <unicode/translit.h>
#include <unicode/uchar.h>
#include <unicode/uniset.h>
#include <unicode/unistr.h>

#include "Utf8.h"

namespace platform
{

namespace
{

constexpr char16_t kReplacement = u'\uFFFD';

char16_t *putPlain(char32_t c, char16_t *out)
{
    if (c < 0x10000) {
        *out++ = char16_t(c);
    } else {
        *out++ = char16_t(0xD7C0 + (c >> 10));
        *out++ = char16_t(0xDC00 | (c & 0x3FF));
    }
    return out;
}

// One conversion as a table of code points to replacement sequences; a code point without an
// entry stays as it is. The BMP is looked up in two stages of 256 so that the blocks where
// nothing changes share one block of zeros; the few supplementary entries are sorted.
class Table
{
public:
    // Entry layout: 0 = unchanged; else kMapped | length << 24 | payload, where the payload is
    // the single code unit when length is 1 and the offset into pool_ otherwise.
    static constexpr std::uint32_t kMapped = 1u << 31;

    template <class Convert>
    Table(Convert convertOne, const icu::UnicodeSet &supplementaryCandidates)
    {
        blocks_.assign(256, 0); // block 0: nothing changes
        stage1_.fill(0);
        for (UChar32 c = 0; c < 0x10000; ++c) {
            if (U_IS_SURROGATE(c))
                continue; // unpaired surrogates pass through
            const icu::UnicodeString in(c);
            const icu::UnicodeString out = convertOne(in);
            if (out == in)
                continue;
            if (stage1_[c >> 8] == 0) {
                if (blocks_.size() / 256 > 0xFF)
                    throw std::runtime_error("text conversion: too many blocks");
                stage1_[c >> 8] = std::uint8_t(blocks_.size() / 256);
                blocks_.resize(blocks_.size() + 256, 0);
            }
            blocks_[stage1_[c >> 8] * 256u + (c & 0xFF)] =
                entry(out, utf8::EncodedLength(char32_t(c)));
        }
        const std::int32_t ranges = supplementaryCandidates.getRangeCount();
        for (std::int32_t r = 0; r < ranges; ++r) {
            const UChar32 end = supplementaryCandidates.getRangeEnd(r);
            for (UChar32 c = std::max<UChar32>(supplementaryCandidates.getRangeStart(r), 0x10000);
                 c <= end; ++c) {
                const icu::UnicodeString in(c);
                const icu::UnicodeString out = convertOne(in);
                if (out != in)
                    supplementary_.push_back(
                        {char32_t(c), entry(out, utf8::EncodedLength(char32_t(c)))});
            }
        }
        for (std::size_t i = 0; i < 128; ++i) {
            const std::uint32_t e = blocks_[stage1_[0] * 256u + i];
            asciiSimple_ = asciiSimple_ && (e == 0 || length(e) == 1);
            ascii_[i] = e == 0 ? char16_t(i) : char16_t(e & 0xFFFF);
        }
        // An ill-formed byte stands for U+FFFD.
        char16_t probe[0x80];
        maxUnitsPerByte_ =
            std::max<std::size_t>(maxUnitsPerByte_, Put(kReplacement, probe) - probe);
    }

    // Code units written for one code point at most, and per UTF-8 byte of input at most.
    std::size_t MaxUnits() const { return maxUnits_; }
    std::size_t MaxUnitsPerByte() const { return maxUnitsPerByte_; }
    bool AsciiSimple() const { return asciiSimple_; }
    char16_t Ascii(unsigned char c) const { return ascii_[c]; }

    char16_t *Put(char32_t c, char16_t *out) const
    {
        const std::uint32_t e =
            c < 0x10000 ? blocks_[stage1_[c >> 8] * 256u + (c & 0xFF)] : findSupplementary(c);
        if (e == 0)
            return putPlain(c, out);
        const std::uint32_t n = length(e);
        if (n == 1) {
            *out++ = char16_t(e & 0xFFFF);
            return out;
        }
        return std::copy_n(pool_.data() + (e & 0xFFFFFF), n, out);
    }

private:
    struct Supplementary {
        char32_t c;
        std::uint32_t e;
    };

    static std::uint32_t length(std::uint32_t e) { return (e >> 24) & 0x7F; }

    std::uint32_t entry(const icu::UnicodeString &out, std::size_t utf8Bytes)
    {
        const std::uint32_t n = std::uint32_t(out.length());
        if (n > 0x7F)
            throw std::runtime_error("text conversion: a replacement is too long");
        maxUnits_ = std::max<std::size_t>(maxUnits_, n);
        maxUnitsPerByte_ = std::max<std::size_t>(maxUnitsPerByte_, (n + utf8Bytes - 1) / utf8Bytes);
        if (n == 1)
            return kMapped | 1u << 24 | out.charAt(0);
        const std::size_t offset = pool_.size();
        if (offset + n > 0xFFFFFF)
            throw std::runtime_error("text conversion: replacement pool overflow");
        pool_.append(reinterpret_cast<const char16_t *>(out.getBuffer()), n);
        return kMapped | n << 24 | std::uint32_t(offset);
    }

    std::uint32_t findSupplementary(char32_t c) const
    {
        if (supplementary_.empty())
            return 0;
        const auto it =
            std::lower_bound(supplementary_.begin(), supplementary_.end(), c,
                             [](const Supplementary &s, char32_t v) { return s.c < v; });
        return it != supplementary_.end() && it->c == c ? it->e : 0;
    }

    std::array<std::uint8_t, 256> stage1_{};
    std::vector<std::uint32_t> blocks_;
    std::u16string pool_;
    std::vector<Supplementary> supplementary_;
    std::array<char16_t, 128> ascii_{};
    bool asciiSimple_ = true;
    // A surrogate pair is two units and four bytes, so unchanged text needs 2 and 1.
    std::size_t maxUnits_ = 2;
    std::size_t maxUnitsPerByte_ = 1;
};

struct Tables {
    Table narrow;
    Table lower;
    Table lowerNarrow;
};

std::unique_ptr<icu::Transliterator> makeNarrowing()
{
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Transliterator> t(
        icu::Transliterator::createInstance("Fullwidth-Halfwidth", UTRANS_FORWARD, status));
    if (U_FAILURE(status) || !t)
        throw std::runtime_error(
            std::string("text conversion: no Fullwidth-Halfwidth transform: ") +
            u_errorName(status));
    return t;
}

Tables buildTables()
{
    const std::unique_ptr<icu::Transliterator> narrowing = makeNarrowing();
    const icu::Locale ja("ja");
    icu::UnicodeSet narrowable;
    narrowing->getSourceSet(narrowable);
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeSet lowerable;
    lowerable.applyIntPropertyValue(UCHAR_CHANGES_WHEN_LOWERCASED, 1, status);
    if (U_FAILURE(status))
        throw std::runtime_error(std::string("text conversion: ") + u_errorName(status));
    icu::UnicodeSet both(lowerable);
    both.addAll(narrowable);

    auto narrow = [&](const icu::UnicodeString &in) {
        icu::UnicodeString s(in);
        narrowing->transliterate(s);
        return s;
    };
    auto lower = [&](const icu::UnicodeString &in) {
        icu::UnicodeString s(in);
        s.toLower(ja);
        return s;
    };
    return Tables{Table(narrow, narrowable), Table(lower, lowerable),
                  Table([&](const icu::UnicodeString &in) { return narrow(lower(in)); }, both)};
}

const Table *table(Conversion c)
{
    if (c == Conversion::None)
        return nullptr;
    static const Tables tables = buildTables();
    switch (c) {
    case Conversion::Narrow:
        return &tables.narrow;
    case Conversion::LowerCase:
        return &tables.lower;
    case Conversion::LowerNarrow:
        return &tables.lowerNarrow;
    default:
        return nullptr;
    }
}

// The code point at s[i], with i moved past it; an unpaired surrogate comes as it is.
char32_t nextCodePoint(std::u16string_view s, std::size_t &i)
{
    const char32_t c = s[i++];
    if (c >= 0xD800 && c <= 0xDBFF && i < s.size() && s[i] >= 0xDC00 && s[i] <= 0xDFFF)
        return 0x10000 + ((c - 0xD800) << 10) + (s[i++] - 0xDC00);
    return c;
}

} // namespace

std::u16string Convert(std::u16string_view s, Conversion c)
{
    const Table *t = table(c);
    if (!t)
        return std::u16string(s);
    std::u16string out(s.size() * t->MaxUnits(), u'\0');
    char16_t *o = out.data();
    // An unpaired surrogate has no entry, so it is kept as it is.
    for (std::size_t i = 0; i < s.size();)
        o = t->Put(nextCodePoint(s, i), o);
    out.resize(std::size_t(o - out.data()));
    return out;
}

std::u16string Narrow(std::u16string_view s)
{
    return Convert(s, Conversion::Narrow);
}
std::u16string LowerCase(std::u16string_view s)
{
    return Convert(s, Conversion::LowerCase);
}
std::u16string LowerNarrow(std::u16string_view s)
{
    return Convert(s, Conversion::LowerNarrow);
}

std::u16string_view ConvertUtf8(std::string_view s, Conversion c, std::u16string &scratch)
{
    const Table *t = table(c);
    const std::size_t bound = s.size() * (t ? t->MaxUnitsPerByte() : 1);
    if (scratch.size() < bound)
        scratch.resize(std::max(bound, scratch.size() * 2));
    const auto *in = reinterpret_cast<const unsigned char *>(s.data());
    const std::size_t n = s.size();
    char16_t *const begin = scratch.data();
    char16_t *o = begin;
    std::size_t i = 0;
    if (!t) {
        while (i < n) {
            if (in[i] < 0x80)
                *o++ = in[i++];
            else
                o = putPlain(utf8::Decode(in, n, i), o);
        }
    } else if (t->AsciiSimple()) {
        while (i < n) {
            if (in[i] < 0x80)
                *o++ = t->Ascii(in[i++]);
            else
                o = t->Put(utf8::Decode(in, n, i), o);
        }
    } else {
        while (i < n)
            o = t->Put(utf8::Decode(in, n, i), o);
    }
    return std::u16string_view(begin, std::size_t(o - begin));
}

std::u16string FromUtf8(std::string_view s)
{
    std::u16string scratch;
    const std::size_t n = ConvertUtf8(s, Conversion::None, scratch).size();
    scratch.resize(n);
    return scratch;
}

std::string ToUtf8(std::u16string_view s)
{
    std::string out;
    out.reserve(s.size() * 3);
    for (std::size_t i = 0; i < s.size();) {
        char32_t c = nextCodePoint(s, i);
        if (c >= 0xD800 && c <= 0xDFFF)
            c = kReplacement;
        char bytes[4];
        out.append(bytes, std::size_t(utf8::Encode(c, bytes) - bytes));
    }
    return out;
}

} // namespace platform
