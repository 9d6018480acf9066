// Buffered output of node texts: escaped, so that one node is always one line; or, for scripts,
// as they are and NUL-terminated.
#pragma once

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace lister
{

// Escapes a text so that it shows as itself and nothing else on one line of a terminal, and
// can be turned back into its bytes: a backslash is written "\\\\", characters below U+0020,
// U+007F and bytes that are not UTF-8 as "\\xHH", and the characters that can move or hide
// text (C1 controls, line and paragraph separators, U+FEFF, the bidirectional controls) as
// "\\u{XXXX}". Writes at most four bytes per byte of s at out and returns the new end.
char *EscapeInto(std::string_view s, char *out);
// The same into a fresh string, for messages.
std::string Escape(std::string_view s);

// Whether s has a byte that EscapeInto may change: eight or sixteen bytes are checked at once,
// the last ones overlapping. Every byte from 0x80 up counts, so that ASCII needs no decoding.
bool NeedsEscape(std::string_view s);

class Output
{
public:
    // null: each node ends with NUL and is written as it is; otherwise with a line feed, escaped.
    explicit Output(std::FILE *f, bool null = false)
        : file_(f), buffer_(new char[kCapacity]), null_(null)
    {
    }
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

    // A node's text, and the end of the node.
    void Text(std::string_view s) { null_ ? Raw(s) : Escaped(s); }
    void EndNode() { Raw(null_ ? std::string_view("\0", 1) : std::string_view("\n")); }

    // As EscapeInto says.
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
            out = EscapeInto(s, out);
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
    bool null_;
    bool ok_ = true;

    void write(const char *data, std::size_t size)
    {
        if (size && std::fwrite(data, 1, size, file_) != size)
            ok_ = false;
    }
};

} // namespace lister
