#include "frontend/settings.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <string>

namespace sorvik {
namespace {

WienerSettings validSettings()
{
    WienerSettings s;
    s.sigma = 25.0 / 255.0;
    return s;
}

std::string rejection(const WienerSettings& s, std::int32_t rows = 32, std::int32_t cols = 32)
{
    try {
        prepareFilter(s, rows, cols);
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "";
}

TEST(Settings, DefaultsGiveTheStandardFilterCall)
{
    const FilterSetup setup = prepareFilter(validSettings(), 40, 50);
    EXPECT_EQ(setup.params.rows, 40);
    EXPECT_EQ(setup.params.cols, 50);
    EXPECT_EQ(setup.params.blockSize, 8);
    EXPECT_EQ(setup.params.step, 3);
    EXPECT_EQ(setup.params.maxGroupSize, 32);
    EXPECT_EQ(setup.params.searchRadius, 19);
    EXPECT_EQ(setup.params.matchThreshold, 0.19685f);
    EXPECT_EQ(setup.params.sigma, float(25.0 / 255.0));
    EXPECT_EQ(setup.window, kaiserWindow2d(8, 2.0));
}

TEST(Settings, KaiserWindowMatchesTheBesselDefinition)
{
    for (const std::int32_t length : {2, 7, 8}) {
        for (const double beta : {0.0, 2.0, 8.6}) {
            const std::vector<double> w = kaiserWindow(length, beta);
            ASSERT_EQ(w.size(), std::size_t(length));
            for (std::int32_t n = 0; n < length; ++n) {
                const double x = 2.0 * n / (length - 1) - 1.0;
                const double expected =
                    std::cyl_bessel_i(0.0, beta * std::sqrt(1.0 - x * x)) / std::cyl_bessel_i(0.0, beta);
                EXPECT_NEAR(w[n], expected, 1e-14) << "length " << length << " beta " << beta;
            }
        }
    }
    // The 2-D window weights block pixel (r, c) by k[r] * k[c].
    const std::vector<double> k = kaiserWindow(5, 3.0);
    const std::vector<double> w = kaiserWindow2d(5, 3.0);
    EXPECT_EQ(w[1 * 5 + 3], k[1] * k[3]);
    EXPECT_EQ(kaiserWindow(1, 2.0), std::vector<double>{1.0});
}

TEST(Settings, RejectsValuesOutsideTheFiltersRange)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        const char* what;
        void (*change)(WienerSettings&, double, double);
        const char* message;
    };
    const Case cases[] = {
        {"block size 1", [](WienerSettings& s, double, double) { s.blockSize = 1; }, "block size"},
        {"group size 0", [](WienerSettings& s, double, double) { s.maxGroupSize = 0; }, "group size"},
        {"radius -1", [](WienerSettings& s, double, double) { s.searchRadius = -1; }, "search radius"},
        {"step 0", [](WienerSettings& s, double, double) { s.step = 0; }, "step"},
        {"step beyond the block", [](WienerSettings& s, double, double) { s.step = 9; }, "between 1 and the block size (8)"},
        {"threshold NaN", [](WienerSettings& s, double n, double) { s.matchThreshold = n; }, "match threshold"},
        {"threshold inf", [](WienerSettings& s, double, double i) { s.matchThreshold = i; }, "match threshold"},
        {"threshold 2^20+1", [](WienerSettings& s, double, double) { s.matchThreshold = 1048577.0; }, "match threshold"},
        {"sigma 0", [](WienerSettings& s, double, double) { s.sigma = 0.0; }, "sigma"},
        {"sigma -1", [](WienerSettings& s, double, double) { s.sigma = -1.0; }, "sigma"},
        {"sigma NaN", [](WienerSettings& s, double n, double) { s.sigma = n; }, "sigma"},
        {"sigma squared underflows", [](WienerSettings& s, double, double) { s.sigma = 1e-30; }, "sigma"},
        {"sigma squared overflows", [](WienerSettings& s, double, double) { s.sigma = 1e30; }, "sigma"},
        {"window too small", [](WienerSettings& s, double, double) { s.window.assign(63, 1.0); }, "63 weights"},
        {"window NaN", [](WienerSettings& s, double n, double) { s.window.assign(64, 1.0); s.window[9] = n; }, "row 1, column 1"},
        {"window negative", [](WienerSettings& s, double, double) { s.window.assign(64, 1.0); s.window[2] = -1.0; }, "> 0"},
        {"window zero", [](WienerSettings& s, double, double) { s.window.assign(64, 1.0); s.window[63] = 0.0; }, "row 7, column 7) is 0"},
    };
    for (const Case& c : cases) {
        WienerSettings s = validSettings();
        c.change(s, nan, inf);
        EXPECT_NE(rejection(s).find(c.message), std::string::npos)
            << c.what << ": '" << rejection(s) << "'";
    }
    EXPECT_NE(rejection(validSettings(), 7, 32).find("smaller than one 8 x 8 block"), std::string::npos);
    EXPECT_NE(rejection(validSettings(), 32, 7).find("smaller than one"), std::string::npos);
}

TEST(Settings, AcceptsTheEdgesOfTheRange)
{
    WienerSettings s = validSettings();
    s.blockSize = 2;
    s.maxGroupSize = 1;
    s.searchRadius = 0;
    s.step = 1;
    s.matchThreshold = maxMatchThreshold;
    s.window = {double(std::numeric_limits<float>::min()), 1.0, 1.0, 1.0};
    EXPECT_NO_THROW(prepareFilter(s, 2, 2));
    s.step = 2;
    EXPECT_NO_THROW(prepareFilter(s, 2, 2));
    // A weight below single precision's normal range would leave the corner
    // it alone covers without weight once the whole filter had run.
    for (const double tiny : {1e-300, 1e-320, 1e-45}) {
        s.window[0] = tiny;
        EXPECT_NE(rejection(s, 2, 2).find("below the smallest normal"), std::string::npos) << tiny;
    }
}

TEST(Settings, KaiserBetasThatGiveZeroOrNonFiniteWeightsAreRefused)
{
    // Every beta up to the bound gives a window the filter takes as it is.
    for (double beta : {0.0, 2.0, 13.5, maxKaiserBeta}) {
        WienerSettings s = validSettings();
        s.window = kaiserWindow2d(8, beta);
        EXPECT_NO_THROW(prepareFilter(s, 32, 32)) << beta;
    }
    for (double beta : {maxKaiserBeta * 1.001, 800.0, 2000.0, -1.0}) {
        try {
            kaiserWindow2d(8, beta);
            ADD_FAILURE() << beta << " was accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find("between 0 and 40"), std::string::npos) << e.what();
        }
        EXPECT_THROW(kaiserWindow(8, beta), std::invalid_argument) << beta;
    }
}

TEST(Settings, WeightsBeyondSinglePrecisionAreTheWindowsFault)
{
    WienerSettings s = validSettings();
    s.window.assign(64, 1.0);
    s.window[10] = 1e39;
    EXPECT_NE(rejection(s).find("row 1, column 2) is 1e39, beyond the range of single precision"),
              std::string::npos)
        << rejection(s);
}

TEST(Settings, NumbersInMessagesReadBackAsTheSameValue)
{
    for (double v : {0.1, 1e-30, 1e30, 40.0, 3.5, 0.19685, 1e-320, 123456789.0, -2.5})
        EXPECT_EQ(std::strtod(formatNumber(v).c_str(), nullptr), v) << formatNumber(v);
    EXPECT_EQ(formatNumber(40.0), "40");
    EXPECT_EQ(formatNumber(1e-30), "1e-30");
    EXPECT_EQ(formatNumber(0.0), "0");
    EXPECT_EQ(formatNumber(std::nan("")), "nan");
}

TEST(Settings, ThreadCountsBelowOneAreRefused)
{
    EXPECT_NO_THROW(checkThreads(1));
    EXPECT_THROW(checkThreads(0), std::invalid_argument);
    EXPECT_THROW(checkThreads(-5), std::invalid_argument);
}

TEST(Settings, ReportsTheFirstNonFinitePixelOfAResult)
{
    std::vector<float> estimate(12, 0.5f);
    EXPECT_NO_THROW(checkEstimateFinite(estimate.data(), estimate.size(), 3));
    estimate[7] = std::numeric_limits<float>::quiet_NaN();
    estimate[9] = std::numeric_limits<float>::infinity();
    try {
        checkEstimateFinite(estimate.data(), estimate.size(), 3);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("2 pixels"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("row 1, column 2"), std::string::npos) << e.what();
    }
}

} // namespace
} // namespace sorvik
