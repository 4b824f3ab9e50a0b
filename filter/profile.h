// Where the time of one call goes, for the benchmark. Not part of the public
// header: only tools inside this repository look at it, through the testing
// target's runFilterProfiled.
#ifndef SORVIK_FILTER_PROFILE_H
#define SORVIK_FILTER_PROFILE_H

#include <sorvik/sorvik.h>

#include <chrono>
#include <cstdint>
#include <vector>

namespace sorvik::detail {

struct CallProfile {
    // Seconds spent in each stage (summed over every thread that ran it).
    double setUpSeconds = 0;     // workspace, plans, clearing the accumulators
    double ringSeconds = 0;      // block spectra of both images
    double matchSeconds = 0;     // block matching
    double groupSeconds = 0;     // gathering, transform along the group, shrinkage
    double inverseSeconds = 0;   // inverse transforms and aggregation
    double finishSeconds = 0;    // final division, teardown
    std::int64_t references = 0;
    std::int64_t candidates = 0;               // blocks matched against a reference
    std::int64_t blockSpectra = 0;             // r2c executions
    std::vector<std::int64_t> groupsOfSize;    // [k] = number of groups of size k
    // The walk's seconds from its first task to its last, and each thread's
    // seconds in it with no task to run ([0] the calling thread), spinning
    // or asleep: what a thread count leaves on the table.
    double walkSeconds = 0;
    std::vector<double> idleSeconds;
    // The walk's ordered parts. Bringing a ring piece's image rows and
    // opening a reference row's accumulator rows (closing those above) run
    // on one thread at a time; aggregation runs in `slices` slices of the
    // accumulator rows, each taking the batches in order, so one slice's
    // share of aggregateSeconds (summed over threads) runs on one thread at
    // a time. They bound the speed-up.
    double bringSeconds = 0;
    double openSeconds = 0;
    double aggregateSeconds = 0;
    std::int32_t slices = 0;
};

// runFilterChannels's work once the parameters are checked for every
// channel, filling `profile` when it is not null (the library passes null).
FilterStatus runCheckedChannels(const FilterParams& params, const Channel* channels, int count,
                                const double* window, const FilterOptions& options,
                                CallProfile* profile);

// runFilter, filling `profile` when it is not null. In the testing target
// (sorvik_filter_testing) only, which the benchmark links.
FilterStatus runFilterProfiled(const FilterParams& params, const double* noisy, const float* pilot,
                               const double* window, float* estimate, const FilterOptions& options,
                               CallProfile* profile);

// Counts one reference with its search area and group.
inline void countReference(CallProfile& profile, std::int32_t searchRows, std::int32_t searchCols,
                           std::int32_t groupSize)
{
    profile.references += 1;
    profile.candidates += std::int64_t{searchRows} * searchCols - 1;
    profile.groupsOfSize[std::size_t(groupSize)] += 1;
}

// Adds the time since `start` to `seconds` and restarts the clock; does nothing
// when profiling is off, so the plain call pays one branch per stage.
class StageClock {
public:
    explicit StageClock(bool on) : on_(on)
    {
        if (on_)
            start_ = std::chrono::steady_clock::now();
    }
    void lap(double& seconds)
    {
        if (!on_)
            return;
        const auto now = std::chrono::steady_clock::now();
        seconds += std::chrono::duration<double>(now - start_).count();
        start_ = now;
    }

private:
    bool on_;
    std::chrono::steady_clock::time_point start_;
};

} // namespace sorvik::detail

#endif
