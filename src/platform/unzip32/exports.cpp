#include "UnZip32.h"

extern "C" {
int32_t UnZipCheckArchive(const char *, int32_t) { return 0; }
int32_t UnZipOpenArchive(int32_t, const char *, int32_t) { return 0; }
int32_t UnZipFindFirst(int32_t, const char *, EntryInfo *) { return 1; }
int32_t UnZipFindNext(int32_t, EntryInfo *) { return 1; }
int32_t UnZipCloseArchive(int32_t) { return 1; }
int32_t UnZip(int32_t, const char *, char *, int32_t) { return 2; }
}
