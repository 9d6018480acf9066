// Entry selection for UnZipFindFirst.
#pragma once

#include <string_view>

namespace unzip32
{

// True when pattern matches the whole of name: "*" stands for any run of characters,
// "/" included, "?" for exactly one character (one UTF-8 sequence), every other byte for
// itself, case and width as they are. "*" and "*.*" select every name, the latter also
// names without a dot.
bool MatchWildcard(std::string_view pattern, std::string_view name);

} // namespace unzip32
