#include "CentralDirectory.h"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <new>
#include <unistd.h>

#include "Prefault.h"

namespace unzip32
{

namespace
{

// Most end records sit in the last few bytes; a first read of one page finds them and,
// for small archives, the whole directory too. Then the end record is looked for as far
// back as a comment can reach, and last behind up to 1 MiB of bytes appended to the
// archive; each step reads only what the one before did not.
constexpr size_t kTails[] = {4096, kEndSize + kMaxComment, size_t(1) << 20};
// Scratch for the tail beyond this is freed after each archive.
constexpr size_t kKeepTail = size_t(128) << 10;
// Smallest buffer worth allocating; avoids a string of tiny regrowths.
constexpr size_t kMinBuffer = 64 * 1024;
// The most one central header can take.
constexpr uint64_t kMaxHeader = kCentralHeaderSize + 3 * uint64_t(0xFFFF);
// The first read of a directory takes at most this much; beyond it the directory grows
// only as its headers prove well formed.
constexpr size_t kFirstChunk = size_t(4) << 20;
// Small reads to look at candidates outside the tail, per archive: a file full of fake end
// records costs at most this many.
constexpr int kMaxPeeks = 4096;
// End records whose comment runs past the end of the file, tried after the others of the
// same stretch of the tail.
constexpr int kMaxLenient = 16;

// Storage of n bytes (at least one), or none when memory runs out. It is filled whole right
// away: where it is large enough to be fresh pages, they are asked for at once.
std::unique_ptr<unsigned char[]> NewStorage(size_t n)
{
    std::unique_ptr<unsigned char[]> data(new (std::nothrow) unsigned char[n ? n : 1]);
    if (data && n >= kMinBuffer)
        platform::PrefaultWritable(data.get(), n);
    return data;
}

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

unsigned char *Buffer::Reserve(size_t n, bool exact)
{
    if (n <= capacity_)
        return data_.get();
    const size_t cap = exact ? n : std::max(n, kMinBuffer);
    data_.reset(); // the old contents are not needed; free before allocating
    capacity_ = 0;
    data_ = NewStorage(cap);
    if (!data_)
        return nullptr;
    capacity_ = cap;
    return data_.get();
}

unsigned char *Buffer::Grow(size_t n, bool exact)
{
    if (n <= capacity_)
        return data_.get();
    const size_t cap = exact ? n : std::max(n, kMinBuffer);
    std::unique_ptr<unsigned char[]> data = NewStorage(cap);
    if (!data)
        return nullptr;
    if (capacity_ > 0)
        std::memcpy(data.get(), data_.get(), capacity_);
    data_ = std::move(data);
    capacity_ = cap;
    return data_.get();
}

unsigned char *Buffer::Assign(const unsigned char *from, size_t n)
{
    std::unique_ptr<unsigned char[]> data = NewStorage(n);
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

// The size of the central header at p with left bytes after it, or 0 when none is there:
// a signature and a name within the bytes. A header whose extra field or comment runs past
// them (the last one of a directory, when its stated lengths lie) takes all of them.
size_t HeaderSize(const unsigned char *p, size_t left)
{
    if (left < kCentralHeaderSize || !HasSignature(p, 1, 2))
        return 0;
    const size_t nameEnd = kCentralHeaderSize + Le16(p + 28);
    if (nameEnd > left)
        return 0;
    return std::min<size_t>(nameEnd + Le16(p + 30) + Le16(p + 32), left);
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
    size_t total = kCentralHeaderSize + nameSize + extraSize + commentSize;
    header.fixed = p;
    header.name = p + kCentralHeaderSize;
    header.nameSize = nameSize;
    header.extra = header.name + nameSize;
    header.extraSize = extraSize;
    if (total > left) [[unlikely]] {
        // The last header's lengths lie: it counts when its name lies inside.
        if (kCentralHeaderSize + nameSize > left)
            return false;
        header.extraSize = std::min(extraSize, left - kCentralHeaderSize - nameSize);
        total = left;
    }
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
    // The first directory that does not lie in the tail is read without a look at its
    // first header; later candidates get that look first, so that a file full of fake end
    // records costs small reads, not one large read per record.
    bool bigReadDone = false;
    bool exact = false; // the directory's storage is of its size
    int peeks = 0;
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
        if (++peeks > kMaxPeeks)
            return nullptr;
        return src.ReadAt(scratch, n, off) ? scratch : nullptr;
    }
    // n bytes at off into dst, from the tail as far as they lie there: a directory that
    // starts before the tail reads only its part before it.
    bool Fetch(unsigned char *dst, size_t n, uint64_t off)
    {
        if (InTail(off, n)) {
            std::memcpy(dst, tail + (off - tailOffset), n);
            return true;
        }
        if (tailSize == 0 || off >= tailOffset || n <= tailOffset - off ||
            !InTail(tailOffset, off + n - tailOffset))
            return src.ReadAt(dst, n, off);
        const size_t before = size_t(tailOffset - off);
        if (!src.ReadAt(dst, before, off))
            return false;
        std::memcpy(dst + before, tail, n - before);
        return true;
    }
};

bool CentralDirectory::Load(ByteSource &src, Buffer &tailBuffer, bool wide)
{
    Reset();
    const bool found = Search(src, tailBuffer, wide);
    if (tailBuffer.Capacity() > kKeepTail)
        tailBuffer.Release();
    return found;
}

bool CentralDirectory::Search(ByteSource &src, Buffer &tailBuffer, bool wide)
{
    Scan scan{src, src.Size(), nullptr, 0, 0, false, wide, 0, {}};
    if (scan.fileSize < kEndSize)
        return false;
    uint64_t next = scan.fileSize - kEndSize; // highest position not yet tried
    for (const size_t most : kTails) {
        if (wide && most < kTails[1])
            continue;
        const size_t want = size_t(std::min<uint64_t>(scan.fileSize, most));
        if (want <= scan.tailSize)
            break; // the whole file is in the tail
        // The new tail keeps what was read already at its end.
        Buffer grown;
        unsigned char *tail = scan.tailSize == 0 ? tailBuffer.Reserve(want) : grown.Reserve(want);
        if (!tail)
            return false;
        const size_t fresh = want - scan.tailSize;
        if (scan.tailSize > 0) {
            std::memcpy(tail + fresh, scan.tail, scan.tailSize);
            tailBuffer.swap(grown);
        }
        if (!src.ReadAt(tail, fresh, scan.fileSize - want))
            return false;
        scan.tail = tail;
        scan.tailOffset = scan.fileSize - want;
        scan.tailSize = want;
        uint64_t lenient[kMaxLenient];
        int lenientCount = 0;
        for (uint64_t pos = next + 1; pos-- > scan.tailOffset;) {
            const unsigned char *e = tail + (pos - scan.tailOffset);
            if (e[0] != 'P' || !HasSignature(e, 5, 6))
                continue;
            // A comment running past the end of the file most likely marks a false match:
            // such a record is tried once the rest of this stretch has none.
            if (pos + kEndSize + Le16(e + 20) > scan.fileSize) {
                if (lenientCount < kMaxLenient)
                    lenient[lenientCount++] = pos;
                continue;
            }
            if (TryEndRecord(scan, pos))
                return true;
        }
        for (int i = 0; i < lenientCount; ++i)
            if (TryEndRecord(scan, lenient[i]))
                return true;
        if (scan.tailOffset == 0)
            break;
        next = scan.tailOffset - 1;
    }
    return false;
}

// Disk numbers are not consulted: an archive marked as one part of several is listed as
// far as its directory lies in this file, which the first header shows.
bool CentralDirectory::TryEndRecord(Scan &scan, uint64_t pos)
{
    const unsigned char *e = scan.tail + (pos - scan.tailOffset);
    const uint16_t onDisk = Le16(e + 8), entries = Le16(e + 10);
    const uint32_t size = Le32(e + 12), offset = Le32(e + 16);
    const bool saturated = Le16(e + 4) == 0xFFFF || Le16(e + 6) == 0xFFFF || onDisk == 0xFFFF ||
                           entries == 0xFFFF || size == 0xFFFFFFFF || offset == 0xFFFFFFFF;
    if (saturated && pos >= kZip64LocatorSize) {
        const uint64_t locatorPos = pos - kZip64LocatorSize;
        const unsigned char *l = scan.Peek(locatorPos, kZip64LocatorSize);
        if (l && HasSignature(l, 6, 7) && TryZip64(scan, locatorPos, Le64(l + 8)))
            return true;
        // No usable ZIP64 record: the 32-bit values may still describe the archive.
    }
    return TryDirectory(scan, pos, offset, size, std::max(onDisk, entries));
}

// The locator's and the record's disk fields are not consulted: writers fill them
// carelessly, and the record is looked for in this file either way.
bool CentralDirectory::TryZip64(Scan &scan, uint64_t locatorPos, uint64_t recordPos)
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
        const uint64_t onDisk = Le64(r + 24), entries = Le64(r + 32);
        const uint64_t size = Le64(r + 40), offset = Le64(r + 48);
        return TryDirectory(scan, at, offset, size, std::max(onDisk, entries));
    }
    return false;
}

// end: where the directory must end (the ZIP64 record or the end record).
bool CentralDirectory::TryDirectory(Scan &scan, uint64_t end, uint64_t offset, uint64_t size,
                                    uint64_t stated)
{
    if (size == 0 && stated == 0) {
        if (offset > end)
            return false;
        loaded_ = true;
        offset_ = end;
        return true;
    }
    // A wrong offset, most often from data prepended without the offsets adjusted: the
    // directory of the stated size ends right before the end record.
    if (size <= end && end - size != offset && Take(scan, end - size, end, stated))
        return true;
    return offset < end && Take(scan, offset, end, stated);
}

// Walks the headers from start towards end, reading as it goes: at first as far as the
// stated count of headers can reach, then as far as the headers found so far, and never
// more than one header past the last well-formed one.
bool CentralDirectory::Take(Scan &scan, uint64_t start, uint64_t end, uint64_t stated)
{
    const uint64_t extent = end - start;
    if (extent < kCentralHeaderSize || extent > std::numeric_limits<size_t>::max())
        return false;
    const auto reach = [extent](uint64_t headers) {
        return headers >= extent / kMaxHeader + 1 ? extent : headers * kMaxHeader;
    };
    size_t have = size_t(std::min<uint64_t>(reach(std::max<uint64_t>(stated, 1)), kFirstChunk));
    if (!scan.InTail(start, have)) {
        if (scan.bigReadDone) {
            const unsigned char *h = scan.Peek(start, kCentralHeaderSize);
            if (!h || Le32(h) != 0x02014b50)
                return false;
        }
        scan.bigReadDone = true;
    }
    unsigned char *data = buffer_.Reserve(have, scan.exact);
    if (!data || !scan.Fetch(data, have, start))
        return false;
    size_t pos = 0;
    uint64_t walked = 0;
    // All of it at hand, as for most archives: the cursor finds where the headers end.
    if (have == extent) {
        if (HeaderSize(data, have) == 0)
            return false;
        pos = have;
        walked = 1;
    }
    while (pos < extent) {
        // The whole header, or at least its fixed part, must be at hand to judge it.
        size_t need = pos + kCentralHeaderSize;
        if (have - pos >= kCentralHeaderSize) {
            if (!HasSignature(data + pos, 1, 2))
                break;
            const size_t total = kCentralHeaderSize + Le16(data + pos + 28) +
                                 Le16(data + pos + 30) + Le16(data + pos + 32);
            if (total <= have - pos) {
                pos += total;
                ++walked;
                continue;
            }
            need = pos + total;
        }
        if (have == extent) {
            // The last header's lengths lie: it counts when its name lies inside.
            if (const size_t rest = HeaderSize(data + pos, have - pos); rest > 0) {
                pos += rest;
                ++walked;
            }
            break;
        }
        const uint64_t limit = std::max(reach(stated), reach(walked + 1));
        const size_t grown = size_t(std::min<uint64_t>(
            extent, std::max<uint64_t>(need, std::min<uint64_t>(limit, 2 * uint64_t(have)))));
        if (!(data = buffer_.Grow(grown, scan.exact)) ||
            !scan.Fetch(data + have, grown - have, start + have))
            return false;
        have = grown;
    }
    if (walked == 0)
        return false;
    data_ = data;
    size_ = pos;
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

bool CentralDirectory::CopyOf(const CentralDirectory &from)
{
    Reset();
    unsigned char *data = buffer_.Assign(from.data_, from.size_);
    if (!data)
        return false;
    data_ = from.size_ ? data : nullptr;
    size_ = from.size_;
    offset_ = from.offset_;
    loaded_ = from.loaded_;
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
