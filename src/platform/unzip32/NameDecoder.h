// Turning a stored entry name into the UTF-8 text of the record's name field.
#pragma once

#include <cstddef>
#include <cstdint>

namespace unzip32
{

// Size of EntryInfo's name field, terminator included.
constexpr size_t kNameFieldSize = 513;

// Decodes one entry name into field (kNameFieldSize bytes) and returns its length. The
// text is, in this order of preference:
//  1. the Info-ZIP Unicode Path extra field (0x7075) of extra, when it is version 1,
//     its CRC-32 matches the stored name and its text is non-empty strict UTF-8;
//  2. the stored name, when it is strict UTF-8 (whatever the UTF-8 flag claims);
//  3. the stored name read as code page 932 (Microsoft's table, 0x5C is the backslash),
//     when every byte of it decodes;
//  4. the stored name read as code page 437, the format's default, where every byte is a
//     character.
// A NUL ends the name. The result is always strict UTF-8 followed by a NUL: at most
// kNameFieldSize - 1 bytes, cut before a character that would not fit whole.
size_t DecodeEntryName(const unsigned char *name, size_t nameSize, const unsigned char *extra,
                       size_t extraSize, char *field);

// The third rule on its own: s[0, n) read as code page 932 into field, whole characters
// only, at most kNameFieldSize - 1 bytes and a NUL, bytes that do not decode becoming
// U+FFFD. Returns the length; *clean, when given, tells whether all of s decoded.
size_t DecodeCp932(const unsigned char *s, size_t n, char *field, bool *clean = nullptr);

// The fourth: s[0, n) read as code page 437, in the same form.
size_t DecodeCp437(const unsigned char *s, size_t n, char *field);

// The CRC-32 of the ZIP format (polynomial 0xEDB88320).
uint32_t Crc32(const unsigned char *s, size_t n);

} // namespace unzip32
