// The streamed denoiser against denoise() on the whole image, bit for bit,
// under budgets that cut the image into many bands and tiles; its plans,
// its first pass's refusals, and the cores that tiles with one overlap need.
#include <sorvik/stream.h>

#include "test_images.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace sorvik {
namespace {

// A planar image (column-major planes) handed out in bands, recording how it
// was read.
class MemorySource : public RowSource {
public:
    MemorySource(const std::vector<double>& pixels, std::int32_t rows, std::int32_t cols, int planes)
        : pixels_(pixels), rows_(rows), cols_(cols), planes_(planes)
    {
    }
    void rewind() override
    {
        ++passes;
        next_ = 0;
    }
    void read(std::int32_t top, std::int32_t count, double* band) override
    {
        // Every pass goes down the image, each row once.
        EXPECT_EQ(top, next_);
        EXPECT_LE(top + count, rows_);
        next_ = top + count;
        rowsRead += count;
        const std::size_t plane = std::size_t(rows_) * std::size_t(cols_);
        for (int k = 0; k < planes_; ++k)
            for (std::int32_t j = 0; j < cols_; ++j)
                for (std::int32_t i = 0; i < count; ++i)
                    *band++ = pixels_[std::size_t(k) * plane + std::size_t(j) * rows_ +
                                      std::size_t(top + i)];
    }
    int passes = 0;
    std::int64_t rowsRead = 0;

private:
    const std::vector<double>& pixels_;
    std::int32_t rows_, cols_;
    int planes_;
    std::int32_t next_ = 0;
};

class MemorySink : public RowSink {
public:
    MemorySink(std::int32_t rows, std::int32_t cols, int planes)
        : pixels(std::size_t(rows) * std::size_t(cols) * std::size_t(planes),
                 std::numeric_limits<double>::quiet_NaN()),
          rows_(rows), cols_(cols), planes_(planes)
    {
    }
    void write(std::int32_t top, std::int32_t count, const double* band) override
    {
        EXPECT_EQ(top, next_);
        next_ = top + count;
        ++bands;
        const std::size_t plane = std::size_t(rows_) * std::size_t(cols_);
        for (int k = 0; k < planes_; ++k)
            for (std::int32_t j = 0; j < cols_; ++j)
                for (std::int32_t i = 0; i < count; ++i)
                    pixels[std::size_t(k) * plane + std::size_t(j) * rows_ + std::size_t(top + i)] =
                        *band++;
    }
    std::vector<double> pixels;
    int bands = 0;

private:
    std::int32_t rows_, cols_;
    int planes_;
    std::int32_t next_ = 0;
};

bool sameBits(const std::vector<double>& a, const std::vector<double>& b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

DenoiseOptions smallOptions(int threads)
{
    DenoiseOptions o;
    o.wiener.searchRadius = 5;
    o.wiener.maxGroupSize = 8;
    o.threads = threads;
    return o;
}

// Streams `pixels` (the denoised planes, then the kept ones) in bands and
// tiles of several shapes, and through the one call within a budget, and
// expects denoise()'s bits and the kept planes unchanged each time. False
// when no budget streams the image in more than one tile.
bool expectInMemoryBits(const std::vector<double>& pixels, const StreamInput& in,
                        const DenoiseOptions& o)
{
    const std::size_t plane = std::size_t(in.rows) * std::size_t(in.cols);
    const auto colourEnd = pixels.begin() + std::ptrdiff_t(plane * std::size_t(in.channels));
    DenoiseInput whole;
    whole.rows = in.rows;
    whole.cols = in.cols;
    whole.channels = in.channels;
    whole.pixels = pixels.data();
    whole.sigma = in.sigma;
    whole.noise = in.noise;
    whole.gain = in.gain;
    whole.readNoise = in.readNoise;
    whole.offset = in.offset;
    const double extremes[2] = {*std::min_element(pixels.begin(), colourEnd),
                                *std::max_element(pixels.begin(), colourEnd)};
    whole.range = in.range ? *in.range : floatDataRange(extremes, 1, 2, 1);
    DenoiseResult expected = denoise(whole, o);
    expected.pixels.insert(expected.pixels.end(), colourEnd, pixels.end());
    const int planes = in.channels + in.keptChannels;

    // Small cores cut both ways, reads that end inside a band, and full-width
    // bands; then what a budget gives.
    for (const StreamPlan& plan : {StreamPlan{7, 40, 5, 0, 0.0}, StreamPlan{30, in.cols, 64, 0, 0.0},
                                   StreamPlan{in.rows, 17, 9, 0, 0.0}}) {
        MemorySource source(pixels, in.rows, in.cols, planes);
        MemorySink sink(in.rows, in.cols, planes);
        const StreamScan scan = scanStream(source, in, plan);
        EXPECT_EQ(scan.sigmaEstimated, expected.sigmaEstimated);
        EXPECT_EQ(scan.noise.kind, expected.noise.kind);
        EXPECT_EQ(scan.noise.gain, expected.noise.gain);
        EXPECT_EQ(scan.noise.readNoise, expected.noise.readNoise);
        EXPECT_EQ(scan.noise.offset, expected.noise.offset);
        // The mean level a poisson-gaussian sigma is reported at is summed in
        // another order.
        if (expected.noise.kind != NoiseKind::poissonGaussian)
            EXPECT_EQ(scan.sigma, expected.sigma);
        else
            EXPECT_NEAR(scan.sigma, expected.sigma, 1e-9 * expected.sigma);
        EXPECT_EQ(scan.noise.spectrum.cosine, expected.noise.spectrum.cosine);
        EXPECT_EQ(scan.noise.spectrum.fourier, expected.noise.spectrum.fourier);
        std::int64_t last = 0, total = 0;
        filterStream(source, sink, in, scan, plan, o, [&](std::int64_t done, std::int64_t all) {
            EXPECT_EQ(done, last + 1);
            last = done;
            total = all;
        });
        EXPECT_EQ(last, total);
        // A pass more where the automatic choice asks the data's spectrum,
        // and two where the planes the stages filter are measured too.
        const bool anyParameter = in.gain || in.readNoise || in.offset;
        const bool spectrumAsked =
            in.noise == NoiseChoice::correlated ||
            (in.noise == NoiseChoice::automatic && !in.sigma && !anyParameter &&
             expected.noise.kind != NoiseKind::poissonGaussian);
        EXPECT_EQ(source.passes, 2 + int(spectrumAsked) +
                                     2 * int(expected.noise.kind == NoiseKind::correlated));
        EXPECT_TRUE(sameBits(sink.pixels, expected.pixels))
            << in.rows << " x " << in.cols << ", cores " << plan.coreRows << " x " << plan.coreCols;
    }
    const std::uint64_t least = [&] {
        try {
            planStream(in, o, 1);
        } catch (const StreamBudgetError& e) {
            return e.least;
        }
        return std::uint64_t(0);
    }();
    EXPECT_GT(least, 0u);
    // Halfway between the least and what one tile of the whole image takes,
    // where the first pass (the noise estimate's patches) does not need more.
    const std::uint64_t oneTile = planStream(in, o, std::uint64_t(1) << 50).bytes;
    if (oneTile == least)
        return false;
    const std::uint64_t budget = least + (oneTile - least) / 2;
    const StreamPlan plan = planStream(in, o, budget);
    EXPECT_LE(plan.bytes, budget);
    EXPECT_TRUE(plan.coreRows < in.rows || plan.coreCols < in.cols);
    MemorySource source(pixels, in.rows, in.cols, planes);
    MemorySink sink(in.rows, in.cols, planes);
    denoiseStream(source, sink, in, o, budget);
    EXPECT_TRUE(sameBits(sink.pixels, expected.pixels)) << "within " << budget << " bytes";
    return true;
}

TEST(Stream, GreyGivesTheInMemoryBitsWithSigmaEstimatedOrGiven)
{
    // Sizes that are no multiple of the step; two threads in the tiles.
    std::vector<double> grey = testing::shapesImage(97, 203);
    testing::addNoise(grey, 0.08, 11);
    for (double& v : grey)
        v = 200.0 * v - 30.0; // off the unit scale: the range comes from the first pass
    StreamInput in;
    in.rows = 97;
    in.cols = 203;
    expectInMemoryBits(grey, in, smallOptions(2));
    in.sigma = 16.0;
    EXPECT_TRUE(expectInMemoryBits(grey, in, smallOptions(1)));
    // A first stage that reads further than the Wiener stage, on a step of
    // its own, with its other settings left to sigma.
    DenoiseOptions wide = smallOptions(2);
    wide.choice.blockSize = 6;
    wide.choice.searchRadius = 12;
    wide.choice.step = 4;
    wide.choice.matchThreshold = 1.0;
    // (too wide a context for a budget to split this image: the fixed plans
    // alone cut it)
    in.sigma.reset();
    expectInMemoryBits(grey, in, wide);
    wide.pilot = PilotKind::dct;
    expectInMemoryBits(grey, in, wide);
}

// The first stage's buffers can outgrow the Wiener stage's: the bound must
// see them, or a budget the plan trusts would be overrun.
TEST(Stream, TheMemoryBoundCountsTheFirstStage)
{
    const DenoiseOptions plain;
    DenoiseOptions big;
    big.choice.maxGroupSize = 1024;
    big.choice.searchRadius = 60;
    EXPECT_GT(denoiseMemoryBound(400, 400, 3, big, false), denoiseMemoryBound(400, 400, 3, plain, false));
    big.pilot = PilotKind::dct;
    EXPECT_EQ(denoiseMemoryBound(400, 400, 3, big, false),
              denoiseMemoryBound(400, 400, 3, [] {
                  DenoiseOptions o;
                  o.pilot = PilotKind::dct;
                  return o;
              }(), false));
}

TEST(Stream, ColourGivesTheInMemoryBitsAndKeepsAlphaAsItIs)
{
    const std::int32_t rows = 83, cols = 151;
    const std::size_t plane = std::size_t(rows) * cols;
    std::vector<double> rgba;
    for (int k = 0; k < 3; ++k) {
        std::vector<double> p = k == 1 ? testing::smoothImage(rows, cols) : testing::shapesImage(rows, cols);
        testing::addNoise(p, 0.05, 20 + k);
        for (double& v : p)
            v = std::round(255.0 * std::min(1.0, std::max(0.0, v)));
        rgba.insert(rgba.end(), p.begin(), p.end());
    }
    for (std::size_t i = 0; i < plane; ++i)
        rgba.push_back(double(i % 7));
    StreamInput in;
    in.rows = rows;
    in.cols = cols;
    in.channels = 3;
    in.keptChannels = 1;
    in.range = DataRange{0.0, 255.0};
    DenoiseOptions o = smallOptions(2);
    o.wiener.step = 4;
    expectInMemoryBits(rgba, in, o);
}

// Photon counts of `photons` at the brightest, read noise 1.5: the stabilised
// path, whose range the tiles must take from the whole image.
std::vector<double> countImage(std::int32_t rows, std::int32_t cols, double photons, unsigned seed)
{
    std::vector<double> z = testing::shapesImage(rows, cols);
    std::mt19937_64 engine(seed);
    auto uniform = [&] { return (double(engine() >> 11) + 0.5) * 0x1.0p-53; };
    for (double& v : z) {
        // Poisson by inversion, then Box-Muller for the read noise.
        const double mean = photons * std::max(v, 0.0);
        double p = std::exp(-mean), sum = p, u = uniform();
        int k = 0;
        while (u > sum && k < 1000) {
            p *= mean / ++k;
            sum += p;
        }
        v = k + 1.5 * std::sqrt(-2.0 * std::log(uniform())) * std::cos(6.283185307179586 * uniform());
    }
    return z;
}

TEST(Stream, CountsGiveTheInMemoryBitsUnderTheStabilisedModel)
{
    const std::vector<double> z = countImage(91, 157, 40.0, 5);
    StreamInput in;
    in.rows = 91;
    in.cols = 157;
    // Estimated and chosen, estimated under the model asked for, and given.
    expectInMemoryBits(z, in, smallOptions(2));
    in.noise = NoiseChoice::poissonGaussian;
    in.offset = 0.0;
    expectInMemoryBits(z, in, smallOptions(1));
    in.gain = 1.0;
    in.readNoise = 1.5;
    EXPECT_TRUE(expectInMemoryBits(z, in, smallOptions(2)));
}

// White noise blurred by a small kernel, as demosaicking and compression
// leave it, over shapes: the correlated model, chosen or asked for.
std::vector<double> correlatedImage(std::int32_t rows, std::int32_t cols, int channels,
                                    std::uint32_t seed)
{
    const std::size_t plane = std::size_t(rows) * std::size_t(cols);
    std::vector<double> out;
    for (int k = 0; k < channels; ++k) {
        std::vector<double> noise(std::size_t(rows + 2) * std::size_t(cols + 2), 0.0);
        testing::addNoise(noise, 1.0, seed + std::uint32_t(k));
        std::vector<double> p = testing::shapesImage(rows, cols);
        for (std::int32_t j = 0; j < cols; ++j)
            for (std::int32_t i = 0; i < rows; ++i) {
                double sum = 0.0;
                for (int dj = 0; dj < 3; ++dj)
                    for (int di = 0; di < 3; ++di)
                        sum += noise[std::size_t(j + dj) * std::size_t(rows + 2) + std::size_t(i + di)];
                double& v = p[std::size_t(j) * rows + i];
                v = std::round(std::min(255.0, std::max(0.0, 255.0 * (0.9 - 0.3 * k) * v + 2.5 * sum)));
            }
        out.insert(out.end(), p.begin(), p.begin() + std::ptrdiff_t(plane));
    }
    return out;
}

TEST(Stream, CorrelatedNoiseGivesTheInMemoryBitsChosenAskedOrScaled)
{
    // Grey with its range from the first pass, under the automatic choice
    // and asked for with a sigma and other block sizes; colour with alpha.
    std::vector<double> grey = correlatedImage(131, 149, 1, 3);
    StreamInput in;
    in.rows = 131;
    in.cols = 149;
    DenoiseInput whole;
    whole.rows = in.rows;
    whole.cols = in.cols;
    whole.pixels = grey.data();
    whole.range = uint8Range;
    ASSERT_EQ(denoise(whole, smallOptions(2)).noise.kind, NoiseKind::correlated);
    // (Images this small take more memory for their spectra than for their
    // tiles, so no budget splits them: the fixed plans cut them.)
    expectInMemoryBits(grey, in, smallOptions(2));
    in.noise = NoiseChoice::correlated;
    in.sigma = 9.0;
    DenoiseOptions other = smallOptions(1);
    other.wiener.blockSize = 6;
    other.wiener.step = 2;
    other.choice.blockSize = 5;
    expectInMemoryBits(grey, in, other);

    const std::int32_t rows = 89, cols = 103;
    std::vector<double> rgba = correlatedImage(rows, cols, 3, 30);
    for (std::size_t i = 0; i < std::size_t(rows) * cols; ++i)
        rgba.push_back(double(i % 5) / 4.0);
    in = StreamInput{};
    in.rows = rows;
    in.cols = cols;
    in.channels = 3;
    in.keptChannels = 1;
    in.range = uint8Range;
    expectInMemoryBits(rgba, in, smallOptions(2));
    in.noise = NoiseChoice::correlated;
    expectInMemoryBits(rgba, in, smallOptions(1));
}

TEST(Stream, PlansFitTheirBudgetAndLargerBudgetsRecomputeLess)
{
    StreamInput in;
    in.rows = 20000;
    in.cols = 12000;
    in.channels = 3;
    in.keptChannels = 1;
    const DenoiseOptions o = [] {
        DenoiseOptions d;
        d.threads = 4;
        return d;
    }();
    StreamCost cost;
    cost.perRowRead = 12000 * 32;
    cost.fixed = 1 << 20;
    double overhead = std::numeric_limits<double>::infinity();
    for (const std::uint64_t mib : {128, 256, 1024, 4096}) {
        const StreamPlan plan = planStream(in, o, mib << 20, cost);
        EXPECT_LE(plan.bytes, mib << 20);
        EXPECT_LE(plan.overhead, overhead + 1e-9) << mib << " MiB";
        overhead = plan.overhead;
    }
    EXPECT_LT(overhead, 0.25);
    // The whole image in memory would take far more than the largest.
    EXPECT_GT(denoiseMemoryBound(in.rows, in.cols, 3, o, true), std::uint64_t(4096) << 20);

    // The least budget a refusal names streams the image; one byte less does not.
    const std::uint64_t least = [&] {
        try {
            planStream(in, o, 1 << 20, cost);
        } catch (const StreamBudgetError& e) {
            return e.least;
        }
        return std::uint64_t(0);
    }();
    ASSERT_GT(least, 0u);
    EXPECT_LE(planStream(in, o, least, cost).bytes, least);
    EXPECT_THROW(planStream(in, o, least - 1, cost), StreamBudgetError);
    in.channels = 2;
    EXPECT_THROW(planStream(in, o, least), std::invalid_argument);
}

TEST(Stream, TheFirstPassRefusesWhatDenoiseRefuses)
{
    const std::int32_t rows = 40, cols = 50;
    std::vector<double> image = testing::smoothImage(rows, cols);
    testing::addNoise(image, 0.05, 3);
    StreamInput in;
    in.rows = rows;
    in.cols = cols;
    const DenoiseOptions o = smallOptions(1);
    const StreamPlan plan = planStream(in, o, std::uint64_t(1) << 30);

    std::vector<double> bad = image;
    bad[std::size_t(33) * rows + 29] = std::nan("");
    MemorySource nanSource(bad, rows, cols, 1);
    try {
        scanStream(nanSource, in, plan);
        FAIL() << "NaN was taken";
    } catch (const NonFiniteValue& e) {
        EXPECT_EQ(e.row, 29);
        EXPECT_EQ(e.col, 33);
    }

    StreamInput ranged = in;
    ranged.range = DataRange{0.0, 0.5};
    MemorySource source(image, rows, cols, 1);
    EXPECT_THROW(scanStream(source, ranged, plan), std::invalid_argument);

    const std::vector<double> flat(image.size(), 0.25);
    MemorySource flatSource(flat, rows, cols, 1);
    try {
        scanStream(flatSource, in, plan);
        FAIL() << "a constant image gave a noise estimate";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("constant"), std::string::npos) << e.what();
    }
}

TEST(Stream, OverlapCoresStartOnTheGridAndTheirTilesOverlapByOneMargin)
{
    for (const TileGeometry g : {TileGeometry{8, 19, 3, false}, TileGeometry{8, 19, 3, true},
                                 TileGeometry{5, 4, 5, true}, TileGeometry{4, 0, 1, false}})
        for (const std::int32_t length : {8, 60, 61, 200, 1001})
            for (const std::int32_t size : {1, 7, 64, 5000}) {
                const std::vector<Span> cores = overlapCoreSpans(g, length, size);
                const TileContext c = tileContext(g);
                // Tiles start on both stages' reference grids when the pilot is made per tile.
                const std::int32_t step =
                    g.pilotPerTile ? std::lcm(g.step, std::max(g.pilot.step, std::int32_t{1})) : g.step;
                const std::int32_t before = (c.before + step - 1) / step * step;
                std::int32_t at = 0;
                for (std::size_t i = 0; i < cores.size(); ++i) {
                    EXPECT_EQ(cores[i].begin, at);
                    EXPECT_EQ(cores[i].begin % step, 0);
                    if (cores.size() > 1) {
                        EXPECT_GE(cores[i].size(), std::max(before, c.after));
                    }
                    at = cores[i].end;
                }
                EXPECT_EQ(at, length);
                if (length < std::max(g.blockSize, g.pilotPerTile ? 8 : 0))
                    continue;
                // Inner edges of every tile lie one margin from the core:
                // before rounded up to the step, and after.
                const TilePlan plan = planTiles(length, length, g, cores, cores);
                for (const Tile& t : plan.tiles) {
                    checkTile(length, length, g, t);
                    if (t.coreRows.begin > 0) {
                        EXPECT_EQ(t.coreRows.begin - t.rows.begin, before);
                    }
                    if (t.coreRows.end < length) {
                        EXPECT_EQ(t.rows.end - t.coreRows.end, c.after);
                    }
                }
            }
    const TileGeometry g{8, 2, 3, false};
    EXPECT_THROW(planTiles(40, 40, g, {Span{0, 20}, Span{21, 40}}, {Span{0, 40}}),
                 std::invalid_argument);
    EXPECT_THROW(planTiles(40, 40, g, {Span{0, 40}}, {Span{0, 39}}), std::invalid_argument);
}

} // namespace
} // namespace sorvik
