// The one-call denoiser: grey and colour, data in its own units and range,
// sigma given or estimated, and the input it refuses.
#include <sorvik/denoise.h>

#include "test_images.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace sorvik {
namespace {

using testing::addNoise;

constexpr int rows = 48, cols = 56;
constexpr std::size_t plane = std::size_t(rows) * cols;

double psnr(const std::vector<double>& clean, const std::vector<double>& image, double peak)
{
    double sum = 0.0;
    for (std::size_t i = 0; i < clean.size(); ++i)
        sum += (clean[i] - image[i]) * (clean[i] - image[i]);
    return 10.0 * std::log10(peak * peak * double(clean.size()) / sum);
}

std::vector<double> colourImage()
{
    std::vector<double> rgb = testing::shapesImage(rows, cols);
    const std::vector<double> smooth = testing::smoothImage(rows, cols);
    rgb.insert(rgb.end(), smooth.begin(), smooth.end());
    for (std::size_t i = 0; i < plane; ++i)
        rgb.push_back(0.5 * rgb[i] + 0.4 * smooth[i]);
    return rgb;
}

DenoiseInput inputOf(const std::vector<double>& pixels, int channels, DataRange range)
{
    DenoiseInput in;
    in.rows = rows;
    in.cols = cols;
    in.channels = channels;
    in.pixels = pixels.data();
    in.range = range;
    return in;
}

TEST(Denoise, GreyAndColourComeOutCleaner)
{
    for (int channels : {1, 3}) {
        const std::vector<double> clean =
            channels == 1 ? testing::shapesImage(rows, cols) : colourImage();
        std::vector<double> noisy = clean;
        addNoise(noisy, 0.1, 17);
        DenoiseInput in =
            inputOf(noisy, channels, floatDataRange(noisy.data(), rows, cols, channels));
        in.sigma = 0.1;
        const DenoiseResult out = denoise(in);
        ASSERT_EQ(out.pixels.size(), clean.size());
        EXPECT_EQ(out.sigma, 0.1);
        EXPECT_FALSE(out.sigmaEstimated);
        EXPECT_GT(psnr(clean, out.pixels, 1.0), psnr(clean, noisy, 1.0) + 6.0) << channels;
    }
}

TEST(Denoise, ColourChannelsStayApart)
{
    // A red square on a grey ground: green and blue must not take the red's
    // shape, and the square must stay red.
    std::vector<double> clean(3 * plane, 0.3);
    for (int j = 16; j < 40; ++j)
        for (int i = 12; i < 36; ++i)
            clean[std::size_t(j) * rows + i] = 0.9;
    std::vector<double> noisy = clean;
    addNoise(noisy, 0.05, 23);
    DenoiseInput in = inputOf(noisy, 3, floatDataRange(noisy.data(), rows, cols, 3));
    in.sigma = 0.05;
    const DenoiseResult out = denoise(in);
    double worst = 0.0;
    for (std::size_t i = 0; i < clean.size(); ++i)
        worst = std::max(worst, std::fabs(out.pixels[i] - clean[i]));
    EXPECT_LT(worst, 0.15);
    EXPECT_GT(psnr(clean, out.pixels, 1.0), psnr(clean, noisy, 1.0) + 8.0);
}

TEST(Denoise, KeepsTheDataInItsOwnUnitsAndRange)
{
    const std::vector<double> clean = testing::smoothImage(rows, cols);
    std::vector<double> noisy = clean;
    addNoise(noisy, 0.05, 29);
    for (double& v : noisy)
        v = std::min(1.0, std::max(0.0, v));
    DenoiseInput unit = inputOf(noisy, 1, DataRange{});
    unit.sigma = 0.05;
    const DenoiseResult reference = denoise(unit);

    // 16-bit levels: the same result in levels, sigma given in levels.
    std::vector<double> levels(noisy.size());
    for (std::size_t i = 0; i < noisy.size(); ++i)
        levels[i] = 65535.0 * noisy[i];
    DenoiseInput wide = inputOf(levels, 1, uint16Range);
    wide.sigma = 0.05 * 65535.0;
    const DenoiseResult out16 = denoise(wide);
    EXPECT_EQ(out16.sigma, 0.05 * 65535.0);
    for (std::size_t i = 0; i < plane; ++i)
        ASSERT_NEAR(out16.pixels[i], 65535.0 * reference.pixels[i], 0.02) << i;

    // Counts far outside [0, 1], mapped from their extremes: results stay in
    // those units (never clipped to [0, 1]) and are as good as on [0, 1].
    std::vector<double> counts(noisy.size());
    for (std::size_t i = 0; i < noisy.size(); ++i)
        counts[i] = -200.0 + 3000.0 * noisy[i];
    DenoiseInput far = inputOf(counts, 1, floatDataRange(counts.data(), rows, cols, 1));
    far.sigma = 0.05 * 3000.0;
    const DenoiseResult outCounts = denoise(far);
    std::vector<double> cleanCounts(clean.size());
    for (std::size_t i = 0; i < clean.size(); ++i)
        cleanCounts[i] = -200.0 + 3000.0 * clean[i];
    EXPECT_NEAR(psnr(cleanCounts, outCounts.pixels, 3000.0), psnr(clean, reference.pixels, 1.0),
                0.3);
    double high = -1e300;
    for (double v : outCounts.pixels)
        high = std::max(high, v);
    EXPECT_GT(high, 1000.0);
}

TEST(Denoise, EstimatedSigmaServesAsWellAsTheTrueOne)
{
    const std::vector<double> clean = colourImage();
    std::vector<double> cleanLevels(clean.size());
    for (std::size_t i = 0; i < clean.size(); ++i)
        cleanLevels[i] = 255.0 * clean[i];
    std::vector<double> levels = cleanLevels;
    addNoise(levels, 40.0, 31);
    // sigma 40 of 255 would leave the 8-bit range, so the data is float in levels.
    DenoiseInput in = inputOf(levels, 3, floatDataRange(levels.data(), rows, cols, 3));
    const DenoiseResult estimated = denoise(in);
    EXPECT_TRUE(estimated.sigmaEstimated);
    EXPECT_NEAR(estimated.sigma / 40.0, 1.0, 0.1);
    in.sigma = 40.0;
    const DenoiseResult given = denoise(in);
    EXPECT_NEAR(psnr(cleanLevels, estimated.pixels, 255.0), psnr(cleanLevels, given.pixels, 255.0),
                0.3);
}

TEST(Denoise, SameBitsForAnyThreadCountAndProgressReported)
{
    const std::vector<double> clean = colourImage();
    std::vector<double> noisy = clean;
    addNoise(noisy, 0.1, 37);
    DenoiseInput in = inputOf(noisy, 3, floatDataRange(noisy.data(), rows, cols, 3));
    in.sigma = 0.1;
    for (PilotKind pilot : {PilotKind::grouped, PilotKind::dct}) {
        DenoiseOptions options;
        options.pilot = pilot;
        int pilotCalls = 0, wienerCalls = 0, lastChannel = -2;
        bool pilotFinished = false, wienerFinished = false;
        options.progress = [&](DenoiseStage stage, int channel, std::int32_t done,
                               std::int32_t total) {
            if (stage == DenoiseStage::wiener) {
                ++wienerCalls;
                wienerFinished = wienerFinished || done == total;
                return;
            }
            EXPECT_EQ(stage, pilot == PilotKind::dct ? DenoiseStage::basicEstimate
                                                     : DenoiseStage::groupedEstimate);
            EXPECT_FALSE(wienerCalls > 0) << "the pilot reports after the Wiener stage began";
            ++pilotCalls;
            lastChannel = channel;
            pilotFinished = pilotFinished || done == total;
        };
        const DenoiseResult one = denoise(in, options);
        EXPECT_GT(pilotCalls, 0);
        EXPECT_TRUE(pilotFinished);
        // The grouped estimate takes the channels together.
        EXPECT_EQ(lastChannel, pilot == PilotKind::dct ? 2 : -1);
        EXPECT_GT(wienerCalls, 0);
        EXPECT_TRUE(wienerFinished);
        options.threads = 2;
        options.progress = nullptr;
        const DenoiseResult two = denoise(in, options);
        EXPECT_EQ(one.pixels, two.pixels);
    }
}

// A callback that throws during the grouped estimate ends the call with its
// exception once the walk is over; nothing crosses the filter's threads.
TEST(Denoise, ProgressExceptionFromTheGroupedPilotReachesTheCaller)
{
    const std::vector<double> clean = colourImage();
    std::vector<double> noisy = clean;
    addNoise(noisy, 0.1, 41);
    DenoiseInput in = inputOf(noisy, 3, floatDataRange(noisy.data(), rows, cols, 3));
    in.sigma = 0.1;
    for (int threads : {1, 3}) {
        DenoiseOptions options;
        options.threads = threads;
        int calls = 0;
        options.progress = [&](DenoiseStage stage, int, std::int32_t, std::int32_t) {
            EXPECT_EQ(stage, DenoiseStage::groupedEstimate);
            ++calls;
            throw std::length_error("stop");
        };
        EXPECT_THROW(denoise(in, options), std::length_error);
        EXPECT_EQ(calls, 1);
    }
}

// The grouped pilot's settings are checked like the Wiener stage's.
TEST(Denoise, GroupedPilotSettingsAreChecked)
{
    const std::vector<double> clean = colourImage();
    DenoiseInput in = inputOf(clean, 3, floatDataRange(clean.data(), rows, cols, 3));
    in.sigma = 0.1;
    const auto refused = [&](GroupedSettings grouped) {
        DenoiseOptions options;
        options.grouped = grouped;
        try {
            denoise(in, options);
        } catch (const std::invalid_argument& e) {
            return std::string(e.what()).find("grouped pilot") != std::string::npos;
        }
        return false;
    };
    GroupedSettings s;
    s.blockSize = 1;
    EXPECT_TRUE(refused(s));
    s = GroupedSettings{};
    s.step = 9;
    EXPECT_TRUE(refused(s));
    s = GroupedSettings{};
    s.lambda = -1.0;
    EXPECT_TRUE(refused(s));
    s = GroupedSettings{};
    s.matchFloor = std::nan("");
    EXPECT_TRUE(refused(s));
    s = GroupedSettings{};
    s.blockSize = rows + 1;
    EXPECT_TRUE(refused(s));
}

TEST(Denoise, ConstantImageWithSigmaComesBackUnchanged)
{
    const std::vector<double> flat(plane, 1234.0);
    DenoiseInput in = inputOf(flat, 1, floatDataRange(flat.data(), rows, cols, 1));
    in.sigma = 5.0;
    const DenoiseResult out = denoise(in);
    for (double v : out.pixels)
        ASSERT_NEAR(v, 1234.0, 1e-9);
}

void expectRefused(const DenoiseInput& in, const std::string& fragment)
{
    try {
        denoise(in);
        ADD_FAILURE() << "accepted; expected an error naming '" << fragment << "'";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find(fragment), std::string::npos) << e.what();
    }
}

TEST(Denoise, RefusesWhatItCannotDo)
{
    std::vector<double> pixels(4 * plane, 0.5);
    addNoise(pixels, 0.1, 41);
    for (double& v : pixels)
        v = std::min(1.0, std::max(0.0, v));
    DenoiseInput in = inputOf(pixels, 1, DataRange{});
    in.channels = 2;
    expectRefused(in, "2 channels");
    in.channels = 4;
    expectRefused(in, "4 channels is more than");
    in.channels = 1;
    for (double sigma : {0.0, -1.0, std::numeric_limits<double>::quiet_NaN(),
                         std::numeric_limits<double>::infinity()}) {
        in.sigma = sigma;
        expectRefused(in, "sigma must be");
    }
    in.sigma = 25.0; // on the 0..255 scale, for data in [0, 1]
    expectRefused(in, "the data's own units");
    in.sigma = 1e-30; // positive, but its square is not a positive float
    // Quoted as given, with the bounds in the data's units, not the filter's.
    expectRefused(in, "sigma 1e-30 is outside the range sorvik computes with for this data: about 5.3e-23");
    in.sigma.reset();

    const std::vector<double> flat(plane, 0.25);
    expectRefused(inputOf(flat, 1, DataRange{}), "the image is constant");

    std::vector<double> bad = pixels;
    bad[5 + 3 * rows] = std::numeric_limits<double>::quiet_NaN();
    try {
        denoise(inputOf(bad, 1, DataRange{}));
        ADD_FAILURE() << "a NaN was accepted";
    } catch (const NonFiniteValue& e) {
        EXPECT_EQ(e.row, 5);
        EXPECT_EQ(e.col, 3);
        EXPECT_EQ(e.channel, 0);
    }
    bad[5 + 3 * rows] = 1.5;
    expectRefused(inputOf(bad, 1, DataRange{}), "outside the data range");
    expectRefused(inputOf(pixels, 1, DataRange{1.0, 0.0}), "data range");

    DenoiseInput tiny = inputOf(pixels, 1, DataRange{});
    tiny.rows = tiny.cols = 6;
    tiny.sigma = 0.1;
    expectRefused(tiny, "smaller than one 8 x 8 block");
    tiny.pixels = nullptr;
    expectRefused(tiny, "null");
    in.rows = 0;
    expectRefused(in, "empty");

    DenoiseInput badStep = inputOf(pixels, 1, DataRange{});
    badStep.sigma = 0.1;
    DenoiseOptions options;
    options.wiener.step = 9;
    EXPECT_THROW(denoise(badStep, options), std::invalid_argument);
}

} // namespace
} // namespace sorvik
