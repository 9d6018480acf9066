// The library's functions behind the C exports, and in-memory variants for the fuzzer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "UnZip32.h"

namespace unzip32
{

int32_t CheckArchive(const char *path);
int32_t OpenArchive(const char *path);
int32_t FindFirst(int32_t handle, const char *pattern, EntryInfo *record);
int32_t FindNext(int32_t handle, EntryInfo *record);
int32_t CloseArchive(int32_t handle);
int32_t RunCommand(const char *cmdline, char *output, int32_t size);
int64_t ReadAhead(const char *path);
void DropReadAhead(const char *path);

// The same checks and the same handle table over bytes in memory.
int32_t CheckArchiveBytes(const void *data, size_t size);
int32_t OpenArchiveBytes(const void *data, size_t size);

// How many archives can be open at once; an open beyond it fails.
constexpr int kMaxOpenArchives = 1024;

} // namespace unzip32
