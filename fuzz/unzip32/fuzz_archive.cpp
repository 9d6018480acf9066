// Arbitrary bytes through the library as the reader uses it, and what must hold for any
// input: the check and the open agree, every name is clean UTF-8 in its field, handles
// behave.
#include <cstring>

#include "Archives.h"
#include "NameDecoder.h"
#include "Utf8.h"

namespace
{

void Require(bool condition)
{
    if (!condition)
        __builtin_trap();
}

void CheckRecord(const EntryInfo &record, uint32_t index)
{
    const size_t n = strnlen(record.szFileName, sizeof record.szFileName);
    Require(n < sizeof record.szFileName);
    Require(utf8::IsStrict(reinterpret_cast<const unsigned char *>(record.szFileName), n));
    Require(strnlen(record.szAttribute, sizeof record.szAttribute) < sizeof record.szAttribute);
    Require(strnlen(record.szMode, sizeof record.szMode) < sizeof record.szMode);
    const uint32_t stored = uint32_t(record.data[20]) | uint32_t(record.data[21]) << 8 |
                            uint32_t(record.data[22]) << 16 | uint32_t(record.data[23]) << 24;
    Require(stored == index);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const int32_t checked = unzip32::CheckArchiveBytes(data, size);
    const int32_t handle = unzip32::OpenArchiveBytes(data, size);
    Require((checked != 0) == (handle > 0));
    EntryInfo record;
    uint32_t entries = 0;
    for (int32_t more = unzip32::FindFirst(handle, "*.*", &record); more == 0;
         more = unzip32::FindNext(handle, &record))
        CheckRecord(record, entries++);
    Require(unzip32::FindNext(handle, &record) != 0);
    // A pattern selects a subset, in the same order.
    uint32_t selected = 0;
    for (int32_t more = unzip32::FindFirst(handle, "*a?*", &record); more == 0;
         more = unzip32::FindNext(handle, &record))
        ++selected;
    Require(selected <= entries);
    Require(unzip32::CloseArchive(handle) == (handle > 0 ? 0 : 1));
    Require(unzip32::FindFirst(handle, "*", &record) != 0);
    Require(unzip32::CloseArchive(handle) != 0);
    return 0;
}
