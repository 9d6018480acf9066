// Reading archive directories ahead of the listing. On a network share every open and read is
// a round trip; a few workers read the next archives' directories in list order, many at once,
// so that the listing's own check and open are answered from memory. What the listing shows
// does not depend on it: the library reads again whatever changed or was not read ahead.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

namespace listing
{

// The calls a read-ahead makes; ListFolder uses the archive library's.
struct ReadAheadCalls {
    // Reads ahead what the next check and open of path need: the bytes now held, or -1.
    std::function<std::int64_t(const char *path)> fetch;
    // Drops what is held for path.
    std::function<void(const char *path)> drop;
};

struct ReadAheadLimits {
    std::size_t requests = 64;                   // workers, each with one request in flight
    std::int64_t bytes = std::int64_t(48) << 20; // held and not yet used by the listing
    std::size_t archives = 2048;                 // held and not yet used by the listing
    // A second worker starts only once a few reads have taken this long, and the read-ahead stops
    // when the first reads take less: on a warm local disk the listing reads as fast itself.
    std::chrono::microseconds slowRead{1000};
    // Workers past this many start only while the usual read takes little longer than the
    // fastest: reads that take much longer wait for the processor, which more workers would
    // only share further.
    std::size_t freeWorkers = 16;
};

class ReadAheadPool
{
public:
    explicit ReadAheadPool(ReadAheadCalls calls, ReadAheadLimits limits = {});
    // Stops: what is queued is abandoned, what was read and not used is dropped. Requests in
    // flight get a short while to end; a worker still stuck in a read after it is left to end
    // on its own and touches nothing but state it shares with the others.
    ~ReadAheadPool();
    ReadAheadPool(const ReadAheadPool &) = delete;
    ReadAheadPool &operator=(const ReadAheadPool &) = delete;

    // The next archive in list order.
    void Add(std::string_view path);
    // The listing is about to check and open archive i (from 1; each i in turn): waits while
    // that archive is being read ahead, so that the read is used and not made twice. While the
    // wait lasts, keepWaiting is called every 50 ms or so; false ends the wait and the listing:
    // Reached then returns false and no other call may follow.
    bool Reached(std::size_t i, const std::function<bool()> &keepWaiting = {});
    // Whether archive i has been read ahead, well or not, so that Reached(i) would not wait.
    bool Read(std::size_t i) const;
    // Whether reads have been seen to take round trips, as on a share.
    bool RoundTrips() const;

    struct Shared;

private:
    void startWorker();

    std::shared_ptr<Shared> shared_;
};

} // namespace listing
