// UTF-8: strict checking, decoding with U+FFFD for what is ill-formed, encoding, and a scan
// that passes over uninteresting bytes many at a time. Entry names, the search's text
// conversions and the lister's escaping all read bytes through here.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace utf8
{

// UTF-8 without overlong forms, surrogates or code points past U+10FFFF.
bool IsStrict(const unsigned char *s, std::size_t n);

// The code point at s[i], with i moved past it. An ill-formed sequence yields U+FFFD and is
// taken up to, not including, the first byte that breaks it.
char32_t DecodeSlow(const unsigned char *s, std::size_t n, std::size_t &i);
inline char32_t Decode(const unsigned char *s, std::size_t n, std::size_t &i)
{
    // Well-formed two- and three-byte sequences are most of the text that is not ASCII.
    const unsigned char b0 = s[i];
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    if (b0 >= 0xC2 && b0 <= 0xDF && i + 1 < n && (s[i + 1] & 0xC0) == 0x80) {
        i += 2;
        return char32_t(b0 & 0x1F) << 6 | (s[i - 1] & 0x3F);
    }
    if (b0 >= 0xE1 && b0 <= 0xEF && b0 != 0xED && i + 2 < n && (s[i + 1] & 0xC0) == 0x80 &&
        (s[i + 2] & 0xC0) == 0x80) {
        i += 3;
        return char32_t(b0 & 0x0F) << 12 | char32_t(s[i - 2] & 0x3F) << 6 | (s[i - 1] & 0x3F);
    }
    return DecodeSlow(s, n, i);
}

inline std::size_t EncodedLength(char32_t c)
{
    return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
}

// Writes c (a code point, not a surrogate) and returns the end of what was written.
inline char *Encode(char32_t c, char *out)
{
    if (c < 0x80) {
        *out++ = char(c);
    } else if (c < 0x800) {
        *out++ = char(0xC0 | c >> 6);
        *out++ = char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *out++ = char(0xE0 | c >> 12);
        *out++ = char(0x80 | (c >> 6 & 0x3F));
        *out++ = char(0x80 | (c & 0x3F));
    } else {
        *out++ = char(0xF0 | c >> 18);
        *out++ = char(0x80 | (c >> 12 & 0x3F));
        *out++ = char(0x80 | (c >> 6 & 0x3F));
        *out++ = char(0x80 | (c & 0x3F));
    }
    return out;
}

// The bytes a Span stops at: every byte below `below`, with `high` every byte of 0x80 or
// more, and the bytes `equal1` and `equal2` (below 0x80; -1 for none).
struct Stops {
    unsigned char below = 0;
    bool high = false;
    int equal1 = -1;
    int equal2 = -1;

    constexpr bool Stop(unsigned char b) const
    {
        return b < below || (high && b >= 0x80) || b == equal1 || b == equal2;
    }
};

// The length of the longest prefix of s[0, n) without a stop byte. Most texts have no stop
// byte at all, so blocks of 16 or 8 bytes are checked at once, the last block overlapping.
template <Stops S> std::size_t Span(const unsigned char *s, std::size_t n)
{
    static_assert(S.below <= 0x80 && S.equal1 < 0x80 && S.equal2 < 0x80);
#if defined(__SSE2__)
    if (n >= 16) {
        const auto stops = [](const unsigned char *p) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
            __m128i hit = _mm_setzero_si128();
            if constexpr (S.below > 0) // v < below exactly where max(v, below) != v
                hit = _mm_andnot_si128(
                    _mm_cmpeq_epi8(_mm_max_epu8(v, _mm_set1_epi8(char(S.below))), v),
                    _mm_set1_epi8(-1));
            if constexpr (S.high)
                hit = _mm_or_si128(hit, v);
            if constexpr (S.equal1 >= 0)
                hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, _mm_set1_epi8(char(S.equal1))));
            if constexpr (S.equal2 >= 0)
                hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, _mm_set1_epi8(char(S.equal2))));
            return unsigned(_mm_movemask_epi8(hit));
        };
        for (std::size_t i = 0; i + 16 < n; i += 16)
            if (const unsigned m = stops(s + i))
                return i + std::size_t(std::countr_zero(m));
        // The bytes the last block shares with the one before have no stops.
        const unsigned m = stops(s + n - 16);
        return m ? n - 16 + std::size_t(std::countr_zero(m)) : n;
    }
#endif
    if (n >= 8) {
        // A byte's flag is exact up to the first stop: a borrow only marks bytes above it.
        const auto stops = [](const unsigned char *p) {
            constexpr std::uint64_t ones = 0x0101010101010101ull, highs = ones * 0x80;
            std::uint64_t w, hit = 0;
            std::memcpy(&w, p, 8);
            if constexpr (S.below > 0)
                hit |= (w - ones * S.below) & ~w;
            if constexpr (S.high)
                hit |= w;
            if constexpr (S.equal1 >= 0) {
                const std::uint64_t x = w ^ ones * std::uint64_t(S.equal1);
                hit |= (x - ones) & ~x;
            }
            if constexpr (S.equal2 >= 0) {
                const std::uint64_t x = w ^ ones * std::uint64_t(S.equal2);
                hit |= (x - ones) & ~x;
            }
            return hit & highs;
        };
        static_assert(std::endian::native == std::endian::little);
        for (std::size_t i = 0; i + 8 < n; i += 8)
            if (const std::uint64_t m = stops(s + i))
                return i + std::size_t(std::countr_zero(m)) / 8;
        const std::uint64_t m = stops(s + n - 8);
        return m ? n - 8 + std::size_t(std::countr_zero(m)) / 8 : n;
    }
    for (std::size_t i = 0; i < n; ++i)
        if (S.Stop(s[i]))
            return i;
    return n;
}

} // namespace utf8
