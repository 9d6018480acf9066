// Writes ZIP archives byte by byte for tests: every field can be set, including the ones
// real writers never get wrong.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <cstdint>
#include <optional>
#include <vector>

namespace testsupport
{

inline uint32_t ZipCrc32(const QByteArray &bytes)
{
    uint32_t c = 0xFFFFFFFFu;
    for (const char ch : bytes) {
        c ^= static_cast<unsigned char>(ch);
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    }
    return c ^ 0xFFFFFFFFu;
}

inline void PutLe(QByteArray &out, uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.append(char(value >> (8 * i) & 0xFF));
}

// One extra field: id, size, payload.
inline QByteArray ExtraField(uint16_t id, const QByteArray &payload)
{
    QByteArray out;
    PutLe(out, id, 2);
    PutLe(out, uint64_t(payload.size()), 2);
    return out + payload;
}

// An Info-ZIP Unicode Path field (0x7075) for the stored name; crc defaults to the right one.
inline QByteArray UnicodePathField(const QByteArray &stored, const QByteArray &text,
                                   uint8_t version = 1, std::optional<uint32_t> crc = {})
{
    QByteArray payload;
    payload.append(char(version));
    PutLe(payload, crc.value_or(ZipCrc32(stored)), 4);
    return ExtraField(0x7075, payload + text);
}

struct ZipEntry {
    QByteArray name; // stored bytes, local and central header alike
    QByteArray data; // stored as it is (method 0 unless method says otherwise)
    uint16_t flags = 0;
    uint16_t method = 0;
    QByteArray extra; // central extra field
    QByteArray comment;
    uint32_t externalAttributes = 0;
    enum class Sizes { Real, Zip64, Saturated } sizes = Sizes::Real; // Saturated: no ZIP64 field
    std::optional<uint64_t> localOffset; // central header's offset instead of the real one
    bool local = true;                   // false: central header only
};

struct ZipEnd {
    std::optional<uint64_t> entries; // both count fields
    std::optional<uint64_t> entriesOnDisk;
    std::optional<uint64_t> directorySize;
    std::optional<uint64_t> directoryOffset;
    uint16_t disk = 0;
    uint16_t directoryDisk = 0;
    QByteArray comment;
    std::optional<uint16_t> commentLength;
    // ZIP64 end record and locator. The end record then carries 0xFFFF / 0xFFFFFFFF in
    // all its fields, in the count fields only, or nowhere.
    bool zip64 = false;
    enum class Saturate { All, Count, None } saturate = Saturate::All;
    std::optional<uint64_t> zip64DirectoryOffset; // in the ZIP64 record only
    std::optional<uint64_t> zip64RecordOffset;    // what the locator points at
    uint32_t zip64Disk = 0;                       // both disk fields of the ZIP64 record
    uint32_t locatorDisks = 1;
};

struct ZipArchive {
    QByteArray prefix;              // bytes before the archive, as in self-extractors
    bool offsetsCountPrefix = true; // false: offsets as if the prefix were absent
    std::vector<ZipEntry> entries;
    QByteArray afterDirectory; // bytes between the directory and the end records
    ZipEnd end;
    QByteArray trailer; // bytes after the end record's comment

    QByteArray Build() const
    {
        QByteArray out = prefix;
        const uint64_t base = offsetsCountPrefix ? 0 : uint64_t(prefix.size());
        const uint16_t dosTime = 0, dosDate = (2024 - 1980) << 9 | 1 << 5 | 1;
        std::vector<uint64_t> offsets;
        offsets.reserve(entries.size());
        for (const ZipEntry &e : entries) {
            offsets.push_back(uint64_t(out.size()) - base);
            if (!e.local)
                continue;
            const bool wide = e.sizes != ZipEntry::Sizes::Real;
            QByteArray extra;
            if (e.sizes == ZipEntry::Sizes::Zip64) {
                QByteArray z;
                PutLe(z, uint64_t(e.data.size()), 8);
                PutLe(z, uint64_t(e.data.size()), 8);
                extra = ExtraField(0x0001, z);
            }
            PutLe(out, 0x04034b50, 4);
            PutLe(out, wide ? 45 : 20, 2);
            PutLe(out, e.flags, 2);
            PutLe(out, e.method, 2);
            PutLe(out, dosTime, 2);
            PutLe(out, dosDate, 2);
            PutLe(out, ZipCrc32(e.data), 4);
            PutLe(out, wide ? 0xFFFFFFFF : uint64_t(e.data.size()), 4);
            PutLe(out, wide ? 0xFFFFFFFF : uint64_t(e.data.size()), 4);
            PutLe(out, uint64_t(e.name.size()), 2);
            PutLe(out, uint64_t(extra.size()), 2);
            out += e.name + extra + e.data;
        }
        const uint64_t directoryStart = uint64_t(out.size());
        for (size_t i = 0; i < entries.size(); ++i) {
            const ZipEntry &e = entries[i];
            const uint64_t offset = e.localOffset.value_or(offsets[i]);
            const bool wide = e.sizes != ZipEntry::Sizes::Real;
            QByteArray extra = e.extra;
            if (e.sizes == ZipEntry::Sizes::Zip64) {
                QByteArray z;
                PutLe(z, uint64_t(e.data.size()), 8);
                PutLe(z, uint64_t(e.data.size()), 8);
                PutLe(z, offset, 8);
                extra = ExtraField(0x0001, z) + extra;
            }
            PutLe(out, 0x02014b50, 4);
            PutLe(out, wide ? 45 : 20, 2); // made by MS-DOS
            PutLe(out, wide ? 45 : 20, 2);
            PutLe(out, e.flags, 2);
            PutLe(out, e.method, 2);
            PutLe(out, dosTime, 2);
            PutLe(out, dosDate, 2);
            PutLe(out, ZipCrc32(e.data), 4);
            PutLe(out, wide ? 0xFFFFFFFF : uint64_t(e.data.size()), 4);
            PutLe(out, wide ? 0xFFFFFFFF : uint64_t(e.data.size()), 4);
            PutLe(out, uint64_t(e.name.size()), 2);
            PutLe(out, uint64_t(extra.size()), 2);
            PutLe(out, uint64_t(e.comment.size()), 2);
            PutLe(out, 0, 2); // disk
            PutLe(out, 0, 2); // internal attributes
            PutLe(out, e.externalAttributes, 4);
            PutLe(out, wide ? 0xFFFFFFFF : offset, 4);
            out += e.name + extra + e.comment;
        }
        const uint64_t count = end.entries.value_or(entries.size());
        const uint64_t onDisk = end.entriesOnDisk.value_or(count);
        const uint64_t size = end.directorySize.value_or(uint64_t(out.size()) - directoryStart);
        const uint64_t offset = end.directoryOffset.value_or(directoryStart - base);
        out += afterDirectory;
        if (end.zip64) {
            const uint64_t recordAt = uint64_t(out.size()) - base;
            PutLe(out, 0x06064b50, 4);
            PutLe(out, 44, 8);
            PutLe(out, 45, 2);
            PutLe(out, 45, 2);
            PutLe(out, end.zip64Disk, 4);
            PutLe(out, end.zip64Disk, 4);
            PutLe(out, onDisk, 8);
            PutLe(out, count, 8);
            PutLe(out, size, 8);
            PutLe(out, end.zip64DirectoryOffset.value_or(offset), 8);
            PutLe(out, 0x07064b50, 4);
            PutLe(out, 0, 4);
            PutLe(out, end.zip64RecordOffset.value_or(recordAt), 8);
            PutLe(out, end.locatorDisks, 4);
        }
        const bool all = end.zip64 && end.saturate == ZipEnd::Saturate::All;
        const bool counts = end.zip64 && end.saturate != ZipEnd::Saturate::None;
        PutLe(out, 0x06054b50, 4);
        PutLe(out, end.disk, 2);
        PutLe(out, end.directoryDisk, 2);
        PutLe(out, counts ? 0xFFFF : onDisk & 0xFFFF, 2);
        PutLe(out, counts ? 0xFFFF : count & 0xFFFF, 2);
        PutLe(out, all ? 0xFFFFFFFF : size & 0xFFFFFFFF, 4);
        PutLe(out, all ? 0xFFFFFFFF : offset & 0xFFFFFFFF, 4);
        PutLe(out, end.commentLength.value_or(uint16_t(end.comment.size())), 2);
        return out + end.comment + trailer;
    }
};

inline ZipEntry Entry(const QByteArray &name, const QByteArray &data = {}, uint16_t flags = 0,
                      uint16_t method = 0)
{
    ZipEntry e;
    e.name = name;
    e.data = data;
    e.flags = flags;
    e.method = method;
    return e;
}

// Archive of the given names, each holding its own name as data.
inline ZipArchive ArchiveOf(const std::vector<QByteArray> &names, uint16_t flags = 0)
{
    ZipArchive a;
    for (const QByteArray &n : names)
        a.entries.push_back(Entry(n, n, flags));
    return a;
}

// Makes the file's folder too.
inline bool WriteFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return QDir().mkpath(QFileInfo(path).path()) &&
           f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

} // namespace testsupport
