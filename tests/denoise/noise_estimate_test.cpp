// The noise estimator on images of known sigma, and its invariances.
#include <sorvik/denoise.h>

#include "test_images.h"

#ifdef SORVIK_TEST_DATA_DIR
#include "bench/workload.h"
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace sorvik {
namespace {

using testing::addNoise;

// Within 20% at sigma 5 and 10% from sigma 10 up (of 255), on images whose
// own texture lies well below the noise.
void expectAccurate(const std::vector<double>& clean, int rows, int cols, int channels,
                    const std::string& name)
{
    for (double sigma255 : {5.0, 10.0, 25.0, 50.0}) {
        std::vector<double> noisy = clean;
        addNoise(noisy, sigma255 / 255.0, 42);
        const double estimate = 255.0 * estimateNoiseSigma(noisy.data(), rows, cols, channels);
        const double tolerance = sigma255 < 10.0 ? 0.2 : 0.1;
        EXPECT_NEAR(estimate / sigma255, 1.0, tolerance) << name << ", sigma " << sigma255;
    }
}

TEST(NoiseEstimate, KnownSigmaOnSyntheticImages)
{
    expectAccurate(testing::smoothImage(128, 160), 128, 160, 1, "smooth");
    expectAccurate(testing::shapesImage(128, 160), 128, 160, 1, "shapes");
    // Colour: the same sigma in every channel, one estimate for all.
    std::vector<double> colour = testing::smoothImage(96, 96);
    const std::vector<double> shapes = testing::shapesImage(96, 96);
    colour.insert(colour.end(), shapes.begin(), shapes.end());
    colour.insert(colour.end(), shapes.rbegin(), shapes.rend());
    expectAccurate(colour, 96, 96, 3, "colour");
}

#ifdef SORVIK_TEST_DATA_DIR
TEST(NoiseEstimate, KnownSigmaOnPhotographs)
{
    for (const char* name : {"camera.png", "astronaut-grey.png"}) {
        const bench::GreyImage photo =
            bench::readPng(std::string(SORVIK_TEST_DATA_DIR) + "/" + name);
        expectAccurate(photo.pixels, photo.rows, photo.cols, 1, name);
    }
}
#endif

TEST(NoiseEstimate, StrongTextureDoesNotRaiseTheEstimate)
{
    // Half the image is a fine texture far above the noise; the flat half
    // alone shows the noise, and the estimate must come from there.
    const int rows = 128, cols = 128;
    std::vector<double> image(std::size_t(rows) * cols, 0.5);
    for (int j = cols / 2; j < cols; ++j)
        for (int i = 0; i < rows; ++i)
            image[std::size_t(j) * rows + i] += 0.3 * std::sin(1.3 * i + 0.1 * i * i / rows) *
                                                std::cos(0.9 * j + 0.2 * i);
    addNoise(image, 0.02, 7);
    EXPECT_NEAR(estimateNoiseSigma(image.data(), rows, cols, 1) / 0.02, 1.0, 0.1);
}

TEST(NoiseEstimate, SaturatedRegionsDoNotLowerTheEstimate)
{
    // An 8-bit file of a scene whose bright half lies at the top of the range:
    // the noise there is clipped away, and those flat patches must not count.
    const int rows = 128, cols = 128;
    std::vector<double> levels = testing::smoothImage(rows, cols);
    for (std::size_t i = 0; i < levels.size(); ++i)
        levels[i] = i < levels.size() / 2 ? 255.0 : 255.0 * levels[i];
    addNoise(levels, 10.0, 19);
    for (double& v : levels)
        v = std::min(255.0, std::max(0.0, std::round(v)));
    EXPECT_NEAR(estimateNoiseSigma(levels.data(), rows, cols, 1) / 10.0, 1.0, 0.1);
}

TEST(NoiseEstimate, UnitsScaleTheEstimateAndOffsetsDoNot)
{
    const int rows = 64, cols = 80;
    std::vector<double> image = testing::shapesImage(rows, cols);
    addNoise(image, 0.05, 3);
    const double base = estimateNoiseSigma(image.data(), rows, cols, 1);
    std::vector<double> scaled = image, shifted = image;
    for (std::size_t i = 0; i < image.size(); ++i) {
        scaled[i] = 65535.0 * image[i];
        shifted[i] = 1.0e4 + image[i];
    }
    EXPECT_NEAR(estimateNoiseSigma(scaled.data(), rows, cols, 1) / (65535.0 * base), 1.0, 1e-9);
    EXPECT_NEAR(estimateNoiseSigma(shifted.data(), rows, cols, 1) / base, 1.0, 1e-6);
    // Single precision input gives the same estimate up to its rounding.
    const std::vector<float> single(image.begin(), image.end());
    EXPECT_NEAR(estimateNoiseSigma(single.data(), rows, cols, 1) / base, 1.0, 1e-4);
}

TEST(NoiseEstimate, NoiselessImagesGiveZeroOrNearly)
{
    std::vector<float> constant(40 * 50, 3.5f);
    EXPECT_EQ(estimateNoiseSigma(constant.data(), 40, 50, 1), 0.0);
    // A linear ramp's patches span three dimensions: no noise to find.
    std::vector<double> ramp(40 * 50);
    for (int j = 0; j < 50; ++j)
        for (int i = 0; i < 40; ++i)
            ramp[std::size_t(j) * 40 + i] = 0.01 * i + 0.003 * j;
    EXPECT_LT(estimateNoiseSigma(ramp.data(), 40, 50, 1), 1e-6);
}

TEST(NoiseEstimate, ShapesAtTheLimitsOfTheInput)
{
    // One row of patch positions; a very wide image is subsampled and still right.
    for (auto [rows, cols] : {std::pair{7, 400}, std::pair{400, 7}, std::pair{8, 40000}}) {
        std::vector<double> image(std::size_t(rows) * cols, 0.5);
        addNoise(image, 0.1, 11);
        EXPECT_NEAR(estimateNoiseSigma(image.data(), rows, cols, 1) / 0.1, 1.0, 0.1)
            << rows << " x " << cols;
    }
    // More channels than the patches kept: one patch each, and no endless search for fewer.
    std::vector<double> stack(std::size_t(7) * 7 * 70000, 0.5);
    addNoise(stack, 0.1, 13);
    EXPECT_NEAR(estimateNoiseSigma(stack.data(), 7, 7, 70000) / 0.1, 1.0, 0.1);

    std::vector<float> withNaN(64 * 64, 0.5f);
    withNaN[3 + 64 * 9] = std::nanf("");
    EXPECT_THROW(estimateNoiseSigma(withNaN.data(), 64, 64, 1), NonFiniteValue);

    std::vector<double> small(25 * 25, 0.5);
    EXPECT_THROW(estimateNoiseSigma(small.data(), 25, 25, 1), std::invalid_argument);
    EXPECT_THROW(estimateNoiseSigma(small.data(), 6, 60, 1), std::invalid_argument);
    EXPECT_THROW(estimateNoiseSigma(small.data(), 26, 26, 0), std::invalid_argument);
    EXPECT_THROW(estimateNoiseSigma(static_cast<const double*>(nullptr), 64, 64, 1),
                 std::invalid_argument);
    EXPECT_THROW(estimateNoiseSigma(small.data(), -5, 26, 1), std::invalid_argument);
}

} // namespace
} // namespace sorvik

namespace sorvik {
namespace {

// Rows [first, first + count) of every channel, planar and column-major.
std::vector<double> band(const std::vector<double>& image, int rows, int cols, int channels,
                         int first, int count)
{
    std::vector<double> out;
    for (int k = 0; k < channels; ++k)
        for (int j = 0; j < cols; ++j) {
            const auto column = image.begin() + (std::ptrdiff_t(k) * cols + j) * rows + first;
            out.insert(out.end(), column, column + count);
        }
    return out;
}

double streamed(const std::vector<double>& image, int rows, int cols, int channels, int height)
{
    NoiseEstimator estimator(rows, cols, channels);
    while (estimator.nextRow() < rows) {
        const int first = estimator.nextRow();
        const int count = std::min(height, rows - first);
        estimator.add(band(image, rows, cols, channels, first, count).data(), first, count);
    }
    return estimator.estimate();
}

// The covariance takes its patches several at a time; every sum must still
// be the one that adding them one after the other makes. The expected values
// are what the estimator gave when it added one patch at a time, on images
// whose patch counts (and selections) are not multiples of four.
TEST(NoiseEstimate, SameBitsAsAddingOnePatchAtATime)
{
    struct Case {
        std::int32_t rows, cols;
        double expected;
    };
    for (const Case c : {Case{40, 37, 0x1.371f50a9aab73p-5}, Case{61, 58, 0x1.29f3f298ad7e6p-5},
                         Case{300, 263, 0x1.28d2d20f9717p-5}}) {
        std::vector<double> x(std::size_t(c.rows) * std::size_t(c.cols));
        std::uint32_t state = 12345u + std::uint32_t(c.rows);
        for (std::size_t p = 0; p < x.size(); ++p) {
            state = state * 1664525u + 1013904223u;
            const double i = double(p % std::size_t(c.rows)), j = double(p / std::size_t(c.rows));
            x[p] = 0.002 * i + 0.001 * j + double(state >> 8) * 0x1p-27;
        }
        const double got = estimateNoiseSigma(x.data(), c.rows, c.cols, 1);
        EXPECT_EQ(got, c.expected) << c.rows << " x " << c.cols << ": " << std::hexfloat << got;
    }
}

TEST(NoiseEstimate, BandsOfRowsGiveTheWholeImagesBits)
{
    // Heights from the least a patch needs to the whole image, on a grid that
    // subsamples (600 rows) and one that does not, grey and colour, with
    // saturated levels in play.
    struct Case {
        int rows, cols, channels;
    };
    for (const Case c : {Case{600, 500, 1}, Case{90, 70, 3}, Case{41, 300, 1}}) {
        std::vector<double> image;
        for (int k = 0; k < c.channels; ++k) {
            const std::vector<double> plane = testing::shapesImage(c.rows, c.cols);
            image.insert(image.end(), plane.begin(), plane.end());
        }
        addNoise(image, 0.08, 5);
        for (double& v : image)
            v = std::min(255.0, std::max(0.0, std::round(255.0 * v)));
        const double whole = estimateNoiseSigma(image.data(), c.rows, c.cols, c.channels);
        ASSERT_GT(whole, 0.0);
        for (int height : {7, 8, 13, 64, c.rows})
            EXPECT_EQ(streamed(image, c.rows, c.cols, c.channels, height), whole)
                << c.rows << " x " << c.cols << " x " << c.channels << ", bands of " << height;
    }
}

TEST(NoiseEstimate, BandsThatLeaveAGapOrHoldNaNAreRefused)
{
    const int rows = 64, cols = 64;
    std::vector<double> image(std::size_t(rows) * cols, 0.5);
    addNoise(image, 0.1, 3);
    NoiseEstimator estimator(rows, cols, 1);
    estimator.add(band(image, rows, cols, 1, 0, 20).data(), 0, 20);
    EXPECT_EQ(estimator.nextRow(), 14); // the patch at row 14 reaches row 20
    EXPECT_THROW(estimator.add(band(image, rows, cols, 1, 20, 10).data(), 20, 10),
                 std::invalid_argument);
    // A band running past the image's last row: refused before it is read.
    const std::vector<double> tooLong(std::size_t(60) * cols, 0.5);
    EXPECT_THROW(estimator.add(tooLong.data(), 14, 60), std::invalid_argument);
    EXPECT_THROW(estimator.estimate(), std::logic_error);

    image[std::size_t(5) * rows + 40] = std::nan("");
    try {
        estimator.add(band(image, rows, cols, 1, 14, 50).data(), 14, 50);
        ADD_FAILURE() << "NaN accepted";
    } catch (const NonFiniteValue& e) {
        EXPECT_EQ(e.row, 40);
        EXPECT_EQ(e.col, 5);
    }
}

} // namespace
} // namespace sorvik
