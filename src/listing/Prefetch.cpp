#include "Prefetch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace listing
{

TailPrefetcher::TailPrefetcher(const Module1::StringList &paths, std::size_t ahead, Fetch fetch)
    : paths_(paths), ahead_(ahead), fetch_(std::move(fetch)), thread_([this] { run(); })
{
}

TailPrefetcher::~TailPrefetcher()
{
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    moved_.notify_one();
    thread_.join();
}

void TailPrefetcher::Reached(std::size_t i)
{
    bool wake;
    {
        std::lock_guard lock(mutex_);
        reached_ = i;
        wake = resumeAt_ != 0 && i >= resumeAt_;
    }
    if (wake)
        moved_.notify_one();
}

void TailPrefetcher::run()
{
    const std::size_t count = paths_.Count();
    std::string path;
    for (std::size_t next = 1; next <= count; ++next) {
        {
            std::unique_lock lock(mutex_);
            if (next > reached_ + ahead_) {
                // Asleep until half the window is used up, so that a listing of thousands of
                // archives wakes this thread a few hundred times, not once per archive.
                resumeAt_ = next - ahead_ + ahead_ / 2;
                moved_.wait(lock, [&] { return stop_ || reached_ >= resumeAt_; });
                resumeAt_ = 0;
            }
            if (stop_)
                return;
        }
        path.assign(paths_.Item(next));
        fetch_(path);
    }
}

void TailPrefetcher::FetchTail(const std::string &path)
{
    // Non-blocking, and checked to be a regular file before anything is asked of it.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return;
    struct stat status;
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0) {
        constexpr off_t kTail = 65536 + 22;
        const off_t from = status.st_size > kTail ? status.st_size - kTail : 0;
        ::posix_fadvise(fd, from, status.st_size - from, POSIX_FADV_WILLNEED);
    }
    ::close(fd);
}

} // namespace listing
