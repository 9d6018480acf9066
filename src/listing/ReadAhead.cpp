#include "ReadAhead.h"

#include "ReadPace.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace listing
{

namespace
{
// What a closing run waits at most for requests in flight: on a share that answers at all
// they end in a few round trips.
constexpr auto kStopGrace = std::chrono::milliseconds(250);
// held[i] while archive i is being read.
constexpr std::int64_t kReading = -2;
// How often a listing that waits for an archive being read ahead is asked whether to go on.
constexpr auto kKeepWaitingEvery = std::chrono::milliseconds(50);
// Reads that all come back fast, from the page cache, stop the read-ahead: the listing reads as
// fast itself, and the workers would only take its processor.
constexpr std::size_t kFastReadsToStop = 16;
// A few slow reads, not one, mark reads as round trips: on a busy machine a read from the page
// cache can be held up once in a while.
constexpr std::size_t kSlowReadsToStart = 3;
} // namespace

struct ReadAheadPool::Shared {
    ReadAheadCalls calls;
    ReadAheadLimits limits;
    std::mutex mutex;
    std::condition_variable work;    // for the workers: more to read, or stop
    std::condition_variable changed; // for the owner: a read ended, or a worker did
    std::deque<std::string> paths;   // in list order; elements stay put as more are added
    std::vector<std::int64_t> held;  // per archive: bytes held, -1 none, or kReading
    std::size_t next = 0;            // index of the next archive to read
    std::size_t reached = 0;         // archives the listing has taken, from the first
    std::int64_t heldBytes = 0;
    std::size_t idle = 0; // workers not reading, including those not yet started
    std::size_t live = 0;
    std::size_t waiting = 0;  // workers asleep on work
    std::size_t woken = 0;    // of them, woken and not yet up
    std::size_t awaited = 0;  // the archive (from 1) the owner waits for, or 0
    std::vector<char> exited; // per worker, set as it leaves
    bool stop = false;
    bool slow = false; // a read took long: reads are round trips, more workers help
    std::size_t fastReads = 0;
    std::size_t slowReads = 0;
    // Of archive reads that found something: an archive takes the same round trips each time,
    // one that found nothing may take fewer.
    discovery::ReadPace pace;
    // Only the owner touches these.
    std::vector<std::thread> threads;

    // New reads start only below three quarters of the bytes: the quarter left takes the reads
    // in flight, which would otherwise come back past the budget, be dropped, and be read again
    // by the listing itself, one round trip after another.
    bool Ready() const
    {
        return next < paths.size() && next < reached + limits.archives &&
               heldBytes < limits.bytes - limits.bytes / 4 &&
               (slow || fastReads < kFastReadsToStop);
    }

    // Whether to wake one more sleeping worker: only while there is more to read than workers
    // already woken for it, since every wake-up is a system call or two, and a worker woken
    // for nothing takes the lock from those with work.
    bool TakeWake()
    {
        if (waiting <= woken || !Ready() || paths.size() - next <= woken)
            return false;
        ++woken;
        return true;
    }

    // Whether the owner should start a worker more.
    bool WantsWorker() const
    {
        return Ready() && paths.size() - next > idle && threads.size() < limits.requests &&
               (threads.empty() || slow) &&
               (threads.size() < limits.freeWorkers || pace.Uncrowded());
    }

    static void Work(std::shared_ptr<Shared> s, std::size_t id);
};

void ReadAheadPool::Shared::Work(std::shared_ptr<Shared> s, std::size_t id)
{
    std::unique_lock lock(s->mutex);
    for (;;) {
        while (!s->stop && !s->Ready()) {
            ++s->waiting;
            s->work.wait(lock);
            --s->waiting;
            if (s->woken > 0)
                --s->woken;
        }
        if (s->stop)
            break;
        const std::size_t i = s->next++;
        const std::string &path = s->paths[i];
        s->held[i] = kReading;
        --s->idle;
        // One waker per item, so that a wake-up never goes to all workers at once. Woken
        // outside the lock, which the woken one needs first.
        const bool wake = s->TakeWake();
        lock.unlock();
        if (wake)
            s->work.notify_one();

        const auto started = std::chrono::steady_clock::now();
        std::int64_t bytes = -1;
        // A path with a NUL names another file; the listing refuses it without a read.
        if (path.find('\0') == std::string::npos) {
            try {
                bytes = s->calls.fetch(path.c_str());
            } catch (...) {
                bytes = -1;
            }
        }

        const auto took = std::chrono::steady_clock::now() - started;
        const bool slow = took >= s->limits.slowRead;
        lock.lock();
        if (slow)
            s->slow = s->slow || ++s->slowReads >= kSlowReadsToStart;
        else
            ++s->fastReads;
        if (slow && bytes > 0)
            s->pace.Note(took);
        ++s->idle;
        s->held[i] = -1;
        bool drop = false;
        if (bytes >= 0) {
            // Past the budget only the listing's very next archive is kept: the listing would
            // hold that one in memory itself a moment later.
            const bool next = i == s->reached;
            drop = s->stop || i < s->reached || (!next && bytes > s->limits.bytes - s->heldBytes);
            if (!drop) {
                s->held[i] = bytes;
                s->heldBytes += bytes;
            }
        }
        // Only the owner's own archive wakes it: with dozens of reads ending, each would
        // wake it for nothing.
        const bool tell = s->awaited == i + 1;
        if (tell || drop) {
            lock.unlock();
            if (tell)
                s->changed.notify_all();
            if (drop) {
                try {
                    s->calls.drop(path.c_str());
                } catch (...) {
                }
            }
            lock.lock();
        }
    }
    --s->idle;
    --s->live;
    s->exited[id] = 1;
    s->changed.notify_all();
}

ReadAheadPool::ReadAheadPool(ReadAheadCalls calls, ReadAheadLimits limits)
    : shared_(std::make_shared<Shared>())
{
    shared_->calls = std::move(calls);
    shared_->limits = limits;
    shared_->slow = limits.slowRead.count() <= 0;
}

ReadAheadPool::~ReadAheadPool()
{
    Shared &s = *shared_;
    std::vector<const std::string *> unused;
    std::vector<char> exited;
    {
        std::unique_lock lock(s.mutex);
        s.stop = true;
        s.work.notify_all();
        s.changed.wait_for(lock, kStopGrace, [&] { return s.live == 0; });
        // Nothing leaves a destructor: out of memory, the threads are let go to end on their
        // own, and the reads noted so far are dropped.
        try {
            exited = s.exited;
            // The archive the listing took last may not have been opened (the run ended by an
            // error): its read is dropped with the ones never reached.
            for (std::size_t i = s.reached > 0 ? s.reached - 1 : 0; i < s.held.size(); ++i)
                if (s.held[i] >= 0 || i + 1 == s.reached)
                    unused.push_back(&s.paths[i]);
        } catch (const std::bad_alloc &) {
        }
    }
    for (std::size_t id = 0; id < s.threads.size(); ++id) {
        if (id < exited.size() && exited[id])
            s.threads[id].join();
        else
            s.threads[id].detach(); // stuck in a read; it drops what it gets
    }
    for (const std::string *path : unused) {
        try {
            s.calls.drop(path->c_str());
        } catch (...) {
        }
    }
}

void ReadAheadPool::startWorker()
{
    Shared &s = *shared_;
    const std::size_t id = s.threads.size();
    {
        std::lock_guard lock(s.mutex);
        s.exited.push_back(0);
        ++s.idle;
        ++s.live;
        s.pace.ThreadStarted();
    }
    const auto undo = [&s] {
        std::lock_guard lock(s.mutex);
        s.exited.pop_back();
        --s.idle;
        --s.live;
    };
    // No thread to be had, or no memory for one: the listing reads for itself, and the pool's
    // end waits for no worker that never started.
    try {
        s.threads.emplace_back(&Shared::Work, shared_, id);
    } catch (const std::system_error &) {
        undo();
    } catch (const std::bad_alloc &) {
        undo();
    }
}

void ReadAheadPool::Add(std::string_view path)
{
    Shared &s = *shared_;
    bool start = false;
    bool wake = false;
    {
        std::lock_guard lock(s.mutex);
        s.paths.emplace_back(path);
        s.held.push_back(-1);
        if (!s.Ready())
            return;
        // A worker more while there is more to read than idle workers to read it.
        wake = s.TakeWake();
        start = s.WantsWorker();
    }
    if (wake)
        s.work.notify_one();
    if (start)
        startWorker();
}

bool ReadAheadPool::Read(std::size_t i) const
{
    Shared &s = *shared_;
    std::lock_guard lock(s.mutex);
    return i > 0 && i - 1 < s.next && i <= s.held.size() && s.held[i - 1] != kReading;
}

bool ReadAheadPool::RoundTrips() const
{
    Shared &s = *shared_;
    std::lock_guard lock(s.mutex);
    return s.slow;
}

bool ReadAheadPool::Reached(std::size_t i, const std::function<bool()> &keepWaiting)
{
    Shared &s = *shared_;
    if (i == 0)
        return true;
    std::unique_lock lock(s.mutex);
    if (i <= s.held.size()) {
        // A read of a slow share takes a few round trips: the windows keep painting meanwhile,
        // and a close need not wait for it.
        while (s.held[i - 1] == kReading) {
            s.awaited = i;
            if (!keepWaiting) {
                s.changed.wait(lock);
            } else if (s.changed.wait_for(lock, kKeepWaitingEvery) == std::cv_status::timeout) {
                lock.unlock();
                const bool go = keepWaiting();
                lock.lock();
                if (!go) {
                    s.awaited = 0;
                    return false;
                }
            }
        }
        s.awaited = 0;
        // The listing's check and open take what is held.
        if (s.held[i - 1] >= 0) {
            s.heldBytes -= s.held[i - 1];
            s.held[i - 1] = -1;
        }
    }
    s.reached = i;
    if (s.next < i)
        s.next = i;
    // Workers that ran out of room wait until half of it is free again, so that a listing of
    // thousands of archives does not wake one per archive.
    const bool roomy = s.next + s.limits.archives / 2 <= s.reached + s.limits.archives &&
                       s.heldBytes <= s.limits.bytes / 2;
    const bool wake = roomy && s.TakeWake();
    const bool start = s.WantsWorker();
    lock.unlock();
    if (wake)
        s.work.notify_one();
    if (start)
        startWorker();
    return true;
}

} // namespace listing
