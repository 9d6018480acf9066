#include "Output.h"

#include <algorithm>

#include "Utf8.h"

namespace lister
{

namespace
{

constexpr char kHex[] = "0123456789abcdef";

char *HexByte(unsigned char c, char *out)
{
    *out++ = '\\';
    *out++ = 'x';
    *out++ = kHex[c >> 4];
    *out++ = kHex[c & 15];
    return out;
}

// C1 controls and the marks that change the direction or the look of the text around them.
bool Disguises(char32_t c)
{
    return (c >= 0x80 && c <= 0x9f) || c == 0x200e || c == 0x200f || (c >= 0x2028 && c <= 0x202e) ||
           (c >= 0x2066 && c <= 0x2069) || c == 0xfeff;
}

} // namespace

char *EscapeInto(std::string_view s, char *out)
{
    const auto *p = reinterpret_cast<const unsigned char *>(s.data());
    const auto *end = p + s.size();
    while (p < end) {
        const unsigned char c = *p;
        if (c < 0x80) {
            if (c == '\\') {
                *out++ = '\\';
                *out++ = '\\';
            } else if (c < 0x20 || c == 0x7f) {
                out = HexByte(c, out);
            } else {
                *out++ = char(c);
            }
            ++p;
            continue;
        }
        std::size_t n = 0;
        const char32_t code = utf8::Decode(p, std::size_t(end - p), n);
        // A broken sequence decodes to U+FFFD too, but never takes three bytes from 0xEF.
        if (code == 0xfffd && !(n == 3 && c == 0xef)) {
            // Byte by byte, so that the bytes after a broken sequence are read afresh.
            out = HexByte(c, out);
            ++p;
        } else if (Disguises(code)) {
            *out++ = '\\';
            *out++ = 'u';
            *out++ = '{';
            for (int shift = 12; shift >= 0; shift -= 4)
                *out++ = kHex[(code >> shift) & 15];
            *out++ = '}';
            p += n;
        } else {
            out = std::copy_n(p, n, out);
            p += n;
        }
    }
    return out;
}

std::string Escape(std::string_view s)
{
    if (!NeedsEscape(s))
        return std::string(s);
    std::string escaped(4 * s.size(), '\0');
    escaped.resize(std::size_t(EscapeInto(s, escaped.data()) - escaped.data()));
    return escaped;
}

bool NeedsEscape(std::string_view s)
{
    constexpr utf8::Stops kSpecial{.below = 0x20, .high = true, .equal1 = 0x7f, .equal2 = '\\'};
    return utf8::Span<kSpecial>(reinterpret_cast<const unsigned char *>(s.data()), s.size()) !=
           s.size();
}

} // namespace lister
