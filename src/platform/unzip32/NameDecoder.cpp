#include "NameDecoder.h"

#include <array>
#include <cstring>
#include <optional>
#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unicode/utf16.h>

#include "Utf8.h"
#include "ZipBytes.h"

namespace unzip32
{

namespace
{

constexpr size_t kMaxText = kNameFieldSize - 1;
constexpr uint16_t kUnicodePathId = 0x7075;

// Slicing by eight: table k advances the CRC over a byte followed by k zero bytes.
using CrcTables = std::array<std::array<uint32_t, 256>, 8>;
constexpr CrcTables MakeCrcTables()
{
    CrcTables t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i)
        for (size_t k = 1; k < 8; ++k)
            t[k][i] = t[0][t[k - 1][i] & 0xFF] ^ (t[k - 1][i] >> 8);
    return t;
}
constexpr CrcTables kCrc = MakeCrcTables();

size_t BeforeNul(const unsigned char *s, size_t n)
{
    const void *nul = std::memchr(s, 0, n);
    return nul ? size_t(static_cast<const unsigned char *>(nul) - s) : n;
}

// The longest prefix of the valid UTF-8 s (longer than kMaxText) that ends between
// characters and fits. Out of line on purpose: the copy in CopyWholeCharacters was measured
// several times slower on short names when this bound was folded into it.
[[gnu::noinline]] size_t FittingPrefix(const unsigned char *s)
{
    size_t n = kMaxText;
    while (n > 0 && (s[n] & 0xC0) == 0x80)
        --n;
    return n;
}

size_t CopyWholeCharacters(const unsigned char *s, size_t n, char *field)
{
    if (n > kMaxText)
        n = FittingPrefix(s);
    std::memcpy(field, s, n);
    field[n] = '\0';
    return n;
}

bool UnicodePath(const unsigned char *name, size_t nameSize, const unsigned char *extra,
                 size_t extraSize, const unsigned char *&text, size_t &textSize)
{
    size_t pos = 0;
    while (extraSize - pos >= 4) {
        const uint16_t id = Le16(extra + pos), size = Le16(extra + pos + 2);
        pos += 4;
        if (size > extraSize - pos)
            return false;
        if (id == kUnicodePathId) {
            // Only the first such field counts. An empty text is no better than the
            // stored name.
            const unsigned char *d = extra + pos;
            if (size < 6 || d[0] != 1 || Le32(d + 1) != Crc32(name, nameSize))
                return false;
            text = d + 5;
            textSize = BeforeNul(text, size - 5);
            return textSize > 0 && utf8::IsStrict(text, textSize);
        }
        pos += size;
    }
    return false;
}

// Appends c as UTF-8 if it fits in kMaxText bytes. Inline: it runs once per character.
[[gnu::always_inline]] inline bool PutBmp(char16_t c, char *field, size_t &out)
{
    if (out + utf8::EncodedLength(c) > kMaxText)
        return false;
    out = size_t(utf8::Encode(c, field + out) - field);
    return true;
}

// ICU's default turns a lone undecodable byte into U+001A, a control character that
// would end up in a file name; U+FFFD says what happened.
void SubstituteReplacementCharacter(const void *, UConverterToUnicodeArgs *args, const char *,
                                    int32_t, UConverterCallbackReason reason, UErrorCode *err)
{
    if (reason > UCNV_IRREGULAR)
        return;
    static const UChar kReplacement = 0xFFFD;
    *err = U_ZERO_ERROR;
    ucnv_cbToUWriteUChars(args, &kReplacement, 1, 0, err);
}

// Code page 932 exactly as ICU's windows-31j converter decodes it, read out of the
// converter once per process, pair of bytes by pair of bytes: a name then costs a few
// table lookups instead of a converter call.
class Cp932Table
{
public:
    Cp932Table()
    {
        UErrorCode err = U_ZERO_ERROR;
        UConverter *converter = ucnv_open("windows-31j", &err);
        if (U_SUCCESS(err))
            ucnv_setToUCallBack(converter, SubstituteReplacementCharacter, nullptr, nullptr,
                                nullptr, &err);
        if (U_FAILURE(err)) {
            if (converter)
                ucnv_close(converter);
            // Without ICU's data, ASCII is still readable.
            for (int b = 0; b < 256; ++b)
                single_[b] = b < 0x80 ? char16_t(b) : kReplacement;
            return;
        }
        int rows = 0;
        for (int b = 0; b < 256; ++b) {
            const unsigned char alone[1] = {uint8_t(b)};
            single_[b] = Decode(converter, alone, 1).value_or(kReplacement);
            // A lead byte takes the next byte with it; 0x41 is a trail byte for every one.
            const unsigned char probe[2] = {uint8_t(b), 0x41};
            if (!Decode(converter, probe, 2) || rows == kMaxLeads)
                continue;
            row_[b] = uint8_t(++rows);
            for (int t = 0; t < 256; ++t) {
                const unsigned char both[2] = {uint8_t(b), uint8_t(t)};
                pairs_[rows - 1][t] = Decode(converter, both, 2).value_or(kLeadAlone);
            }
        }
        ucnv_close(converter);
    }

    // Decodes s[0, n) into field, whole characters only, at most kMaxText bytes. clean
    // tells whether every byte of s, also past the cut, belongs to a character.
    size_t Decode(const unsigned char *s, size_t n, char *field, bool &clean) const
    {
        size_t out = 0, i = 0;
        bool bad = false;
        while (i < n) {
            const char16_t c = Next(s, n, i);
            bad |= c == kReplacement;
            if (!PutBmp(c, field, out)) {
                while (i < n && !bad) // past the cut, only whether it all decodes
                    bad = Next(s, n, i) == kReplacement;
                break;
            }
        }
        field[out] = '\0';
        clean = !bad;
        return out;
    }

private:
    static constexpr char16_t kReplacement = 0xFFFD;
    // In pairs_: the lead byte is a bad character by itself and the next byte starts
    // over. No pair decodes to U+0000, since 0x00 is never a second byte.
    static constexpr char16_t kLeadAlone = 0;
    static constexpr int kMaxLeads = 64; // code page 932 has 60

    // The character at s[i], i moved past it; U+FFFD for bytes that do not decode.
    char16_t Next(const unsigned char *s, size_t n, size_t &i) const
    {
        const uint8_t row = row_[s[i]];
        if (row == 0)
            return single_[s[i++]];
        if (i + 1 == n) {
            ++i; // cut after a lead byte
            return kReplacement;
        }
        const char16_t c = pairs_[row - 1][s[i + 1]];
        if (c == kLeadAlone) {
            ++i; // the second byte starts over
            return kReplacement;
        }
        i += 2;
        return c;
    }

    // The one UTF-16 unit that all n bytes decode to, if that is what they do. Code page
    // 932 decodes to the BMP only, without surrogates.
    static std::optional<char16_t> Decode(UConverter *converter, const unsigned char *s, int n)
    {
        UChar units[4];
        UErrorCode err = U_ZERO_ERROR;
        const int32_t count =
            ucnv_toUChars(converter, units, 4, reinterpret_cast<const char *>(s), n, &err);
        if (U_FAILURE(err) || count != 1 || U16_IS_SURROGATE(units[0]))
            return std::nullopt;
        return char16_t(units[0]);
    }

    char16_t single_[256];
    uint8_t row_[256] = {}; // 0: not a lead byte; otherwise 1 + index into pairs_
    char16_t pairs_[kMaxLeads][256];
};

// Code page 437, the format's default, as ICU's ibm-437 converter decodes the upper half;
// the lower half is ASCII (the converter swaps three control codes, as IBM's terminals did
// and no archive reader does). Every byte is a character.
class Cp437Table
{
public:
    Cp437Table()
    {
        UErrorCode err = U_ZERO_ERROR;
        UConverter *converter = ucnv_open("ibm-437", &err);
        for (int b = 0x80; b < 0x100; ++b) {
            const char byte = char(b);
            UChar unit[2];
            UErrorCode e = U_ZERO_ERROR;
            const int32_t count = converter ? ucnv_toUChars(converter, unit, 2, &byte, 1, &e) : 0;
            upper_[b - 0x80] = U_SUCCESS(e) && count == 1 ? char16_t(unit[0]) : char16_t(0xFFFD);
        }
        if (converter)
            ucnv_close(converter);
    }

    size_t Decode(const unsigned char *s, size_t n, char *field) const
    {
        size_t out = 0;
        for (size_t i = 0; i < n; ++i)
            if (!PutBmp(s[i] < 0x80 ? char16_t(s[i]) : upper_[s[i] - 0x80], field, out))
                break;
        field[out] = '\0';
        return out;
    }

private:
    char16_t upper_[128];
};

} // namespace

size_t DecodeCp932(const unsigned char *s, size_t n, char *field, bool *clean)
{
    static const Cp932Table kTable; // built at the first name that needs it
    bool whole;
    const size_t size = kTable.Decode(s, n, field, whole);
    if (clean)
        *clean = whole;
    return size;
}

size_t DecodeCp437(const unsigned char *s, size_t n, char *field)
{
    static const Cp437Table kTable;
    return kTable.Decode(s, n, field);
}

uint32_t Crc32(const unsigned char *s, size_t n)
{
    uint32_t c = 0xFFFFFFFFu;
    for (; n >= 8; s += 8, n -= 8) {
        const uint32_t low = c ^ Le32(s), high = Le32(s + 4);
        c = kCrc[7][low & 0xFF] ^ kCrc[6][low >> 8 & 0xFF] ^ kCrc[5][low >> 16 & 0xFF] ^
            kCrc[4][low >> 24] ^ kCrc[3][high & 0xFF] ^ kCrc[2][high >> 8 & 0xFF] ^
            kCrc[1][high >> 16 & 0xFF] ^ kCrc[0][high >> 24];
    }
    for (; n > 0; ++s, --n)
        c = kCrc[0][(c ^ *s) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

size_t DecodeEntryName(const unsigned char *name, size_t nameSize, const unsigned char *extra,
                       size_t extraSize, char *field)
{
    const unsigned char *text;
    size_t textSize;
    if (extraSize >= 4 + 6 && UnicodePath(name, nameSize, extra, extraSize, text, textSize))
        return CopyWholeCharacters(text, textSize, field);
    // Most names are ASCII without a NUL, and need neither the search for one nor the check.
    if (utf8::Span<utf8::Stops{.below = 1, .high = true}>(name, nameSize) == nameSize)
        return CopyWholeCharacters(name, nameSize, field);
    nameSize = BeforeNul(name, nameSize);
    if (utf8::IsStrict(name, nameSize))
        return CopyWholeCharacters(name, nameSize, field);
    bool clean;
    const size_t size = DecodeCp932(name, nameSize, field, &clean);
    return clean ? size : DecodeCp437(name, nameSize, field);
}

} // namespace unzip32
