// The noise estimate made from chunks measured apart is the whole image's.
#include <sorvik/noise_chunks.h>

#include "test_images.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <random>
#include <stdexcept>
#include <vector>

namespace sorvik {
namespace {

// Rows r0..r1 and columns c0..c1 of every channel of a planar image.
template <typename T>
std::vector<T> cut(const std::vector<double>& image, int rows, int cols, int channels, Span r,
                   Span c)
{
    std::vector<T> out;
    for (int k = 0; k < channels; ++k)
        for (int j = c.begin; j < c.end; ++j)
            for (int i = r.begin; i < r.end; ++i)
                out.push_back(T(image[(std::size_t(k) * cols + j) * rows + i]));
    return out;
}

Span reach(Span own, int length)
{
    return {own.begin, std::min(own.end + noisePatchSize - 1, length)};
}

// Own parts cut at the given positions; each chunk carries the reach of its
// patches, and the chunks are merged last first.
template <typename T>
NoisePatches chunkedPatches(const std::vector<double>& image, int rows, int cols, int channels,
                            const std::vector<int>& rowCuts, const std::vector<int>& colCuts)
{
    std::vector<NoisePatches> parts;
    for (std::size_t a = 0; a + 1 < rowCuts.size(); ++a)
        for (std::size_t b = 0; b + 1 < colCuts.size(); ++b) {
            const Span ownRows{rowCuts[a], rowCuts[a + 1]}, ownCols{colCuts[b], colCuts[b + 1]};
            const Span chunkRows = reach(ownRows, rows), chunkCols = reach(ownCols, cols);
            const std::vector<T> chunk = cut<T>(image, rows, cols, channels, chunkRows, chunkCols);
            parts.push_back(noiseChunkPatches(chunk.data(), rows, cols, channels, chunkRows,
                                              chunkCols, ownRows, ownCols));
        }
    NoisePatches all;
    for (auto part = parts.rbegin(); part != parts.rend(); ++part)
        mergeNoisePatches(all, *part);
    return all;
}

template <typename T>
double chunked(const std::vector<double>& image, int rows, int cols, int channels,
               const std::vector<int>& rowCuts, const std::vector<int>& colCuts)
{
    return estimateNoiseSigma(rows, cols, channels,
                              chunkedPatches<T>(image, rows, cols, channels, rowCuts, colCuts));
}

std::vector<double> noisyImage(int rows, int cols, int channels, double sigma)
{
    std::vector<double> image;
    for (int k = 0; k < channels; ++k) {
        const std::vector<double> plane =
            k == 1 ? testing::smoothImage(rows, cols) : testing::shapesImage(rows, cols);
        image.insert(image.end(), plane.begin(), plane.end());
    }
    testing::addNoise(image, sigma, 11);
    return image;
}

TEST(NoiseChunks, AwkwardChunksGiveTheWholeImagesBits)
{
    // Own parts of 1 pixel to most of the image, at every edge; a grid that
    // subsamples (300 x 290, stride 2) with cuts off its positions.
    struct Case {
        int rows, cols, channels;
        std::vector<int> rowCuts, colCuts;
    };
    const std::vector<Case> cases{
        {61, 53, 1, {0, 1, 4, 11, 30, 54, 55, 61}, {0, 6, 7, 20, 46, 47, 52, 53}},
        {40, 45, 3, {0, 3, 33, 40}, {0, 2, 9, 10, 45}},
        {300, 290, 1, {0, 1, 150, 151, 293, 300}, {0, 77, 78, 283, 284, 290}},
        {30, 31, 1, {0, 30}, {0, 31}},
    };
    for (const Case& c : cases) {
        std::vector<double> image = noisyImage(c.rows, c.cols, c.channels, 0.05);
        const double whole = estimateNoiseSigma(image.data(), c.rows, c.cols, c.channels);
        ASSERT_GT(whole, 0.0);
        EXPECT_EQ(chunked<double>(image, c.rows, c.cols, c.channels, c.rowCuts, c.colCuts), whole)
            << c.rows << " x " << c.cols << " x " << c.channels;
        // Float data: the values a float image holds, widened as the whole image's are.
        std::vector<float> narrow(image.begin(), image.end());
        const double wholeFloat = estimateNoiseSigma(narrow.data(), c.rows, c.cols, c.channels);
        EXPECT_EQ(chunked<float>(image, c.rows, c.cols, c.channels, c.rowCuts, c.colCuts),
                  wholeFloat)
            << c.rows << " x " << c.cols << " x " << c.channels << ", float";
    }
}

TEST(NoiseChunks, SaturatedAndConstantImagesGiveTheWholeImagesBits)
{
    const int rows = 50, cols = 47;
    // Nearly every patch touches an extreme: the estimate falls back on all of them.
    std::vector<double> saturated = noisyImage(rows, cols, 3, 0.3);
    for (double& v : saturated)
        v = std::min(0.6, std::max(0.4, v));
    // 8-bit levels with a saturated sky: some patches left out, enough remain.
    std::vector<double> levels = noisyImage(rows, cols, 1, 0.08);
    for (double& v : levels)
        v = std::min(255.0, std::max(0.0, std::round(255.0 * v)));
    const std::vector<double> constant(std::size_t(rows) * cols, 7.0);
    const std::vector<int> rowCuts{0, 5, 6, 44, 50}, colCuts{0, 23, 41, 47};

    const double sigma = estimateNoiseSigma(saturated.data(), rows, cols, 3);
    ASSERT_GT(sigma, 0.0);
    EXPECT_EQ(chunked<double>(saturated, rows, cols, 3, rowCuts, colCuts), sigma);
    EXPECT_EQ(chunked<double>(levels, rows, cols, 1, rowCuts, colCuts),
              estimateNoiseSigma(levels.data(), rows, cols, 1));
    EXPECT_EQ(chunked<double>(constant, rows, cols, 1, rowCuts, colCuts), 0.0);
}

TEST(NoiseChunks, ChunksThatDoNotFitOrCoverAreRefused)
{
    const int rows = 40, cols = 40;
    const std::vector<double> image = noisyImage(rows, cols, 1, 0.1);
    const Span all{0, rows}, top{0, 20}, bottom{20, rows};
    const std::vector<double> upper = cut<double>(image, rows, cols, 1, {0, 26}, all);
    const NoisePatches first =
        noiseChunkPatches(upper.data(), rows, cols, 1, {0, 26}, all, top, all);

    // Short of the 6 rows its patches reach, or outside the image.
    EXPECT_THROW(noiseChunkPatches(upper.data(), rows, cols, 1, {0, 25}, all, top, all),
                 std::invalid_argument);
    EXPECT_THROW(noiseChunkPatches(upper.data(), rows, cols, 1, {-1, 25}, all, {0, 19}, all),
                 std::invalid_argument);
    EXPECT_THROW(noiseChunkPatches(upper.data(), rows, cols, 1, {0, 26}, all, {0, 27}, all),
                 std::invalid_argument);
    EXPECT_THROW(noiseChunkPatches(upper.data(), 20, 20, 1, {0, 20}, {0, 20}, {0, 20}, {0, 20}),
                 std::invalid_argument); // too small to estimate on

    // A chunk missing or counted twice.
    EXPECT_THROW(estimateNoiseSigma(rows, cols, 1, first), std::invalid_argument);
    NoisePatches twice = first;
    mergeNoisePatches(twice, first);
    EXPECT_THROW(estimateNoiseSigma(rows, cols, 1, twice), std::invalid_argument);
    // Extremes that do not hold the values.
    const std::vector<double> lower = cut<double>(image, rows, cols, 1, bottom, all);
    NoisePatches whole = first;
    mergeNoisePatches(whole,
                      noiseChunkPatches(lower.data(), rows, cols, 1, bottom, all, bottom, all));
    EXPECT_EQ(estimateNoiseSigma(rows, cols, 1, whole),
              estimateNoiseSigma(image.data(), rows, cols, 1));
    whole.high = whole.low + 1e-3;
    EXPECT_THROW(estimateNoiseSigma(rows, cols, 1, whole), std::invalid_argument);

    // A value that is not finite, at its place in the image.
    std::vector<double> holed = lower;
    holed[std::size_t(3) * 20 + 4] = std::nan("");
    try {
        noiseChunkPatches(holed.data(), rows, cols, 1, bottom, all, bottom, all);
        ADD_FAILURE() << "NaN accepted";
    } catch (const NonFiniteValue& e) {
        EXPECT_EQ(e.row, 24);
        EXPECT_EQ(e.col, 3);
    }
}

TEST(NoiseChunks, ChunksGiveTheWholeImagesNoiseModel)
{
    // Counts of a known gain (the poisson-gaussian fit) and white noise (the
    // gaussian choice), cut unevenly and merged last first.
    const int rows = 150, cols = 170;
    std::vector<double> counts = testing::smoothImage(rows, cols);
    std::mt19937 bits(5);
    for (double& v : counts)
        v = 2.0 * double(std::poisson_distribution<int>(40.0 * v)(bits));
    std::vector<double> white = testing::shapesImage(rows, cols);
    testing::addNoise(white, 0.05, 9);
    for (const auto* image : {&counts, &white}) {
        const NoiseModel whole = estimateNoiseModel(image->data(), rows, cols, 1);
        const NoiseModel parts = estimateNoiseModel(
            rows, cols, 1, chunkedPatches<double>(*image, rows, cols, 1, {0, 37, 101, rows},
                                                  {0, 64, 65, cols}));
        EXPECT_EQ(parts.kind, whole.kind);
        EXPECT_EQ(parts.sigma, whole.sigma);
        EXPECT_EQ(parts.gain, whole.gain);
        EXPECT_EQ(parts.readNoise, whole.readNoise);
        EXPECT_EQ(parts.offset, whole.offset);
    }
    EXPECT_EQ(estimateNoiseModel(counts.data(), rows, cols, 1).kind, NoiseKind::poissonGaussian);
}

// A stack read a frame at a time: each frame's share of the whole stack's
// grid, which is sparser than one frame's own.
TEST(NoiseChunks, FramesOfAStackGiveTheWholeStacksBits)
{
    const std::int32_t rows = 70, cols = 60, channels = 3, frames = 9;
    std::vector<double> stack;
    for (std::int32_t f = 0; f < frames; ++f) {
        std::vector<double> frame = testing::shapesImage(rows, cols * channels);
        testing::addNoise(frame, 0.05, 30u + unsigned(f));
        stack.insert(stack.end(), frame.begin(), frame.end());
    }
    const std::size_t frameSize = std::size_t(rows) * cols * channels;
    NoisePatches merged;
    for (std::int32_t f = 0; f < frames; ++f)
        mergeNoisePatches(merged, noiseFramePatches(stack.data() + std::size_t(f) * frameSize, rows,
                                                    cols, channels, frames, f));
    EXPECT_EQ(estimateNoiseSigma(rows, cols, channels * frames, merged),
              estimateNoiseSigma(stack.data(), rows, cols, channels * frames));
    EXPECT_THROW(noiseFramePatches(stack.data(), rows, cols, channels, frames, frames),
                 std::invalid_argument);
    EXPECT_THROW(noiseFramePatches(stack.data(), rows, cols, channels, frames, -1),
                 std::invalid_argument);
}

} // namespace
} // namespace sorvik
