// Correlated noise: its spectrum measured from one image, the automatic
// choice between white and correlated, and the stages' option for it.
#include <sorvik/denoise.h>
#include <sorvik/noise_chunks.h>
#include <sorvik/sorvik.h>

#include "denoise/noise_power.h"
#include "filter/grouped_threshold.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

namespace sorvik {
namespace {

constexpr double pi = 3.14159265358979323846;

// White Gaussian noise of unit variance, rows x cols, column-major.
std::vector<double> whiteNoise(std::int32_t rows, std::int32_t cols, std::uint32_t seed)
{
    std::mt19937 bits(seed);
    std::vector<double> out(std::size_t(rows) * std::size_t(cols));
    for (double& v : out) {
        const double u1 = (double(bits()) + 0.5) / 4294967296.0;
        const double u2 = (double(bits()) + 0.5) / 4294967296.0;
        v = std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * pi * u2);
    }
    return out;
}

// Noise blurred along the rows (horizontally) by taps a, b: its covariance at
// horizontal lag 0 is a^2 + b^2 and at lag 1 a b, none vertically.
std::vector<double> blurredNoise(std::int32_t rows, std::int32_t cols, double a, double b,
                                 std::uint32_t seed)
{
    const std::vector<double> w = whiteNoise(rows, cols + 1, seed);
    std::vector<double> out(std::size_t(rows) * std::size_t(cols));
    for (std::int32_t j = 0; j < cols; ++j)
        for (std::int32_t i = 0; i < rows; ++i)
            out[std::size_t(j) * rows + i] =
                a * w[std::size_t(j) * rows + i] + b * w[std::size_t(j + 1) * rows + i];
    return out;
}

// The power of horizontal frequency v in each basis for covariance r0, r1.
double cosinePower(std::int32_t P, std::int32_t v, double r0, double r1)
{
    const auto c = [&](std::int32_t b) {
        const double scale = v == 0 ? std::sqrt(1.0 / P) : std::sqrt(2.0 / P);
        return scale * std::cos(pi * (2 * b + 1) * v / (2.0 * P));
    };
    double power = r0;
    for (std::int32_t b = 0; b + 1 < P; ++b)
        power += 2.0 * r1 * c(b) * c(b + 1);
    return power;
}

double fourierPower(std::int32_t P, std::int32_t v, double r0, double r1)
{
    return r0 + 2.0 * r1 * double(P - 1) / P * std::cos(2.0 * pi * v / P);
}

TEST(NoiseSpectrum, MeasuresTheSpectrumOfBlurredNoiseInBothBases)
{
    const std::int32_t rows = 384, cols = 384, P = 8, H = P / 2 + 1;
    // Over a smooth ramp, which the flattest blocks must not read as noise.
    for (const double b : {0.0, 1.0}) {
        std::vector<double> image = blurredNoise(rows, cols, 1.0, b, 7);
        for (std::int32_t j = 0; j < cols; ++j)
            for (std::int32_t i = 0; i < rows; ++i)
                image[std::size_t(j) * rows + i] = 5.0 * image[std::size_t(j) * rows + i] + 0.2 * i;
        const NoiseSpectrum s = estimateNoiseSpectrum(image.data(), rows, cols, P);
        const double r0 = 25.0 * (1.0 + b * b), r1 = 25.0 * b;
        ASSERT_EQ(s.cosine.size(), std::size_t(P * P));
        ASSERT_EQ(s.fourier.size(), std::size_t(P * H));
        for (std::int32_t u = 0; u < P; ++u)
            for (std::int32_t v = 0; v < P; ++v) {
                if (u + v < 2)
                    continue; // the ramp's own frequencies
                EXPECT_NEAR(s.cosine[std::size_t(u * P + v)], cosinePower(P, v, r0, r1),
                            0.15 * r0)
                    << "b " << b << " cosine u " << u << " v " << v;
            }
        for (std::int32_t u = 1; u < P; ++u)
            for (std::int32_t v = 1; v < H; ++v)
                EXPECT_NEAR(s.fourier[std::size_t(u * H + v)], fourierPower(P, v, r0, r1), 0.15 * r0)
                    << "b " << b << " fourier u " << u << " v " << v;
        EXPECT_NEAR(s.sigma, std::sqrt(r0), 0.1 * std::sqrt(r0));
        // Blurred one way only, the vertical frequencies keep their power.
        if (b == 0.0)
            EXPECT_GT(s.flatness, 0.8);
        else
            EXPECT_LT(s.flatness, 0.5);
    }
}

TEST(NoiseSpectrum, AutomaticChoiceTellsWhiteFromCorrelatedNoise)
{
    const std::int32_t rows = 200, cols = 200;
    // Noise smoothed by a 3 x 3 box (as demosaicking and compression leave it)
    // is correlated; white noise of the same level stays gaussian, and
    // denoise() then gives exactly what the gaussian model gives.
    const std::vector<double> white = whiteNoise(rows, cols, 11);
    std::vector<double> smooth(white.size()), whiteImage(white.size());
    for (std::int32_t j = 0; j < cols; ++j)
        for (std::int32_t i = 0; i < rows; ++i) {
            double sum = 0.0;
            for (int dj = -1; dj <= 1; ++dj)
                for (int di = -1; di <= 1; ++di) {
                    const std::int32_t ii = std::min(std::max(i + di, 0), rows - 1);
                    const std::int32_t jj = std::min(std::max(j + dj, 0), cols - 1);
                    sum += white[std::size_t(jj) * rows + ii];
                }
            const double level = 100.0 + 50.0 * std::sin(i / 17.0) * std::cos(j / 23.0);
            smooth[std::size_t(j) * rows + i] = std::min(std::max(level + 8.0 * sum / 3.0, 0.0), 255.0);
            whiteImage[std::size_t(j) * rows + i] =
                std::min(std::max(level + 8.0 * white[std::size_t(j) * rows + i], 0.0), 255.0);
        }
    const NoiseModel coloured = estimateNoiseModel(smooth.data(), rows, cols, 1);
    EXPECT_EQ(coloured.kind, NoiseKind::correlated);
    EXPECT_NEAR(coloured.sigma, 8.0, 1.6);
    EXPECT_EQ(coloured.spectrum.blockSize, 8);
    const NoiseModel plain = estimateNoiseModel(whiteImage.data(), rows, cols, 1);
    EXPECT_EQ(plain.kind, NoiseKind::gaussian);
    EXPECT_EQ(plain.sigma, estimateNoiseSigma(whiteImage.data(), rows, cols, 1));

    DenoiseInput in;
    in.rows = rows;
    in.cols = cols;
    in.pixels = whiteImage.data();
    in.range = uint8Range;
    const DenoiseResult automatic = denoise(in);
    in.noise = NoiseChoice::gaussian;
    const DenoiseResult gaussian = denoise(in);
    EXPECT_EQ(automatic.noise.kind, NoiseKind::gaussian);
    ASSERT_EQ(automatic.pixels, gaussian.pixels);

    // The smoothed noise: never refused, filtered as correlated, and better
    // than the white call with the white estimate.
    in.pixels = smooth.data();
    in.noise = NoiseChoice::automatic;
    const DenoiseResult correlated = denoise(in);
    EXPECT_EQ(correlated.noise.kind, NoiseKind::correlated);
    EXPECT_TRUE(correlated.sigmaEstimated);
    for (const double v : correlated.pixels)
        ASSERT_TRUE(std::isfinite(v));
}

// A noise shape of ones multiplies every coefficient's sigma^2 by 1 and its
// threshold by sqrt(1): the same bits as no shape, in both stages; a bad
// shape value is refused.
TEST(NoiseSpectrum, FlatShapeGivesTheWhiteBitsAndBadShapesAreRefused)
{
    const std::int32_t rows = 48, cols = 40, P = 8;
    std::vector<double> noisy = whiteNoise(rows, cols, 3);
    for (double& v : noisy)
        v = 0.5 + 0.1 * v;
    std::vector<float> pilot(noisy.begin(), noisy.end());
    std::vector<double> window(std::size_t(P * P), 1.0);
    FilterParams params;
    params.rows = rows;
    params.cols = cols;
    params.searchRadius = 6;
    params.maxGroupSize = 8;
    params.matchThreshold = 2.0f;
    const std::vector<float> ones(std::size_t(P * P), 1.0f);
    std::vector<float> plain(noisy.size()), shaped(noisy.size());
    for (const int stage : {0, 1}) {
        Channel c{noisy.data(), stage == 0 ? pilot.data() : nullptr, 0.1f, plain.data()};
        Channel s = c;
        s.estimate = shaped.data();
        s.noiseShape = ones.data();
        ThresholdParams grouped;
        grouped.filter = params;
        const auto run = [&](const Channel& channel) {
            return stage == 0 ? runFilterChannels(params, &channel, 1, window.data())
                              : runThresholdChannels(grouped, &channel, 1, window.data());
        };
        ASSERT_EQ(run(c), FilterStatus::ok);
        ASSERT_EQ(run(s), FilterStatus::ok);
        EXPECT_EQ(0, std::memcmp(plain.data(), shaped.data(), plain.size() * sizeof(float)))
            << "stage " << stage;
        std::vector<float> bad = ones;
        bad[5] = -1.0f;
        s.noiseShape = bad.data();
        EXPECT_EQ(run(s), FilterStatus::invalidParameters);
        bad[5] = std::nanf("");
        EXPECT_EQ(run(s), FilterStatus::invalidParameters);
    }
}

bool sameSpectrum(const NoiseSpectrum& a, const NoiseSpectrum& b)
{
    return a.blockSize == b.blockSize && a.blocks == b.blocks && a.cosine == b.cosine &&
           a.fourier == b.fourier && std::memcmp(&a.sigma, &b.sigma, sizeof(double)) == 0 &&
           std::memcmp(&a.flatness, &b.flatness, sizeof(double)) == 0;
}

// Measured from bands of rows (one row at a time, sizes that straddle the
// blocks' neighbourhoods, the whole plane), with every block size and a
// grid whose stride exceeds 1: the bits of the plane in memory.
TEST(NoiseSpectrum, BandsOfRowsGiveTheInMemoryBits)
{
    for (const auto& [rows, cols] : {std::pair{70, 90}, std::pair{263, 241}}) {
        std::vector<double> plane = blurredNoise(rows, cols, 1.0, 0.7, 5);
        for (std::int32_t j = 0; j < cols; ++j)
            for (std::int32_t i = 0; i < rows; ++i)
                plane[std::size_t(j) * rows + i] = 3.0 * plane[std::size_t(j) * rows + i] +
                                                   (i > rows / 2 ? 40.0 : 0.0) + 0.1 * j;
        for (const std::int32_t P : {2, 6, 8, 16}) {
            if (3 * P > rows - 8)
                continue;
            const NoiseSpectrum whole = estimateNoiseSpectrum(plane.data(), rows, cols, P);
            for (const std::int32_t bandRows : {1, 7, 3 * P, 64, rows}) {
                detail::BandedSpectrum banded(rows, cols, P);
                std::vector<double> band;
                const auto feed = [&](bool measure) {
                    for (std::int32_t top = 0; top < rows; top += bandRows) {
                        const std::int32_t count = std::min(bandRows, rows - top);
                        band.resize(std::size_t(count) * std::size_t(cols));
                        for (std::int32_t j = 0; j < cols; ++j)
                            for (std::int32_t i = 0; i < count; ++i)
                                band[std::size_t(j) * count + i] = plane[std::size_t(j) * rows + top + i];
                        if (measure)
                            banded.measure(band.data(), top, count);
                        else
                            banded.score(band.data(), top, count);
                    }
                };
                feed(false);
                banded.select();
                feed(true);
                EXPECT_TRUE(sameSpectrum(banded.finish(), whole))
                    << rows << " x " << cols << ", P " << P << ", bands of " << bandRows;
            }
        }
    }
    // Bands out of order, or phases out of order, are refused.
    std::vector<double> plane = whiteNoise(60, 60, 2);
    detail::BandedSpectrum banded(60, 60, 8);
    EXPECT_THROW(banded.score(plane.data(), 5, 10), std::invalid_argument);
    EXPECT_THROW(banded.select(), std::logic_error);
    EXPECT_THROW(banded.measure(plane.data(), 0, 60), std::logic_error);
    EXPECT_THROW(banded.score(plane.data(), 0, 61), std::invalid_argument);
}

// Chunks cut both ways, each handing over its scores and squares apart:
// the colour planes the stages filter measured with the whole image's bits,
// and scores or parts missing or repeated refused rather than giving
// another selection.
TEST(NoiseSpectrum, ChunksGiveTheInMemoryBitsAndMustCoverTheGridOnce)
{
    const std::int32_t rows = 97, cols = 118, P = 6;
    std::vector<double> rgb;
    for (int k = 0; k < 3; ++k) {
        std::vector<double> p = blurredNoise(rows, cols, 1.0, 0.8, 40 + k);
        for (double& v : p)
            v = 120.0 + 20.0 * k + 9.0 * v;
        rgb.insert(rgb.end(), p.begin(), p.end());
    }
    const DataRange range{-10.0, 300.0};
    std::vector<double> planes = rgb;
    detail::toFilterPlanes(planes.data(), std::size_t(rows) * cols, 3, range);
    const std::int32_t reach = 3 * P - 1;
    struct Chunk {
        Span rows, cols, ownRows, ownCols;
        std::vector<double> values;
    };
    std::vector<Chunk> chunks;
    for (const Span ownR : {Span{0, 40}, Span{40, 97}})
        for (const Span ownC : {Span{0, 30}, Span{30, 61}, Span{61, 118}}) {
            Chunk c{Span{ownR.begin, std::min(ownR.end + reach, rows)},
                    Span{ownC.begin, std::min(ownC.end + reach, cols)}, ownR, ownC, {}};
            for (int k = 0; k < 3; ++k)
                for (std::int32_t j = c.cols.begin; j < c.cols.end; ++j)
                    for (std::int32_t i = c.rows.begin; i < c.rows.end; ++i)
                        c.values.push_back(rgb[std::size_t(k) * rows * cols + std::size_t(j) * rows + i]);
            chunks.push_back(std::move(c));
        }
    for (int k = 0; k < 3; ++k) {
        std::vector<SpectrumBlock> scored;
        for (const Chunk& c : chunks) {
            const auto part = noiseChunkSpectrumScores(c.values.data(), rows, cols, 3, c.rows, c.cols,
                                                       c.ownRows, c.ownCols, k, P, range);
            scored.insert(scored.begin(), part.begin(), part.end()); // any order
        }
        const std::vector<SpectrumBlock> selected = selectSpectrumBlocks(rows, cols, P, scored);
        std::vector<SpectrumPart> parts;
        for (const Chunk& c : chunks)
            parts.push_back(noiseChunkSpectrumSquares(c.values.data(), rows, cols, 3, c.rows, c.cols,
                                                      c.ownRows, c.ownCols, k, P, range, selected));
        const NoiseSpectrum whole =
            estimateNoiseSpectrum(planes.data() + std::size_t(k) * rows * cols, rows, cols, P);
        EXPECT_TRUE(sameSpectrum(noiseSpectrumFromParts(P, selected.size(), parts), whole)) << k;
        if (k > 0)
            continue;
        std::vector<SpectrumBlock> missing(scored.begin() + 1, scored.end());
        EXPECT_THROW(selectSpectrumBlocks(rows, cols, P, missing), std::invalid_argument);
        missing.push_back(scored[1]);
        EXPECT_THROW(selectSpectrumBlocks(rows, cols, P, missing), std::invalid_argument);
        std::vector<SpectrumPart> repeated = parts;
        repeated.push_back(parts[2]);
        EXPECT_THROW(noiseSpectrumFromParts(P, selected.size(), repeated), std::invalid_argument);
        repeated.pop_back();
        repeated.erase(repeated.begin() + 2);
        EXPECT_THROW(noiseSpectrumFromParts(P, selected.size(), repeated), std::invalid_argument);
        // A chunk short of the rows its blocks reach.
        const Chunk& c = chunks[0];
        EXPECT_THROW(noiseChunkSpectrumScores(c.values.data(), rows, cols, 3, Span{0, 50}, c.cols,
                                              c.ownRows, c.ownCols, 0, P, range),
                     std::invalid_argument);
    }
}

TEST(NoiseSpectrum, RefusesWhatItCannotMeasure)
{
    // Values whose squares overflow leave no texture to sort by (it would
    // be NaN, which no sort may compare): the automatic choice stays white.
    std::vector<double> huge = whiteNoise(64, 64, 8);
    for (double& v : huge)
        v = 1e200 * (v + 10.0);
    EXPECT_FALSE(std::isfinite(estimateNoiseSpectrum(huge.data(), 64, 64, 8).sigma));
    EXPECT_EQ(estimateNoiseModel(huge.data(), 64, 64, 1).kind, NoiseKind::gaussian);

    const std::vector<double> small(20 * 20, 1.0);
    EXPECT_THROW(estimateNoiseSpectrum(small.data(), 20, 20, 8), std::invalid_argument);
    EXPECT_THROW(estimateNoiseSpectrum(nullptr, 100, 100, 8), std::invalid_argument);
    EXPECT_THROW(estimateNoiseSpectrum(small.data(), 20, 20, 1), std::invalid_argument);
    DenoiseInput in;
    in.rows = in.cols = 20;
    in.pixels = small.data();
    in.noise = NoiseChoice::correlated;
    in.gain = 2.0;
    EXPECT_THROW(denoise(in), std::invalid_argument);
}

} // namespace
} // namespace sorvik
