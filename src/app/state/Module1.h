// Module-level state shared by the windows and routines of the program.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Module1
{

// Ordered list of byte strings: one arena and the end offset of each item, so that a list of
// a million names costs two allocations that grow, not a million.
class StringList
{
public:
    void Add(std::string_view s)
    {
        arena_.append(s);
        ends_.push_back(arena_.size());
    }
    std::size_t Count() const { return ends_.size(); }
    // One-based, as the program's lists are.
    std::string_view Item(std::size_t i) const
    {
        const std::size_t begin = i > 1 ? ends_[i - 2] : 0;
        return std::string_view(arena_).substr(begin, ends_[i - 1] - begin);
    }
    // Empties the list but keeps its buffers.
    void Clear()
    {
        arena_.clear();
        ends_.clear();
    }

private:
    std::string arena_;
    std::vector<std::size_t> ends_;
};

// A folder the scan could not read, with the reason (an errno value).
struct SkippedFolder {
    std::string path;
    int error = 0;
};

// An archive that the reader rejected because the file could not be read (error: an errno
// value) or is empty (error 0), rather than for what it holds.
struct RejectedArchive {
    std::string path;
    int error = 0;
};

// The folder last confirmed in the folder chooser, as file-system bytes; empty until then.
extern std::string SelectedFolder;
// Paths (file-system bytes) of the archives found by the current listing run; nullopt = none.
extern std::optional<StringList> ArchiveList;
// Number of archives found by the current listing run.
extern std::int64_t ArchiveCount;
// Entry names (UTF-8) of the archive being listed; nullopt = none.
extern std::optional<StringList> EntryNames;
// Folders that the current listing run's scan had to skip, in the order met.
extern std::vector<SkippedFolder> SkippedFolders;
// Archives of the current listing run that could not be read or are empty, in list order.
extern std::vector<RejectedArchive> RejectedArchives;

} // namespace Module1
