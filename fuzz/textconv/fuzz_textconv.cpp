// The input is read twice: as UTF-8 bytes and as UTF-16 code units. Checks that the UTF-8 path
// equals decoding then converting, that decoding equals ICU's, that the tables equal ICU's
// whole-string conversions, and that conversions commute with concatenation.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include <unicode/locid.h>
#include <unicode/translit.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>

#include "TextConv.h"

using platform::Conversion;

namespace
{

void check(bool ok)
{
    if (!ok)
        std::abort();
}

const icu::Transliterator &narrowing()
{
    static const std::unique_ptr<icu::Transliterator> t([] {
        UErrorCode status = U_ZERO_ERROR;
        icu::Transliterator *p =
            icu::Transliterator::createInstance("Fullwidth-Halfwidth", UTRANS_FORWARD, status);
        check(U_SUCCESS(status) && p);
        return p;
    }());
    return *t;
}

std::u16string icuConvert(std::u16string_view s, Conversion c)
{
    icu::UnicodeString w(s.data(), int32_t(s.size()));
    if (c == Conversion::LowerCase || c == Conversion::LowerNarrow)
        w.toLower(icu::Locale("ja"));
    if (c == Conversion::Narrow || c == Conversion::LowerNarrow)
        narrowing().transliterate(w);
    return std::u16string(reinterpret_cast<const char16_t *>(w.getBuffer()), size_t(w.length()));
}

std::u16string icuFromUtf8(std::string_view s)
{
    std::u16string out(s.size() + 1, u'\0');
    int32_t n = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8WithSub(reinterpret_cast<UChar *>(out.data()), int32_t(out.size()), &n, s.data(),
                         int32_t(s.size()), 0xFFFD, nullptr, &status);
    check(U_SUCCESS(status));
    out.resize(size_t(n));
    return out;
}

bool isHigh(char16_t c)
{
    return c >= 0xD800 && c <= 0xDBFF;
}
bool isLow(char16_t c)
{
    return c >= 0xDC00 && c <= 0xDFFF;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static std::u16string scratch;
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    const std::u16string decoded = platform::FromUtf8(bytes);
    check(decoded == icuFromUtf8(bytes));

    std::u16string units(size / 2, u'\0');
    for (std::size_t i = 0; i < units.size(); ++i)
        units[i] = char16_t(data[2 * i] | data[2 * i + 1] << 8);
    // A split point that does not cut a surrogate pair.
    std::size_t cut = units.size() / 2;
    if (cut > 0 && cut < units.size() && isHigh(units[cut - 1]) && isLow(units[cut]))
        ++cut;
    const bool hasSigma = units.find(u'\u03A3') != std::u16string::npos;

    for (Conversion c :
         {Conversion::None, Conversion::Narrow, Conversion::LowerCase, Conversion::LowerNarrow}) {
        check(platform::ConvertUtf8(bytes, c, scratch) == platform::Convert(decoded, c));
        const std::u16string converted = platform::Convert(units, c);
        // ICU lower-cases a final sigma as ς; the tables never look at neighbours.
        if (!hasSigma || c == Conversion::None || c == Conversion::Narrow)
            check(converted == icuConvert(units, c));
        check(converted == platform::Convert(std::u16string_view(units).substr(0, cut), c) +
                               platform::Convert(std::u16string_view(units).substr(cut), c));
    }

    // UTF-16 to UTF-8 and back keeps everything but unpaired surrogates, which become U+FFFD.
    std::u16string sound = units;
    for (std::size_t i = 0; i < sound.size(); ++i) {
        if (isHigh(sound[i]) && i + 1 < sound.size() && isLow(sound[i + 1]))
            ++i;
        else if (isHigh(sound[i]) || isLow(sound[i]))
            sound[i] = u'\uFFFD';
    }
    check(platform::FromUtf8(platform::ToUtf8(units)) == sound);
    return 0;
}
