// The filter's entry on whole images: properties that hold for any correct
// implementation, and the edge cases of the call's contract.
#include <sorvik/sorvik.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace sorvik {
namespace {

struct Call {
    FilterParams params;
    std::vector<double> noisy;
    std::vector<float> pilot;
    std::vector<double> window;

    Call(int rows, int cols, unsigned seed = 1)
    {
        params.rows = rows;
        params.cols = cols;
        params.blockSize = 4;
        params.searchRadius = 3;
        params.maxGroupSize = 8;
        params.step = 2;
        params.matchThreshold = 0.5f;
        params.sigma = 0.1f;
        std::mt19937 rng(seed);
        std::uniform_real_distribution<double> pixel(0.05, 0.95);
        std::normal_distribution<double> noise(0.0, 0.1);
        for (int i = 0; i < rows * cols; ++i) {
            const double clean = 0.5 + 0.4 * std::sin(0.3 * (i % rows)) * std::cos(0.2 * (i / rows));
            pilot.push_back(float(clean));
            noisy.push_back(clean + noise(rng));
        }
        (void)pixel;
        setWindow(1.0);
    }

    void setWindow(double value) { window.assign(std::size_t(params.blockSize) * params.blockSize, value); }

    std::vector<float> run(FilterStatus expected = FilterStatus::ok) const
    {
        std::vector<float> out(noisy.size(), -7.0f);
        EXPECT_EQ(runFilter(params, noisy.data(), pilot.data(), window.data(), out.data()), expected);
        return out;
    }
};

bool bitEqual(const std::vector<float>& a, const std::vector<float>& b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

TEST(Filter, DenoisesTowardThePilot)
{
    Call call(40, 33);
    const std::vector<float> out = call.run();
    double before = 0, after = 0;
    for (std::size_t i = 0; i < out.size(); ++i) {
        ASSERT_TRUE(std::isfinite(out[i])) << i;
        before += std::pow(call.noisy[i] - call.pilot[i], 2);
        after += std::pow(out[i] - call.pilot[i], 2);
    }
    EXPECT_LT(after, 0.5 * before);
    EXPECT_TRUE(bitEqual(out, call.run())) << "two identical calls differ";
}

TEST(Filter, UnitWienerCoefficientsReproduceTheNoisyImage)
{
    // sigma = 0 makes every coefficient with pilot energy pass unchanged; a
    // random pilot has energy everywhere. Pixels stay inside (0, 1) so that
    // clipping does not apply.
    for (int P : {2, 3, 5, 8}) {
        Call call(29, 31, P);
        std::mt19937 rng(P);
        std::uniform_real_distribution<double> pixel(0.05, 0.95);
        for (std::size_t i = 0; i < call.noisy.size(); ++i) {
            call.noisy[i] = pixel(rng);
            call.pilot[i] = float(pixel(rng));
        }
        call.params.blockSize = P;
        call.params.sigma = 0.0f;
        call.params.matchThreshold = 1e6f;
        call.params.step = P - 1;
        call.setWindow(0.5);
        const std::vector<float> out = call.run();
        for (std::size_t i = 0; i < out.size(); ++i)
            ASSERT_NEAR(out[i], call.noisy[i], 2e-5) << "P=" << P << " pixel " << i;
    }
}

TEST(Filter, ReferenceGridIncludesLastRowAndColumn)
{
    // R = 0: every group is its reference alone, so exactly the pixels of the
    // reference blocks are covered. M - P = 11, N - P = 7, step 4: rows 0 4 8
    // 11, columns 0 4 7.
    Call call(13, 9);
    call.params.blockSize = 2;
    call.params.searchRadius = 0;
    call.params.step = 4;
    call.setWindow(1.0);
    const std::vector<float> out = call.run();
    const std::vector<int> rows = {0, 1, 4, 5, 8, 9, 11, 12}, cols = {0, 1, 4, 5, 7, 8};
    for (int i = 0; i < 13; ++i)
        for (int j = 0; j < 9; ++j) {
            const bool covered = std::count(rows.begin(), rows.end(), i) &&
                                 std::count(cols.begin(), cols.end(), j);
            EXPECT_EQ(std::isnan(out[i + j * 13]), !covered) << "pixel " << i << "," << j;
        }
}

TEST(Filter, StepOfOneOrLessVisitsEveryBlock)
{
    Call call(17, 15);
    call.params.step = 1;
    const std::vector<float> one = call.run();
    for (int step : {0, -3, std::numeric_limits<std::int32_t>::min()}) {
        call.params.step = step;
        EXPECT_TRUE(bitEqual(call.run(), one)) << "step " << step;
    }
}

TEST(Filter, OversizedRadiusAndGroupChangeNothing)
{
    // R beyond the grid and K beyond what a search area holds are cut to what
    // can matter; the result must be the same bits.
    Call call(14, 12);
    call.params.searchRadius = 11;
    call.params.maxGroupSize = 99; // 11 x 9 blocks in all
    const std::vector<float> exact = call.run();
    call.params.searchRadius = std::numeric_limits<std::int32_t>::max();
    call.params.maxGroupSize = std::numeric_limits<std::int32_t>::max();
    EXPECT_TRUE(bitEqual(call.run(), exact));
}

TEST(Filter, NegativeSigmaActsAsItsMagnitude)
{
    Call call(16, 16);
    const std::vector<float> positive = call.run();
    call.params.sigma = -call.params.sigma;
    EXPECT_TRUE(bitEqual(call.run(), positive));
}

TEST(Filter, UncoveredPixelsAreNaN)
{
    // Images smaller than a block: nothing is aggregated anywhere.
    for (auto [rows, cols] : {std::pair{3, 10}, std::pair{10, 3}, std::pair{1, 1}}) {
        Call call(rows, cols);
        for (float v : call.run())
            EXPECT_TRUE(std::isnan(v));
    }
    // step > blockSize with R = 0 leaves gaps between reference blocks.
    Call call(20, 20);
    call.params.searchRadius = 0;
    call.params.step = 7;
    const std::vector<float> out = call.run();
    EXPECT_TRUE(std::isnan(out[5 + 5 * 20]));
    EXPECT_FALSE(std::isnan(out[0]));
}

TEST(Filter, EmptyImageWritesNothing)
{
    for (auto [rows, cols] : {std::pair{0, 0}, std::pair{0, 5}, std::pair{7, 0}}) {
        FilterParams p;
        p.rows = rows;
        p.cols = cols;
        const double window[64] = {};
        EXPECT_EQ(runFilter(p, nullptr, nullptr, window, nullptr), FilterStatus::ok);
    }
}

TEST(Filter, RejectsParametersOutsideItsRange)
{
    Call call(10, 10);
    const auto rejected = [&](auto change) {
        Call c = call;
        change(c.params);
        return runFilter(c.params, c.noisy.data(), c.pilot.data(), c.window.data(),
                         std::vector<float>(100).data()) == FilterStatus::invalidParameters;
    };
    EXPECT_TRUE(rejected([](FilterParams& p) { p.blockSize = 1; }));
    EXPECT_TRUE(rejected([](FilterParams& p) { p.maxGroupSize = 0; }));
    EXPECT_TRUE(rejected([](FilterParams& p) { p.searchRadius = -1; }));
    EXPECT_TRUE(rejected([](FilterParams& p) { p.rows = -1; }));
    // Sizes whose products overflow are refused before anything is allocated.
    FilterParams huge = call.params;
    huge.rows = huge.cols = 1 << 20;
    EXPECT_EQ(checkParams(huge), FilterStatus::invalidParameters);
    huge.rows = huge.cols = 46341;
    huge.blockSize = 40000;
    EXPECT_EQ(checkParams(huge), FilterStatus::invalidParameters);
}

TEST(Filter, ThresholdAboveEmptyMarkCountsOnlyHeldMatches)
{
    // A threshold above the empty-entry distance must not count empty entries
    // as matches (they name no block). It acts as the largest threshold.
    Call call(12, 12);
    call.params.matchThreshold = 1048576.0f;
    const std::vector<float> capped = call.run();
    call.params.matchThreshold = std::numeric_limits<float>::infinity();
    EXPECT_TRUE(bitEqual(call.run(), capped));
}

TEST(Filter, ProgressReportsEveryRow)
{
    Call call(15, 9);
    std::vector<std::int32_t> seen;
    FilterOptions options;
    options.progressContext = &seen;
    options.progress = [](void* context, std::int32_t done, std::int32_t total) {
        static_cast<std::vector<std::int32_t>*>(context)->push_back(done);
        EXPECT_EQ(total, 12);
    };
    std::vector<float> out(call.noisy.size());
    ASSERT_EQ(runFilter(call.params, call.noisy.data(), call.pilot.data(), call.window.data(),
                        out.data(), options),
              FilterStatus::ok);
    ASSERT_EQ(seen.size(), 12u);
    EXPECT_EQ(seen.back(), 12);
}

} // namespace
} // namespace sorvik
