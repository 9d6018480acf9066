// Little-endian field access and the record signatures of the ZIP format.
#pragma once

#include <cstdint>
#include <cstring>

namespace unzip32
{

inline uint16_t Le16(const unsigned char *p)
{
    return uint16_t(p[0] | p[1] << 8);
}
inline uint32_t Le32(const unsigned char *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint64_t Le64(const unsigned char *p)
{
    return Le32(p) | uint64_t(Le32(p + 4)) << 32;
}

inline bool HasSignature(const unsigned char *p, unsigned char a, unsigned char b)
{
    return p[0] == 'P' && p[1] == 'K' && p[2] == a && p[3] == b;
}

// Fixed sizes of the records this reader looks at.
constexpr size_t kEndSize = 22;           // end of central directory record
constexpr size_t kZip64LocatorSize = 20;  // ZIP64 end of central directory locator
constexpr size_t kZip64EndSize = 56;      // ZIP64 end record without extensible data
constexpr size_t kCentralHeaderSize = 46; // central file header before its name
constexpr size_t kMaxComment = 0xFFFF;

} // namespace unzip32
