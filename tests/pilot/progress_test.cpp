// The row counts that the filter and the basic estimate report.
#include "frontend/settings.h"
#include <sorvik/sorvik.h>
#include "pilot/basic_estimate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace sorvik {
namespace {

struct Recorder {
    std::mutex mutex;
    std::vector<std::int32_t> done;
    std::vector<std::int32_t> totals;

    static void record(void* self, std::int32_t rowsDone, std::int32_t rowsTotal)
    {
        auto* r = static_cast<Recorder*>(self);
        const std::lock_guard<std::mutex> lock(r->mutex);
        r->done.push_back(rowsDone);
        r->totals.push_back(rowsTotal);
    }
};

std::vector<double> image(std::int32_t M, std::int32_t N)
{
    std::vector<double> x(std::size_t(M) * N);
    for (std::size_t p = 0; p < x.size(); ++p)
        x[p] = double((p * 37) % 101) / 100.0;
    return x;
}

TEST(ProgressCounts, FilterReportsEveryBlockRowOnce)
{
    const std::int32_t M = 29, N = 23; // 22 block-position rows of 8 x 8
    WienerSettings settings;
    settings.sigma = 0.1;
    settings.searchRadius = 4;
    const FilterSetup setup = prepareFilter(settings, M, N);
    const std::vector<double> noisy = image(M, N);
    const std::vector<float> pilot(noisy.begin(), noisy.end());
    std::vector<float> plain(noisy.size()), reported(noisy.size());
    ASSERT_EQ(runFilter(setup.params, noisy.data(), pilot.data(), setup.window.data(), plain.data()),
              FilterStatus::ok);

    for (const int threads : {1, 2}) {
        Recorder recorder;
        FilterOptions options;
        options.threads = threads;
        options.progress = &Recorder::record;
        options.progressContext = &recorder;
        ASSERT_EQ(runFilter(setup.params, noisy.data(), pilot.data(), setup.window.data(),
                            reported.data(), options),
                  FilterStatus::ok);
        EXPECT_EQ(reported, plain) << "reporting progress changed the result";
        const std::int32_t rows = M - 8 + 1;
        EXPECT_EQ(recorder.totals, std::vector<std::int32_t>(std::size_t(rows), rows));
        std::vector<std::int32_t> sorted = recorder.done;
        std::sort(sorted.begin(), sorted.end());
        std::vector<std::int32_t> expected(static_cast<std::size_t>(rows));
        for (std::int32_t n = 0; n < rows; ++n)
            expected[std::size_t(n)] = n + 1;
        EXPECT_EQ(sorted, expected) << threads << " threads";
        if (threads == 1) {
            EXPECT_EQ(recorder.done, expected);
        }
    }
}

TEST(ProgressCounts, BasicEstimateReportsEveryBlockRowInOrder)
{
    const std::int32_t M = 19, N = 12;
    const std::vector<double> noisy = image(M, N);
    std::vector<float> out(noisy.size());
    Recorder recorder;
    BasicEstimateOptions options;
    options.progress = &Recorder::record;
    options.progressContext = &recorder;
    basicEstimate(M, N, noisy.data(), 0.1, out.data(), options);
    const std::vector<std::int32_t> expected = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    EXPECT_EQ(recorder.done, expected);
    EXPECT_EQ(recorder.totals, std::vector<std::int32_t>(12, 12));
}

// With bands on several threads the calling thread reports the rows of all
// of them: every count once, in order, and the last is the total. A report
// that throws ends the call with the helpers stopped, and nothing leaks.
TEST(ProgressCounts, BasicEstimateOnThreadsCountsEveryBandAndStopsOnThrow)
{
    const std::int32_t M = 135, N = 40; // 128 block rows: bands on up to 8 threads
    const std::vector<double> noisy = image(M, N);
    std::vector<float> out(noisy.size());
    for (const int threads : {2, 5}) {
        Recorder recorder;
        BasicEstimateOptions options;
        options.threads = threads;
        options.progress = &Recorder::record;
        options.progressContext = &recorder;
        basicEstimate(M, N, noisy.data(), 0.1, out.data(), options);
        ASSERT_FALSE(recorder.done.empty());
        EXPECT_EQ(recorder.done.back(), 128) << threads << " threads";
        EXPECT_TRUE(std::is_sorted(recorder.done.begin(), recorder.done.end()));
        EXPECT_EQ(std::adjacent_find(recorder.done.begin(), recorder.done.end()),
                  recorder.done.end());

        struct Stop {
            static void at(void*, std::int32_t done, std::int32_t)
            {
                if (done >= 3)
                    throw std::runtime_error("stop");
            }
        };
        options.progress = &Stop::at;
        EXPECT_THROW(basicEstimate(M, N, noisy.data(), 0.1, out.data(), options),
                     std::runtime_error);
    }
}

} // namespace
} // namespace sorvik
