// The folder scan: every plain, non-hidden file whose name ends in ".zip" (any letter case)
// in a folder and all folders below it, depth first, each folder's subfolder trees before
// its own archives, in the directory's own order.
#pragma once

#include <functional>
#include <string>

namespace Module1
{

// Appends the path of every archive below folder to ArchiveList (which must hold a list) and
// adds one to ArchiveCount per path. Paths are the file system's bytes: the folder, "/" unless
// it already ends in "/", then the path below it. A folder that cannot be read is skipped,
// recorded in SkippedFolders, and the scan goes on; a folder that is its own ancestor (a link
// loop) is not entered again.
void FindZipFiles(std::string folder);

} // namespace Module1

namespace discovery
{

// Called as the scan enters each folder, so that a long scan can keep the windows painted. A
// hook that returns false ends the scan there, with the archives appended so far.
using FolderHook = std::function<bool()>;

// Sets one of the scan's hooks for a scope and puts back the one it replaced.
class ScopedHook
{
public:
    ~ScopedHook();
    ScopedHook(const ScopedHook &) = delete;
    ScopedHook &operator=(const ScopedHook &) = delete;

protected:
    ScopedHook(FolderHook &slot, FolderHook hook);

private:
    FolderHook &slot_;
    FolderHook previous_;
};

class ScopedFolderHook : public ScopedHook
{
public:
    explicit ScopedFolderHook(FolderHook hook);
};

// Called every few milliseconds while the scan waits for a folder that is being read ahead, which
// on a slow share can take a while: the run does its other work meanwhile and keeps the windows
// painted, and false ends the scan there.
class ScopedWaitHook : public ScopedHook
{
public:
    explicit ScopedWaitHook(FolderHook hook);
};

} // namespace discovery
