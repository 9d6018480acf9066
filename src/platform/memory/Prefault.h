// Asking for fresh pages ahead of writing them. On a virtual machine a first touch costs a
// fault of several microseconds per page; one request for a whole range makes the same pages
// present for about half as much, before the writes that would have faulted one by one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/mman.h>

namespace platform
{

// Makes the whole pages inside [p, p + n) present and writable, where the system can; the
// pages at either end that the range only partly covers are left as they are, so that nothing
// outside it is touched. The contents do not change. A hint only: errors are ignored.
inline void PrefaultWritable(void *p, std::size_t n)
{
#ifdef MADV_POPULATE_WRITE
    constexpr std::uintptr_t kPage = 4096;
    const std::uintptr_t begin = (std::uintptr_t(p) + kPage - 1) & ~(kPage - 1);
    const std::uintptr_t end = (std::uintptr_t(p) + n) & ~(kPage - 1);
    if (end > begin)
        ::madvise(reinterpret_cast<void *>(begin), end - begin, MADV_POPULATE_WRITE);
#else
    (void)p;
    (void)n;
#endif
}

} // namespace platform
