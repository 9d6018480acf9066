// Why the reader rejected an archive, when the file says why: asked only after a rejection, so
// that listing a good archive costs nothing more.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace listing
{

// An errno value when the file cannot be opened or read, 0 when it is empty (no bytes, or an end
// record and no entry), nothing when it is just not an archive. Never waits on a FIFO.
std::optional<int> RejectionReason(const std::string &path);

// Reasons asked ahead, by the read-ahead's workers for the files they found to hold no archive,
// so that on a share the listing does not wait for those round trips on its own turn.
class RejectionReasons
{
public:
    // Any thread.
    void Ask(const char *path);
    // The reason asked ahead for path while the file is still the one asked about, or asked now.
    std::optional<int> Take(const std::string &path);

private:
    struct File {
        std::int64_t values[7];
    };
    struct Reason {
        File file;
        std::optional<int> why;
    };
    // A share answers this from its attribute cache.
    static bool Stat(const char *path, File &file);

    std::mutex mutex_;
    std::unordered_map<std::string, Reason> reasons_;
};

} // namespace listing
