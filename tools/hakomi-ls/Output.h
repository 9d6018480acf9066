// Buffered, escaped output of node texts: one node is always one line.
#pragma once

#include <cstdint>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

namespace lister
{

class Output
{
public:
    explicit Output(std::FILE *f) : file_(f), buffer_(new char[kCapacity]) {}
    ~Output() { Flush(); }
    Output(const Output &) = delete;
    Output &operator=(const Output &) = delete;

    void Raw(std::string_view s)
    {
        if (s.size() > kCapacity - used_) {
            Flush();
            if (s.size() > kCapacity) {
                write(s.data(), s.size());
                return;
            }
        }
        std::memcpy(buffer_.get() + used_, s.data(), s.size());
        used_ += s.size();
    }

    // A backslash is written "\\", characters below U+0020 and U+007F as "\xHH".
    void Escaped(std::string_view s)
    {
        // Escaping at most quadruples a text; texts that could outgrow the buffer go in pieces.
        while (s.size() > kCapacity / 8) {
            Escaped(s.substr(0, kCapacity / 8));
            s.remove_prefix(kCapacity / 8);
        }
        if (4 * s.size() + 8 > kCapacity - used_)
            Flush();
        char *out = buffer_.get() + used_;
        if (!NeedsEscape(s)) {
            std::memcpy(out, s.data(), s.size());
            out += s.size();
        } else {
            for (const char c : s)
                out = EscapeByte(static_cast<unsigned char>(c), out);
        }
        used_ = std::size_t(out - buffer_.get());
    }

    bool Flush()
    {
        write(buffer_.get(), used_);
        used_ = 0;
        if (std::fflush(file_) != 0)
            ok_ = false;
        return ok_;
    }

private:
    static constexpr std::size_t kCapacity = 1 << 20;
    std::FILE *file_;
    std::unique_ptr<char[]> buffer_;
    std::size_t used_ = 0;
    bool ok_ = true;

    // Names seldom need escaping: eight bytes are checked at once, the last eight overlapping.
    static bool NeedsEscape(std::string_view s)
    {
        const char *p = s.data();
        const std::size_t n = s.size();
        if (n < 8) {
            for (std::size_t i = 0; i < n; ++i) {
                const unsigned char c = static_cast<unsigned char>(p[i]);
                if (c < 0x20 || c == 0x7f || c == '\\')
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
                const __m128i low =
                    _mm_andnot_si128(_mm_cmpeq_epi8(_mm_max_epu8(v, space), v), _mm_set1_epi8(-1));
                return _mm_movemask_epi8(
                           _mm_or_si128(low, _mm_or_si128(_mm_cmpeq_epi8(v, del),
                                                          _mm_cmpeq_epi8(v, backslash)))) != 0;
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

    // Whether any of the eight bytes is below 0x20, 0x7F or a backslash. A borrow can only mark
    // bytes above one that really matches, so a false answer is exact.
    static bool NeedsEscape(std::uint64_t w)
    {
        constexpr std::uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
        const std::uint64_t below20 = (w - ones * 0x20) & ~w;
        const std::uint64_t x7f = w ^ (ones * 0x7f), x5c = w ^ (ones * 0x5c);
        const std::uint64_t is7f = (x7f - ones) & ~x7f, is5c = (x5c - ones) & ~x5c;
        return ((below20 | is7f | is5c) & highs) != 0;
    }

    static char *EscapeByte(unsigned char c, char *out)
    {
        static constexpr char kHex[] = "0123456789abcdef";
        if (c >= 0x20 && c != 0x7f && c != '\\') {
            *out++ = char(c);
        } else if (c == '\\') {
            *out++ = '\\';
            *out++ = '\\';
        } else {
            *out++ = '\\';
            *out++ = 'x';
            *out++ = kHex[c >> 4];
            *out++ = kHex[c & 15];
        }
        return out;
    }

    void write(const char *data, std::size_t size)
    {
        if (size && std::fwrite(data, 1, size, file_) != size)
            ok_ = false;
    }
};

} // namespace lister
