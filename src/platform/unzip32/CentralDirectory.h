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
    // At least n bytes, holding whatever they held; nullptr when memory runs out.
    unsigned char *Reserve(size_t n);
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

// The central directory of one archive, read into memory in one piece.
//
// Which end record counts: the end record is searched from the end of the file
// backwards; a candidate whose comment would run past the end of the file, that names
// another disk, or whose directory does not start with a well-formed central header is
// skipped, and the search goes on before it. A disk number other than 0 in the end
// record (or, where it holds 0xFFFF, in the ZIP64 record) marks a multi-disk archive,
// which is refused. ZIP64 values are used when the end record
// has saturated fields and the locator and ZIP64 record are present and consistent with
// the file; otherwise the 32-bit values are tried.
//
// Where the directory starts: when it ends before the end record (data prepended to the
// archive, as in self-extractors, without the offsets being adjusted), the stated offset
// is moved up by the gap first; the stated offset itself is the second choice.
//
// Which entries: every well-formed header from the start of the directory to its stated
// size or the first damage. The stated entry count does not bound the walk: writers wrap
// it at 65,536 without ZIP64, and a count that disagrees with the directory is less
// trustworthy than the headers themselves. A directory of zero bytes is an empty archive
// when its stated count is zero, and no archive otherwise.
//
// Memory: the only allocation is the directory itself, never larger than the file.
class CentralDirectory
{
public:
    // Reads src's central directory; tail is scratch space for the end of the file. False
    // when src holds no readable archive.
    bool Load(ByteSource &src, Buffer &tail);

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
    // Moves the directory into storage of exactly its size, for directories held a while.
    // False when memory runs out; the directory is then unchanged.
    bool ShrinkToFit();
    size_t Capacity() const { return buffer_.Capacity(); }
    void swap(CentralDirectory &other) noexcept;

private:
    struct Scan;
    bool TryEndRecord(Scan &scan, uint64_t pos);
    int TryZip64(Scan &scan, uint64_t locatorPos, uint64_t recordPos, bool diskInRecord,
                 bool directoryDiskInRecord);
    bool TryDirectory(Scan &scan, uint64_t end, uint64_t offset, uint64_t size, uint64_t stated);
    bool Take(Scan &scan, uint64_t start, uint64_t size);

    Buffer buffer_;
    const unsigned char *data_ = nullptr;
    size_t size_ = 0;
    uint64_t offset_ = 0;
    bool loaded_ = false;
};

} // namespace unzip32
