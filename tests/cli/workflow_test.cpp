// The tool on what users hold: colour and alpha, data in its own units,
// estimated noise, stacks, batches, standard streams and the installed data.
#include "sorvik/denoise.h"

#include "tests/cli/tool_fixture.h"

#include <cstdio>
#include <random>

namespace sorvik {
namespace {

using namespace tooltest;

// Writes pages of interleaved samples given in the file's units.
void writePages(const std::string& path, const std::vector<Page>& pages, int alpha = -1)
{
    auto out = OIIO::ImageOutput::create(path);
    ASSERT_TRUE(out) << path;
    std::vector<OIIO::ImageSpec> specs;
    for (const Page& p : pages) {
        specs.emplace_back(p.width, p.height, p.channels, p.format);
        specs.back().alpha_channel = alpha;
        specs.back().attribute("oiio:UnassociatedAlpha", 1);
    }
    for (std::size_t k = 0; k < pages.size(); ++k) {
        const bool ok = k == 0 ? (pages.size() == 1 ? out->open(path, specs[0])
                                                    : out->open(path, int(specs.size()), specs.data()))
                               : out->open(path, specs[k], OIIO::ImageOutput::AppendSubimage);
        ASSERT_TRUE(ok) << out->geterror();
        // Integer levels go to the library on its 0..1 scale.
        const double scale = pages[k].format == OIIO::TypeDesc::UINT8    ? 255.0
                             : pages[k].format == OIIO::TypeDesc::UINT16 ? 65535.0
                                                                         : 1.0;
        std::vector<double> unit(pages[k].samples);
        for (double& v : unit)
            v /= scale;
        ASSERT_TRUE(out->write_image(OIIO::TypeDesc::DOUBLE, unit.data())) << out->geterror();
    }
    ASSERT_TRUE(out->close());
}

// A smooth picture under Gaussian noise of `sigma`, rounded and saturated to
// `levels` when levels > 0; channel c is shifted so that channels differ.
Page noisyPage(int width, int height, int channels, OIIO::TypeDesc format, double levels, double sigma,
               unsigned seed, double low = 0.0, double high = 1.0)
{
    Page page{width, height, channels, format, std::vector<double>(std::size_t(width) * height * channels)};
    std::mt19937 random(seed);
    std::normal_distribution<double> noise(0.0, sigma);
    for (int i = 0; i < height; ++i)
        for (int j = 0; j < width; ++j)
            for (int c = 0; c < channels; ++c) {
                const double unit = 0.25 + 0.4 * double(j) / width + 0.1 * c + 0.15 * (i > height / 2);
                double v = low + unit * (high - low) + noise(random);
                if (levels > 0)
                    v = std::clamp(std::round(v), 0.0, levels);
                page.samples[(std::size_t(i) * width + j) * channels + c] = v;
            }
    return page;
}

// The one-call denoiser on a page's colour channels, in the page's units.
std::vector<double> denoiseDirectly(const Page& page, int colours, DataRange range, double sigma)
{
    const std::size_t plane = std::size_t(page.width) * page.height;
    std::vector<double> planar(plane * colours);
    for (int c = 0; c < colours; ++c)
        for (int i = 0; i < page.height; ++i)
            for (int j = 0; j < page.width; ++j)
                planar[c * plane + i + std::size_t(j) * page.height] =
                    page.samples[(std::size_t(i) * page.width + j) * page.channels + c];
    DenoiseInput input;
    input.rows = page.height;
    input.cols = page.width;
    input.channels = colours;
    input.pixels = planar.data();
    input.range = range;
    input.sigma = sigma;
    const DenoiseResult result = denoise(input, toolOptions({}, colours));
    std::vector<double> interleaved(plane * colours);
    for (int c = 0; c < colours; ++c)
        for (int i = 0; i < page.height; ++i)
            for (int j = 0; j < page.width; ++j)
                interleaved[(std::size_t(i) * page.width + j) * colours + c] =
                    result.pixels[c * plane + i + std::size_t(j) * page.height];
    return interleaved;
}

std::vector<double> channel(const Page& page, int c)
{
    std::vector<double> values;
    for (std::size_t p = 0; p < std::size_t(page.width) * page.height; ++p)
        values.push_back(page.samples[p * page.channels + c]);
    return values;
}

TEST_F(Cli, ColourRoundTripsKeepTypeChannelsAndUnits)
{
    struct Case {
        const char* name;
        OIIO::TypeDesc format;
        double levels;
        const char* sigma;
        DataRange range;
    };
    // 20 levels of 255 in every case; the float data spans 100..4000.
    const Case cases[] = {{"rgb8.png", OIIO::TypeDesc::UINT8, 255.0, "20", uint8Range},
                          {"rgb16.tif", OIIO::TypeDesc::UINT16, 65535.0, "5140", uint16Range},
                          {"counts.tif", OIIO::TypeDesc::FLOAT, 0.0, "305.88235294117646", {}}};
    for (const Case& c : cases) {
        Page noisy = c.levels > 0 ? noisyPage(40, 36, 3, c.format, c.levels, 20.0 * c.levels / 255.0, 5,
                                              0.0, c.levels)
                                  : noisyPage(40, 36, 3, c.format, 0.0, 305.88235294117646, 5, 100.0, 4000.0);
        if (c.levels == 0)
            for (double& v : noisy.samples)
                v = double(float(v));
        writePages(path(c.name), {noisy});
        const std::string out = path(std::string("out-") + c.name);
        const Outcome r = run({"denoise", path(c.name), "--sigma", c.sigma, "-o", out});
        ASSERT_EQ(r.status, 0) << c.name << ": " << r.err;
        const std::vector<Page> pages = readPages(out);
        ASSERT_EQ(pages.size(), 1u);
        EXPECT_EQ(pages[0].format, c.format) << c.name;
        EXPECT_EQ(pages[0].channels, 3) << c.name;

        DataRange range = c.range;
        if (c.levels == 0) {
            auto [low, high] = std::minmax_element(noisy.samples.begin(), noisy.samples.end());
            range = {*low, *high};
        }
        const std::vector<double> expected = denoiseDirectly(noisy, 3, range, std::stod(c.sigma));
        ASSERT_EQ(pages[0].samples.size(), expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i) {
            const double want = c.format == OIIO::TypeDesc::UINT8    ? double(toUint8(expected[i]))
                                : c.format == OIIO::TypeDesc::UINT16 ? double(toUint16(expected[i]))
                                                                     : double(float(expected[i]));
            ASSERT_EQ(pages[0].samples[i], want) << c.name << ", sample " << i;
        }
        if (c.levels == 0) {
            // Never clipped to 0..1: the counts come back on their own scale.
            EXPECT_GT(*std::max_element(pages[0].samples.begin(), pages[0].samples.end()), 3000.0);
        }
    }

    // Float data given a range keeps it; values outside the range are refused.
    const Outcome wide = run({"denoise", path("counts.tif"), "--range", "0,5000", "--sigma", "300", "-o",
                              path("ranged.tif")});
    EXPECT_EQ(wide.status, 0) << wide.err;
    const Outcome narrow = run({"denoise", path("counts.tif"), "--range", "0,1000", "--sigma", "30", "-o",
                                path("narrow.tif")});
    EXPECT_EQ(narrow.status, 1);
    EXPECT_NE(narrow.err.find("outside the data range"), std::string::npos) << narrow.err;
    EXPECT_FALSE(fs::exists(path("narrow.tif")));
    // Integer samples cannot hold counts: refused rather than saturated.
    const Outcome png = run({"denoise", path("counts.tif"), "--sigma", "300", "-o", path("counts.png")});
    EXPECT_EQ(png.status, 1);
    EXPECT_NE(png.err.find("outside 0..1"), std::string::npos) << png.err;
    EXPECT_FALSE(fs::exists(path("counts.png")));
    const Outcome levels = run({"denoise", path("rgb8.png"), "--range", "0,1", "-o", path("x.png")});
    EXPECT_EQ(levels.status, 1);
    EXPECT_NE(levels.err.find("--range is for float data"), std::string::npos) << levels.err;
}

TEST_F(Cli, AlphaPassesThroughUnchanged)
{
    for (int channels : {2, 4}) {
        Page noisy = noisyPage(32, 30, channels, OIIO::TypeDesc::UINT8, 255.0, 15.0, 7, 0.0, 255.0);
        for (std::size_t p = 0; p < std::size_t(32) * 30; ++p)
            noisy.samples[p * channels + channels - 1] = double((p * 37) % 256);
        const std::string in = path("alpha" + std::to_string(channels) + ".png");
        writePages(in, {noisy}, channels - 1);
        const Outcome r = run({"denoise", in, "--sigma", "15", "-o", path("out.png")});
        ASSERT_EQ(r.status, 0) << r.err;
        const std::vector<Page> out = readPages(path("out.png"));
        ASSERT_EQ(out.size(), 1u);
        ASSERT_EQ(out[0].channels, channels);
        EXPECT_EQ(channel(out[0], channels - 1), channel(noisy, channels - 1)) << channels << " channels";
        // The colour channels are the denoiser's, as if alpha were not there.
        const std::vector<double> expected = denoiseDirectly(noisy, channels - 1, uint8Range, 15.0);
        for (int c = 0; c < channels - 1; ++c)
            for (std::size_t p = 0; p < std::size_t(32) * 30; ++p)
                ASSERT_EQ(out[0].samples[p * channels + c], double(toUint8(expected[p * (channels - 1) + c])));
    }
}

TEST_F(Cli, EstimatedSigmaIsPrintedInTheFileUnitsAndCloseToTheTruth)
{
    struct Case {
        const char* name;
        OIIO::TypeDesc format;
        double levels;
        const char* units;
    };
    for (const Case& c : {Case{"grey8.png", OIIO::TypeDesc::UINT8, 255.0, "(levels of 255)"},
                          Case{"grey16.png", OIIO::TypeDesc::UINT16, 65535.0, "(levels of 65535)"}}) {
        const double sigma = 20.0 * c.levels / 255.0;
        writePages(path(c.name), {noisyPage(96, 96, 1, c.format, c.levels, sigma, 11, 0.0, c.levels)});
        const Outcome r = run({"denoise", path(c.name), "-o", path("out.png")});
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string key = "estimated sigma: ";
        const std::size_t at = r.err.find(key);
        ASSERT_NE(at, std::string::npos) << r.err;
        EXPECT_NEAR(std::strtod(r.err.c_str() + at + key.size(), nullptr) / sigma, 1.0, 0.15) << r.err;
        EXPECT_NE(r.err.find(c.units), std::string::npos) << r.err;
        EXPECT_EQ(run({"denoise", path(c.name), "-o", path("out.png"), "--quiet"}).err, "");
    }
}

TEST_F(Cli, EveryPageOfAStackIsDenoisedAndWrittenInOrder)
{
    // Pages of different sizes and kinds, each with its own noise level.
    const std::vector<Page> pages = {noisyPage(40, 32, 1, OIIO::TypeDesc::UINT8, 255.0, 10.0, 1, 0.0, 255.0),
                                     noisyPage(36, 44, 3, OIIO::TypeDesc::UINT8, 255.0, 30.0, 2, 0.0, 255.0),
                                     noisyPage(40, 32, 1, OIIO::TypeDesc::UINT8, 255.0, 20.0, 3, 0.0, 255.0)};
    writePages(path("stack.tif"), pages);
    const Outcome r = run({"denoise", path("stack.tif"), "-o", path("out.tif")});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* page : {"page 1: estimated sigma", "page 2: estimated sigma", "page 3: estimated sigma"})
        EXPECT_NE(r.err.find(page), std::string::npos) << r.err;
    const std::vector<Page> out = readPages(path("out.tif"));
    ASSERT_EQ(out.size(), 3u);
    for (std::size_t k = 0; k < 3; ++k) {
        // Each page as if it were a file of its own.
        const std::string single = path("page" + std::to_string(k) + ".tif");
        writePages(single, {pages[k]});
        const Outcome alone = run({"denoise", single, "-o", path("alone.tif")});
        ASSERT_EQ(alone.status, 0) << alone.err;
        const std::vector<Page> expected = readPages(path("alone.tif"));
        ASSERT_EQ(expected.size(), 1u);
        EXPECT_EQ(out[k].width, pages[k].width) << "page " << k + 1;
        EXPECT_EQ(out[k].channels, pages[k].channels) << "page " << k + 1;
        EXPECT_EQ(out[k].samples, expected[0].samples) << "page " << k + 1;
    }
    // A format of one page is refused before any work.
    const Outcome png = run({"denoise", path("stack.tif"), "-o", path("stack.png")});
    EXPECT_EQ(png.status, 1);
    EXPECT_NE(png.err.find("holds one page, and the input has 3"), std::string::npos) << png.err;
    EXPECT_FALSE(fs::exists(path("stack.png")));
}

TEST_F(Cli, BatchesGoOnPastAFailingFileAndRefuseBadFoldersFirst)
{
    fs::create_directories(dir / "in" / "more");
    fs::create_directories(dir / "out");
    writePages(path("in/a.png"), {noisyPage(32, 32, 3, OIIO::TypeDesc::UINT8, 255.0, 20.0, 1, 0.0, 255.0)});
    writePages(path("in/b.tif"), {noisyPage(32, 32, 1, OIIO::TypeDesc::UINT16, 65535.0, 3000.0, 2, 0.0, 65535.0)});
    std::ofstream(path("in/bad.png")) << "not an image\n";
    writePages(path("in/more/a.png"), {noisyPage(32, 32, 1, OIIO::TypeDesc::UINT8, 255.0, 20.0, 3, 0.0, 255.0)});

    Outcome r = run({"denoise", path("in/a.png"), path("in/bad.png"), path("in/b.tif"), "-o", path("out")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("bad.png"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("1 of 3 files failed"), std::string::npos) << r.err;
    std::set<std::string> written;
    for (const auto& e : fs::directory_iterator(dir / "out"))
        written.insert(e.path().filename().string());
    EXPECT_EQ(written, (std::set<std::string>{"a.png", "b.tif"}));
    const std::vector<Page> b = readPages(path("out/b.tif"));
    ASSERT_EQ(b.size(), 1u);
    EXPECT_EQ(b[0].format, OIIO::TypeDesc::UINT16);

    // Refused before any work: nothing is written anywhere.
    fs::remove_all(dir / "out");
    fs::create_directories(dir / "out");
    const struct {
        std::vector<std::string> args;
        std::string message;
    } refusals[] = {
        {{"denoise", path("in/a.png"), path("in/b.tif"), "-o", path("missing/")}, "does not create it"},
        {{"denoise", path("in/a.png"), path("in/more/a.png"), "-o", path("out/")}, "the same name"},
        {{"denoise", path("in/a.png"), path("in/b.tif"), "-o", path("in/a.png")}, "not a directory"},
    };
    for (const auto& c : refusals) {
        r = run(c.args);
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_TRUE(fs::is_empty(dir / "out")) << c.message;
        EXPECT_FALSE(fs::exists(path("missing")));
    }
}

TEST_F(Cli, StandardInputAndOutputCarryTheNamedFormat)
{
    writePages(path("in.png"), {noisyPage(32, 30, 3, OIIO::TypeDesc::UINT8, 255.0, 20.0, 4, 0.0, 255.0)});
    ASSERT_EQ(run({"denoise", path("in.png"), "--sigma", "20", "-o", path("file.png")}).status, 0);
    const std::string command = std::string("'") + SORVIK_CLI_PATH + "' denoise - --sigma 20 -o - --format png < '" +
                                path("in.png") + "' > '" + path("piped.png") + "' 2> '" + path("err.txt") + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << slurp(path("err.txt"));
    EXPECT_EQ(readPages(path("piped.png"))[0].samples, readPages(path("file.png"))[0].samples);

    // Standard output has no extension to name its format.
    const Outcome r = run({"denoise", path("in.png"), "--sigma", "20", "-o", "-"});
    EXPECT_EQ(r.status, 2); // a usage error, found before any file is read
    EXPECT_NE(r.err.find("--format"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
}

TEST_F(Cli, AnInstalledToolFindsItsPhotographBesideIt)
{
    // A prefix as cmake --install lays it out, far from the source tree.
    fs::create_directories(dir / "prefix" / "bin");
    fs::create_directories(dir / "prefix" / "share" / "sorvik" / "data");
    fs::copy_file(SORVIK_CLI_PATH, dir / "prefix" / "bin" / "sorvik");
    fs::copy_file(std::string(SORVIK_SOURCE_DATA_DIR) + "/astronaut.png",
                  dir / "prefix" / "share" / "sorvik" / "data" / "astronaut.png");
    const std::string command = "'" + path("prefix/bin/sorvik") + "' demo --output-dir '" + path("demo") +
                                "' --progress --threads 2 > '" + path("out.txt") + "' 2> '" + path("err.txt") + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << slurp(path("err.txt"));
    const std::string out = slurp(path("out.txt"));
    EXPECT_NE(out.find(path("prefix/share/sorvik/data/astronaut.png")), std::string::npos) << out;
    EXPECT_NE(out.find("RGB"), std::string::npos) << out;
    // --progress draws the bar into a file, finishing at 100.
    EXPECT_NE(slurp(path("err.txt")).find("100/100"), std::string::npos) << slurp(path("err.txt"));
    EXPECT_TRUE(fs::exists(path("demo/estimate.png")));
}

} // namespace
} // namespace sorvik
