// The folder scan: every plain, non-hidden file whose name ends in ".zip" (any letter case)
// in a folder and all folders below it, depth first, each folder's subfolder trees before
// its own archives, in the directory's own order.
#pragma once

#include <string>

namespace Module1 {

// Appends the path of every archive below folder to ArchiveList (which must hold a list) and
// adds one to ArchiveCount per path. Paths are the file system's bytes: the folder, "/" unless
// it already ends in "/", then the path below it. A folder that cannot be read is skipped,
// recorded in SkippedFolders, and the scan goes on; a folder that is its own ancestor (a link
// loop) is not entered again.
void FindZipFiles(std::string folder);

} // namespace Module1
