// Buffered, escaped output of node texts: one node is always one line.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace lister {

class Output {
public:
    explicit Output(std::FILE *f) : file_(f) { buffer_.reserve(Capacity); }
    ~Output() { Flush(); }

    void Raw(std::string_view s)
    {
        if (buffer_.size() + s.size() > Capacity)
            Flush();
        buffer_.append(s);
    }

    // A backslash is written "\\", characters below U+0020 and U+007F as "\xHH".
    void Escaped(std::string_view s)
    {
        static constexpr char Hex[] = "0123456789abcdef";
        std::size_t plain = 0;
        for (std::size_t i = 0; i < s.size(); ++i) {
            const unsigned char c = static_cast<unsigned char>(s[i]);
            if (c >= 0x20 && c != 0x7f && c != '\\')
                continue;
            Raw(s.substr(plain, i - plain));
            if (c == '\\') {
                Raw("\\\\");
            } else {
                const char esc[4] = {'\\', 'x', Hex[c >> 4], Hex[c & 15]};
                Raw(std::string_view(esc, 4));
            }
            plain = i + 1;
        }
        Raw(s.substr(plain));
    }

    bool Flush()
    {
        if (!buffer_.empty()) {
            if (std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size())
                ok_ = false;
            buffer_.clear();
        }
        if (std::fflush(file_) != 0)
            ok_ = false;
        return ok_;
    }

private:
    static constexpr std::size_t Capacity = 1 << 20;
    std::FILE *file_;
    std::string buffer_;
    bool ok_ = true;
};

} // namespace lister
