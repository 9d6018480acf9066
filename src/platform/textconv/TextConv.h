// Locale text conversions under the Japanese locale, for the search.
// Every conversion works code point by code point from tables built once, on first use, from
// ICU: the "Fullwidth-Halfwidth" transform for narrowing and full lower-casing under "ja" for
// lower-casing. Working per code point means that if a string contains another (as whole code
// points), their conversions do too, so an exact match is never lost to folding.
// The one place where ICU's whole-string lower-casing differs is the final sigma: U+03A3 is
// always σ here, never ς.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace platform
{

enum class Conversion : std::uint8_t {
    None,
    Narrow,      // full-width forms to their half-width forms
    LowerCase,   // upper-case letters to lower case
    LowerNarrow, // lower-case, then narrow
};

// Full-width forms that have a half-width form in the locale become that form: full-width
// ASCII U+FF01-FF5E, the ideographic space, full-width katakana (voiced and semi-voiced
// marks split off) and the signs with half-width forms. Everything else stays.
std::u16string Narrow(std::u16string_view s);
// Upper-case letters become lower case (ICU, "ja"); U+0130 becomes "i" U+0307.
std::u16string LowerCase(std::u16string_view s);
// Both in one pass.
std::u16string LowerNarrow(std::u16string_view s);
// One of the above, or a copy for Conversion::None. Unpaired surrogates are kept as they are.
std::u16string Convert(std::u16string_view s, Conversion c);

// Decodes UTF-8 and converts in one pass into scratch, which only grows, so that a caller
// folding millions of texts allocates once. The result views scratch and lasts until the next
// call with it. Equal to Convert(FromUtf8(s), c).
std::u16string_view ConvertUtf8(std::string_view s, Conversion c, std::u16string &scratch);

// UTF-8 in, UTF-16 out; each maximal ill-formed subsequence becomes one U+FFFD.
std::u16string FromUtf8(std::string_view s);
// Unpaired surrogates become U+FFFD.
std::string ToUtf8(std::u16string_view s);

} // namespace platform
