// Any stored name and extra field decode to strict UTF-8 of at most 512 bytes followed by
// a NUL. Input: one control byte, then the name and the extra field, split by the control
// byte; with its high bit set, the extra bytes become the text of a Unicode Path field
// whose CRC matches the name, which random bytes would almost never reach. The code page
// 932 decoder must also give what ICU's converter gives for the whole name.
#include <cstring>
#include <string>
#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unicode/ustring.h>
#include <vector>

#include "NameDecoder.h"

namespace {

// ICU's reading of s, bad bytes as U+FFFD, cut to whole characters within 512 bytes.
std::string IcuCp932(const uint8_t *s, size_t n)
{
    static UConverter *converter = [] {
        UErrorCode err = U_ZERO_ERROR;
        UConverter *c = ucnv_open("windows-31j", &err);
        ucnv_setToUCallBack(
            c,
            [](const void *, UConverterToUnicodeArgs *args, const char *, int32_t,
               UConverterCallbackReason reason, UErrorCode *e) {
                static const UChar replacement = 0xFFFD;
                if (reason <= UCNV_IRREGULAR) {
                    *e = U_ZERO_ERROR;
                    ucnv_cbToUWriteUChars(args, &replacement, 1, 0, e);
                }
            },
            nullptr, nullptr, nullptr, &err);
        return c;
    }();
    std::vector<UChar> units(n + 1);
    UErrorCode err = U_ZERO_ERROR;
    const int32_t count = ucnv_toUChars(converter, units.data(), int32_t(units.size()),
                                        reinterpret_cast<const char *>(s), int32_t(n), &err);
    std::string text(size_t(count) * 3 + 1, '\0');
    int32_t length = 0;
    err = U_ZERO_ERROR;
    u_strToUTF8(text.data(), int32_t(text.size()), &length, units.data(), count, &err);
    text.resize(size_t(length));
    if (text.size() > 512) {
        size_t cut = 512;
        while ((static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
            --cut;
        text.resize(cut);
    }
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const uint8_t control = data[0];
    ++data;
    --size;
    const size_t nameSize = size * (control & 0x7F) / 127;
    const uint8_t *name = data;
    std::vector<unsigned char> extra(data + nameSize, data + size);
    if (control & 0x80) {
        const size_t text = std::min<size_t>(extra.size(), 0xFFFF - 5);
        const uint32_t crc = unzip32::Crc32(name, nameSize);
        std::vector<unsigned char> field = {0x75, 0x70, uint8_t((text + 5) & 0xFF), uint8_t((text + 5) >> 8), 1,
                                            uint8_t(crc), uint8_t(crc >> 8), uint8_t(crc >> 16), uint8_t(crc >> 24)};
        field.insert(field.end(), extra.begin(), extra.begin() + long(text));
        extra.swap(field);
    }
    char out[unzip32::kNameFieldSize + 1];
    out[unzip32::kNameFieldSize] = 0x55; // must survive: one byte past the field
    const size_t n = unzip32::DecodeEntryName(name, nameSize, extra.data(), extra.size(), out);
    if (n >= unzip32::kNameFieldSize || out[n] != '\0' || std::strlen(out) != n ||
        out[unzip32::kNameFieldSize] != 0x55 ||
        !unzip32::IsStrictUtf8(reinterpret_cast<const unsigned char *>(out), n))
        __builtin_trap();
    const size_t m = unzip32::DecodeCp932(name, nameSize, out);
    if (std::string(out, m) != IcuCp932(name, nameSize))
        __builtin_trap();
    return 0;
}
