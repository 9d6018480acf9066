// Binding to the archive library libUnZip32.so: the library is loaded at the first call of any of
// its functions and each function is looked up at its own first call; both stay for the process.
// What cannot be found raises std::runtime_error naming the library or the function.
#pragma once

#include <cstdint>
#include <limits>
#include <stdexcept>

#include "UnZip32.h"

namespace archive
{

// Loads the library if needed and returns the address of the exported function `name`. Throws.
void *LibraryFunction(const char *name);
// The same for a function the library may lack: nullptr when it, or the library, is missing.
void *OptionalLibraryFunction(const char *name) noexcept;

// One tag per library function: its type as declared and its exported name.
#define HAKOMI_UNZIP32_FUNCTION(Tag, Name)                                                         \
    struct Tag {                                                                                   \
        using Type = decltype(&::Name);                                                            \
        static constexpr const char *name = #Name;                                                 \
    };
HAKOMI_UNZIP32_FUNCTION(CheckArchive, UnZipCheckArchive)
HAKOMI_UNZIP32_FUNCTION(OpenArchive, UnZipOpenArchive)
HAKOMI_UNZIP32_FUNCTION(FindFirst, UnZipFindFirst)
HAKOMI_UNZIP32_FUNCTION(FindNext, UnZipFindNext)
HAKOMI_UNZIP32_FUNCTION(CloseArchive, UnZipCloseArchive)
HAKOMI_UNZIP32_FUNCTION(UnZipCommand, UnZip)
HAKOMI_UNZIP32_FUNCTION(ReadAhead, UnZipReadAhead)
HAKOMI_UNZIP32_FUNCTION(DropReadAhead, UnZipDropReadAhead)
#undef HAKOMI_UNZIP32_FUNCTION

// The library function of tag F, looked up once.
template <class F> typename F::Type Bound()
{
    static typename F::Type address = nullptr;
    if (!address)
        address = reinterpret_cast<typename F::Type>(LibraryFunction(F::name));
    return address;
}

// The library's read-ahead, or nullptrs when the library has none or cannot be loaded: reading
// ahead is then off, and the reader's own calls report a missing library. Call it on the thread
// that makes the reader's calls; the functions found may then be called on any thread.
struct ReadAheadFunctions {
    ReadAhead::Type readAhead = nullptr;
    DropReadAhead::Type drop = nullptr;
};
ReadAheadFunctions OptionalReadAhead() noexcept;

// count + 1; the entry count is 32-bit and must not wrap.
inline std::int32_t NextEntryCount(std::int32_t count)
{
    if (count == std::numeric_limits<std::int32_t>::max())
        throw std::overflow_error("GetFile: more than 2147483647 entries");
    return count + 1;
}

} // namespace archive
