#include "Wildcard.h"

namespace unzip32
{

namespace
{

size_t NextCharacter(std::string_view s, size_t i)
{
    ++i;
    while (i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80)
        ++i;
    return i;
}

} // namespace

bool MatchWildcard(std::string_view pattern, std::string_view name)
{
    if (pattern == "*.*")
        return true;
    // Greedy match that backtracks only to the last "*": linear in practice and never
    // exponential, whatever the pattern.
    size_t p = 0, i = 0;
    size_t starP = std::string_view::npos, starI = 0;
    while (i < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = ++p;
            starI = i;
        } else if (p < pattern.size() && pattern[p] == '?') {
            ++p;
            i = NextCharacter(name, i);
        } else if (p < pattern.size() && pattern[p] == name[i]) {
            ++p;
            ++i;
        } else if (starP != std::string_view::npos) {
            p = starP;
            starI = NextCharacter(name, starI);
            i = starI;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

} // namespace unzip32
