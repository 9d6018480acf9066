// Whether reads made ahead keep their pace as threads are added to make them. On a share that
// answers many requests at once, a read takes about the same round trips however many are in
// flight; where they take much longer, they wait for the processor, which more threads would
// only share further.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>

namespace discovery
{

class ReadPace
{
public:
    using Duration = std::chrono::steady_clock::duration;

    // A read ended, having taken `took` for each of its requests.
    void Note(Duration took)
    {
        recent_[count_++ % kRecent] = took;
        fastest_ = std::min(fastest_, took);
        ++endedSinceStart_;
    }

    void ThreadStarted() { endedSinceStart_ = 0; }

    // Whether the usual read, the median of the last ones, takes at most a quarter longer than
    // the fastest. Judged only after a few reads made with the threads there are.
    bool Uncrowded() const
    {
        if (endedSinceStart_ < kReadsPerStart || count_ < kToJudge)
            return false;
        std::array<Duration, kRecent> sorted = recent_;
        const std::size_t n = std::min(count_, kRecent);
        std::nth_element(sorted.begin(), sorted.begin() + n / 2, sorted.begin() + n);
        return 4 * sorted[n / 2] <= 5 * fastest_;
    }

private:
    static constexpr std::size_t kRecent = 31;
    static constexpr std::size_t kToJudge = 8;
    // One more thread starts after this many reads ended, so that the reads judged are mostly
    // ones made with the threads there are.
    static constexpr std::size_t kReadsPerStart = 4;

    std::array<Duration, kRecent> recent_{};
    std::size_t count_ = 0;
    Duration fastest_ = Duration::max();
    std::size_t endedSinceStart_ = 0;
};

} // namespace discovery
