// The tool under the noise models: a 16-bit camera frame of photon counts
// round-trips with the model printed and the one call's bits, the model's
// parameters pass through, and bad ones are refused naming their option.
#include "tool_fixture.h"

#include <sorvik/denoise.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace sorvik::tooltest {
namespace {

// The one call on the frame's levels, as every front end makes it.
std::vector<float> inMemory(const Image& frame, const DenoiseInput& model)
{
    std::vector<double> levels = frame.pixels;
    for (double& v : levels)
        v *= 65535.0;
    DenoiseInput input = model;
    input.rows = frame.rows;
    input.cols = frame.cols;
    input.pixels = levels.data();
    input.range = uint16Range;
    const DenoiseResult result = denoise(input, toolOptions());
    std::vector<float> expected(result.pixels.size());
    for (std::size_t p = 0; p < expected.size(); ++p)
        expected[p] = float(result.pixels[p] / 65535.0);
    return expected;
}

void expectBits(const Image& image, const std::vector<float>& expected)
{
    ASSERT_EQ(image.pixels.size(), expected.size());
    for (std::size_t p = 0; p < expected.size(); ++p)
        ASSERT_EQ(image.pixels[p], double(expected[p])) << "pixel " << p;
}

double after(const std::string& text, const std::string& key)
{
    const std::size_t at = text.find(key);
    return at == std::string::npos ? -1.0 : std::strtod(text.c_str() + at + key.size(), nullptr);
}

TEST_F(Cli, CameraFrameOfCountsRoundTripsUnderTheEstimatedAndTheGivenModel)
{
    // Gain 4 levels a photon, read noise 6 levels, black level 200.
    const Image frame = countFrame(96, 112, 40.0, 4.0, 6.0, 200.0, 3);
    writeImage(path("frame.png"), frame);
    const Outcome r = run({"denoise", path("frame.png"), "-o", path("auto.tif"), "--depth", "float",
                           "--threads", "2"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("noise: poisson-gaussian, gain "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("(levels of 65535)"), std::string::npos) << r.err;
    EXPECT_NEAR(after(r.err, "gain ") / 4.0, 1.0, 0.15) << r.err;
    expectBits(readImage(path("auto.tif")), inMemory(frame, {}));

    DenoiseInput given;
    given.noise = NoiseChoice::poissonGaussian;
    given.gain = 4.0;
    given.readNoise = 6.0;
    given.offset = 200.0;
    const Outcome g = run({"denoise", path("frame.png"), "-o", path("given.tif"), "--depth", "float", "--noise",
                           "poisson-gaussian", "--gain", "4", "--read-noise", "6", "--offset", "200"});
    ASSERT_EQ(g.status, 0) << g.err;
    // Nothing was estimated, so nothing is printed.
    EXPECT_EQ(g.err.find("noise:"), std::string::npos) << g.err;
    expectBits(readImage(path("given.tif")), inMemory(frame, given));

    // The gaussian model asked for keeps today's line.
    const Outcome w = run({"denoise", path("frame.png"), "-o", path("white.png"), "--noise", "gaussian"});
    ASSERT_EQ(w.status, 0) << w.err;
    EXPECT_NE(w.err.find("estimated sigma: "), std::string::npos) << w.err;
}

TEST_F(Cli, NoiseModelOptionsAreRefusedNamingTheOption)
{
    writeImage(path("frame.png"), countFrame(64, 64, 30.0, 2.0, 3.0, 100.0, 5));
    struct Case {
        std::vector<std::string> options;
        int status;
        const char* says;
    };
    for (const Case& c : {Case{{"--gain", "0"}, 1, "--gain must be a finite number > 0"},
                          Case{{"--read-noise", "-2"}, 1, "--read-noise must be a finite number > 0"},
                          Case{{"--gain", "inf"}, 1, "--gain must be a finite number"},
                          Case{{"--noise", "poisson-gaussian", "--sigma", "5"}, 1, "--noise poisson-gaussian cannot be given with --sigma"},
                          Case{{"--sigma", "5", "--offset", "3"}, 1, "--offset belongs to the poisson-gaussian"},
                          Case{{"--noise", "gaussian", "--gain", "3"}, 1, "--gain belongs to the poisson-gaussian"},
                          Case{{"--offset", "60000"}, 1, "--offset 60000 lies above the data's maximum"},
                          Case{{"--noise", "correlated", "--gain", "3"}, 1,
                               "--gain belongs to the poisson-gaussian noise model, not --noise correlated"},
                          Case{{"--noise", "coloured"}, 2, "--noise"}}) {
        std::vector<std::string> args = {"denoise", path("frame.png"), "-o", path("out.png")};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const Outcome r = run(args);
        EXPECT_EQ(r.status, c.status) << c.says << ": " << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(path("out.png"))) << c.says;
    }
    // White noise cannot be fitted as counts; the advice is in the tool's words.
    writeImage(path("white.png"), testImage(96, 96, OIIO::TypeDesc::UINT16, 65535.0, 2));
    const Outcome r = run({"denoise", path("white.png"), "-o", path("out.png"), "--noise", "poisson-gaussian"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("give --gain and --read-noise, or --noise gaussian --sigma S"), std::string::npos) << r.err;
}

} // namespace
} // namespace sorvik::tooltest

namespace sorvik::tooltest {
namespace {

// A 16-bit frame whose noise was smoothed by a 3 x 3 box, as demosaicking
// leaves it: the tool chooses the correlated model, prints it, and gives the
// one call's bits (those Python's denoise gives, over the same call), with
// and without the model named.
TEST_F(Cli, SmoothedNoiseIsFilteredAsCorrelatedWithTheOneCallsBits)
{
    const std::int32_t rows = 120, cols = 128;
    Image frame{rows, cols, std::vector<double>(std::size_t(rows) * cols), OIIO::TypeDesc::UINT16};
    std::uint64_t state = 9;
    const auto gauss = [&] {
        const auto uniform = [&] {
            state = state * 6364136223846793005u + 1442695040888963407u;
            return (double(state >> 11) + 0.5) * 0x1.0p-53;
        };
        return std::sqrt(-2.0 * std::log(uniform())) * std::cos(6.283185307179586 * uniform());
    };
    std::vector<double> white(std::size_t(rows + 2) * (cols + 2));
    for (double& v : white)
        v = gauss();
    for (std::int32_t j = 0; j < cols; ++j)
        for (std::int32_t i = 0; i < rows; ++i) {
            double sum = 0.0;
            for (int dj = 0; dj < 3; ++dj)
                for (int di = 0; di < 3; ++di)
                    sum += white[std::size_t(i + di) + std::size_t(j + dj) * (rows + 2)];
            const double level = 30000.0 + 15000.0 * std::sin(j / 11.0) * std::cos(i / 17.0);
            frame.pixels[i + std::size_t(j) * rows] =
                std::clamp(std::round(level + 2000.0 * sum / 3.0), 0.0, 65535.0) / 65535.0;
        }
    writeImage(path("jpeg-like.png"), frame);
    const Outcome r = run({"denoise", path("jpeg-like.png"), "-o", path("auto.tif"), "--depth", "float"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("noise: correlated, sigma "), std::string::npos) << r.err;
    // The frame's broad shading reads partly as low-frequency noise.
    EXPECT_NEAR(after(r.err, "sigma ") / 2000.0, 1.0, 0.5) << r.err;
    expectBits(readImage(path("auto.tif")), inMemory(frame, {}));

    DenoiseInput named;
    named.noise = NoiseChoice::correlated;
    named.sigma = 1500.0;
    const Outcome n = run({"denoise", path("jpeg-like.png"), "-o", path("named.tif"), "--depth", "float",
                           "--noise", "correlated", "--sigma", "1500"});
    ASSERT_EQ(n.status, 0) << n.err;
    expectBits(readImage(path("named.tif")), inMemory(frame, named));
}

} // namespace
} // namespace sorvik::tooltest
