// Buffered, escaped output of node texts: one node is always one line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

namespace lister {

class Output {
public:
    explicit Output(std::FILE *f) : file_(f), buffer_(new char[Capacity]) {}
    ~Output() { Flush(); }
    Output(const Output &) = delete;
    Output &operator=(const Output &) = delete;

    void Raw(std::string_view s)
    {
        if (s.size() > Capacity - used_) {
            Flush();
            if (s.size() > Capacity) {
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
        while (s.size() > Capacity / 8) {
            Escaped(s.substr(0, Capacity / 8));
            s.remove_prefix(Capacity / 8);
        }
        if (4 * s.size() + 8 > Capacity - used_)
            Flush();
        char *out = buffer_.get() + used_;
        const char *p = s.data();
        const char *const end = p + s.size();
        // Names seldom need escaping: eight bytes are checked and copied at once.
        while (end - p >= 8) {
            std::uint64_t w;
            std::memcpy(&w, p, 8);
            if (NeedsEscape(w))
                break;
            std::memcpy(out, &w, 8);
            out += 8;
            p += 8;
        }
        for (; p < end; ++p)
            out = EscapeByte(static_cast<unsigned char>(*p), out);
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
    static constexpr std::size_t Capacity = 1 << 20;
    std::FILE *file_;
    std::unique_ptr<char[]> buffer_;
    std::size_t used_ = 0;
    bool ok_ = true;

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
        static constexpr char Hex[] = "0123456789abcdef";
        if (c >= 0x20 && c != 0x7f && c != '\\') {
            *out++ = char(c);
        } else if (c == '\\') {
            *out++ = '\\';
            *out++ = '\\';
        } else {
            *out++ = '\\';
            *out++ = 'x';
            *out++ = Hex[c >> 4];
            *out++ = Hex[c & 15];
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
