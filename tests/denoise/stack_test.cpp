// The one call on stacks of frames: its agreement with the call on each
// frame, its exactness across threads and windows, and what it refuses.
#include <sorvik/stack.h>

#include "test_images.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using sorvik::testing::addNoise;

// A scene larger than the frames, cut at a window that moves `pan` pixels
// right and `pan` / 2 down each frame; noise drawn per frame.
std::vector<double> panningStack(int rows, int cols, int frames, int pan, double sigma)
{
    const int sceneRows = rows + frames * pan, sceneCols = cols + frames * pan;
    std::vector<double> scene = sorvik::testing::shapesImage(sceneRows, sceneCols);
    const std::vector<double> smooth = sorvik::testing::smoothImage(sceneRows, sceneCols);
    for (std::size_t i = 0; i < scene.size(); ++i)
        scene[i] = 0.5 * scene[i] + 0.5 * smooth[i];
    std::vector<double> out;
    for (int f = 0; f < frames; ++f) {
        std::vector<double> frame(std::size_t(rows) * cols);
        for (int j = 0; j < cols; ++j)
            for (int i = 0; i < rows; ++i)
                frame[std::size_t(j) * rows + i] =
                    scene[std::size_t(j + f * pan) * sceneRows + i + f * pan / 2];
        if (sigma > 0)
            addNoise(frame, sigma, 100u + unsigned(f));
        for (double& v : frame)
            v = std::min(1.0, std::max(0.0, v));
        out.insert(out.end(), frame.begin(), frame.end());
    }
    return out;
}

double meanSquare(const double* a, const double* b, std::size_t n)
{
    double sum = 0;
    for (std::size_t i = 0; i < n; ++i)
        sum += (a[i] - b[i]) * (a[i] - b[i]);
    return sum / double(n);
}

sorvik::StackInput stackOf(const std::vector<double>& pixels, int rows, int cols, int channels,
                           int frames, double sigma)
{
    sorvik::StackInput in;
    in.rows = rows;
    in.cols = cols;
    in.channels = channels;
    in.frames = frames;
    in.pixels = pixels.data();
    in.sigma = sigma;
    return in;
}

TEST(Stack, RadiusZeroGivesEachFramesOwnBitsGreyAndColour)
{
    for (int channels : {1, 3}) {
        const int rows = 40, cols = 44, frames = 3;
        std::vector<double> grey = panningStack(rows, cols, frames, 2, 0.1);
        std::vector<double> pixels;
        const std::size_t plane = std::size_t(rows) * cols;
        for (int f = 0; f < frames; ++f)
            for (int c = 0; c < channels; ++c)
                for (std::size_t i = 0; i < plane; ++i)
                    pixels.push_back(std::fabs(grey[f * plane + i] - 0.2 * c));
        sorvik::StackOptions stack;
        stack.temporalRadius = 0;
        for (sorvik::PilotKind pilot : {sorvik::PilotKind::grouped, sorvik::PilotKind::dct}) {
            sorvik::DenoiseOptions options;
            options.pilot = pilot;
            const sorvik::StackResult all =
                sorvik::denoiseStack(stackOf(pixels, rows, cols, channels, frames, 0.1), options, stack);
            for (int f = 0; f < frames; ++f) {
                sorvik::DenoiseInput one;
                one.rows = rows;
                one.cols = cols;
                one.channels = channels;
                one.pixels = pixels.data() + f * plane * channels;
                one.sigma = 0.1;
                const sorvik::DenoiseResult single = sorvik::denoise(one, options);
                for (std::size_t i = 0; i < plane * channels; ++i)
                    ASSERT_EQ(single.pixels[i], all.pixels[f * plane * channels + i])
                        << "frame " << f << " channels " << channels;
            }
        }
    }
}

TEST(Stack, SameBitsForAnyThreadCountAndBothPilots)
{
    const int rows = 48, cols = 52, frames = 4;
    const std::vector<double> pixels = panningStack(rows, cols, frames, 1, 0.08);
    for (sorvik::PilotKind pilot : {sorvik::PilotKind::grouped, sorvik::PilotKind::dct}) {
        sorvik::DenoiseOptions options;
        options.pilot = pilot;
        const sorvik::StackResult one =
            sorvik::denoiseStack(stackOf(pixels, rows, cols, 1, frames, 0.08), options);
        options.threads = 3;
        const sorvik::StackResult three =
            sorvik::denoiseStack(stackOf(pixels, rows, cols, 1, frames, 0.08), options);
        ASSERT_EQ(one.pixels, three.pixels);
    }
}

// A frame's result depends on the frames within two radii alone: the stack
// cut later, or shifted by frames in time, gives the same frames' bits.
TEST(Stack, ShiftingTheSequenceInTimeShiftsTheResult)
{
    const int rows = 36, cols = 40, frames = 9;
    const std::size_t plane = std::size_t(rows) * cols;
    const std::vector<double> pixels = panningStack(rows, cols, frames, 1, 0.1);
    sorvik::StackOptions stack;
    stack.temporalRadius = 1;
    const sorvik::StackResult whole =
        sorvik::denoiseStack(stackOf(pixels, rows, cols, 1, frames, 0.1), {}, stack);
    const std::vector<double> later(pixels.begin() + 2 * plane, pixels.end());
    const sorvik::StackResult shifted =
        sorvik::denoiseStack(stackOf(later, rows, cols, 1, frames - 2, 0.1), {}, stack);
    const int context = sorvik::stackContext(stack.temporalRadius);
    for (int f = 2 + context; f < frames; ++f)
        for (std::size_t i = 0; i < plane; ++i)
            ASSERT_EQ(whole.pixels[f * plane + i], shifted.pixels[(f - 2) * plane + i]) << f;
    // Frames nearer the cut than the context may differ, and here do.
    EXPECT_NE(std::vector<double>(whole.pixels.begin() + 2 * plane, whole.pixels.begin() + 3 * plane),
              std::vector<double>(shifted.pixels.begin(), shifted.pixels.begin() + plane));
}

TEST(Stack, IdenticalNoiselessFramesComeBackWithinRounding)
{
    const int rows = 40, cols = 40, frames = 5;
    const std::vector<double> frame = sorvik::testing::smoothImage(rows, cols);
    std::vector<double> pixels;
    for (int f = 0; f < frames; ++f)
        for (double v : frame)
            pixels.push_back(std::round(v * 255.0));
    // A quarter of a grey level of noise assumed: the frames, rounded as
    // 8-bit data, come back as they went in, and no further from them than
    // each frame alone would.
    sorvik::StackInput in = stackOf(pixels, rows, cols, 1, frames, 0.25);
    in.range = sorvik::uint8Range;
    const sorvik::StackResult out = sorvik::denoiseStack(in);
    sorvik::StackOptions alone;
    alone.temporalRadius = 0;
    const sorvik::StackResult single = sorvik::denoiseStack(in, {}, alone);
    double worst = 0, worstAlone = 0;
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        ASSERT_EQ(std::round(out.pixels[i]), pixels[i]) << i;
        worst = std::max(worst, std::fabs(out.pixels[i] - pixels[i]));
        worstAlone = std::max(worstAlone, std::fabs(single.pixels[i] - pixels[i]));
    }
    EXPECT_LE(worst, worstAlone);
}

TEST(Stack, NeighbouringFramesHelpAMovingScene)
{
    const int rows = 64, cols = 64, frames = 5;
    const double sigma = 0.1;
    const std::vector<double> clean = panningStack(rows, cols, frames, 2, 0.0);
    const std::vector<double> noisy = panningStack(rows, cols, frames, 2, sigma);
    sorvik::StackOptions alone;
    alone.temporalRadius = 0;
    const sorvik::StackResult single =
        sorvik::denoiseStack(stackOf(noisy, rows, cols, 1, frames, sigma), {}, alone);
    const sorvik::StackResult together =
        sorvik::denoiseStack(stackOf(noisy, rows, cols, 1, frames, sigma));
    const std::size_t plane = std::size_t(rows) * cols;
    // The middle frame has two neighbours on each side.
    const double before = meanSquare(single.pixels.data() + 2 * plane, clean.data() + 2 * plane, plane);
    const double after = meanSquare(together.pixels.data() + 2 * plane, clean.data() + 2 * plane, plane);
    EXPECT_LT(after, 0.85 * before) << "10 log10 gain " << 10 * std::log10(before / after);
}

TEST(Stack, OneSigmaEstimatedForTheWholeStack)
{
    const int rows = 48, cols = 48, frames = 3;
    std::vector<double> pixels = panningStack(rows, cols, frames, 1, 0.05);
    sorvik::StackInput in = stackOf(pixels, rows, cols, 1, frames, 0.0);
    in.sigma.reset();
    const sorvik::StackResult out = sorvik::denoiseStack(in);
    EXPECT_TRUE(out.sigmaEstimated);
    EXPECT_EQ(out.sigma, sorvik::estimateNoiseSigma(pixels.data(), rows, cols, frames));
}

// Counts: one model fitted on every frame (the automatic choice finds it),
// filtered stabilised; a window of
// the stack given that model and the stack's extremes gives the stack's
// bits for the frames its context decides, as the tool's windows need.
TEST(Stack, CountsAreFilteredUnderOneModelAndWindowsKeepTheirBits)
{
    const int rows = 64, cols = 64, frames = 8;
    const double gain = 2.0, read = 1.0, offset = 10.0, photons = 30.0;
    const std::vector<double> clean = panningStack(rows, cols, frames, 1, 0.0);
    std::mt19937 bits(7);
    std::vector<double> counts(clean.size());
    for (std::size_t i = 0; i < clean.size(); ++i)
        counts[i] = offset + gain * std::poisson_distribution<int>(photons * clean[i])(bits) +
                    std::normal_distribution<double>(0.0, read)(bits);
    sorvik::StackInput in = stackOf(counts, rows, cols, 1, frames, 0.0);
    in.sigma.reset();
    in.range = sorvik::floatDataRange(counts.data(), rows, cols, frames);
    sorvik::StackOptions stack;
    stack.temporalRadius = 1;
    EXPECT_EQ(sorvik::denoiseStack(in, {}, stack).noise.kind, sorvik::NoiseKind::poissonGaussian);
    in.noise = sorvik::NoiseChoice::gaussian;
    const sorvik::StackResult white = sorvik::denoiseStack(in, {}, stack);
    EXPECT_EQ(white.noise.kind, sorvik::NoiseKind::gaussian);

    in.noise = sorvik::NoiseChoice::poissonGaussian;
    const sorvik::StackResult fitted = sorvik::denoiseStack(in, {}, stack);
    EXPECT_EQ(fitted.noise.kind, sorvik::NoiseKind::poissonGaussian);
    EXPECT_TRUE(fitted.sigmaEstimated);
    EXPECT_NEAR(fitted.noise.gain, gain, 0.3 * gain);
    std::vector<double> truth(clean.size());
    for (std::size_t i = 0; i < clean.size(); ++i)
        truth[i] = offset + gain * photons * clean[i];
    EXPECT_LT(meanSquare(fitted.pixels.data(), truth.data(), truth.size()),
              0.9 * meanSquare(white.pixels.data(), truth.data(), truth.size()));

    in.gain = fitted.noise.gain;
    in.readNoise = fitted.noise.readNoise;
    in.offset = fitted.noise.offset;
    const sorvik::StackResult given = sorvik::denoiseStack(in, {}, stack);
    EXPECT_FALSE(given.sigmaEstimated);
    const auto [low, high] = std::minmax_element(counts.begin(), counts.end());
    sorvik::StackInput window = in;
    window.frames = 6; // frames 0 and 1 are decided within it
    window.extremes = sorvik::DataRange{*low, *high};
    const sorvik::StackResult part = sorvik::denoiseStack(window, {}, stack);
    const std::size_t decided = 2 * std::size_t(rows) * cols;
    EXPECT_TRUE(std::equal(part.pixels.begin(), part.pixels.begin() + std::ptrdiff_t(decided),
                           given.pixels.begin()));
}

TEST(Stack, RefusesWhatItCannotDo)
{
    const int rows = 32, cols = 32, frames = 3;
    std::vector<double> pixels = panningStack(rows, cols, frames, 1, 0.05);
    const auto refuses = [&](sorvik::StackInput in, sorvik::StackOptions stack, const char* what) {
        try {
            sorvik::denoiseStack(in, {}, stack);
            ADD_FAILURE() << "accepted: " << what;
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(what), std::string::npos) << e.what();
        }
    };
    sorvik::StackInput in = stackOf(pixels, rows, cols, 1, frames, 0.05);
    sorvik::StackOptions stack;
    stack.temporalRadius = -1;
    refuses(in, stack, "temporal radius");
    stack.temporalRadius = 2;
    stack.predictiveRadius = 65;
    refuses(in, stack, "predictive search radius");
    stack.predictiveRadius = 4;
    sorvik::StackInput bad = in;
    bad.frames = 0;
    refuses(bad, stack, "no frames");
    bad = in;
    bad.channels = 2;
    refuses(bad, stack, "channels");
    bad = in;
    bad.noise = sorvik::NoiseChoice::poissonGaussian;
    refuses(bad, stack, "sigma cannot be given with the poisson-gaussian");
    bad.noise = sorvik::NoiseChoice::correlated;
    refuses(bad, stack, "white noise models only");
    pixels[2 * rows * cols + 5] = 1.5;
    refuses(in, stack, "frame 2");
    pixels[2 * rows * cols + 5] = std::nan("");
    refuses(in, stack, "frame 2");
}

} // namespace
