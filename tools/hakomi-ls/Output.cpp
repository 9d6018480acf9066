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

// The length of the text at p that goes out as it is: printable ASCII, and well-formed
// three-byte sequences of blocks without a control or a mark of direction (U+1000-U+1FFF,
// U+3000-U+CFFF, U+E000-U+EFFF, U+FF00-U+FFBF: kana, kanji, full-width and half-width forms).
// Most names are made of nothing else; they need no decoding.
std::size_t Plain(const unsigned char *p, const unsigned char *end)
{
    const unsigned char *q = p;
    while (q < end) {
        const unsigned char c = *q;
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7f || c == '\\')
                break;
            ++q;
        } else if (end - q >= 3 && (q[1] & 0xC0) == 0x80 && (q[2] & 0xC0) == 0x80 &&
                   ((c >= 0xE3 && c <= 0xEC) || c == 0xE1 || c == 0xEE ||
                    (c == 0xEF && q[1] >= 0xBC && q[1] <= 0xBE))) {
            q += 3;
        } else {
            break;
        }
    }
    return std::size_t(q - p);
}

} // namespace

char *EscapeInto(std::string_view s, char *out)
{
    const auto *p = reinterpret_cast<const unsigned char *>(s.data());
    const auto *end = p + s.size();
    while (p < end) {
        const std::size_t plain = Plain(p, end);
        out = std::copy_n(p, plain, out);
        p += plain;
        if (p == end)
            break;
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
