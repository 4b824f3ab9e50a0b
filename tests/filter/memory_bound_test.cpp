// The filter's memory model against what a call holds on the heap while it
// runs: planners that trust filterMemoryBound must not be surprised.
#include <sorvik/sorvik.h>

#include "tests/heap_peak.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace sorvik {
namespace {

using testing::heapInUse;
using testing::Peak;

TEST(FilterMemoryBound, CoversWhatACallHoldsWhileItRuns)
{
    struct Case {
        std::int32_t rows, cols, P, R, K, step;
        int channels, threads;
    };
    for (const Case& c : {Case{64, 300, 8, 19, 32, 3, 1, 1}, Case{300, 64, 8, 19, 32, 3, 3, 2},
                          Case{120, 200, 4, 6, 64, 1, 2, 4}, Case{90, 90, 12, 10, 16, 4, 1, 3}}) {
        FilterParams params;
        params.rows = c.rows;
        params.cols = c.cols;
        params.blockSize = c.P;
        params.searchRadius = c.R;
        params.maxGroupSize = c.K;
        params.step = c.step;
        params.matchThreshold = 0.2f;
        const std::size_t pixels = std::size_t(c.rows) * std::size_t(c.cols);
        std::vector<double> noisy(pixels);
        std::vector<float> pilot(pixels);
        for (std::size_t i = 0; i < pixels; ++i) {
            noisy[i] = 0.5 + 0.3 * std::sin(0.37 * double(i));
            pilot[i] = float(0.5 + 0.25 * std::sin(0.37 * double(i)));
        }
        std::vector<float> estimates(pixels * std::size_t(c.channels));
        std::vector<Channel> channels;
        for (int k = 0; k < c.channels; ++k)
            channels.push_back(Channel{noisy.data(), pilot.data(), 0.05f,
                                       estimates.data() + std::size_t(k) * pixels});
        const std::vector<double> window(std::size_t(c.P) * std::size_t(c.P), 1.0);

        Peak peak;
        peak.before = heapInUse();
        FilterOptions options;
        options.threads = c.threads;
        options.progress = &Peak::sample;
        options.progressContext = &peak;
        ASSERT_EQ(runFilterChannels(params, channels.data(), c.channels, window.data(), options),
                  FilterStatus::ok);
        const std::string what = std::to_string(c.rows) + " x " + std::to_string(c.cols) + ", " +
                                 std::to_string(c.channels) + " channels, " +
                                 std::to_string(c.threads) + " threads";
        ASSERT_GT(peak.most, peak.before) << what;
        EXPECT_LE(peak.most - peak.before, filterMemoryBound(params, c.channels, c.threads)) << what;
    }
}

TEST(FilterMemoryBound, GrowsWithTheCallAndRefusesWhatCheckParamsRefuses)
{
    FilterParams p;
    p.rows = 500;
    p.cols = 400;
    const std::uint64_t one = filterMemoryBound(p, 1, 1);
    EXPECT_GT(filterMemoryBound(p, 3, 1), one);
    EXPECT_GT(filterMemoryBound(p, 1, 4), one);
    FilterParams wider = p;
    wider.cols = 800;
    EXPECT_GT(filterMemoryBound(wider, 1, 1), one);
    // At least the accumulated weights of every pixel.
    EXPECT_GE(one, std::uint64_t(500) * 400 * sizeof(float));

    constexpr std::uint64_t unbounded = std::numeric_limits<std::uint64_t>::max();
    FilterParams bad = p;
    bad.blockSize = 1;
    EXPECT_EQ(filterMemoryBound(bad, 1, 1), unbounded);
    EXPECT_EQ(filterMemoryBound(p, 0, 1), unbounded);
}

} // namespace
} // namespace sorvik
