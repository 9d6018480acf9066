// Locale text conversions under the Japanese locale, for the search.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// Full-width forms that have a half-width form in the locale become that form: full-width
// ASCII U+FF01-FF5E, the ideographic space, full-width katakana (voiced and semi-voiced
// marks split off) and the signs with half-width forms. Everything else stays.
std::u16string Narrow(std::u16string_view s);
// Upper-case letters become lower case (ICU, "ja").
std::u16string LowerCase(std::u16string_view s);
// Both in one pass.
std::u16string LowerNarrow(std::u16string_view s);

// UTF-8 in, UTF-16 out; invalid bytes become U+FFFD.
std::u16string FromUtf8(std::string_view s);
std::string ToUtf8(std::u16string_view s);

} // namespace platform
