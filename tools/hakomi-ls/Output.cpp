#include "Output.h"

#include <cstdint>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// The length of the well-formed UTF-8 sequence at p (two to four bytes), or 0.
std::size_t SequenceLength(const unsigned char *p, const unsigned char *end)
{
    const unsigned char c = p[0];
    std::size_t n;
    unsigned char low = 0x80, high = 0xbf; // the second byte's range
    if (c >= 0xc2 && c <= 0xdf) {
        n = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
        n = 3;
        if (c == 0xe0)
            low = 0xa0; // overlong
        else if (c == 0xed)
            high = 0x9f; // surrogates
    } else if (c >= 0xf0 && c <= 0xf4) {
        n = 4;
        if (c == 0xf0)
            low = 0x90; // overlong
        else if (c == 0xf4)
            high = 0x8f; // above U+10FFFF
    } else {
        return 0;
    }
    if (std::size_t(end - p) < n || p[1] < low || p[1] > high)
        return 0;
    for (std::size_t i = 2; i < n; ++i)
        if ((p[i] & 0xc0) != 0x80)
            return 0;
    return n;
}

// C1 controls, U+200E-200F, U+2028-202E, U+2066-2069 and U+FEFF, from their UTF-8 bytes.
bool Disguises(const unsigned char *p, std::size_t n)
{
    if (n == 2)
        return p[0] == 0xc2 && p[1] <= 0x9f;
    if (n != 3)
        return false;
    if (p[0] == 0xe2 && p[1] == 0x80)
        return p[2] == 0x8e || p[2] == 0x8f || (p[2] >= 0xa8 && p[2] <= 0xae);
    if (p[0] == 0xe2 && p[1] == 0x81)
        return p[2] >= 0xa6 && p[2] <= 0xa9;
    return p[0] == 0xef && p[1] == 0xbb && p[2] == 0xbf;
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
        const std::size_t n = SequenceLength(p, end);
        if (n == 0) {
            // Byte by byte, so that the bytes after a broken sequence are read afresh.
            out = HexByte(c, out);
            ++p;
        } else if (Disguises(p, n)) {
            const unsigned code = n == 2
                                      ? (p[0] & 0x1fu) << 6 | (p[1] & 0x3fu)
                                      : (p[0] & 0x0fu) << 12 | (p[1] & 0x3fu) << 6 | (p[2] & 0x3fu);
            *out++ = '\\';
            *out++ = 'u';
            *out++ = '{';
            for (int shift = 12; shift >= 0; shift -= 4)
                *out++ = kHex[(code >> shift) & 15];
            *out++ = '}';
            p += n;
        } else {
            for (std::size_t i = 0; i < n; ++i)
                *out++ = char(p[i]);
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

namespace
{

// Whether any of the eight bytes is below 0x20, 0x7F, a backslash or from 0x80 up. A borrow can
// only mark bytes above one that really matches, so a false answer is exact.
bool NeedsEscape(std::uint64_t w)
{
    constexpr std::uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    const std::uint64_t below20 = (w - ones * 0x20) & ~w;
    const std::uint64_t x7f = w ^ (ones * 0x7f), x5c = w ^ (ones * 0x5c);
    const std::uint64_t is7f = (x7f - ones) & ~x7f, is5c = (x5c - ones) & ~x5c;
    return ((below20 | is7f | is5c | w) & highs) != 0;
}

} // namespace

bool NeedsEscape(std::string_view s)
{
    const char *p = s.data();
    const std::size_t n = s.size();
    if (n < 8) {
        for (std::size_t i = 0; i < n; ++i) {
            const unsigned char c = static_cast<unsigned char>(p[i]);
            if (c < 0x20 || c >= 0x7f || c == '\\')
                return true;
        }
        return false;
    }
#if defined(__SSE2__)
    if (n >= 16) {
        const __m128i space = _mm_set1_epi8(0x20), del = _mm_set1_epi8(0x7f),
                      backslash = _mm_set1_epi8('\\');
        auto special = [&](std::size_t at) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + at));
            // Unsigned v < 0x20; bytes from 0x80 up are caught by their top bit.
            const __m128i low =
                _mm_andnot_si128(_mm_cmpeq_epi8(_mm_max_epu8(v, space), v), _mm_set1_epi8(-1));
            const __m128i hit =
                _mm_or_si128(_mm_or_si128(low, v),
                             _mm_or_si128(_mm_cmpeq_epi8(v, del), _mm_cmpeq_epi8(v, backslash)));
            return _mm_movemask_epi8(hit) != 0;
        };
        for (std::size_t i = 0; i + 16 < n; i += 16)
            if (special(i))
                return true;
        return special(n - 16);
    }
#endif
    std::uint64_t w;
    for (std::size_t i = 0; i + 8 < n; i += 8) {
        std::memcpy(&w, p + i, 8);
        if (NeedsEscape(w))
            return true;
    }
    std::memcpy(&w, p + n - 8, 8);
    return NeedsEscape(w);
}

} // namespace lister
