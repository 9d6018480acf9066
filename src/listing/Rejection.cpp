#include "Rejection.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace listing
{

namespace
{

constexpr std::size_t EndRecordSize = 22;
constexpr std::size_t MaxComment = 65535;

unsigned Le16(const unsigned char *p)
{
    return unsigned(p[0]) | unsigned(p[1]) << 8;
}

// Whether the tail ends in an end record, comment included, that counts no entry.
bool EndsInEmptyDirectory(const std::vector<unsigned char> &tail)
{
    if (tail.size() < EndRecordSize)
        return false;
    for (std::size_t at = tail.size() - EndRecordSize + 1; at-- > 0;) {
        const unsigned char *p = tail.data() + at;
        if (std::memcmp(p, "PK\5\6", 4) == 0 && at + EndRecordSize + Le16(p + 20) == tail.size())
            return Le16(p + 8) == 0 && Le16(p + 10) == 0;
    }
    return false;
}

struct Fd {
    int fd;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

} // namespace

std::optional<int> RejectionReason(const std::string &path)
{
    const Fd file{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
    if (file.fd < 0)
        return errno;
    struct stat st;
    if (::fstat(file.fd, &st) != 0)
        return errno;
    if (!S_ISREG(st.st_mode))
        return std::nullopt;
    // Files of the kernel's pseudo file systems say 0 bytes and have more: read to be sure.
    const std::size_t size = std::size_t(st.st_size);
    std::vector<unsigned char> tail(size == 0 ? 1 : std::min(size, EndRecordSize + MaxComment));
    const ssize_t n =
        ::pread(file.fd, tail.data(), tail.size(), off_t(size - std::min(size, tail.size())));
    if (n < 0)
        return errno;
    if (size == 0)
        return n == 0 ? std::optional<int>(0) : std::nullopt;
    tail.resize(std::size_t(n));
    return EndsInEmptyDirectory(tail) ? std::optional<int>(0) : std::nullopt;
}

void RejectionReasons::Ask(const char *path)
{
    Reason r;
    if (!Stat(path, r.file))
        return;
    r.why = RejectionReason(path);
    std::lock_guard lock(mutex_);
    reasons_.insert_or_assign(path, r);
}

std::optional<int> RejectionReasons::Take(const std::string &path)
{
    Reason r;
    {
        std::lock_guard lock(mutex_);
        const auto it = reasons_.find(path);
        if (it == reasons_.end())
            return RejectionReason(path);
        r = it->second;
        reasons_.erase(it);
    }
    File now;
    if (!Stat(path.c_str(), now) || std::memcmp(&now, &r.file, sizeof now) != 0)
        return RejectionReason(path);
    return r.why;
}

bool RejectionReasons::Stat(const char *path, File &file)
{
    struct stat st;
    if (::stat(path, &st) != 0)
        return false;
    file = {{std::int64_t(st.st_dev), std::int64_t(st.st_ino), std::int64_t(st.st_size),
             st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_ctim.tv_sec, st.st_ctim.tv_nsec}};
    return true;
}

} // namespace listing
