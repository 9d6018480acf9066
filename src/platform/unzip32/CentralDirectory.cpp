#include "CentralDirectory.h"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <new>
#include <unistd.h>

namespace unzip32
{

namespace
{

// Most end records sit in the last few bytes; a first read of one page finds them and,
// for small archives, the whole directory too.
constexpr size_t kFirstTail = 4096;
constexpr size_t kLastTail = kEndSize + kMaxComment;
// Smallest buffer worth allocating; avoids a string of tiny regrowths.
constexpr size_t kMinBuffer = 64 * 1024;

bool FitsIn(uint64_t off, uint64_t n, uint64_t size)
{
    return off <= size && n <= size - off;
}

} // namespace

bool FileSource::ReadAt(unsigned char *dst, size_t n, uint64_t off)
{
    if (!FitsIn(off, n, size_))
        return false;
    while (n > 0) {
        // Linux moves at most about 2 GiB per call.
        const ssize_t got = pread(fd_, dst, std::min<size_t>(n, size_t(1) << 30), off_t(off));
        g_io.reads.fetch_add(1, std::memory_order_relaxed);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false; // error, or the file shrank
        g_io.bytes.fetch_add(uint64_t(got), std::memory_order_relaxed);
        dst += got;
        n -= size_t(got);
        off += uint64_t(got);
    }
    return true;
}

bool MemorySource::ReadAt(unsigned char *dst, size_t n, uint64_t off)
{
    if (!FitsIn(off, n, size_))
        return false;
    if (n > 0)
        std::memcpy(dst, data_ + off, n);
    return true;
}

unsigned char *Buffer::Reserve(size_t n)
{
    if (n <= capacity_)
        return data_.get();
    const size_t cap = std::max(n, kMinBuffer);
    data_.reset(); // the old contents are not needed; free before allocating
    capacity_ = 0;
    data_.reset(new (std::nothrow) unsigned char[cap]);
    if (!data_)
        return nullptr;
    capacity_ = cap;
    return data_.get();
}

unsigned char *Buffer::Assign(const unsigned char *from, size_t n)
{
    std::unique_ptr<unsigned char[]> data(new (std::nothrow) unsigned char[n ? n : 1]);
    if (!data)
        return nullptr;
    if (n > 0)
        std::memcpy(data.get(), from, n);
    data_ = std::move(data);
    capacity_ = n;
    return data_.get();
}

void Buffer::Release()
{
    data_.reset();
    capacity_ = 0;
}

void Buffer::swap(Buffer &other) noexcept
{
    data_.swap(other.data_);
    std::swap(capacity_, other.capacity_);
}

bool HeaderCursor::Next(CentralHeader &header)
{
    const size_t left = size_ - pos_;
    if (left < kCentralHeaderSize)
        return false;
    const unsigned char *p = data_ + pos_;
    if (!HasSignature(p, 1, 2))
        return false;
    const size_t nameSize = Le16(p + 28), extraSize = Le16(p + 30), commentSize = Le16(p + 32);
    const size_t total = kCentralHeaderSize + nameSize + extraSize + commentSize;
    if (total > left)
        return false;
    header.fixed = p;
    header.name = p + kCentralHeaderSize;
    header.nameSize = nameSize;
    header.extra = header.name + nameSize;
    header.extraSize = extraSize;
    pos_ += total;
    return true;
}

// State of one search for the end record.
struct CentralDirectory::Scan {
    ByteSource &src;
    uint64_t fileSize;
    const unsigned char *tail = nullptr; // the last tailSize bytes of the file
    uint64_t tailOffset = 0;
    size_t tailSize = 0;
    // The first directory that does not lie in the tail is read whole without a look at
    // its first header; later candidates get that look first, so that a file full of
    // fake end records costs small reads, not one large read per record.
    bool bigReadDone = false;
    unsigned char scratch[kZip64EndSize];

    bool InTail(uint64_t off, uint64_t n) const
    {
        return off >= tailOffset && FitsIn(off - tailOffset, n, tailSize);
    }
    // n bytes (at most sizeof scratch) at off, from the tail or read; nullptr if unreadable.
    const unsigned char *Peek(uint64_t off, size_t n)
    {
        if (InTail(off, n))
            return tail + (off - tailOffset);
        return src.ReadAt(scratch, n, off) ? scratch : nullptr;
    }
};

bool CentralDirectory::Load(ByteSource &src, Buffer &tailBuffer)
{
    Reset();
    Scan scan{src, src.Size(), nullptr, 0, 0, false, {}};
    if (scan.fileSize < kEndSize)
        return false;
    size_t want = size_t(std::min<uint64_t>(scan.fileSize, kFirstTail));
    uint64_t next = scan.fileSize - kEndSize; // highest position not yet tried
    for (;;) {
        unsigned char *tail = tailBuffer.Reserve(want);
        if (!tail)
            return false;
        scan.tail = tail;
        scan.tailOffset = scan.fileSize - want;
        scan.tailSize = want;
        if (!src.ReadAt(tail, want, scan.tailOffset))
            return false;
        for (uint64_t pos = next + 1; pos-- > scan.tailOffset;) {
            const unsigned char *e = tail + (pos - scan.tailOffset);
            if (e[0] != 'P' || !HasSignature(e, 5, 6))
                continue;
            // A comment running past the end of the file marks a false match.
            if (pos + kEndSize + Le16(e + 20) > scan.fileSize)
                continue;
            if (TryEndRecord(scan, pos))
                return true;
        }
        const size_t most = size_t(std::min<uint64_t>(scan.fileSize, kLastTail));
        if (want >= most)
            return false;
        next = scan.tailOffset - 1;
        want = most;
    }
}

bool CentralDirectory::TryEndRecord(Scan &scan, uint64_t pos)
{
    const unsigned char *e = scan.tail + (pos - scan.tailOffset);
    const uint16_t disk = Le16(e + 4), directoryDisk = Le16(e + 6);
    const uint16_t onDisk = Le16(e + 8), entries = Le16(e + 10);
    const uint32_t size = Le32(e + 12), offset = Le32(e + 16);
    // A disk number other than 0 marks one part of a multi-disk archive; 0xFFFF leaves
    // the number to the ZIP64 record.
    const bool diskInZip64 = disk == 0xFFFF, directoryDiskInZip64 = directoryDisk == 0xFFFF;
    if ((disk != 0 && !diskInZip64) || (directoryDisk != 0 && !directoryDiskInZip64))
        return false;
    const bool saturated = diskInZip64 || directoryDiskInZip64 || onDisk == 0xFFFF ||
                           entries == 0xFFFF || size == 0xFFFFFFFF || offset == 0xFFFFFFFF;
    if (saturated && pos >= kZip64LocatorSize) {
        const uint64_t locatorPos = pos - kZip64LocatorSize;
        const unsigned char *l = scan.Peek(locatorPos, kZip64LocatorSize);
        if (l && HasSignature(l, 6, 7)) {
            const int found =
                TryZip64(scan, locatorPos, Le64(l + 8), diskInZip64, directoryDiskInZip64);
            if (found >= 0)
                return found == 1;
            // No usable ZIP64 record: the 32-bit values may still describe the archive.
        }
    }
    if (disk != 0 || directoryDisk != 0 || onDisk != entries)
        return false;
    return TryDirectory(scan, pos, offset, size, entries);
}

// 1: loaded; 0: multi-disk or no directory there; -1: no consistent ZIP64 record.
// The locator's own disk fields are not consulted, and the record's disk numbers only
// where the end record defers to them: writers fill the rest carelessly, and the record
// is looked for in this file either way.
int CentralDirectory::TryZip64(Scan &scan, uint64_t locatorPos, uint64_t recordPos,
                               bool diskInRecord, bool directoryDiskInRecord)
{
    // The stated place first; with unadjusted prepended data the record sits right
    // before the locator instead.
    const uint64_t places[] = {recordPos,
                               locatorPos - std::min<uint64_t>(locatorPos, kZip64EndSize)};
    for (size_t i = 0; i < 2; ++i) {
        const uint64_t at = places[i];
        if (i == 1 && at == places[0])
            break;
        if (!FitsIn(at, kZip64EndSize, locatorPos))
            continue;
        const unsigned char *r = scan.Peek(at, kZip64EndSize);
        if (!r || !HasSignature(r, 6, 6))
            continue;
        const uint64_t recordSize = Le64(r + 4); // excludes its first 12 bytes
        if (recordSize < kZip64EndSize - 12 || recordSize > locatorPos - at - 12)
            continue;
        const uint32_t disk = Le32(r + 16), directoryDisk = Le32(r + 20);
        const uint64_t onDisk = Le64(r + 24), entries = Le64(r + 32);
        const uint64_t size = Le64(r + 40), offset = Le64(r + 48);
        if ((diskInRecord && disk != 0) || (directoryDiskInRecord && directoryDisk != 0) ||
            onDisk != entries)
            return 0;
        return TryDirectory(scan, at, offset, size, entries) ? 1 : -1;
    }
    return -1;
}

// end: where the directory should end (the ZIP64 record or the end record).
bool CentralDirectory::TryDirectory(Scan &scan, uint64_t end, uint64_t offset, uint64_t size,
                                    uint64_t stated)
{
    if (!FitsIn(offset, size, end))
        return false;
    if (size == 0) {
        if (stated != 0)
            return false;
        loaded_ = true;
        offset_ = end;
        return true;
    }
    const uint64_t gap = end - offset - size;
    if (gap > 0 && Take(scan, offset + gap, size))
        return true;
    return Take(scan, offset, size);
}

bool CentralDirectory::Take(Scan &scan, uint64_t start, uint64_t size)
{
    if (size < kCentralHeaderSize || size > std::numeric_limits<size_t>::max())
        return false;
    const auto wellFormed = [size](const unsigned char *h) {
        return HasSignature(h, 1, 2) &&
               kCentralHeaderSize + Le16(h + 28) + Le16(h + 30) + Le16(h + 32) <= size;
    };
    unsigned char *dst;
    if (scan.InTail(start, size)) {
        const unsigned char *src = scan.tail + (start - scan.tailOffset);
        if (!wellFormed(src) || !(dst = buffer_.Reserve(size_t(size))))
            return false;
        std::memcpy(dst, src, size_t(size));
    } else {
        if (scan.bigReadDone) {
            const unsigned char *h = scan.Peek(start, kCentralHeaderSize);
            if (!h || !wellFormed(h))
                return false;
        }
        scan.bigReadDone = true;
        if (!(dst = buffer_.Reserve(size_t(size))) || !scan.src.ReadAt(dst, size_t(size), start) ||
            !wellFormed(dst))
            return false;
    }
    data_ = dst;
    size_ = size_t(size);
    offset_ = start;
    loaded_ = true;
    return true;
}

void CentralDirectory::Reset()
{
    data_ = nullptr;
    size_ = 0;
    offset_ = 0;
    loaded_ = false;
}

void CentralDirectory::Release()
{
    Reset();
    buffer_.Release();
}

bool CentralDirectory::ShrinkToFit()
{
    if (buffer_.Capacity() == size_)
        return true;
    unsigned char *data = buffer_.Assign(data_, size_);
    if (!data)
        return false;
    data_ = data;
    return true;
}

void CentralDirectory::swap(CentralDirectory &other) noexcept
{
    buffer_.swap(other.buffer_);
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(offset_, other.offset_);
    std::swap(loaded_, other.loaded_);
}

} // namespace unzip32
