// Reading ahead for the listing: on a cold disk or a network share each archive's end is a
// wait of its own, one after another. A helper thread asks the kernel to start reading the ends
// of the next few archives while the current one is listed, so that the waits overlap. The
// order of the listing, the tree and the reader's calls stay as they are.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "Module1.h"

namespace listing
{

class TailPrefetcher
{
public:
    using Fetch = std::function<void(const std::string &path)>;

    // paths must stay unchanged while the prefetcher lives.
    TailPrefetcher(const Module1::StringList &paths, std::size_t ahead, Fetch fetch = FetchTail);
    ~TailPrefetcher();
    TailPrefetcher(const TailPrefetcher &) = delete;
    TailPrefetcher &operator=(const TailPrefetcher &) = delete;

    // The listing has reached archive i (from 1); archives up to i + ahead may be fetched.
    void Reached(std::size_t i);

    // Asks the kernel to read the last 64 KiB of a regular file, where the end record and most
    // central directories lie. Anything but a regular file is left alone.
    static void FetchTail(const std::string &path);

private:
    void run();

    const Module1::StringList &paths_;
    const std::size_t ahead_;
    const Fetch fetch_;
    std::mutex mutex_;
    std::condition_variable moved_;
    std::size_t reached_ = 0;
    std::size_t resumeAt_ = 0; // while asleep: the archive the listing must reach to wake it
    bool stop_ = false;
    std::thread thread_;
};

} // namespace listing
