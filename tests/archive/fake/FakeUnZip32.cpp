// A stand-in for the archive library that follows a script and records each call, including
// whether the record it got was zero or still what it had written there the call before.
#include "FakeUnZip32.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "UnZip32.h"

namespace
{

struct Archive {
    std::int32_t check = 0;
    std::int32_t open = 0;
    std::vector<std::string> entries;
};

struct Script {
    Archive common;                     // every archive without a script of its own
    std::map<std::string, Archive> own; // by path
    std::string scripted;               // whose script the setters change; empty: the common one
    const Archive *opened = nullptr;
    std::size_t next = 0;
    std::int32_t unzipResult = 0;
    std::string unzipOutput;
    std::string calls;
    EntryInfo left{}; // the record as the last find left it
};

Script g_script;

std::string Text(const char *s)
{
    return s ? s : "(null)";
}

Archive &Of(const char *path)
{
    const auto own = g_script.own.find(Text(path));
    return own == g_script.own.end() ? g_script.common : own->second;
}

Archive &Scripted()
{
    return g_script.scripted.empty() ? g_script.common : g_script.own[g_script.scripted];
}

void Record(const std::string &line)
{
    g_script.calls += line + '\n';
}

// Fills the whole record for the next entry, 0; or leaves it alone at the end, 1.
std::int32_t Fill(EntryInfo *record)
{
    if (!g_script.opened || g_script.next >= g_script.opened->entries.size())
        return 1;
    const std::string &name = g_script.opened->entries[g_script.next++];
    std::memset(record, '#', sizeof *record);
    std::memset(record->data, int(g_script.next), sizeof record->data);
    std::memcpy(record->szFileName, name.data(), name.size());
    if (name.size() < sizeof record->szFileName)
        record->szFileName[name.size()] = '\0';
    g_script.left = *record;
    return 0;
}

} // namespace

extern "C" {

void FakeUnZip32_Reset()
{
    g_script = Script();
}
void FakeUnZip32_ScriptFor(const char *path)
{
    g_script.scripted = path ? path : "";
    Scripted();
}
void FakeUnZip32_SetCheck(std::int32_t result)
{
    Scripted().check = result;
}
void FakeUnZip32_SetOpen(std::int32_t handle)
{
    Scripted().open = handle;
}
void FakeUnZip32_AddEntry(const char *field, std::int32_t length)
{
    Scripted().entries.emplace_back(field, std::size_t(std::clamp(length, 0, 513)));
}
void FakeUnZip32_SetUnZip(std::int32_t result, const char *output, std::int32_t length)
{
    g_script.unzipResult = result;
    g_script.unzipOutput.assign(output, std::size_t(length));
}
const char *FakeUnZip32_Calls()
{
    return g_script.calls.c_str();
}

std::int32_t UnZipCheckArchive(const char *path, std::int32_t mode)
{
    Record("check " + Text(path) + ' ' + std::to_string(mode));
    return Of(path).check;
}

std::int32_t UnZipOpenArchive(std::int32_t hwnd, const char *path, std::int32_t mode)
{
    Record("open " + std::to_string(hwnd) + ' ' + Text(path) + ' ' + std::to_string(mode));
    g_script.opened = &Of(path);
    g_script.next = 0;
    return g_script.opened->open;
}

std::int32_t UnZipFindFirst(std::int32_t handle, const char *pattern, EntryInfo *record)
{
    const EntryInfo zero{};
    Record("first " + std::to_string(handle) + ' ' + Text(pattern) + ' ' +
           (std::memcmp(record, &zero, sizeof zero) == 0 ? "zero" : "dirty"));
    return Fill(record);
}

std::int32_t UnZipFindNext(std::int32_t handle, EntryInfo *record)
{
    Record("next " + std::to_string(handle) + ' ' +
           (std::memcmp(record, &g_script.left, sizeof *record) == 0 ? "kept" : "changed"));
    return Fill(record);
}

#ifndef FAKE_WITHOUT_CLOSE
std::int32_t UnZipCloseArchive(std::int32_t handle)
{
    Record("close " + std::to_string(handle));
    return 0;
}
#endif

#ifndef FAKE_WITHOUT_UNZIP
std::int32_t UnZip(std::int32_t hwnd, const char *cmdline, char *output, std::int32_t size)
{
    Record("unzip " + std::to_string(hwnd) + ' ' + Text(cmdline) + ' ' + std::to_string(size));
    const std::size_t n = std::min(g_script.unzipOutput.size(), std::size_t(std::max(size, 0)));
    if (n > 0)
        std::memcpy(output, g_script.unzipOutput.data(), n);
    return g_script.unzipResult;
}
#endif
}
