// The C exports. Nothing may unwind into a C caller: a failure inside, such as running
// out of memory, becomes the function's failure result.
#include "Archives.h"
#include "UnZip32.h"

extern "C" {

int32_t UnZipCheckArchive(const char *path, int32_t)
{
    try {
        return unzip32::CheckArchive(path);
    } catch (...) {
        return 0;
    }
}

int32_t UnZipOpenArchive(int32_t, const char *path, int32_t)
{
    try {
        return unzip32::OpenArchive(path);
    } catch (...) {
        return 0;
    }
}

int32_t UnZipFindFirst(int32_t handle, const char *pattern, EntryInfo *record)
{
    try {
        return unzip32::FindFirst(handle, pattern, record);
    } catch (...) {
        return 1;
    }
}

int32_t UnZipFindNext(int32_t handle, EntryInfo *record)
{
    try {
        return unzip32::FindNext(handle, record);
    } catch (...) {
        return 1;
    }
}

int32_t UnZipCloseArchive(int32_t handle)
{
    try {
        return unzip32::CloseArchive(handle);
    } catch (...) {
        return 1;
    }
}

int32_t UnZip(int32_t, const char *cmdline, char *output, int32_t size)
{
    try {
        return unzip32::RunCommand(cmdline, output, size);
    } catch (...) {
        return 2;
    }
}

int64_t UnZipReadAhead(const char *path)
{
    try {
        return unzip32::ReadAhead(path);
    } catch (...) {
        return -1;
    }
}

void UnZipDropReadAhead(const char *path)
{
    try {
        unzip32::DropReadAhead(path);
    } catch (...) {
    }
}
}
