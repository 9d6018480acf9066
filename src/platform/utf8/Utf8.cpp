#include "Utf8.h"

#include <array>

namespace utf8
{

namespace
{

// Strict UTF-8 as a shift automaton: row b holds, for every state, the next state after
// byte b, each 6 bits wide at the offset that is the state's own value. A byte then costs
// a load, a shift and a mask, and no branch. The states: accept, reject, one or two
// continuation bytes to go, and the four leads whose second byte has a narrower range
// (E0: no overlongs, ED: no surrogates, F0: no overlongs, F4: not past U+10FFFF), and F1..F3.
enum : std::uint64_t { kAccept = 0, kReject = 6 };
constexpr std::array<std::uint64_t, 256> MakeDfa()
{
    enum { Accept, Reject, One, Two, AfterE0, AfterED, AfterF0, Three, AfterF4, States };
    std::array<std::uint64_t, 256> table{};
    for (int b = 0; b < 256; ++b) {
        int next[States];
        for (int &n : next)
            n = Reject;
        if (b < 0x80) {
            next[Accept] = Accept;
        } else if (b < 0xC0) {
            next[One] = Accept;
            next[Two] = One;
            next[Three] = Two;
            next[AfterE0] = b >= 0xA0 ? One : Reject;
            next[AfterED] = b < 0xA0 ? One : Reject;
            next[AfterF0] = b >= 0x90 ? Two : Reject;
            next[AfterF4] = b < 0x90 ? Two : Reject;
        } else if (b >= 0xC2 && b <= 0xDF) {
            next[Accept] = One;
        } else if (b >= 0xE0 && b <= 0xEF) {
            next[Accept] = b == 0xE0 ? AfterE0 : b == 0xED ? AfterED : Two;
        } else if (b >= 0xF0 && b <= 0xF4) {
            next[Accept] = b == 0xF0 ? AfterF0 : b == 0xF4 ? AfterF4 : Three;
        }
        std::uint64_t row = 0;
        for (int state = 0; state < States; ++state)
            row |= std::uint64_t(next[state] * 6) << (state * 6);
        table[std::size_t(b)] = row;
    }
    return table;
}
constexpr std::array<std::uint64_t, 256> kDfa = MakeDfa();

} // namespace

bool IsStrict(const unsigned char *s, std::size_t n)
{
    // ASCII and the three-byte characters whose second byte has the full range (most of
    // Japanese) take a predictable branch each; every other character goes through the
    // automaton, whose steps depend on each other and so cost a load's latency per byte.
    for (std::size_t i = 0; i < n;) {
        const unsigned char c = s[i];
        if (c < 0x80) {
            // Folder parts of a name are often plain ASCII.
            i += Span<Stops{.high = true}>(s + i, n - i);
            continue;
        }
        if (((c >= 0xE1 && c <= 0xEC) || c >= 0xEE) && c <= 0xEF && n - i >= 3 &&
            (s[i + 1] & 0xC0) == 0x80 && (s[i + 2] & 0xC0) == 0x80) {
            i += 3;
            continue;
        }
        std::uint64_t state = kAccept;
        do
            state = kDfa[s[i++]] >> state & 63;
        while (i < n && state != kAccept && state != kReject);
        if (state != kAccept)
            return false;
    }
    return true;
}

char32_t DecodeSlow(const unsigned char *s, std::size_t n, std::size_t &i)
{
    constexpr char32_t kReplacement = 0xFFFD;
    const unsigned char b0 = s[i++];
    if (b0 < 0x80)
        return b0;
    std::size_t need;
    unsigned char lo = 0x80, hi = 0xBF;
    char32_t c;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
        c = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        c = b0 & 0x0F;
        if (b0 == 0xE0)
            lo = 0xA0;
        else if (b0 == 0xED)
            hi = 0x9F; // no encoded surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        c = b0 & 0x07;
        if (b0 == 0xF0)
            lo = 0x90;
        else if (b0 == 0xF4)
            hi = 0x8F; // nothing above U+10FFFF
    } else {
        return kReplacement;
    }
    for (std::size_t k = 0; k < need; ++k) {
        if (i >= n || s[i] < lo || s[i] > hi)
            return kReplacement;
        c = c << 6 | (s[i++] & 0x3F);
        lo = 0x80;
        hi = 0xBF;
    }
    return c;
}

} // namespace utf8
