// The sorvik tool as users run it: real files in, real files out, exit
// statuses and messages.
#include "frontend/settings.h"
#include <sorvik/sorvik.h>
#include "sorvik/denoise.h"

#include "tests/cli/tool_fixture.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace sorvik {
namespace {

using namespace tooltest;

std::vector<float> filterDirectly(const Image& noisy, const std::vector<float>& pilot,
                                  WienerSettings settings)
{
    const FilterSetup setup = prepareFilter(settings, noisy.rows, noisy.cols);
    std::vector<float> estimate(noisy.pixels.size());
    EXPECT_EQ(runFilter(setup.params, noisy.pixels.data(), pilot.data(), setup.window.data(),
                        estimate.data()),
              FilterStatus::ok);
    return estimate;
}

std::vector<float> asFloats(const std::vector<double>& v) { return {v.begin(), v.end()}; }

void expectSamePixels(const Image& image, const std::vector<float>& expected, double levels)
{
    ASSERT_EQ(image.pixels.size(), expected.size());
    for (std::size_t p = 0; p < expected.size(); ++p) {
        const double want =
            levels > 0 ? std::floor(std::clamp(double(expected[p]), 0.0, 1.0) * levels + 0.5) / levels
                       : double(expected[p]);
        ASSERT_EQ(image.pixels[p], want) << "pixel " << p;
    }
}

const double sigma255 = 20.0;

WienerSettings defaults(double sigma = sigma255 / 255.0)
{
    WienerSettings s;
    s.sigma = sigma;
    return s;
}

// --sigma is in the file's units: levels of 8 or 16 bits, values of float
// data; each of these is 20 levels of 255.
const char* sigmaText(double levels)
{
    return levels == 255.0 ? "20" : levels == 65535.0 ? "5140" : "0.0784313725490196";
}

double unitSigma(double levels) { return std::stod(sigmaText(levels)) / (levels > 0 ? levels : 1.0); }

TEST_F(Cli, ReadsEveryDepthOnTheUnitScaleAndWritesFloatTiffExactly)
{
    struct Input {
        const char* name;
        OIIO::TypeDesc format;
        double levels;
    };
    const Input inputs[] = {{"noisy8.png", OIIO::TypeDesc::UINT8, 255.0},
                            {"noisy16.png", OIIO::TypeDesc::UINT16, 65535.0},
                            {"noisy8.tif", OIIO::TypeDesc::UINT8, 255.0},
                            {"noisy16.tif", OIIO::TypeDesc::UINT16, 65535.0},
                            {"noisyf.tif", OIIO::TypeDesc::FLOAT, 0.0}};
    Image pilot = testImage(24, 30, OIIO::TypeDesc::FLOAT, 0.0, 99);
    for (double& v : pilot.pixels)
        v = double(float(v));
    writeImage(path("pilot.tif"), pilot);
    for (const Input& input : inputs) {
        Image noisy = testImage(24, 30, input.format, input.levels);
        if (input.levels == 0)
            for (double& v : noisy.pixels)
                v = double(float(v)) - 0.1; // float files keep values outside 0..1
        writeImage(path(input.name), noisy);
        const Outcome r = run({"denoise", path(input.name), "--pilot", path("pilot.tif"), "--sigma",
                               sigmaText(input.levels), "-o", path("out.tif"), "--depth", "float"});
        ASSERT_EQ(r.status, 0) << input.name << ": " << r.err;
        EXPECT_EQ(r.err, "") << "no progress bar when stderr is not a terminal";
        const Image out = readImage(path("out.tif"));
        EXPECT_EQ(out.format, OIIO::TypeDesc::FLOAT);
        expectSamePixels(out, filterDirectly(noisy, asFloats(pilot.pixels), defaults(unitSigma(input.levels))),
                         0.0);
    }
}

TEST_F(Cli, OutputFormatFollowsTheExtensionAndTheInputDepth)
{
    const Image noisy8 = testImage(20, 26, OIIO::TypeDesc::UINT8, 255.0);
    const Image noisy16 = testImage(20, 26, OIIO::TypeDesc::UINT16, 65535.0);
    Image noisyF = testImage(20, 26, OIIO::TypeDesc::FLOAT, 0.0);
    for (double& v : noisyF.pixels)
        v = double(float(v));
    writeImage(path("n8.png"), noisy8);
    writeImage(path("n16.tif"), noisy16);
    writeImage(path("nf.tif"), noisyF);
    Image pilot = noisyF;
    writeImage(path("pilot.tif"), pilot);
    const std::vector<float> p = asFloats(pilot.pixels);

    struct Case {
        std::string input;
        const Image* noisy;
        double inputLevels;
        std::vector<std::string> extra;
        std::string output;
        OIIO::TypeDesc format;
        double levels;
    };
    const Case cases[] = {
        {"n8.png", &noisy8, 255.0, {}, "a.png", OIIO::TypeDesc::UINT8, 255.0},
        {"n8.png", &noisy8, 255.0, {}, "b.tif", OIIO::TypeDesc::UINT8, 255.0},
        {"n16.tif", &noisy16, 65535.0, {}, "c.png", OIIO::TypeDesc::UINT16, 65535.0},
        {"nf.tif", &noisyF, 0.0, {}, "d.png", OIIO::TypeDesc::UINT16, 65535.0},
        {"nf.tif", &noisyF, 0.0, {}, "e.TIFF", OIIO::TypeDesc::FLOAT, 0.0},
        {"nf.tif", &noisyF, 0.0, {"--depth", "8"}, "f.tif", OIIO::TypeDesc::UINT8, 255.0},
        {"n8.png", &noisy8, 255.0, {"--depth", "16"}, "g.png", OIIO::TypeDesc::UINT16, 65535.0},
        // PNG has no float samples: the help promises 16 bits, not 8.
        {"n8.png", &noisy8, 255.0, {"--depth", "float"}, "h.png", OIIO::TypeDesc::UINT16, 65535.0},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"denoise", path(c.input), "--pilot", path("pilot.tif"),
                                         "--sigma", sigmaText(c.inputLevels), "-o", path(c.output),
                                         "--quiet"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        const Outcome r = run(args);
        ASSERT_EQ(r.status, 0) << c.output << ": " << r.err;
        const Image out = readImage(path(c.output));
        EXPECT_EQ(out.format, c.format) << c.output;
        expectSamePixels(out, filterDirectly(*c.noisy, p, defaults(unitSigma(c.inputLevels))), c.levels);
    }
}

TEST_F(Cli, WithoutAPilotDenoisesInOneCall)
{
    // 16-bit levels, sigma in levels of 65535: the tool's result is the
    // one-call denoiser's on the same numbers, to the last bit.
    Image noisy = testImage(33, 27, OIIO::TypeDesc::UINT16, 65535.0);
    writeImage(path("noisy.png"), noisy);
    const Outcome r = run({"denoise", path("noisy.png"), "--sigma", "5140", "-o", path("out.tif"), "--depth",
                           "float", "--threads", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<double> levels = noisy.pixels;
    for (double& v : levels)
        v *= 65535.0;
    DenoiseInput input;
    input.rows = noisy.rows;
    input.cols = noisy.cols;
    input.pixels = levels.data();
    input.range = uint16Range;
    input.sigma = 5140.0;
    const auto expectLibrarys = [&](const DenoiseOptions& options) {
        const DenoiseResult result = denoise(input, options);
        std::vector<float> expected(result.pixels.size());
        for (std::size_t p = 0; p < expected.size(); ++p)
            expected[p] = float(result.pixels[p] / 65535.0);
        expectSamePixels(readImage(path("out.tif")), expected, 0.0);
    };
    expectLibrarys(toolOptions());

    // The first stage's parameters reach the library as given, the others
    // left to the profile and sigma.
    const Outcome first = run({"denoise", path("noisy.png"), "--sigma", "5140", "-o", path("out.tif"), "--depth",
                               "float", "--threads", "1", "--first-block-size", "6", "--first-step", "2",
                               "--first-search-radius", "5", "--first-lambda", "2.2"});
    ASSERT_EQ(first.status, 0) << first.err;
    Request chosen;
    chosen.firstBlockSize = 6;
    chosen.firstStep = 2;
    chosen.firstSearchRadius = 5;
    chosen.firstLambda = 2.2;
    expectLibrarys(toolOptions(chosen));
    const Outcome dct = run({"denoise", path("noisy.png"), "--sigma", "5140", "-o", path("out.tif"), "--depth",
                             "float", "--threads", "1", "--first-stage", "dct"});
    ASSERT_EQ(dct.status, 0) << dct.err;
    Request basic;
    basic.firstStage = std::string("dct");
    const DenoiseOptions dctOptions = toolOptions(basic);
    EXPECT_EQ(dctOptions.pilot, PilotKind::dct);
    expectLibrarys(dctOptions);
}

TEST_F(Cli, PassesEveryFilterParameterThrough)
{
    Image noisy = testImage(30, 36, OIIO::TypeDesc::FLOAT, 0.0);
    for (double& v : noisy.pixels)
        v = double(float(v));
    writeImage(path("noisy.tif"), noisy);
    const std::vector<float> pilot = asFloats(noisy.pixels);
    writeImage(path("pilot.tif"), noisy);

    WienerSettings s = defaults();
    s.sigma = 0.049019607843137254; // 12.5 of 255, in the float file's units
    s.step = 2;
    s.blockSize = 6;
    s.maxGroupSize = 5;
    s.searchRadius = 4;
    s.matchThreshold = 0.5;
    s.window = kaiserWindow2d(6, 3.5);
    const std::vector<std::string> common = {
        "denoise", path("noisy.tif"), "--pilot", path("pilot.tif"), "--sigma", "0.049019607843137254",
        "--step", "2", "--block-size", "6", "--max-group-size", "5", "--search-radius", "4",
        "--match-threshold", "0.5", "-o", path("out.tif")};
    std::vector<std::string> args = common;
    args.insert(args.end(), {"--window", "kaiser:3.5"});
    Outcome r = run(args);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<float> expected = filterDirectly(noisy, pilot, s);
    expectSamePixels(readImage(path("out.tif")), expected, 0.0);

    // The same window from a file: one block row a line, commas or spaces.
    std::ofstream file(path("window.txt"));
    file << "# Kaiser, beta 3.5\n";
    file.precision(17);
    for (int row = 0; row < 6; ++row) {
        for (int col = 0; col < 6; ++col)
            file << s.window[std::size_t(row * 6 + col)] << (col % 2 ? ", " : " ");
        file << "\n";
    }
    file.close();
    args = common;
    args.insert(args.end(), {"--window", path("window.txt")});
    r = run(args);
    ASSERT_EQ(r.status, 0) << r.err;
    expectSamePixels(readImage(path("out.tif")), expected, 0.0);

    // An asymmetric window tells rows from columns.
    std::ofstream ramp(path("ramp.txt"));
    for (int k = 0; k < 36; ++k)
        ramp << (k % 6 == 0 ? 1.0 : 0.25) << "\n";
    ramp.close();
    args = common;
    args.insert(args.end(), {"--window", path("ramp.txt")});
    r = run(args);
    ASSERT_EQ(r.status, 0) << r.err;
    s.window.assign(36, 0.25);
    for (int row = 0; row < 6; ++row)
        s.window[std::size_t(row * 6)] = 1.0;
    expectSamePixels(readImage(path("out.tif")), filterDirectly(noisy, pilot, s), 0.0);
}

TEST_F(Cli, RefusesBadInputWithAMessageAndWritesNothing)
{
    const Image noisy = testImage(24, 24, OIIO::TypeDesc::UINT8, 255.0);
    writeImage(path("noisy.png"), noisy);
    writeImage(path("small.png"), testImage(24, 20, OIIO::TypeDesc::UINT8, 255.0));
    writeImage(path("tiny.png"), testImage(6, 24, OIIO::TypeDesc::UINT8, 255.0));
    writeImage(path("five.tif"), noisy, 5);
    writeImage(path("flat.png"), Image{24, 24, std::vector<double>(24 * 24, 0.5), OIIO::TypeDesc::UINT8});
    Image withNan = testImage(24, 24, OIIO::TypeDesc::FLOAT, 0.0);
    withNan.pixels[5 + 24 * 3] = std::nan("");
    writeImage(path("nan.tif"), withNan);
    std::ofstream(path("text.png")) << "not an image\n";
    std::ofstream(path("short.txt")) << "1 2 3\n";
    std::ofstream(path("word.txt")) << "1 2 x\n";
    fs::create_directory(dir / "sub");

    const std::string out = path("out.png");
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<std::string> base = {"denoise", path("noisy.png"), "--sigma", "20", "-o", out};
    auto with = [&](std::vector<std::string> extra) {
        std::vector<std::string> a = base;
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    };
    const Case cases[] = {
        {{"denoise", path("missing.png"), "--sigma", "20", "-o", out}, "No such file"},
        {with({"--pilot", path("missing.png")}), "No such file"},
        {{"denoise", path("text.png"), "--sigma", "20", "-o", out}, "not in an image format"},
        {{"denoise", dir.string(), "--sigma", "20", "-o", out}, "is a directory"},
        {{"denoise", path("five.tif"), "--sigma", "20", "-o", out}, "5 channels"},
        {{"denoise", path("flat.png"), "-o", out}, "constant"},
        {with({"--pilot", path("small.png")}), "same size"},
        {{"denoise", path("tiny.png"), "--sigma", "20", "-o", out}, "smaller than one 8 x 8 block"},
        {{"denoise", path("nan.tif"), "--sigma", "20", "-o", out}, "row 5, column 3"},
        {with({"--pilot", path("nan.tif")}), "not a finite number"},
        {with({"--block-size", "1"}), "--block-size must be at least 2"},
        {with({"--max-group-size", "0"}), "--max-group-size must be at least 1"},
        {with({"--search-radius", "-1"}), "--search-radius must be at least 0"},
        {with({"--step", "0"}), "step"},
        {with({"--step", "9"}), "step"},
        {with({"--match-threshold", "inf"}), "--match-threshold must be a finite number"},
        {with({"--match-threshold", "2e6"}), "--match-threshold must be a finite number from 0 to 1048576"},
        {with({"--threads", "0"}), "threads"},
        {with({"--window", "kaiser:-1"}), "beta"},
        {with({"--window", path("short.txt")}), "3 weights"},
        {with({"--window", path("word.txt")}), "'x' is not a number"},
        {with({"--window", path("missing.txt")}), "No such file"},
        {{"denoise", path("noisy.png"), "--sigma", "0", "-o", out}, "sigma"},
        {{"denoise", path("noisy.png"), "--sigma", "nan", "-o", out}, "sigma"},
        {{"denoise", path("noisy.png"), "--sigma", "-3", "-o", out}, "sigma"},
        {{"denoise", path("noisy.png"), "--sigma", "20", "-o", path("out.xyz")}, "no image format"},
        {{"denoise", path("noisy.png"), "--sigma", "20", "-o", path("out")}, "no extension"},
        {{"denoise", path("noisy.png"), "--sigma", "20", "-o", path("none/out.png")}, "No such file"},
    };
    const std::set<std::string> before = files();
    for (const Case& c : cases) {
        std::string line;
        for (const auto& a : c.args)
            line += a + " ";
        const Outcome r = run(c.args);
        EXPECT_EQ(r.status, 1) << line << "\n" << r.err;
        EXPECT_NE(r.err.find("sorvik: error: "), std::string::npos) << line << "\n" << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << line << "\n" << r.err;
        EXPECT_EQ(files(), before) << line << "\nleft a file behind";
    }
}

TEST_F(Cli, UsageErrorsExitWithStatusTwo)
{
    writeImage(path("noisy.png"), testImage(24, 24, OIIO::TypeDesc::UINT8, 255.0));
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"denoise", path("noisy.png"), "--sigma", "20"},                  // no output
        {"denoise", path("noisy.png"), "--sigma", "20", "-o", path("o.png"), "--step", "2.5"},
        {"denoise", path("noisy.png"), "--sigma", "20", "-o", path("o.png"), "--depth", "12"},
        {"denoise", path("noisy.png"), "--sigma", "20", "-o", path("o.png"), "--window", "kaiser:abc"},
        {"frobnicate"},
    };
    for (const auto& args : cases) {
        const Outcome r = run(args);
        EXPECT_EQ(r.status, 2) << (args.empty() ? "(none)" : args[0]) << ": " << r.err;
        EXPECT_FALSE(r.err.empty());
    }
    EXPECT_FALSE(fs::exists(path("out.png")) || fs::exists(path("o.png")));
}

TEST_F(Cli, AFailedRunLeavesAnExistingOutputAsItWas)
{
    // Pilot values this large overflow |spectrum|^2 in single precision, so
    // the result has pixels that are not numbers, found only after
    // filtering. The old output must survive.
    Image noisy = testImage(24, 24, OIIO::TypeDesc::FLOAT, 0.0);
    for (double& v : noisy.pixels)
        v = double(float(v));
    writeImage(path("noisy.tif"), noisy);
    Image pilot = noisy;
    pilot.pixels[5 + 5 * 24] = 3e38;
    writeImage(path("pilot.tif"), pilot);
    std::ofstream(path("out.tif")) << "previous result";
    const std::set<std::string> before = files();

    const Outcome r = run({"denoise", path("noisy.tif"), "--pilot", path("pilot.tif"), "--sigma",
                           "20", "-o", path("out.tif")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("not finite"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Nothing was written"), std::string::npos) << r.err;
    EXPECT_EQ(slurp(dir / "out.tif"), "previous result");
    EXPECT_EQ(files(), before);
}

TEST_F(Cli, VersionAndHelp)
{
    Outcome r = run({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string("sorvik ") + SORVIK_VERSION + "\n");
    r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("denoise"), std::string::npos);
    EXPECT_NE(r.out.find("demo"), std::string::npos);
    r = run({"denoise", "--help"});
    EXPECT_EQ(r.status, 0);
    // The defaults shown are the standard parameters, the profile's where it sets them.
    for (const char* option :
         {"--pilot", "--sigma", "--step INT", "(default: 4, or the profile's", "--block-size INT=8",
          "--max-group-size INT", "--search-radius INT", "(default: 16, or the profile's; 8 in stacks)",
          "--profile TEXT:{fast,default,quality}=default", "--match-threshold FLOAT=0.19685",
          "--window TEXT=kaiser:2", "--threads", "--quiet"})
        EXPECT_NE(r.out.find(option), std::string::npos) << option;
}

double psnrLine(const std::string& text, const std::string& name)
{
    const std::size_t at = text.find("  " + name + " ");
    if (at == std::string::npos)
        return std::nan("");
    return std::strtod(text.c_str() + at + name.size() + 2, nullptr);
}

TEST_F(Cli, DemoDenoisesTheBundledPhotographAndCanBeReproduced)
{
    // Outcome from elsewhere than the source tree: the photograph is found
    // through the path baked in at configure time.
    const Outcome r = run({"demo", "--output-dir", path("demo"), "--quiet"});
    ASSERT_EQ(r.status, 0) << r.err;
    const double noisy = psnrLine(r.out, "noisy");
    const double estimate = psnrLine(r.out, "estimate");
    // Noise of sigma 25 of 255 is 20.17 dB unclipped; rounding to 8 bits
    // clips some of it away.
    EXPECT_NEAR(noisy, 20.5, 0.5) << r.out;
    EXPECT_GT(estimate, noisy + 8.0) << r.out;
    EXPECT_NE(r.out.find("RGB"), std::string::npos) << r.out;

    auto layout = [&](const char* name) {
        auto in = OIIO::ImageInput::open(path(std::string("demo/") + name));
        EXPECT_TRUE(in) << name;
        return in ? in->spec() : OIIO::ImageSpec();
    };
    const OIIO::ImageSpec estimatePng = layout("estimate.png");
    EXPECT_EQ(estimatePng.format, OIIO::TypeDesc::UINT8);
    EXPECT_EQ(estimatePng.nchannels, 3);
    const OIIO::ImageSpec noisyPng = layout("noisy.png");
    EXPECT_EQ(noisyPng.width, estimatePng.width);
    EXPECT_EQ(noisyPng.height, estimatePng.height);
    const OIIO::ImageSpec side = layout("comparison.png");
    EXPECT_EQ(side.height, estimatePng.height);
    EXPECT_EQ(side.width, 3 * estimatePng.width + 2 * 8);

    // noisy.png is the exact denoiser input: denoising it again gives the same image.
    const Outcome again = run({"denoise", path("demo/noisy.png"), "--sigma", "25", "-o", path("again.png")});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(slurp(dir / "demo" / "estimate.png").empty(), false);
    std::vector<unsigned char> a(std::size_t(estimatePng.image_pixels()) * 3), b(a.size());
    auto inA = OIIO::ImageInput::open(path("demo/estimate.png"));
    auto inB = OIIO::ImageInput::open(path("again.png"));
    ASSERT_TRUE(inA && inB);
    ASSERT_TRUE(inA->read_image(0, 0, 0, 3, OIIO::TypeDesc::UINT8, a.data()));
    ASSERT_TRUE(inB->read_image(0, 0, 0, 3, OIIO::TypeDesc::UINT8, b.data()));
    EXPECT_EQ(a, b);
}

} // namespace
} // namespace sorvik
