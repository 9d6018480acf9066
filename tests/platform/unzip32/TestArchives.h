// The archives the library's tests run on, each with the names it must list, or none
// when it must be refused. The libzip comparison runs over the same list.
#pragma once

#include <QByteArray>
#include <optional>
#include <vector>

#include "ZipWriter.h"

namespace unzip32test
{

using testsupport::ArchiveOf;
using testsupport::Entry;
using testsupport::ExtraField;
using testsupport::UnicodePathField;
using testsupport::ZipArchive;
using testsupport::ZipEntry;
using Names = std::vector<QByteArray>;

struct ArchiveCase {
    const char *tag;
    QByteArray bytes;
    std::optional<Names> names; // nullopt: not an archive
};

inline QByteArray Repeat(const QByteArray &unit, int times)
{
    return unit.repeated(times);
}

// n entries named f00000, f00001, ...
inline ZipArchive Numbered(int n)
{
    ZipArchive a;
    a.entries.reserve(size_t(n));
    for (int i = 0; i < n; ++i)
        a.entries.push_back(Entry(QByteArray("f") + QByteArray::number(i).rightJustified(5, '0')));
    return a;
}

inline Names NamesOf(const ZipArchive &a)
{
    Names names;
    for (const ZipEntry &e : a.entries)
        names.push_back(e.name);
    return names;
}

inline ArchiveCase Listed(const char *tag, const ZipArchive &a, Names names)
{
    return {tag, a.Build(), std::move(names)};
}
inline ArchiveCase Same(const char *tag, const ZipArchive &a)
{
    return {tag, a.Build(), NamesOf(a)};
}
inline ArchiveCase Refused(const char *tag, const QByteArray &bytes)
{
    return {tag, bytes, std::nullopt};
}

// Names as stored and as they must come out.
inline std::vector<ArchiveCase> EncodingCases()
{
    const QByteArray stored = "old.txt";
    const QByteArray unicode = "新しい.txt";
    auto withExtra = [&](const QByteArray &extra) {
        ZipArchive a;
        a.entries.push_back(Entry(stored));
        a.entries[0].extra = extra;
        return a;
    };
    // ソ 表 \ ｱ .txt: the first two end in 0x5C, the third is a real backslash.
    const QByteArray cp932Backslashes = "\x83\x5C\x95\x5C\x5C\xB1.txt";
    const QByteArray cp932Display = "\x95\x5C\x8E\xA6.txt"; // 表示.txt
    ZipArchive lying = ArchiveOf({cp932Display}, 0x0800);
    ZipArchive cp932ValidExtra = withExtra(UnicodePathField(stored, unicode));
    cp932ValidExtra.entries[0].name = cp932Backslashes;
    cp932ValidExtra.entries[0].extra = UnicodePathField(cp932Backslashes, unicode);
    return {
        Same("ascii", ArchiveOf({"readme.txt", "dir/", "dir/sub/a.c"})),
        Same("utf8 flagged", ArchiveOf({"日本語/ファイル.txt", "Grüße"}, 0x0800)),
        Same("utf8 unflagged", ArchiveOf({"日本語/ファイル.txt", "Grüße"})),
        Listed("unicode path valid", withExtra(UnicodePathField(stored, unicode)), {unicode}),
        Listed("unicode path over cp932", cp932ValidExtra, {unicode}),
        Listed("unicode path after other field",
               withExtra(ExtraField(0x5455, QByteArray("\x01\0\0\0\0", 5)) +
                         UnicodePathField(stored, unicode)),
               {unicode}),
        Listed("unicode path bad crc", withExtra(UnicodePathField(stored, unicode, 1, 0x12345678)),
               {stored}),
        Listed("unicode path version 2", withExtra(UnicodePathField(stored, unicode, 2)), {stored}),
        Listed("unicode path invalid utf8", withExtra(UnicodePathField(stored, "\xFF\xFE.txt")),
               {stored}),
        Listed("unicode path empty", withExtra(UnicodePathField(stored, "")), {stored}),
        Listed("unicode path truncated field",
               withExtra(ExtraField(0x7075, QByteArray("\x01\x00", 2))), {stored}),
        Listed("cp932 0x5C trail bytes", ArchiveOf({cp932Backslashes}), {"ソ表\\ｱ.txt"}),
        Listed("cp932 half-width katakana", ArchiveOf({"\xB7\xAC\xDD\xBE\xD9"}), {"ｷｬﾝｾﾙ"}),
        Listed("cp932 microsoft table", ArchiveOf({"\x81\x60\x87\x40"}), {"～①"}),
        Listed("cp932 under a lying utf8 flag", lying, {"表示.txt"}),
        // Neither UTF-8 nor code page 932: code page 437, the format's default.
        Listed("cp437 when cp932 does not decode",
               ArchiveOf({"\x80"
                          "a\xFD"}),
               {"Ça²"}),
        Listed("cp437 81 to 90",
               ArchiveOf({"\x81\x82\x83\x84\x85\x86\x87\x88\x89\x8A\x8B\x8C"
                          "\x8D\x8E\x8F\x90"}),
               {"üéâäàåçêëèïîìÄÅÉ"}),
        Listed("cp437 lead byte cut at the end", ArchiveOf({"abc\x95"}), {"abcò"}),
        Listed("cp437 name of 700 bytes", ArchiveOf({Repeat("\x80", 700)}), {Repeat("Ç", 256)}),
        Listed("overlong utf8 is cp932", ArchiveOf({"\xC0\xAF"}), {"ﾀｯ"}),
        Listed("nul inside a name", ArchiveOf({QByteArray("abc\0def", 7), "next"}),
               {"abc", "next"}),
        Listed("nul first", ArchiveOf({QByteArray("\0abc", 4)}), {""}),
        Listed("name of 513 bytes", ArchiveOf({Repeat("a", 513)}), {Repeat("a", 512)}),
        Listed("name of 700 bytes", ArchiveOf({Repeat("b", 700)}), {Repeat("b", 512)}),
        Listed("utf8 name cut before a character", ArchiveOf({Repeat("a", 511) + "é"}),
               {Repeat("a", 511)}),
        Listed("utf8 name of 700 bytes", ArchiveOf({Repeat("あ", 233) + "a"}), {Repeat("あ", 170)}),
        Listed("cp932 name of 700 bytes", ArchiveOf({Repeat("\x95\x5C", 350)}),
               {Repeat("表", 170)}),
    };
}

// Damaged, misleading and unusual archives.
inline std::vector<ArchiveCase> HostileCases()
{
    std::vector<ArchiveCase> cases;
    const ZipArchive three = ArchiveOf({"a.txt", "b/", "b/c.txt"});
    const QByteArray threeBytes = three.Build();
    const Names threeNames = NamesOf(three);
    const auto variant = [&](auto change) {
        ZipArchive a = three;
        change(a);
        return a;
    };

    cases.push_back(Listed("overlapping entries", variant([](ZipArchive &a) {
                               a.entries[1].localOffset = 0;
                               a.entries[1].local = false;
                               a.entries[2].localOffset = 0;
                               a.entries[2].local = false;
                           }),
                           threeNames));
    // The directory's headers count, not the stated number.
    cases.push_back(
        Listed("count too high", variant([](ZipArchive &a) { a.end.entries = 5; }), threeNames));
    cases.push_back(
        Listed("count too low", variant([](ZipArchive &a) { a.end.entries = 1; }), threeNames));
    cases.push_back(Listed("count zero with headers",
                           variant([](ZipArchive &a) { a.end.entries = 0; }), threeNames));
    const ZipArchive wrapped = Numbered(65537); // stated count 65537 & 0xFFFF = 1
    cases.push_back(Same("count wrapped past 65535", wrapped));
    cases.push_back(Listed("zip64 count 2^62", variant([](ZipArchive &a) {
                               a.end.zip64 = true;
                               a.end.entries = uint64_t(1) << 62;
                           }),
                           threeNames));
    // A wrong offset: the directory of the stated size right before the end record.
    cases.push_back(Same("zip64 offset 2^62", variant([](ZipArchive &a) {
                             a.end.zip64 = true;
                             a.end.directoryOffset = uint64_t(1) << 62;
                         })));
    // A size past the file: the headers from the stated offset count.
    cases.push_back(Same("zip64 size past the file", variant([](ZipArchive &a) {
                             a.end.zip64 = true;
                             a.end.directorySize = uint64_t(1) << 40;
                         })));
    // Bad ZIP64 record, but the end record's own values are real: those are used.
    cases.push_back(Same("zip64 bogus with real 32-bit values", variant([](ZipArchive &a) {
                             a.end.zip64 = true;
                             a.end.saturate = testsupport::ZipEnd::Saturate::Count;
                             a.end.zip64DirectoryOffset = uint64_t(1) << 62;
                         })));
    cases.push_back(Same("zip64 locator pointing elsewhere", variant([](ZipArchive &a) {
                             a.end.zip64 = true;
                             a.end.zip64RecordOffset = 7;
                         })));
    // Disk numbers count where the end record has them, not where it says 0.
    cases.push_back(Same("zip64 record says disk 1, end record disk 0", variant([](ZipArchive &a) {
                             a.end.zip64 = true;
                             a.end.zip64Disk = 1;
                         })));
    cases.push_back(Same("zip64 locator says two disks", variant([](ZipArchive &a) {
                             a.end.zip64 = true;
                             a.end.locatorDisks = 2;
                         })));

    // A comment that holds an end record of its own, pointing at the local header.
    QByteArray fake("PK\x05\x06\0\0\0\0\x01\0\x01\0\x2e\0\0\0\0\0\0\0\0\0", 22);
    cases.push_back(Same("fake end record in the comment",
                         variant([&](ZipArchive &a) { a.end.comment = "note " + fake + " end"; })));
    QByteArray fakeLong = fake;
    fakeLong[20] = char(0xFF);
    fakeLong[21] = char(0xFF);
    cases.push_back(Same("fake end record with a long comment",
                         variant([&](ZipArchive &a) { a.end.comment = fakeLong; })));
    cases.push_back(Same("many fake end records",
                         variant([&](ZipArchive &a) { a.end.comment = fake.repeated(2900); })));
    cases.push_back(
        Same("junk after the comment", variant([](ZipArchive &a) { a.trailer = "JUNK"; })));
    cases.push_back(Same("data prepended, offsets adjusted",
                         variant([](ZipArchive &a) { a.prefix = QByteArray(1000, '\x7f'); })));
    cases.push_back(Same("data prepended, offsets not adjusted", variant([](ZipArchive &a) {
                             a.prefix = QByteArray(1000, '\x7f');
                             a.offsetsCountPrefix = false;
                         })));
    cases.push_back(Same("zip64 with data prepended, not adjusted", variant([](ZipArchive &a) {
                             a.prefix = QByteArray(5000, 'S');
                             a.offsetsCountPrefix = false;
                             a.end.zip64 = true;
                         })));
    cases.push_back(Same("gap between directory and end record",
                         variant([](ZipArchive &a) { a.afterDirectory = QByteArray(64, '\0'); })));
    cases.push_back(Same("hostile names", ArchiveOf({"\x01\x1f control", "back\\slash", "/absolute",
                                                     "../../escape", "", "a//b", "dir/../x"})));
    cases.push_back(Same("encrypted entries", variant([](ZipArchive &a) {
                             for (ZipEntry &e : a.entries)
                                 e.flags |= 1;
                         })));
    cases.push_back(Same("sizes 0xFFFFFFFF without zip64 fields", variant([](ZipArchive &a) {
                             for (ZipEntry &e : a.entries)
                                 e.sizes = ZipEntry::Sizes::Saturated;
                         })));
    cases.push_back(Same("zip64 entries", variant([](ZipArchive &a) {
                             a.end.zip64 = true;
                             for (ZipEntry &e : a.entries)
                                 e.sizes = ZipEntry::Sizes::Zip64;
                         })));
    // Damage inside the directory ends the listing there.
    QByteArray badMiddle = threeBytes;
    badMiddle[badMiddle.indexOf("PK\x01\x02", badMiddle.indexOf("PK\x01\x02") + 4) + 3] = 9;
    cases.push_back({"bad second header", badMiddle, Names{"a.txt"}});
    QByteArray badFirst = threeBytes;
    badFirst[badFirst.indexOf("PK\x01\x02") + 3] = 9;
    cases.push_back(Refused("bad first header", badFirst));
    cases.push_back(Same("directory past the end of the file",
                         variant([](ZipArchive &a) { a.end.directoryOffset = 1u << 20; })));
    cases.push_back(Refused("directory past the end of the file, size too",
                            variant([](ZipArchive &a) {
                                a.end.directoryOffset = 1u << 20;
                                a.end.directorySize = 1u << 20;
                            }).Build()));
    cases.push_back(
        Same("count without a directory", variant([](ZipArchive &a) { a.end.directorySize = 0; })));

    cases.push_back(Refused("0-byte file", QByteArray()));
    cases.push_back(Refused("text file", "This is not an archive.\n"));
    cases.push_back(Refused("truncated in the directory", threeBytes.left(threeBytes.size() / 2)));
    cases.push_back(Refused("last byte missing", threeBytes.left(threeBytes.size() - 1)));
    cases.push_back(Refused("end record alone, one byte short", threeBytes.right(21)));
    cases.push_back(Listed("22-byte empty archive", ZipArchive{}, Names{}));
    cases.push_back(Listed("empty archive with comment", variant([](ZipArchive &a) {
                               a.entries.clear();
                               a.end.comment = "empty";
                           }),
                           Names{}));
    return cases;
}

// The little-endian 16-bit field at offset at of the last central header.
inline QByteArray WithLastHeaderField(QByteArray bytes, int at, uint16_t value)
{
    const qsizetype header = bytes.lastIndexOf("PK\x01\x02");
    bytes[header + at] = char(value & 0xFF);
    bytes[header + at + 1] = char(value >> 8);
    return bytes;
}

// Damage that other readers see past, and so do we: each lists what `unzip -Z1` lists.
inline std::vector<ArchiveCase> RecoveredCases()
{
    std::vector<ArchiveCase> cases;
    const ZipArchive three = ArchiveOf({"a.txt", "b/", "b/c.txt"});
    const QByteArray threeBytes = three.Build();
    const Names threeNames = NamesOf(three);
    const auto variant = [&](auto change) {
        ZipArchive a = three;
        change(a);
        return a;
    };
    cases.push_back({"last extra field past the directory",
                     WithLastHeaderField(threeBytes, 30, 0x4000), threeNames});
    cases.push_back(
        {"last comment past the directory", WithLastHeaderField(threeBytes, 32, 300), threeNames});
    cases.push_back(Listed("100 KiB after the archive",
                           variant([](ZipArchive &a) { a.trailer = QByteArray(100000, 'T'); }),
                           threeNames));
    cases.push_back(Listed("comment past the end of the file",
                           variant([](ZipArchive &a) { a.end.commentLength = 10; }), threeNames));
    cases.push_back(Listed("data prepended, offsets not adjusted, with a comment",
                           variant([](ZipArchive &a) {
                               a.prefix = QByteArray(7000, '\x7f');
                               a.offsetsCountPrefix = false;
                               a.end.comment = "made by hand";
                           }),
                           threeNames));
    cases.push_back(Listed("stated size too small", variant([](ZipArchive &a) {
                               a.end.directorySize = 46 + 3; // "a.txt" does not fit
                           }),
                           threeNames));
    cases.push_back(Listed("stated size too large",
                           variant([](ZipArchive &a) { a.end.directorySize = 4096; }), threeNames));
    cases.push_back(Listed("entries on disk differ",
                           variant([](ZipArchive &a) { a.end.entriesOnDisk = 2; }), threeNames));
    cases.push_back(Listed("zip64 entries on disk zero", variant([](ZipArchive &a) {
                               a.end.zip64 = true;
                               a.end.entriesOnDisk = 0;
                           }),
                           threeNames));
    cases.push_back(Listed("zip64 offset wrong, 32-bit values right", variant([](ZipArchive &a) {
                               a.end.zip64 = true;
                               a.end.saturate = testsupport::ZipEnd::Saturate::Count;
                               a.end.zip64DirectoryOffset = 3;
                           }),
                           threeNames));
    cases.push_back(Listed("multi-disk, directory in this file", variant([](ZipArchive &a) {
                               a.end.disk = 1;
                               a.end.directoryDisk = 1;
                           }),
                           threeNames));
    cases.push_back(Listed("zip64 multi-disk, directory in this file", variant([](ZipArchive &a) {
                               a.end.zip64 = true;
                               a.end.disk = a.end.directoryDisk = 0xFFFF;
                               a.end.zip64Disk = 1;
                           }),
                           threeNames));
    cases.push_back(Listed("cp437 names",
                           ArchiveOf({"\x80\x81\x82\x83\x84\x85\x86\x87\x88\x89\x8A\x8B\x8C\x8D"
                                      "\x8E\x8F\x90.txt",
                                      "caf\x82/na\xA8ve"}),
                           {"ÇüéâäàåçêëèïîìÄÅÉ.txt", "café/na¿ve"}));
    return cases;
}

inline std::vector<ArchiveCase> DamagedCases()
{
    std::vector<ArchiveCase> all = HostileCases();
    for (ArchiveCase &c : RecoveredCases())
        all.push_back(std::move(c));
    return all;
}

inline std::vector<ArchiveCase> AllCases()
{
    std::vector<ArchiveCase> all = EncodingCases();
    for (ArchiveCase &c : DamagedCases())
        all.push_back(std::move(c));
    return all;
}

} // namespace unzip32test
