// Calls on windows of frames, several channels each, for many thread counts:
// every frame's sums, the walked frame's and its neighbours', keep their bits,
// for both stages.
#include "filter/frames.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace sorvik {
namespace {

// A pattern that drifts a pixel down and right each frame, with noise drawn
// per frame and channel; the pilot is the clean frame.
struct Window {
    static constexpr int frames = 3, channels = 3;
    int rows, cols;
    std::vector<std::vector<double>> noisy;  // [f * channels + c]
    std::vector<std::vector<float>> pilot;
    std::vector<std::vector<Channel>> described;

    Window(int rowCount, int colCount) : rows(rowCount), cols(colCount)
    {
        std::mt19937 rng(7);
        std::normal_distribution<double> noise(0.0, 0.08);
        for (int f = 0; f < frames; ++f)
            for (int c = 0; c < channels; ++c) {
                std::vector<double> n;
                std::vector<float> p;
                for (int j = 0; j < cols; ++j)
                    for (int i = 0; i < rows; ++i) {
                        const double v = 0.5 + 0.3 * std::sin(0.23 * (i - f) + 0.11 * c) *
                                                   std::cos(0.17 * (j - f) - 0.05 * i) +
                                         0.1 * double(((i - f) / 6 + (j - f) / 9) % 2);
                        n.push_back(v + noise(rng));
                        p.push_back(float(v));
                    }
                noisy.push_back(std::move(n));
                pilot.push_back(std::move(p));
            }
        described.resize(frames);
    }

    // Every frame's numerator and weights, in the layout of FrameWindow::sums.
    template <class Run>
    std::vector<std::vector<float>> sums(bool withPilot, Run run)
    {
        std::vector<std::vector<float>> out(2 * frames * channels,
                                            std::vector<float>(std::size_t(rows) * cols, -1.0f));
        std::vector<float*> pointers;
        for (std::vector<float>& s : out)
            pointers.push_back(s.data());
        std::vector<const Channel*> frameList;
        for (int f = 0; f < frames; ++f) {
            described[std::size_t(f)].clear();
            for (int c = 0; c < channels; ++c) {
                const std::size_t i = std::size_t(f * channels + c);
                described[std::size_t(f)].push_back(Channel{
                    noisy[i].data(), withPilot ? pilot[i].data() : nullptr, 0.08f + 0.01f * c, nullptr});
            }
            frameList.push_back(described[std::size_t(f)].data());
        }
        FrameWindow window;
        window.frames = frameList.data();
        window.count = frames;
        window.own = 1;
        window.predictiveRadius = 3;
        window.sums = pointers.data();
        EXPECT_EQ(run(window), FilterStatus::ok);
        return out;
    }
};

bool sameBits(const std::vector<std::vector<float>>& a, const std::vector<std::vector<float>>& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].size() != b[i].size() ||
            std::memcmp(a[i].data(), b[i].data(), a[i].size() * sizeof(float)) != 0)
            return false;
    return true;
}

TEST(FramesThreads, ColourWindowsKeepEveryFramesBitsForAnyThreadCount)
{
    // A tall window, so the accumulator band wraps many times, and a short
    // one with more threads than reference rows.
    for (const auto& [rows, cols] : {std::pair{150, 40}, std::pair{20, 60}}) {
        Window w(rows, cols);
        FilterParams params;
        params.rows = rows;
        params.cols = cols;
        params.blockSize = 8;
        params.searchRadius = 7;
        params.maxGroupSize = 16;
        params.step = 3;
        params.matchThreshold = 0.2f;
        ThresholdParams threshold;
        threshold.filter = params;
        const std::vector<double> window(64, 1.0);
        for (const bool wiener : {true, false}) {
            const auto runWith = [&](int threads) {
                FilterOptions options;
                options.threads = threads;
                return w.sums(wiener, [&](const FrameWindow& frames) {
                    return wiener ? runFilterFrames(params, frames, Window::channels, window.data(), options)
                                  : runThresholdFrames(threshold, frames, Window::channels,
                                                       window.data(), options);
                });
            };
            const std::vector<std::vector<float>> one = runWith(1);
            // Up to four threads aggregate in one slice; 7 take two, 13 take four.
            for (const int threads : {2, 3, 4, 7, 13})
                EXPECT_TRUE(sameBits(runWith(threads), one))
                    << rows << " x " << cols << (wiener ? " Wiener, " : " thresholds, ") << threads
                    << " threads";
        }
    }
}

} // namespace
} // namespace sorvik
