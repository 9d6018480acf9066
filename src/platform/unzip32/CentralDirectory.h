// Finding, loading and walking the central directory of a ZIP archive: names only, no
// local headers, no entry data.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "ZipBytes.h"

namespace unzip32
{

// What the library has done to files since the process started, for tests and benchmarks.
struct IoCounters {
    std::atomic<uint64_t> opens{0}, reads{0}, bytes{0};
};
inline IoCounters g_io;

// Random read access to the bytes of one archive.
class ByteSource
{
public:
    virtual ~ByteSource() = default;
    virtual uint64_t Size() const = 0;
    // Exactly n bytes at off into dst; false on any error or shortfall.
    virtual bool ReadAt(unsigned char *dst, size_t n, uint64_t off) = 0;
};

// An open regular file; the descriptor stays the caller's.
class FileSource final : public ByteSource
{
public:
    FileSource(int fd, uint64_t size) : fd_(fd), size_(size) {}
    uint64_t Size() const override { return size_; }
    bool ReadAt(unsigned char *dst, size_t n, uint64_t off) override;

private:
    int fd_;
    uint64_t size_;
};

// Bytes in memory, for the fuzzer and for tests.
class MemorySource final : public ByteSource
{
public:
    MemorySource(const void *data, size_t size)
        : data_(static_cast<const unsigned char *>(data)), size_(size)
    {
    }
    uint64_t Size() const override { return size_; }
    bool ReadAt(unsigned char *dst, size_t n, uint64_t off) override;

private:
    const unsigned char *data_;
    size_t size_;
};

// Storage that keeps its capacity from one archive to the next, so that listing many
// archives allocates only when a directory is larger than every one before it.
class Buffer
{
public:
    // At least n bytes, holding whatever they held; nullptr when memory runs out. exact: new
    // storage is n bytes, not rounded up.
    unsigned char *Reserve(size_t n, bool exact = false);
    // At least n bytes, keeping what they held; nullptr when memory runs out, the buffer
    // then unchanged.
    unsigned char *Grow(size_t n, bool exact = false);
    // Exactly n bytes (none for 0), holding the first n bytes of from; nullptr when memory
    // runs out, the buffer then unchanged.
    unsigned char *Assign(const unsigned char *from, size_t n);
    unsigned char *Data() const { return data_.get(); }
    size_t Capacity() const { return capacity_; }
    void Release();
    void swap(Buffer &other) noexcept;

private:
    std::unique_ptr<unsigned char[]> data_;
    size_t capacity_ = 0;
};

// One central file header inside a loaded directory.
struct CentralHeader {
    const unsigned char *fixed = nullptr; // the 46 fixed bytes
    const unsigned char *name = nullptr;
    size_t nameSize = 0;
    const unsigned char *extra = nullptr;
    size_t extraSize = 0;

    uint16_t Flags() const { return Le16(fixed + 8); }
    uint16_t Method() const { return Le16(fixed + 10); }
    uint32_t ExternalAttributes() const { return Le32(fixed + 38); }
};

// Walks central file headers laid end to end. The first header that is not well formed
// (wrong signature, or name, extra field and comment running past the directory) ends
// the walk, so a damaged directory yields the entries before the damage.
class HeaderCursor
{
public:
    HeaderCursor() = default;
    HeaderCursor(const unsigned char *data, size_t size) : data_(data), size_(size) {}
    bool Next(CentralHeader &header);

private:
    const unsigned char *data_ = nullptr;
    size_t size_ = 0;
    size_t pos_ = 0;
};

// The central directory of one archive, read into memory.
//
// Which end record counts: the end record is searched from the end of the file
// backwards, as far as a comment can reach and then up to 1 MiB back, past bytes appended
// to the archive. A candidate whose directory does not start with a central header is
// skipped and the search goes on before it; one whose comment would run past the end of
// the file is tried only after the rest of the same stretch. Disk numbers are not
// consulted: an archive marked as one part of several is read as far as its directory lies
// in this file. ZIP64 values are used when the end record has saturated fields and the
// locator and a ZIP64 record are present and lead to a directory; otherwise the 32-bit
// values are tried.
//
// Where the directory starts: when the directory of the stated size ends before the end
// record (data prepended to the archive, as in self-extractors, without the offsets being
// adjusted), it is looked for right before the end record first; the stated offset is the
// second choice.
//
// Which entries: every well-formed header from the start of the directory up to the
// first damage or the end record (or ZIP64 record). Neither the stated entry count nor
// the stated size bounds the walk: writers wrap the count at 65,536 without ZIP64, and
// both are less trustworthy than the headers themselves. The last header may have an
// extra field or comment that runs past the end; it counts when its name lies inside. A
// directory of zero bytes and a count of zero is an empty archive.
//
// Memory and reads: the directory is read as far as the stated count of headers can reach
// (count x (46 + 3 x 65,535) bytes), at most 4 MiB at first, and further only as the
// headers read so far prove well formed, so a lying count or size never turns into a large
// allocation. The tail scratch is freed after an archive when it grew past 128 KiB.
class CentralDirectory
{
public:
    // Reads src's central directory; tail is scratch space for the end of the file. False
    // when src holds no readable archive. wide: the first read takes as much as an end
    // record's comment can reach, where a round trip costs more than the bytes (read-ahead on
    // a share); most directories then come in one read. And the directory, which is held a
    // while, goes into storage of its own size, not into storage rounded up for reuse.
    bool Load(ByteSource &src, Buffer &tail, bool wide = false);

    bool Loaded() const { return loaded_; }
    const unsigned char *Data() const { return data_; }
    size_t Size() const { return size_; }
    // Where the directory starts in the source, after any adjustment for prepended data.
    uint64_t Offset() const { return offset_; }
    // The entry count the end record states, a hint only.
    HeaderCursor Headers() const { return HeaderCursor(data_, size_); }

    // Forgets the directory and keeps the storage.
    void Reset();
    // Forgets the directory and frees the storage.
    void Release();
    // Becomes a copy of from in storage of exactly its size, for directories held a while.
    // False when memory runs out; the directory is then empty.
    bool CopyOf(const CentralDirectory &from);
    size_t Capacity() const { return buffer_.Capacity(); }
    void swap(CentralDirectory &other) noexcept;

private:
    struct Scan;
    bool Search(ByteSource &src, Buffer &tail, bool wide);
    bool TryEndRecord(Scan &scan, uint64_t pos);
    bool TryZip64(Scan &scan, uint64_t locatorPos, uint64_t recordPos);
    bool TryDirectory(Scan &scan, uint64_t end, uint64_t offset, uint64_t size, uint64_t stated);
    bool Take(Scan &scan, uint64_t start, uint64_t end, uint64_t stated);

    Buffer buffer_;
    const unsigned char *data_ = nullptr;
    size_t size_ = 0;
    uint64_t offset_ = 0;
    bool loaded_ = false;
};

} // namespace unzip32
