// The tool streaming files larger than its memory budget: the same bits as
// the file denoised in memory, whatever the bands and tiles, and a budget
// too small refused with the least that works.
#include "tests/cli/tool_fixture.h"

#include <algorithm>
#include <cmath>


namespace sorvik {
namespace {

using namespace tooltest;

// Every page's samples as the file stores them.
std::vector<std::vector<double>> samplesOf(const std::string& path)
{
    std::vector<std::vector<double>> samples;
    for (Page& page : readPages(path))
        samples.push_back(std::move(page.samples));
    return samples;
}

// The least budget a refusal names, in MiB; 0 when there is none.
long leastBudget(const std::string& err)
{
    const std::string key = "least budget that streams it is --memory ";
    const std::size_t at = err.find(key);
    if (at == std::string::npos)
        return 0;
    const std::size_t digits = at + key.size();
    const std::size_t end = err.find_first_not_of("0123456789", digits);
    if (end == digits || end == std::string::npos || err[end] != 'M')
        return 0;
    return std::stol(err.substr(digits, end - digits));
}

class Streaming : public Cli {
protected:
    // Denoises `input` in memory and streamed (near the least budget, and a
    // little more: many small tiles, then fewer larger ones) and expects the same
    // samples from all three.
    void expectSameBits(const std::string& input, const std::vector<std::string>& options,
                        const std::string& extension = ".tif")
    {
        const auto run3 = [&](const std::string& out, const std::vector<std::string>& extra) {
            std::vector<std::string> args = {"denoise", input, "-o", out, "--threads", "2"};
            args.insert(args.end(), options.begin(), options.end());
            args.insert(args.end(), extra.begin(), extra.end());
            return run(args);
        };
        const std::string whole = path("whole" + extension);
        const Outcome inMemory = run3(whole, {});
        ASSERT_EQ(inMemory.status, 0) << inMemory.err;
        ASSERT_EQ(inMemory.err.find("streamed"), std::string::npos) << inMemory.err;

        const Outcome refused = run3(path("refused" + extension), {"--memory", "1M"});
        ASSERT_EQ(refused.status, 2) << refused.err;
        EXPECT_FALSE(fs::exists(path("refused" + extension)));
        const long least = leastBudget(refused.err);
        ASSERT_GT(least, 1) << refused.err;

        const auto expected = samplesOf(whole);
        // A few MiB above the least: it is counted from the refused run's
        // resident size, which the next process may pass by a page or two.
        for (long extra : {3L, 8L}) {
            const std::string out = path("streamed" + std::to_string(extra) + extension);
            const Outcome streamed = run3(out, {"--memory", std::to_string(least + extra) + "M"});
            ASSERT_EQ(streamed.status, 0) << streamed.err;
            EXPECT_NE(streamed.err.find("streamed within"), std::string::npos) << streamed.err;
            EXPECT_TRUE(samplesOf(out) == expected) << input << " with " << least + extra << "M";
        }
    }
};

TEST_F(Streaming, CountsGiveTheInMemoryBitsUnderTheEstimatedAndTheGivenModel)
{
    // Stabilised tiles take the whole frame's range: any cut gives the
    // frame's bits, with the model estimated in the first pass or given.
    writeImage(path("frame.tif"), countFrame(131, 797, 30.0, 3.0, 4.0, 120.0, 8));
    expectSameBits(path("frame.tif"), {});
    expectSameBits(path("frame.tif"), {"--gain", "3", "--read-noise", "4", "--offset", "120"});
}

// Noise smoothed by a 3 x 3 box over smooth shading, as demosaicking and
// compression leave it: the correlated model, whose spectra the stream
// measures in passes of its own, chosen or asked for with a level.
TEST_F(Streaming, CorrelatedNoiseGivesTheInMemoryBitsChosenOrAskedFor)
{
    const std::int32_t rows = 131, cols = 797;
    Image frame{rows, cols, std::vector<double>(std::size_t(rows) * cols), OIIO::TypeDesc::UINT16};
    std::uint64_t state = 5;
    const auto uniform = [&] {
        state = state * 6364136223846793005u + 1442695040888963407u;
        return (double(state >> 11) + 0.5) * 0x1.0p-53;
    };
    std::vector<double> white(std::size_t(rows + 2) * (cols + 2));
    for (double& v : white)
        v = std::sqrt(-2.0 * std::log(uniform())) * std::cos(6.283185307179586 * uniform());
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
    writeImage(path("jpeg-like.tif"), frame);
    expectSameBits(path("jpeg-like.tif"), {});
    expectSameBits(path("jpeg-like.tif"), {"--noise", "correlated", "--sigma", "1500"});
    // Streamed, the model printed is the in-memory one.
    const long least = leastBudget(run({"denoise", path("jpeg-like.tif"), "-o", path("none.tif"),
                                        "--memory", "1M"}).err);
    const Outcome chosen = run({"denoise", path("jpeg-like.tif"), "-o", path("chosen.tif"), "--memory",
                                std::to_string(least + 8) + "M"});
    ASSERT_EQ(chosen.status, 0) << chosen.err;
    EXPECT_NE(chosen.err.find("streamed within"), std::string::npos) << chosen.err;
    EXPECT_NE(chosen.err.find("noise: correlated"), std::string::npos) << chosen.err;
}

TEST_F(Streaming, GreyOfEveryDepthGivesTheInMemoryBits)
{
    // Wide enough that the filter's buffers for the whole width cost more
    // than a tile's, so that a budget streams them; sizes that are no
    // multiple of the step, with sigma estimated and given.
    const Image grey16 = testImage(131, 797, OIIO::TypeDesc::UINT16, 65535.0, 3);
    writeImage(path("grey16.tif"), grey16);
    expectSameBits(path("grey16.tif"), {});
    const Image grey8 = testImage(400, 640, OIIO::TypeDesc::UINT8, 255.0, 4);
    writeImage(path("grey8.png"), grey8);
    expectSameBits(path("grey8.png"), {"--sigma", "30"}, ".png");
    // Float data off the 0..1 scale: its range comes from the first pass.
    Image wide = testImage(120, 610, OIIO::TypeDesc::FLOAT, 0.0, 5);
    for (double& v : wide.pixels)
        v = 40.0 * v - 3.0;
    writeImage(path("wide.tif"), wide);
    expectSameBits(path("wide.tif"), {});
}

TEST_F(Streaming, TheFirstStagesParametersKeepTheTilesExact)
{
    // A wider reach and a step of its own: the tiles' context and grid
    // follow the first stage, not only the Wiener stage.
    const Image grey = testImage(150, 700, OIIO::TypeDesc::UINT8, 255.0, 6);
    writeImage(path("grey.png"), grey);
    const std::vector<std::string> wide = {"--sigma", "25", "--first-block-size", "10", "--first-step", "4",
                                           "--first-search-radius", "23", "--first-max-group-size", "8",
                                           "--first-lambda", "2.2", "--first-match-threshold", "1.5"};
    expectSameBits(path("grey.png"), wide, ".png");
    // ... and they reach the pilot at all.
    ASSERT_EQ(run({"denoise", path("grey.png"), "-o", path("plain.png"), "--sigma", "25", "-q"}).status, 0);
    EXPECT_FALSE(samplesOf(path("whole.png")) == samplesOf(path("plain.png")));

    const Image base = testImage(90, 500, OIIO::TypeDesc::UINT8, 255.0, 7);
    writeImage(path("rgb.png"), base, 3, 3, [](double grey, int channel, std::size_t) {
        return std::round(255.0 * std::fmod(grey + 0.21 * channel, 1.0)) / 255.0;
    });
    expectSameBits(path("rgb.png"), {"--first-stage", "dct", "--sigma", "20"}, ".png");
}

TEST_F(Streaming, ColourWithAlphaStacksAndTiledFilesGiveTheInMemoryBits)
{
    const Image base = testImage(103, 391, OIIO::TypeDesc::UINT8, 255.0, 6);
    writeImage(path("rgba.png"), base, 4, 3, [](double grey, int channel, std::size_t pixel) {
        return channel == 3 ? double(pixel % 7) / 6.0
                            : std::round(255.0 * std::fmod(grey + 0.13 * channel, 1.0)) / 255.0;
    });
    expectSameBits(path("rgba.png"), {}, ".png");

    // Two pages of different sizes and kinds, each streamed on its own.
    {
        auto out = OIIO::ImageOutput::create(path("stack.tif"));
        const Image a = testImage(90, 580, OIIO::TypeDesc::UINT16, 65535.0, 7);
        const Image b = testImage(70, 700, OIIO::TypeDesc::UINT16, 65535.0, 8);
        OIIO::ImageSpec layouts[2] = {OIIO::ImageSpec(580, 90, 1, OIIO::TypeDesc::UINT16),
                                      OIIO::ImageSpec(700, 70, 1, OIIO::TypeDesc::UINT16)};
        ASSERT_TRUE(out->open(path("stack.tif"), 2, layouts));
        const Image* pages[2] = {&a, &b};
        for (int k = 0; k < 2; ++k) {
            if (k > 0) {
                ASSERT_TRUE(out->open(path("stack.tif"), layouts[k], OIIO::ImageOutput::AppendSubimage));
            }
            std::vector<double> rowMajor(pages[k]->pixels.size());
            for (int i = 0; i < pages[k]->rows; ++i)
                for (int j = 0; j < pages[k]->cols; ++j)
                    rowMajor[std::size_t(i) * pages[k]->cols + j] =
                        pages[k]->pixels[i + std::size_t(j) * pages[k]->rows];
            ASSERT_TRUE(out->write_image(OIIO::TypeDesc::DOUBLE, rowMajor.data()));
        }
        ASSERT_TRUE(out->close());
    }
    expectSameBits(path("stack.tif"), {});

    // Tiles of 32 x 32 that do not divide the image.
    {
        const Image t = testImage(100, 575, OIIO::TypeDesc::FLOAT, 0.0, 9);
        auto out = OIIO::ImageOutput::create(path("tiled.tif"));
        OIIO::ImageSpec layout(t.cols, t.rows, 1, OIIO::TypeDesc::FLOAT);
        layout.tile_width = layout.tile_height = 32;
        std::vector<double> rowMajor(t.pixels.size());
        for (int i = 0; i < t.rows; ++i)
            for (int j = 0; j < t.cols; ++j)
                rowMajor[std::size_t(i) * t.cols + j] = t.pixels[i + std::size_t(j) * t.rows];
        ASSERT_TRUE(out->open(path("tiled.tif"), layout) &&
                    out->write_image(OIIO::TypeDesc::DOUBLE, rowMajor.data()) && out->close());
    }
    expectSameBits(path("tiled.tif"), {"--sigma", "0.05"});
}

TEST_F(Streaming, BudgetsAreReadAsSizesAndTooSmallOnesWriteNothing)
{
    writeImage(path("in.png"), testImage(64, 64, OIIO::TypeDesc::UINT8, 255.0));
    for (const char* size : {"2G", "4096M", "1t", "300MiB", "268435456"}) {
        const Outcome ok = run({"denoise", path("in.png"), "-o", path("out.png"), "--memory", size});
        EXPECT_EQ(ok.status, 0) << size << ": " << ok.err;
    }
    for (const char* size : {"", "12X", "-5M", "1.5G", "M"}) {
        const Outcome bad = run({"denoise", path("in.png"), "-o", path("out.png"), "--memory", size});
        EXPECT_EQ(bad.status, 2) << size << ": " << bad.err;
        EXPECT_NE(bad.err.find("--memory"), std::string::npos) << bad.err;
    }
    for (const char* size : {"0", "99999999999999999999", "20000000T"}) {
        const Outcome bad = run({"denoise", path("in.png"), "-o", path("out.png"), "--memory", size});
        EXPECT_EQ(bad.status, 1) << size << ": " << bad.err;
    }
    // A budget too small: the file it would replace stays as it was.
    const std::string before = slurp(path("out.png"));
    const Outcome small = run({"denoise", path("in.png"), "-o", path("out.png"), "--memory", "100K"});
    EXPECT_EQ(small.status, 2);
    EXPECT_GT(leastBudget(small.err), 0) << small.err;
    EXPECT_NE(small.err.find("in.png"), std::string::npos) << small.err;
    // The budget is quoted as given, not as the bytes it was read as.
    EXPECT_NE(small.err.find("--memory 100K is too small"), std::string::npos) << small.err;
    EXPECT_EQ(slurp(path("out.png")), before);
    EXPECT_EQ(files(), (std::set<std::string>{"in.png", "out.png"}));
}

// A stack that does not fit --memory is filtered in windows of frames,
// each frame with the bits of the whole stack; one whose least window does
// not fit is refused before anything is read or written, with the least
// budget that does.
TEST_F(Streaming, FramesStreamInWindowsWithTheBitsOfTheWholeStackOrAreRefused)
{
    const auto writeStack = [&](const std::string& name, int frames, int rows, int cols,
                                OIIO::TypeDesc type) {
        auto out = OIIO::ImageOutput::create(path(name));
        const OIIO::ImageSpec layout(cols, rows, 1, type);
        const std::vector<OIIO::ImageSpec> layouts(std::size_t(frames), layout);
        ASSERT_TRUE(out->open(path(name), frames, layouts.data()));
        for (int k = 0; k < frames; ++k) {
            if (k > 0) {
                ASSERT_TRUE(out->open(path(name), layout, OIIO::ImageOutput::AppendSubimage));
            }
            const Image page = type == OIIO::TypeDesc::UINT16
                                   ? countFrame(rows, cols, 40.0, 3.0, 2.0, 100.0, 20u + unsigned(k))
                                   : testImage(rows, cols, type, type == OIIO::TypeDesc::UINT8 ? 255.0 : 0.0,
                                               20u + unsigned(k));
            std::vector<double> rowMajor(page.pixels.size());
            for (int i = 0; i < page.rows; ++i)
                for (int j = 0; j < page.cols; ++j)
                    rowMajor[std::size_t(i) * page.cols + j] = page.pixels[i + std::size_t(j) * page.rows];
            ASSERT_TRUE(out->write_image(OIIO::TypeDesc::DOUBLE, rowMajor.data()));
        }
        ASSERT_TRUE(out->close());
    };
    const auto denoise = [&](const std::string& in, const std::string& out,
                             const std::vector<std::string>& extra) {
        std::vector<std::string> args = {"denoise", path(in), "-o", out, "--frames", "--threads", "2"};
        args.insert(args.end(), extra.begin(), extra.end());
        return run(args);
    };
    const std::string key = "least budget that holds it is --memory ";
    const auto least = [&](const Outcome& refused) {
        const std::size_t at = refused.err.find(key);
        return at == std::string::npos ? 0L : std::stol(refused.err.substr(at + key.size()));
    };

    // Float frames with the noise level and range estimated (the first pass
    // reads them one at a time), 8-bit ones with sigma given, and counts
    // whose model is fitted on every frame and stabilised over the stack's
    // extremes in every window.
    writeStack("float.tif", 12, 80, 90, OIIO::TypeDesc::FLOAT);
    writeStack("bytes.tif", 24, 96, 100, OIIO::TypeDesc::UINT8);
    writeStack("counts.tif", 12, 80, 90, OIIO::TypeDesc::UINT16);
    for (const auto& [name, extra] :
         {std::pair<std::string, std::vector<std::string>>{"float.tif", {"--temporal-radius", "1"}},
          {"bytes.tif", {"--temporal-radius", "1", "--sigma", "20"}},
          {"counts.tif", {"--temporal-radius", "1", "--noise", "poisson-gaussian"}}}) {
        const Outcome whole = denoise(name, path("whole.tif"), extra);
        ASSERT_EQ(whole.status, 0) << whole.err;
        ASSERT_EQ(whole.err.find("streamed"), std::string::npos) << whole.err;

        std::vector<std::string> tight = extra;
        tight.insert(tight.end(), {"--memory", "1M"});
        const Outcome refused = denoise(name, path("refused.tif"), tight);
        ASSERT_EQ(refused.status, 2) << refused.err;
        EXPECT_NE(refused.err.find(" frames of "), std::string::npos) << refused.err;
        EXPECT_NE(refused.err.find("holds at least 9 frames at once"), std::string::npos) << refused.err;
        EXPECT_FALSE(fs::exists(path("refused.tif")));
        ASSERT_GT(least(refused), 1) << refused.err;

        // A few MiB above the least (counted from the refused run's resident
        // size, which the next process may pass). With sigma given, that
        // makes windows narrower than the stack; the estimate's patches of
        // every frame take more than the filter on small frames.
        tight.back() = std::to_string(least(refused) + 3) + "M";
        const Outcome streamed = denoise(name, path("streamed.tif"), tight);
        ASSERT_EQ(streamed.status, 0) << streamed.err;
        EXPECT_NE(streamed.err.find("streamed within --memory"), std::string::npos) << streamed.err;
        if (name == "bytes.tif") {
            EXPECT_EQ(streamed.err.find("windows of 24 frames"), std::string::npos) << streamed.err;
        }
        EXPECT_TRUE(samplesOf(path("streamed.tif")) == samplesOf(path("whole.tif"))) << name;
    }
}

} // namespace
} // namespace sorvik
