// Script and call record of the fake archive library, reached by tests through dlsym.
#pragma once

#include <cstdint>

extern "C" {
// Forgets the script and the calls.
void FakeUnZip32_Reset();
// Makes the calls below script the archive at path alone, which from then on refuses the check
// unless told otherwise; nullptr goes back to the script of every other archive.
void FakeUnZip32_ScriptFor(const char *path);
// Results of UnZipCheckArchive and UnZipOpenArchive.
void FakeUnZip32_SetCheck(std::int32_t result);
void FakeUnZip32_SetOpen(std::int32_t handle);
// Adds an entry, listed by every open from the first: length bytes (at most 513) of the name field;
// a shorter name gets a NUL and then filler bytes, so that only a cut at the first NUL yields the
// name.
void FakeUnZip32_AddEntry(const char *field, std::int32_t length);
// What UnZip writes (never more than the size it is given) and returns.
void FakeUnZip32_SetUnZip(std::int32_t result, const char *output, std::int32_t length);
// The calls so far, one line each.
const char *FakeUnZip32_Calls();
}
