#include "Module1.h"

namespace Module1
{
std::string SelectedFolder;
std::optional<StringList> ArchiveList;
std::int64_t ArchiveCount = 0;
std::optional<StringList> EntryNames;
std::vector<SkippedFolder> SkippedFolders;
std::vector<RejectedArchive> RejectedArchives;
} // namespace Module1
