// Opponent colour and the data-range rule: round trips and edge values.
#include <sorvik/denoise.h>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace sorvik {
namespace {

TEST(OpponentColour, IsOrthonormalAndInvertible)
{
    // The images of the unit colours are the transform's columns: orthonormal
    // columns keep white noise white with the same sigma.
    std::vector<double> basis = {1, 0, 0, 0, 1, 0, 0, 0, 1}; // planes R, G, B of 3 pixels
    rgbToOpponent(basis.data(), 3);
    for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b) {
            double dot = 0.0;
            for (int c = 0; c < 3; ++c)
                dot += basis[std::size_t(c) * 3 + a] * basis[std::size_t(c) * 3 + b];
            EXPECT_NEAR(dot, a == b ? 1.0 : 0.0, 1e-15) << a << ", " << b;
        }
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> value(-2.0, 3.0);
    std::vector<double> rgb(3 * 100);
    for (double& v : rgb)
        v = value(rng);
    std::vector<double> trip = rgb;
    rgbToOpponent(trip.data(), 100);
    opponentToRgb(trip.data(), 100);
    for (std::size_t i = 0; i < rgb.size(); ++i)
        EXPECT_NEAR(trip[i], rgb[i], 1e-14);
}

TEST(OpponentColour, RangesAreTheExactExtremesOfTheRgbCube)
{
    std::vector<double> corners(3 * 8);
    for (int k = 0; k < 8; ++k)
        for (int c = 0; c < 3; ++c)
            corners[std::size_t(c) * 8 + k] = (k >> c) & 1;
    rgbToOpponent(corners.data(), 8);
    for (int c = 0; c < 3; ++c) {
        double low = corners[std::size_t(c) * 8], high = low;
        for (int k = 1; k < 8; ++k) {
            low = std::min(low, corners[std::size_t(c) * 8 + k]);
            high = std::max(high, corners[std::size_t(c) * 8 + k]);
        }
        EXPECT_NEAR(opponentRange(c).low, low, 1e-15) << c;
        EXPECT_NEAR(opponentRange(c).high, high, 1e-15) << c;
    }
    EXPECT_THROW(opponentRange(3), std::invalid_argument);
}

TEST(DataRange, FloatDataWithinUnitIsTakenAsItIsOtherwiseByItsExtremes)
{
    const std::vector<float> inside = {0.0f, 0.25f, 1.0f, 0.5f};
    const DataRange unit = floatDataRange(inside.data(), 2, 2, 1);
    EXPECT_EQ(unit.low, 0.0);
    EXPECT_EQ(unit.high, 1.0);

    const std::vector<double> counts = {12.0, -3.5, 4000.0, 7.0, 8.0, 9.0};
    const DataRange spread = floatDataRange(counts.data(), 1, 3, 2);
    EXPECT_EQ(spread.low, -3.5);
    EXPECT_EQ(spread.high, 4000.0);

    // Noise just past the unit interval is enough to leave it.
    const std::vector<double> past = {-0.01, 0.5, 0.5, 0.5};
    EXPECT_EQ(floatDataRange(past.data(), 2, 2, 1).low, -0.01);

    // Constant data away from [0, 1], small or large, comes back unchanged.
    for (double level : {42.0, -7.0, 3.0e20}) {
        const std::vector<double> flat(6, level);
        const DataRange r = floatDataRange(flat.data(), 2, 3, 1);
        EXPECT_GT(r.width(), 0.0) << level;
        EXPECT_EQ(r.fromUnit(r.toUnit(level)), level);
    }
}

TEST(DataRange, NonFiniteValuesAreNamedByPosition)
{
    // 3 rows x 2 columns x 2 channels; the NaN at row 1, column 1, channel 1.
    std::vector<double> data(12, 0.5);
    data[6 + 1 + 1 * 3] = std::numeric_limits<double>::quiet_NaN();
    data[6 + 2 + 1 * 3] = std::numeric_limits<double>::infinity();
    try {
        checkFinite(data.data(), 3, 2, 2);
        FAIL() << "no exception";
    } catch (const NonFiniteValue& e) {
        EXPECT_EQ(e.row, 1);
        EXPECT_EQ(e.col, 1);
        EXPECT_EQ(e.channel, 1);
        EXPECT_NE(std::string(e.what()).find("row 1, column 1, channel 1"), std::string::npos);
    }
    const std::vector<float> single = {0.0f, -std::numeric_limits<float>::infinity()};
    EXPECT_THROW(floatDataRange(single.data(), 2, 1, 1), NonFiniteValue);
    EXPECT_THROW(checkFinite(static_cast<const float*>(nullptr), 2, 2, 1), std::invalid_argument);
}

TEST(DataRange, UserRangesMustBeOrderedAndFinite)
{
    EXPECT_EQ(userDataRange(0.0, 4095.0).high, 4095.0);
    EXPECT_THROW(userDataRange(1.0, 1.0), std::invalid_argument);
    EXPECT_THROW(userDataRange(2.0, 1.0), std::invalid_argument);
    EXPECT_THROW(userDataRange(0.0, std::numeric_limits<double>::infinity()),
                 std::invalid_argument);
    EXPECT_THROW(userDataRange(std::nan(""), 1.0), std::invalid_argument);
    EXPECT_THROW(userDataRange(-1e308, 1e308), std::invalid_argument);
}

TEST(DataRange, IntegerOutputIsRoundedAndSaturated)
{
    EXPECT_EQ(toUint8(127.49), 127);
    EXPECT_EQ(toUint8(127.5), 128);
    EXPECT_EQ(toUint8(254.6), 255);
    EXPECT_EQ(toUint8(300.0), 255);
    EXPECT_EQ(toUint8(-0.4), 0);
    EXPECT_EQ(toUint8(-90.0), 0);
    EXPECT_EQ(toUint8(std::nan("")), 0);
    EXPECT_EQ(toUint16(65534.5), 65535);
    EXPECT_EQ(toUint16(1e12), 65535);
    EXPECT_EQ(toUint16(1000.2), 1000);
    EXPECT_EQ(toUint16(-1e12), 0);
}

} // namespace
} // namespace sorvik
