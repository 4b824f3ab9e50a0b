// Signal-dependent noise: the model fitted from one image, the stabilised
// filtering and its inverse, and the automatic choice between the models.
#include <sorvik/denoise.h>

#include "denoise/noise_model.h"
#include "test_images.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace sorvik {
namespace {

// Poisson and Gaussian draws from the bare Mersenne twister, so that every
// platform makes the same counts.
struct Draws {
    std::mt19937 bits;
    explicit Draws(std::uint32_t seed) : bits(seed) {}
    double uniform() { return (double(bits()) + 0.5) / 4294967296.0; }
    double gauss()
    {
        const double radius = std::sqrt(-2.0 * std::log(uniform()));
        return radius * std::cos(6.283185307179586 * uniform());
    }
    double poisson(double mean) // by inversion; means up to a few hundred
    {
        const double u = uniform();
        double p = std::exp(-mean), cumulative = p;
        int k = 0;
        while (u > cumulative && k < 10000) {
            ++k;
            p *= mean / k;
            cumulative += p;
        }
        return k;
    }
};

// z = offset + gain * Poisson(photons * clean) + N(0, read^2).
std::vector<double> counts(const std::vector<double>& clean, double photons, double gain,
                           double read, double offset, std::uint32_t seed)
{
    Draws draws(seed);
    std::vector<double> z(clean.size());
    for (std::size_t i = 0; i < clean.size(); ++i)
        z[i] = offset + gain * draws.poisson(photons * clean[i]) + read * draws.gauss();
    return z;
}

DenoiseInput inputOf(const std::vector<double>& z, int rows, int cols, int channels = 1)
{
    DenoiseInput in;
    in.rows = rows;
    in.cols = cols;
    in.channels = channels;
    in.pixels = z.data();
    in.range = floatDataRange(z.data(), rows, cols, channels);
    return in;
}

std::string messageOf(const DenoiseInput& in)
{
    try {
        denoise(in);
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "(accepted)";
}

void expectSays(const std::string& message, const std::string& part)
{
    EXPECT_NE(message.find(part), std::string::npos) << message << "\n  lacks: " << part;
}

constexpr int rows = 192, cols = 192;

TEST(NoiseModel, FitsGainReadNoiseAndOffsetOfCounts)
{
    const std::vector<double> clean = testing::smoothImage(rows, cols);
    struct Case {
        double photons, gain, read, offset;
    };
    for (const Case c : {Case{5, 1, 0.5, 0}, Case{30, 2, 3, 0}, Case{100, 0.5, 2, 0},
                         Case{60, 4, 8, 500}}) {
        const std::vector<double> z = counts(clean, c.photons, c.gain, c.read, c.offset, 7);
        const NoiseModel m = estimateNoiseModel(z.data(), rows, cols, 1);
        EXPECT_EQ(m.kind, NoiseKind::poissonGaussian) << c.photons;
        EXPECT_NEAR(m.gain / c.gain, 1.0, 0.15) << c.photons;
        // Read noise and offset are told apart by assumption only; the
        // variance they make together is what the transform needs.
        const double level = c.offset + c.gain * c.photons * 0.3;
        const double variance = m.gain * (level - m.offset) + m.readNoise * m.readNoise;
        const double truth = c.gain * (level - c.offset) + c.read * c.read;
        EXPECT_NEAR(variance / truth, 1.0, 0.15) << c.photons;
    }
}

TEST(NoiseModel, TextureInTheMiddleTonesDoesNotRaiseTheGain)
{
    // Dark and bright shading either side of a mid-grey band of fine texture
    // as strong as the noise, as grass or brick at 100 photons: the band's
    // patches all read texture as noise, and pulled the gain 48% high.
    constexpr int size = 256;
    std::vector<double> clean(std::size_t(size) * size);
    for (int j = 0; j < size; ++j)
        for (int i = 0; i < size; ++i) {
            const double x = double(j) / size, shade = 0.1 * i / size;
            double v = 0.8 + shade;
            if (x < 0.3)
                v = 0.05 + shade;
            else if (x < 0.7)
                v = 0.45 + shade +
                    0.1 * (std::sin(1.3 * i + 0.7 * j) * std::cos(0.9 * j - 0.4 * i) +
                           0.5 * std::sin(2.1 * j + 0.3 * i));
            clean[std::size_t(j) * size + std::size_t(i)] = v;
        }
    for (std::uint32_t seed : {1u, 2u}) {
        const std::vector<double> z = counts(clean, 100, 1, 0, 0, seed);
        const NoiseModel m = estimateNoiseModel(z.data(), size, size, 1);
        EXPECT_EQ(m.kind, NoiseKind::poissonGaussian) << seed;
        EXPECT_NEAR(m.gain, 1.0, 0.15) << seed;
    }
}

TEST(NoiseModel, SaturatedAndZeroCountRegionsNeitherBiasNorRefuse)
{
    // A third of the image saturates at the data's top, as a 16-bit frame of
    // a bright sky: the gain stays within 15%.
    std::vector<double> clean(std::size_t(rows) * cols);
    for (std::size_t i = 0; i < clean.size(); ++i)
        clean[i] = 0.05 + 0.9 * double(i / rows) / cols;
    std::vector<double> z = counts(clean, 80, 1.5, 2, 0, 11);
    const double top = 1.5 * 80 * 0.65;
    for (double& v : z)
        v = std::min(v, top);
    const NoiseModel saturated = estimateNoiseModel(z.data(), rows, cols, 1);
    EXPECT_EQ(saturated.kind, NoiseKind::poissonGaussian);
    EXPECT_NEAR(saturated.gain / 1.5, 1.0, 0.15);

    // Photon counts of 0 to 2 with whole regions of zeros are noisy data,
    // not an exactly smooth image.
    std::vector<double> dark = testing::shapesImage(rows, cols);
    for (double& v : dark)
        v = v < 0.3 ? 0.0 : v;
    const std::vector<double> few = counts(dark, 2, 1, 0, 0, 5);
    const NoiseModel m = estimateNoiseModel(few.data(), rows, cols, 1);
    EXPECT_EQ(m.kind, NoiseKind::poissonGaussian);
    EXPECT_NEAR(m.gain, 1.0, 0.15);
    const DenoiseResult r = denoise(inputOf(few, rows, cols));
    EXPECT_EQ(r.noise.kind, NoiseKind::poissonGaussian);
    EXPECT_TRUE(r.sigmaEstimated);
}

TEST(NoiseModel, AutomaticChoiceKeepsWhiteNoiseOnTheGaussianPathBitForBit)
{
    for (double sigma : {5.0, 15.0, 30.0})
        for (const auto& clean : {testing::smoothImage(rows, cols), testing::shapesImage(rows, cols)}) {
            std::vector<double> noisy = clean;
            testing::addNoise(noisy, sigma / 255.0, 3);
            const NoiseModel m = estimateNoiseModel(noisy.data(), rows, cols, 1);
            EXPECT_EQ(m.kind, NoiseKind::gaussian) << sigma;
            EXPECT_EQ(m.sigma, estimateNoiseSigma(noisy.data(), rows, cols, 1));
            if (sigma != 15.0)
                continue;
            DenoiseInput in = inputOf(noisy, rows, cols);
            const DenoiseResult automatic = denoise(in);
            in.noise = NoiseChoice::gaussian;
            const DenoiseResult gaussian = denoise(in);
            in.noise = NoiseChoice::automatic;
            in.sigma = m.sigma;
            const DenoiseResult given = denoise(in);
            EXPECT_EQ(automatic.pixels, gaussian.pixels);
            EXPECT_EQ(automatic.pixels, given.pixels);
            EXPECT_EQ(automatic.sigma, given.sigma);
            EXPECT_EQ(automatic.noise.kind, NoiseKind::gaussian);
        }
}

TEST(NoiseModel, UnbiasedInverseOnFlatImagesAtLowCounts)
{
    // The inverse of the expectation of the transform: exact at every count,
    // where the algebraic inverse reads low.
    for (double read : {0.0, 1.5}) {
        const detail::Stabiliser stabiliser(1.0, std::max(read, 1e-9), 0.0);
        for (double photons : {0.5, 1.0, 2.0, 5.0, 20.0}) {
            Draws draws(9);
            double sum = 0.0;
            const int n = 200000;
            for (int i = 0; i < n; ++i)
                sum += stabiliser.forward(draws.poisson(photons) + read * draws.gauss());
            const double mean = sum / n;
            EXPECT_NEAR(stabiliser.inverse(mean), photons, 0.02 + 0.01 * photons) << read;
            if (photons <= 2.0) {
                EXPECT_LT(stabiliser.algebraicInverse(mean), photons - 0.1) << read;
            }
        }
    }
    // Through the whole call: a flat field of 1 and 3 photons keeps its mean.
    for (double photons : {1.0, 3.0}) {
        const std::vector<double> flat(std::size_t(rows) * cols, 1.0);
        const std::vector<double> z = counts(flat, photons, 2.0, 0.0, 0.0, 17);
        DenoiseInput in = inputOf(z, rows, cols);
        in.noise = NoiseChoice::poissonGaussian;
        in.gain = 2.0;
        in.readNoise = 1e-6;
        in.offset = 0.0;
        const DenoiseResult r = denoise(in);
        const double mean = std::accumulate(r.pixels.begin(), r.pixels.end(), 0.0) /
                            double(r.pixels.size());
        EXPECT_NEAR(mean / (2.0 * photons), 1.0, 0.05) << photons;
    }
}

TEST(NoiseModel, StabilisedPathBeatsTheGaussianCallOnCountsInGreyAndColour)
{
    const std::vector<double> clean = testing::shapesImage(rows, cols);
    std::vector<double> truth = clean;
    for (double& v : truth)
        v *= 20.0;
    const std::vector<double> z = counts(clean, 20, 1, 1, 0, 23);
    const auto error = [&truth](const std::vector<double>& x) {
        double sum = 0.0;
        for (std::size_t i = 0; i < x.size(); ++i)
            sum += (x[i] - truth[i]) * (x[i] - truth[i]);
        return sum;
    };
    DenoiseInput in = inputOf(z, rows, cols);
    const DenoiseResult automatic = denoise(in);
    in.noise = NoiseChoice::gaussian;
    const DenoiseResult gaussian = denoise(in);
    EXPECT_EQ(automatic.noise.kind, NoiseKind::poissonGaussian);
    EXPECT_LT(error(automatic.pixels), error(gaussian.pixels));

    // Colour: one model for the three channels, before the colour transform.
    std::vector<double> colour = z;
    const std::vector<double> other = counts(testing::smoothImage(rows, cols), 20, 1, 1, 0, 29);
    colour.insert(colour.end(), other.begin(), other.end());
    colour.insert(colour.end(), z.rbegin(), z.rend());
    const DenoiseResult rgb = denoise(inputOf(colour, rows, cols, 3));
    EXPECT_EQ(rgb.noise.kind, NoiseKind::poissonGaussian);
    EXPECT_NEAR(rgb.noise.gain, 1.0, 0.15);
    for (double v : rgb.pixels)
        ASSERT_TRUE(std::isfinite(v));
}

TEST(NoiseModel, RefusesBadParametersAndSaysWhy)
{
    const std::vector<double> z = counts(testing::smoothImage(rows, cols), 30, 1, 1, 0, 31);
    const DenoiseInput base = inputOf(z, rows, cols);
    const auto with = [&base](auto change) {
        DenoiseInput in = base;
        change(in);
        return messageOf(in);
    };
    expectSays(with([](DenoiseInput& in) { in.gain = 0.0; }), "gain");
    expectSays(with([](DenoiseInput& in) { in.gain = NAN; }), "gain");
    expectSays(with([](DenoiseInput& in) { in.readNoise = -1.0; }), "read noise");
    expectSays(with([](DenoiseInput& in) { in.readNoise = INFINITY; }), "read noise");
    expectSays(with([](DenoiseInput& in) { in.offset = 1e6; }),
                "above the data's maximum");
    expectSays(with([](DenoiseInput& in) {
                    in.noise = NoiseChoice::poissonGaussian;
                    in.sigma = 2.0;
                }),
                "sigma cannot be given with the poisson-gaussian");
    expectSays(with([](DenoiseInput& in) {
                    in.noise = NoiseChoice::gaussian;
                    in.gain = 1.0;
                }),
                "gain, read noise and offset belong");

    // Too small to follow the noise over the signal: say so, and name the way out.
    const std::vector<double> small = counts(testing::smoothImage(30, 30), 30, 1, 1, 0, 37);
    DenoiseInput tiny = inputOf(small, 30, 30);
    tiny.noise = NoiseChoice::poissonGaussian;
    const std::string why = messageOf(tiny);
    expectSays(why, "cannot be fitted");
    expectSays(why, "gaussian model with a sigma");
    // White noise has no gain to fit.
    std::vector<double> white = testing::smoothImage(rows, cols);
    testing::addNoise(white, 0.05, 41);
    DenoiseInput flat = inputOf(white, rows, cols);
    flat.noise = NoiseChoice::poissonGaussian;
    expectSays(messageOf(flat), "cannot be fitted");
    // The automatic choice on the same small image falls back on gaussian.
    EXPECT_EQ(denoise(inputOf(small, 30, 30)).noise.kind, NoiseKind::gaussian);

    // Refused only when truly constant or noiseless at every level, saying which.
    const std::vector<double> constant(std::size_t(rows) * cols, 3.0);
    expectSays(messageOf(inputOf(constant, rows, cols)), "constant");
    std::vector<double> ramp(std::size_t(rows) * cols);
    for (std::size_t i = 0; i < ramp.size(); ++i)
        ramp[i] = double(i % rows) + 2.0 * double(i / rows);
    expectSays(messageOf(inputOf(ramp, rows, cols)), "no noise could be measured");
}

TEST(NoiseModel, BandsGiveTheWholeImagesModel)
{
    const std::vector<double> z = counts(testing::smoothImage(rows, cols), 40, 2, 2, 10, 43);
    NoiseEstimator estimator(rows, cols, 1);
    std::vector<double> band;
    for (std::int32_t first = 0; first < rows;) {
        const std::int32_t next = std::min(first, estimator.nextRow());
        const std::int32_t count = std::min<std::int32_t>(50, rows - next);
        band.assign(std::size_t(count) * cols, 0.0);
        for (std::int32_t j = 0; j < cols; ++j)
            for (std::int32_t i = 0; i < count; ++i)
                band[std::size_t(j) * count + i] = z[std::size_t(j) * rows + next + i];
        estimator.add(band.data(), next, count);
        first = next + count;
    }
    const NoiseModel streamed = estimator.estimateModel();
    const NoiseModel whole = estimateNoiseModel(z.data(), rows, cols, 1);
    EXPECT_EQ(streamed.kind, whole.kind);
    EXPECT_EQ(streamed.gain, whole.gain);
    EXPECT_EQ(streamed.readNoise, whole.readNoise);
    EXPECT_EQ(streamed.offset, whole.offset);
}

// The models' measurements run side by side on threads; which thread
// finishes first must change neither the model nor the error.
TEST(NoiseModel, SameModelAndSameRefusalOnAnyThreadCount)
{
    const std::vector<double> photons = counts(testing::shapesImage(rows, cols), 30, 2, 1, 5, 17);
    std::vector<double> white = testing::smoothImage(rows, cols), boxed(white.size());
    for (double& v : white)
        v *= 200.0;
    std::vector<double> noise(white.size(), 0.0);
    testing::addNoise(noise, 6.0, 5);
    for (std::int32_t j = 0; j < cols; ++j)
        for (std::int32_t i = 0; i < rows; ++i) {
            double sum = 0.0;
            for (int dj = -1; dj <= 1; ++dj)
                for (int di = -1; di <= 1; ++di)
                    sum += noise[std::size_t(std::clamp(j + dj, 0, cols - 1)) * rows +
                                 std::size_t(std::clamp(i + di, 0, rows - 1))];
            boxed[std::size_t(j) * rows + i] = white[std::size_t(j) * rows + i] + sum / 3.0;
        }
    testing::addNoise(white, 6.0, 6);
    std::vector<double> ramp(std::size_t(rows) * cols);
    for (std::size_t k = 0; k < ramp.size(); ++k)
        ramp[k] = double(k % rows) + 0.5 * double(k / rows);

    const auto kinds = {NoiseKind::poissonGaussian, NoiseKind::gaussian, NoiseKind::correlated};
    const std::vector<double>* images[] = {&photons, &white, &boxed};
    auto kind = kinds.begin();
    for (const std::vector<double>* image : images) {
        const DenoiseInput in = inputOf(*image, rows, cols);
        const detail::NoisePlan one = detail::planNoise(in);
        EXPECT_EQ(one.model.kind, *kind++);
        for (int threads : {2, 3, 8}) {
            const detail::NoisePlan many = detail::planNoise(in, {}, {}, threads);
            EXPECT_EQ(many.model.kind, one.model.kind) << threads;
            EXPECT_EQ(many.model.sigma, one.model.sigma) << threads;
            EXPECT_EQ(many.model.gain, one.model.gain) << threads;
            EXPECT_EQ(many.model.readNoise, one.model.readNoise) << threads;
            EXPECT_EQ(many.model.offset, one.model.offset) << threads;
            EXPECT_EQ(many.model.spectrum.cosine, one.model.spectrum.cosine) << threads;
        }
    }
    const std::string refusal = messageOf(inputOf(ramp, rows, cols));
    expectSays(refusal, "give sigma");
    for (int threads : {2, 8}) {
        try {
            detail::planNoise(inputOf(ramp, rows, cols), {}, {}, threads);
            ADD_FAILURE() << "a noiseless ramp was accepted on " << threads << " threads";
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()), refusal);
        }
    }
}

TEST(NoiseEstimate, HugeAndTinyUnitsNeitherOverflowNorUnderflow)
{
    std::vector<double> noisy = testing::shapesImage(96, 96);
    testing::addNoise(noisy, 0.04, 47);
    const double unit = estimateNoiseSigma(noisy.data(), 96, 96, 1);
    ASSERT_GT(unit, 0.0);
    // Powers of two scale every step exactly; 1e80 and 1e300 only nearly.
    for (double factor : {0x1p300, 0x1p-300, 1e80, 1e300, 1e-200}) {
        std::vector<double> scaled = noisy;
        for (double& v : scaled)
            v *= factor;
        const double estimate = estimateNoiseSigma(scaled.data(), 96, 96, 1);
        EXPECT_NEAR(estimate / (unit * factor), 1.0, 1e-9) << factor;
    }
    std::vector<double> scaled = noisy;
    for (double& v : scaled)
        v *= 0x1p300;
    EXPECT_EQ(estimateNoiseSigma(scaled.data(), 96, 96, 1), unit * 0x1p300);
}

} // namespace
} // namespace sorvik
