// The grouped thresholding stage against its plain oracle, bit for bit, on
// one and three channels and any thread count; and what it must give on
// images whose answer is known.
#include "filter/grouped_threshold.h"
#include "tests/filter/plain_filter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace sorvik {
namespace {

// Smooth waves plus noise of sigma, in [0, 1] mostly (some values leave it).
std::vector<double> scene(std::int32_t rows, std::int32_t cols, double sigma, unsigned seed)
{
    std::mt19937 random(seed);
    std::normal_distribution<double> noise(0.0, sigma);
    std::vector<double> image(std::size_t(rows) * std::size_t(cols));
    for (std::int32_t j = 0; j < cols; ++j)
        for (std::int32_t i = 0; i < rows; ++i)
            image[std::size_t(i) + std::size_t(j) * rows] =
                0.5 + 0.3 * std::sin(0.3 * i + 0.1 * seed) * std::cos(0.17 * j) +
                (i / 9 + j / 7) % 2 * 0.1 + noise(random);
    return image;
}

std::vector<double> flatWindow(std::int32_t P) { return std::vector<double>(std::size_t(P) * P, 1.0); }

std::vector<double> taperedWindow(std::int32_t P)
{
    std::vector<double> w(std::size_t(P) * P);
    for (std::int32_t r = 0; r < P; ++r)
        for (std::int32_t c = 0; c < P; ++c)
            w[std::size_t(r) * P + c] = 0.5 + 0.5 * std::sin(3.14159 * (r + 0.5) / P) *
                                                  std::sin(3.14159 * (c + 0.75) / P);
    return w;
}

struct Case {
    std::string name;
    std::int32_t rows, cols, P, R, K, step;
    float lambda, matchFloor, threshold, sigma;
    int channels;
};

// Runs library and oracle on the same channels; every thread count gives
// the oracle's bits.
void expectOracleBits(const Case& c)
{
    ThresholdParams params;
    params.filter.rows = c.rows;
    params.filter.cols = c.cols;
    params.filter.blockSize = c.P;
    params.filter.searchRadius = c.R;
    params.filter.maxGroupSize = c.K;
    params.filter.step = c.step;
    params.filter.matchThreshold = c.threshold;
    params.lambda = c.lambda;
    params.matchFloor = c.matchFloor;
    const std::size_t pixels = std::size_t(c.rows) * std::size_t(c.cols);
    std::vector<std::vector<double>> noisy;
    for (int k = 0; k < c.channels; ++k)
        noisy.push_back(scene(c.rows, c.cols, c.sigma, 11u + unsigned(k)));
    const std::vector<double> window = taperedWindow(c.P);

    const auto channelsFor = [&](std::vector<float>& out) {
        out.assign(pixels * std::size_t(c.channels), -1.0f);
        std::vector<Channel> channels(static_cast<std::size_t>(c.channels));
        for (int k = 0; k < c.channels; ++k) {
            channels[k].noisy = noisy[k].data();
            channels[k].sigma = c.sigma * float(1 + k);
            channels[k].estimate = out.data() + std::size_t(k) * pixels;
        }
        return channels;
    };
    std::vector<float> expected;
    const std::vector<Channel> oracle = channelsFor(expected);
    ASSERT_EQ(plain::runThresholdChannels(params, oracle.data(), c.channels, window.data()),
              FilterStatus::ok);
    for (int threads : {1, 2, 5}) {
        std::vector<float> got;
        const std::vector<Channel> channels = channelsFor(got);
        FilterOptions options;
        options.threads = threads;
        ASSERT_EQ(runThresholdChannels(params, channels.data(), c.channels, window.data(), options),
                  FilterStatus::ok);
        ASSERT_EQ(std::memcmp(got.data(), expected.data(), got.size() * sizeof(float)), 0)
            << c.name << " with " << threads << " threads";
    }
}

TEST(GroupedThreshold, GivesTheOracleBits)
{
    const Case cases[] = {
        {"defaults", 48, 53, 8, 16, 16, 3, 2.7f, 0.0f, 0.5f, 0.1f, 1},
        {"floored matching", 45, 40, 8, 6, 16, 3, 2.7f, 2.0f, 0.5f, 0.2f, 1},
        {"every block a reference", 30, 27, 4, 3, 8, 1, 2.5f, 0.0f, 0.1f, 0.05f, 1},
        {"groups cut to powers of two", 37, 41, 5, 4, 13, 2, 3.0f, 1.0f, 0.4f, 0.1f, 1},
        {"single blocks", 33, 29, 6, 0, 1, 4, 2.7f, 0.0f, 0.5f, 0.1f, 1},
        {"radius past the grid", 21, 24, 8, 40, 64, 3, 2.7f, 0.0f, 100.0f, 0.1f, 1},
        {"nothing matches", 30, 30, 8, 5, 16, 3, 2.7f, 0.0f, 0.0f, 0.1f, 1},
        {"colour, shared groups", 40, 44, 8, 7, 16, 3, 2.7f, 1.5f, 0.6f, 0.1f, 3},
        {"colour, large blocks", 35, 38, 12, 5, 8, 4, 2.7f, 0.0f, 1.0f, 0.15f, 3},
    };
    for (const Case& c : cases)
        expectOracleBits(c);
}

FilterStatus runOne(const ThresholdParams& params, const double* noisy, float sigma, float* out,
                    const double* window, const FilterOptions& options = {})
{
    const Channel channel{noisy, nullptr, sigma, out};
    return runThresholdChannels(params, &channel, 1, window, options);
}

ThresholdParams paramsFor(std::int32_t rows, std::int32_t cols, float matchThreshold)
{
    ThresholdParams params;
    params.filter.rows = rows;
    params.filter.cols = cols;
    params.filter.maxGroupSize = 16;
    params.filter.searchRadius = 10;
    params.filter.matchThreshold = matchThreshold;
    return params;
}

// Without noise nothing is below the threshold, and the transforms undo
// each other up to rounding.
TEST(GroupedThreshold, NoiselessImageComesBackWithinRounding)
{
    const std::int32_t rows = 40, cols = 37;
    const std::vector<double> clean = scene(rows, cols, 0.0, 3);
    std::vector<double> inside(clean);
    for (double& v : inside)
        v = std::min(std::max(v, 0.0), 1.0);
    const std::vector<double> window = taperedWindow(8);
    std::vector<float> out(inside.size());
    ASSERT_EQ(runOne(paramsFor(rows, cols, 5.0f), inside.data(), 0.0f, out.data(), window.data()),
              FilterStatus::ok);
    for (std::size_t i = 0; i < out.size(); ++i)
        ASSERT_NEAR(out[i], inside[i], 2e-6) << i;
}

// A group whose every value is zero keeps only its DC: its blocks weigh as
// window x 1, never 1 / 0, and a black image stays black.
TEST(GroupedThreshold, AllZeroGroupsGetAPositiveWeight)
{
    const std::int32_t rows = 24, cols = 30;
    const std::vector<double> black(std::size_t(rows) * cols, 0.0);
    const std::vector<double> window = flatWindow(8);
    std::vector<float> out(black.size(), -1.0f);
    ASSERT_EQ(runOne(paramsFor(rows, cols, 1.0f), black.data(), 0.1f, out.data(), window.data()),
              FilterStatus::ok);
    for (float v : out)
        ASSERT_EQ(v, 0.0f);

    // A flat grey: every group is its DC alone, so every block comes back
    // as it was and each pixel is the plain mean of equal values.
    const std::vector<double> grey(black.size(), 0.375);
    ASSERT_EQ(runOne(paramsFor(rows, cols, 1.0f), grey.data(), 0.1f, out.data(), window.data()),
              FilterStatus::ok);
    for (float v : out)
        ASSERT_NEAR(v, 0.375f, 1e-6f);
}

TEST(GroupedThreshold, RefusesWhatItCannotRun)
{
    const std::int32_t rows = 20, cols = 20;
    const std::vector<double> image(std::size_t(rows) * cols, 0.5);
    const std::vector<float> pilot(image.size(), 0.5f);
    const std::vector<double> window = flatWindow(8);
    std::vector<float> out(image.size());
    ThresholdParams params = paramsFor(rows, cols, 1.0f);
    const Channel withPilot{image.data(), pilot.data(), 0.1f, out.data()};
    EXPECT_EQ(runThresholdChannels(params, &withPilot, 1, window.data()),
              FilterStatus::invalidParameters);
    for (float bad : {-1.0f, NAN, INFINITY}) {
        ThresholdParams p = params;
        p.lambda = bad;
        EXPECT_EQ(runOne(p, image.data(), 0.1f, out.data(), window.data()),
                  FilterStatus::invalidParameters);
        p = params;
        p.matchFloor = bad;
        EXPECT_EQ(runOne(p, image.data(), 0.1f, out.data(), window.data()),
                  FilterStatus::invalidParameters);
    }
    EXPECT_EQ(runOne(params, image.data(), -0.1f, out.data(), window.data()),
              FilterStatus::invalidParameters);
    params.filter.blockSize = 1;
    EXPECT_EQ(runOne(params, image.data(), 0.1f, out.data(), window.data()),
              FilterStatus::invalidParameters);
    EXPECT_EQ(runThresholdChannels(params, nullptr, 1, window.data()),
              FilterStatus::invalidParameters);
}

// Progress comes from the walk: every block-position row once, in order.
TEST(GroupedThreshold, ReportsEveryRowInOrder)
{
    const std::int32_t rows = 50, cols = 31;
    const std::vector<double> image = scene(rows, cols, 0.1, 5);
    const std::vector<double> window = flatWindow(8);
    std::vector<float> out(image.size());
    for (int threads : {1, 3}) {
        std::vector<std::int32_t> seen;
        FilterOptions options;
        options.threads = threads;
        options.progressContext = &seen;
        options.progress = [](void* context, std::int32_t done, std::int32_t total) {
            EXPECT_EQ(total, 43);
            static_cast<std::vector<std::int32_t>*>(context)->push_back(done);
        };
        ASSERT_EQ(runOne(paramsFor(rows, cols, 1.0f), image.data(), 0.1f, out.data(), window.data(),
                         options),
                  FilterStatus::ok);
        ASSERT_EQ(seen.size(), 43u);
        for (std::size_t i = 0; i < seen.size(); ++i)
            EXPECT_EQ(seen[i], std::int32_t(i) + 1);
    }
}

} // namespace
} // namespace sorvik
