// The listing run from a confirmed folder to the filled tree, without windows: the program's
// listing run and the lister share it line for line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "ReadAhead.h"
#include "TreeStore.h"

namespace listing
{

// The text a path shows as: its bytes as UTF-8, with U+FFFD where they are not.
std::string DisplayPath(std::string_view path);

// What a run shows besides the tree. The program's main window implements it with its
// progress bar and tree control; the lister keeps the defaults but for the archive's text.
class RunView
{
public:
    virtual ~RunView() = default;
    virtual void SetProgressMax(float) {}
    virtual void SetProgressValue(float) {}
    virtual void SetProgressVisible(bool) {}
    // Style 6 = tree lines, plus/minus boxes and text; border 1 = fixed single line.
    virtual void SetTreeStyle(int /*style*/, int /*borderStyle*/) {}
    virtual std::int32_t WindowHandle() { return 0; }
    // Around the folder scan, while the number of archives is not known yet. ScanEnded is
    // called when the scan returns, whether or not it found archives; not after an error.
    // Archives read ahead from a share are listed during the scan already; the progress bar
    // gets its maximum after the scan, and only then a value.
    virtual void ScanStarted() {}
    virtual void ScanEnded() {}
    // Called before the first archive and after the last node is added, also when an error
    // or a close ends the run after the first archive (FillEnded may then raise an error of its
    // own, which takes the place of the first).
    virtual void FillStarted() {}
    virtual void FillEnded() {}
    // Called after each archive and each folder scanned; false stops the run there (the
    // program is closing).
    virtual bool KeepGoing() { return true; }
    // Called while the run waits for a folder being read ahead (every few milliseconds, between
    // archives listed meanwhile) or for an archive (every 50 ms or so), which on a slow share can
    // take a while; false stops the run there too.
    virtual bool KeepWaiting() { return true; }
    // The text of an archive's node, from its path.
    virtual std::string ArchiveText(std::string_view path) { return DisplayPath(path); }
};

// The text of the node under an archive that the reader did not accept.
inline constexpr const char *kRejectionText = "書庫じゃないよ！";

// Scans folder and lists every archive found into nodes, as the main window's run does from
// the new archive list on: archive nodes keyed "R" + i with their path, then the entry names
// or the single rejection node. Returns false when the scan found no archive or was
// stopped before the first archive was listed. The folders the
// scan skipped are left in Module1::SkippedFolders, the rejected archives that could not be
// read or are empty in Module1::RejectedArchives.
bool ListFolder(const std::string &folder, platform::TreeNodes &nodes, RunView &view);

// Replaces the archive library's read-ahead and its limits in the runs that follow: calls
// without a fetch turn it off, nullptr brings the library's back.
void SetReadAheadForTesting(const ReadAheadCalls *calls, ReadAheadLimits limits = {});

} // namespace listing
