// Any stored name and extra field decode to strict UTF-8 of at most 512 bytes followed by
// a NUL. Input: one control byte, then the name and the extra field, split by the control
// byte; with its high bit set, the extra bytes become the text of a Unicode Path field
// whose CRC matches the name, which random bytes would almost never reach. The code page
// 932 and 437 decoders must also give what ICU's converters give for the whole name.
#include <cstring>
#include <string>
#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unicode/ustring.h>
#include <vector>

#include "IcuCp932.h"
#include "NameDecoder.h"
#include "Utf8.h"

namespace
{

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
        std::vector<unsigned char> field = {0x75,
                                            0x70,
                                            uint8_t((text + 5) & 0xFF),
                                            uint8_t((text + 5) >> 8),
                                            1,
                                            uint8_t(crc),
                                            uint8_t(crc >> 8),
                                            uint8_t(crc >> 16),
                                            uint8_t(crc >> 24)};
        field.insert(field.end(), extra.begin(), extra.begin() + long(text));
        extra.swap(field);
    }
    char out[unzip32::kNameFieldSize + 1];
    out[unzip32::kNameFieldSize] = 0x55; // must survive: one byte past the field
    const size_t n = unzip32::DecodeEntryName(name, nameSize, extra.data(), extra.size(), out);
    if (n >= unzip32::kNameFieldSize || out[n] != '\0' || std::strlen(out) != n ||
        out[unzip32::kNameFieldSize] != 0x55 ||
        !utf8::IsStrict(reinterpret_cast<const unsigned char *>(out), n))
        __builtin_trap();
    bool clean;
    const size_t m = unzip32::DecodeCp932(name, nameSize, out, &clean);
    const std::string cp932 = std::string(out, m);
    if (cp932 != IcuCp932(reinterpret_cast<const char *>(name), nameSize))
        __builtin_trap();
    // Not cut (a further character would have fitted): clean means no U+FFFD at all.
    if (m + 3 <= unzip32::kNameFieldSize - 1 &&
        clean != (cp932.find("\xEF\xBF\xBD") == std::string::npos))
        __builtin_trap();
    const size_t k = unzip32::DecodeCp437(name, nameSize, out);
    if (std::string(out, k) != IcuCp437(reinterpret_cast<const char *>(name), nameSize))
        __builtin_trap();
    return 0;
}
