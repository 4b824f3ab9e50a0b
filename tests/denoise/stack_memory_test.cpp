// The memory bounds of stacks against what the calls hold on the heap while
// they run: the tool refuses a --frames stack by them, so they must not be
// surprised by the frames of the window, their rings and accumulators.
#include <sorvik/stack.h>

#include "filter/frames.h"
#include "test_images.h"

#include "tests/heap_peak.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <exception>
#include <limits>
#include <string>
#include <thread>
#include <vector>

namespace sorvik {
namespace {

using testing::heapInUse;
using testing::Peak;

TEST(StackMemoryBound, CoversWhatAWindowsCallHoldsWhileItRuns)
{
    struct Case {
        std::int32_t rows, cols, P, R, K, step;
        int frames, channels, threads;
        bool threshold;
    };
    for (const Case& c : {Case{64, 120, 8, 12, 16, 3, 5, 1, 1, false},
                          Case{90, 70, 8, 10, 32, 3, 3, 3, 2, false},
                          Case{80, 96, 8, 12, 16, 4, 5, 3, 3, true},
                          Case{120, 60, 4, 6, 32, 1, 2, 1, 4, true}}) {
        FilterParams params;
        params.rows = c.rows;
        params.cols = c.cols;
        params.blockSize = c.P;
        params.searchRadius = c.R;
        params.maxGroupSize = c.K;
        params.step = c.step;
        params.matchThreshold = 0.2f;
        const std::size_t pixels = std::size_t(c.rows) * std::size_t(c.cols);
        const std::size_t planes = std::size_t(c.frames) * std::size_t(c.channels);
        std::vector<double> noisy(pixels * planes);
        std::vector<float> pilot(pixels * planes), sums(2 * pixels * planes);
        for (std::size_t i = 0; i < noisy.size(); ++i) {
            noisy[i] = 0.5 + 0.3 * std::sin(0.37 * double(i % pixels) + 0.1 * double(i / pixels));
            pilot[i] = float(noisy[i] * 0.9);
        }
        std::vector<Channel> channels(planes);
        std::vector<const Channel*> frames(std::size_t(c.frames));
        for (std::size_t i = 0; i < planes; ++i)
            channels[i] = Channel{noisy.data() + i * pixels,
                                  c.threshold ? nullptr : pilot.data() + i * pixels, 0.05f, nullptr};
        for (int f = 0; f < c.frames; ++f)
            frames[std::size_t(f)] = channels.data() + std::size_t(f) * std::size_t(c.channels);
        std::vector<float*> sumPointers(2 * planes);
        for (std::size_t i = 0; i < sumPointers.size(); ++i)
            sumPointers[i] = sums.data() + i * pixels;
        FrameWindow window;
        window.frames = frames.data();
        window.count = c.frames;
        window.own = c.frames / 2;
        window.sums = sumPointers.data();
        const std::vector<double> weights(std::size_t(c.P) * std::size_t(c.P), 1.0);

        Peak peak;
        peak.before = heapInUse();
        FilterOptions options;
        options.threads = c.threads;
        options.progress = &Peak::sample;
        options.progressContext = &peak;
        ThresholdParams threshold;
        threshold.filter = params;
        const FilterStatus status =
            c.threshold
                ? runThresholdFrames(threshold, window, c.channels, weights.data(), options)
                : runFilterFrames(params, window, c.channels, weights.data(), options);
        ASSERT_EQ(status, FilterStatus::ok);
        const std::string what = std::to_string(c.frames) + " frames of " +
                                 std::to_string(c.rows) + " x " + std::to_string(c.cols) + ", " +
                                 std::to_string(c.channels) + " channels, " +
                                 std::to_string(c.threads) + " threads";
        ASSERT_GT(peak.most, peak.before) << what;
        const std::uint64_t bound = framesMemoryBound(params, c.frames, c.channels, c.threads);
        EXPECT_LE(peak.most - peak.before, bound) << what;
    }
}

// What the calls refuse has no bound: the tool then refuses rather than
// trusting a number.
TEST(StackMemoryBound, RefusesWhatTheCallsRefuse)
{
    constexpr std::uint64_t unbounded = std::numeric_limits<std::uint64_t>::max();
    FilterParams p;
    p.rows = 300;
    p.cols = 200;
    EXPECT_EQ(framesMemoryBound(p, 0, 1, 1), unbounded);
    EXPECT_EQ(framesMemoryBound(p, maxWindowFrames + 1, 1, 1), unbounded);
    FilterParams bad = p;
    bad.blockSize = 1;
    EXPECT_EQ(framesMemoryBound(bad, 3, 1, 1), unbounded);
    StackOptions stack;
    EXPECT_EQ(stackMemoryBound(100, 120, 2, 10, {}, stack, false), unbounded);
    stack.temporalRadius = maxTemporalRadius + 1;
    EXPECT_EQ(stackMemoryBound(100, 120, 1, 10, {}, stack, false), unbounded);
}

// denoiseStack reports no progress, so its heap is sampled from beside it:
// what the sampler sees is at most the true peak, which the bound must cover.
TEST(StackMemoryBound, CoversWhatTheWholeCallHolds)
{
    struct Case {
        int channels, frames, radius, threads;
        PilotKind pilot;
        bool estimate;
    };
    for (const Case& c : {Case{1, 6, 2, 1, PilotKind::grouped, true},
                          Case{3, 4, 1, 2, PilotKind::grouped, false},
                          Case{1, 5, 2, 2, PilotKind::dct, true}}) {
        const std::int32_t rows = 72, cols = 80;
        const std::size_t plane = std::size_t(rows) * std::size_t(cols);
        std::vector<double> pixels(plane * std::size_t(c.channels) * std::size_t(c.frames));
        for (std::size_t i = 0; i < pixels.size(); ++i)
            pixels[i] = 0.5 + 0.3 * std::sin(0.21 * double(i % plane) + 0.7 * double(i / plane));
        testing::addNoise(pixels, 0.05, 7u);
        for (double& v : pixels)
            v = std::min(1.0, std::max(0.0, v));
        StackInput in;
        in.rows = rows;
        in.cols = cols;
        in.channels = c.channels;
        in.frames = c.frames;
        in.pixels = pixels.data();
        if (!c.estimate)
            in.sigma = 0.05;
        DenoiseOptions options;
        options.pilot = c.pilot;
        options.threads = c.threads;
        StackOptions stack;
        stack.temporalRadius = c.radius;

        std::atomic<bool> running{true};
        std::atomic<std::uint64_t> most{0};
        std::thread sampler([&] {
            while (running.load()) {
                const std::uint64_t now = heapInUse();
                if (now > most.load())
                    most.store(now);
                std::this_thread::sleep_for(std::chrono::microseconds(50));
            }
        });
        const std::uint64_t before = heapInUse();
        most.store(before);
        StackResult result;
        std::string failure;
        try {
            result = denoiseStack(in, options, stack);
        } catch (const std::exception& e) {
            failure = e.what();
        }
        running.store(false);
        sampler.join();
        ASSERT_EQ(failure, "");
        const std::string what = std::to_string(c.frames) + " frames, " +
                                 std::to_string(c.channels) + " channels, radius " +
                                 std::to_string(c.radius);
        ASSERT_EQ(result.pixels.size(), pixels.size()) << what;
        const std::uint64_t seen = std::max(most.load(), heapInUse());
        ASSERT_GT(seen, before) << what;
        // The noise estimator's values are aligned to a huge page; the heap
        // counts the address space skipped to align them, up to one huge
        // page, which is never touched and so costs the process nothing.
        const std::uint64_t alignment = c.estimate ? std::uint64_t(2) << 20 : 0;
        EXPECT_LE(seen - before,
                  stackMemoryBound(rows, cols, c.channels, c.frames, options, stack, c.estimate) +
                      alignment)
            << what;
    }
}

} // namespace
} // namespace sorvik
