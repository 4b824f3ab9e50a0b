// Exact tiles: cores assembled from tiles against one call on the whole
// image, bit for bit, on sizes chosen to hit every edge case of the grid.
#include <sorvik/tiling.h>

#include <frontend/settings.h>
#include <pilot/basic_estimate.h>

#include "test_images.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace sorvik {
namespace {

struct Case {
    std::int32_t rows, cols, P, R, step, coreRows, coreCols;
};

std::string describe(const Case& c, int threads)
{
    return std::to_string(c.rows) + "x" + std::to_string(c.cols) + " P" + std::to_string(c.P) +
           " R" + std::to_string(c.R) + " step" + std::to_string(c.step) + " cores " +
           std::to_string(c.coreRows) + "x" + std::to_string(c.coreCols) + " threads " +
           std::to_string(threads);
}

// Planar images: `channels` planes of rows x cols, each column-major.
template <typename T>
std::vector<T> cut(const std::vector<T>& image, std::int32_t rows, Span r, Span c, int channels = 1)
{
    const std::size_t plane = image.size() / std::size_t(channels);
    std::vector<T> out;
    for (int k = 0; k < channels; ++k)
        for (std::int32_t j = c.begin; j < c.end; ++j)
            for (std::int32_t i = r.begin; i < r.end; ++i)
                out.push_back(image[k * plane + std::size_t(j) * rows + i]);
    return out;
}

template <typename T>
void paste(const std::vector<T>& core, std::int32_t rows, Span r, Span c, std::vector<T>& image,
           int channels = 1)
{
    const std::size_t plane = image.size() / std::size_t(channels);
    std::size_t n = 0;
    for (int k = 0; k < channels; ++k)
        for (std::int32_t j = c.begin; j < c.end; ++j)
            for (std::int32_t i = r.begin; i < r.end; ++i)
                image[k * plane + std::size_t(j) * rows + i] = core[n++];
}

// Bits, so that two NaN compare equal and -0 differs from 0.
template <typename T>
bool sameBits(const std::vector<T>& a, const std::vector<T>& b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0;
}

std::vector<double> noisyImage(std::int32_t rows, std::int32_t cols, std::uint32_t seed)
{
    std::vector<double> p = testing::shapesImage(rows, cols);
    testing::addNoise(p, 0.08, seed);
    return p;
}

FilterParams paramsOf(const Case& c, float sigma)
{
    FilterParams p;
    p.rows = c.rows;
    p.cols = c.cols;
    p.blockSize = c.P;
    p.searchRadius = c.R;
    p.step = c.step;
    p.maxGroupSize = 16;
    p.matchThreshold = 0.4f;
    p.sigma = sigma;
    return p;
}

// Images not a multiple of the step, cores smaller than the search area and
// of one pixel, a search radius of 0, every step from 1 to P.
std::vector<Case> awkwardCases()
{
    std::vector<Case> cases;
    for (std::int32_t step = 1; step <= 4; ++step)
        cases.push_back(Case{29, 34, 4, 5, step, 7, 11});
    cases.push_back(Case{23, 19, 4, 0, 3, 5, 4});
    cases.push_back(Case{17, 26, 3, 2, 2, 1, 9});
    cases.push_back(Case{41, 37, 5, 7, 5, 13, 6});
    // The defaults, with cores far smaller than the 39 x 39 search area.
    cases.push_back(Case{70, 61, 8, 19, 3, 17, 23});
    return cases;
}

TEST(TileContext, FollowsTheTraversal)
{
    const TileContext standard = tileContext(TileGeometry{});
    EXPECT_EQ(standard.before, 2 * 19 + 8 - 1);
    EXPECT_EQ(standard.after, 2 * 19 + 8 - 1);
    // With no search the forced last block of a tile is what must stay clear.
    const TileContext noSearch = tileContext(TileGeometry{4, 0, 2, false});
    EXPECT_EQ(noSearch.before, 3);
    EXPECT_EQ(noSearch.after, 4);
    const TileContext basicPilot = tileContext(TileGeometry{8, 19, 3, true, PilotReach{7, 1}});
    EXPECT_EQ(basicPilot.before, standard.before + 7);
    EXPECT_EQ(basicPilot.after, standard.after + 7);
    // The grouped pilot reads as far as a Wiener stage of its own settings.
    GroupedSettings grouped;
    grouped.blockSize = 6;
    grouped.searchRadius = 5;
    grouped.step = 2;
    EXPECT_EQ(pilotReach(grouped).reach, 2 * 5 + 6 - 1);
    grouped.searchRadius = 0;
    EXPECT_EQ(pilotReach(grouped).reach, 6);
    // The default covers the default pilot at every sigma in its reach,
    const TileContext withPilot = tileContext(TileGeometry{8, 19, 3, true});
    EXPECT_EQ(withPilot.before, standard.before + defaultPilotReach().reach);
    // and its grid holds every sigma's references, whose steps differ.
    for (double sigma : {0.01, 0.1, 0.5, 1.0}) {
        const PilotReach own = pilotReach(groupedDefaults(sigma));
        EXPECT_LE(own.reach, defaultPilotReach().reach);
        EXPECT_EQ(defaultPilotReach().step % own.step, 0) << "sigma " << sigma;
    }
    // A tile starts on both stages' reference grids.
    const TileGeometry mixed{4, 3, 2, true, PilotReach{5, 3}};
    EXPECT_EQ(tileSpan(mixed, 100, Span{50, 60}).begin, 36); // 50 - 13, down to a multiple of 6
}

TEST(TileSpan, StartsOnTheGridAndReachesTheEnd)
{
    const TileGeometry g{4, 5, 3, false}; // context 13 / 13
    const Span middle = tileSpan(g, 100, Span{40, 50});
    EXPECT_EQ(middle.begin, 27); // 40 - 13, a multiple of 3
    EXPECT_EQ(middle.end, 63);
    const Span unaligned = tileSpan(g, 100, Span{41, 50});
    EXPECT_EQ(unaligned.begin, 27); // 28 rounded down onto the grid
    const Span first = tileSpan(g, 100, Span{5, 10});
    EXPECT_EQ(first.begin, 0);
    // Near the end the image's own forced last block is in reach: the tile
    // runs to the end.
    const Span last = tileSpan(g, 100, Span{80, 88});
    EXPECT_EQ(last.end, 100);
}

TEST(TileChecks, RefuseTilesShortOfContext)
{
    const TileGeometry g{4, 5, 3, false};
    Tile ok{Span{27, 63}, Span{0, 20}, Span{40, 50}, Span{0, 5}};
    EXPECT_NO_THROW(checkTile(100, 40, g, ok));
    Tile shortEnd = ok;
    shortEnd.rows.end = 62;
    EXPECT_THROW(checkTile(100, 40, g, shortEnd), std::invalid_argument);
    Tile offGrid = ok;
    offGrid.rows.begin = 26;
    EXPECT_THROW(checkTile(100, 40, g, offGrid), std::invalid_argument);
    Tile outside = ok;
    outside.cols.end = 41;
    EXPECT_THROW(checkTile(100, 40, g, outside), std::invalid_argument);
    EXPECT_THROW(tileContext(TileGeometry{4, 5, 5, false}), std::invalid_argument);
    EXPECT_THROW(tileSpan(g, 3, Span{0, 3}), std::invalid_argument);
    EXPECT_THROW(tileSpan(g, 100, Span{10, 10}), std::invalid_argument);
    EXPECT_THROW(planTiles(100, 40, g, 0, 5), std::invalid_argument);
}

TEST(WienerTile, GreyCoresMatchTheWholeImage)
{
    for (const Case& c : awkwardCases()) {
        const std::vector<double> noisy = noisyImage(c.rows, c.cols, 7);
        std::vector<float> pilot(noisy.size());
        basicEstimate(c.rows, c.cols, noisy.data(), 0.08, pilot.data());
        const std::vector<double> window = kaiserWindow2d(c.P, 2.0);
        const FilterParams params = paramsOf(c, 0.08f);
        for (int threads : {1, 2}) {
            FilterOptions options;
            options.threads = threads;
            std::vector<float> whole(noisy.size());
            ASSERT_EQ(runFilter(params, noisy.data(), pilot.data(), window.data(), whole.data(), options),
                      FilterStatus::ok);
            std::vector<float> tiled(noisy.size(), -1.0f);
            const TilePlan plan =
                planTiles(c.rows, c.cols, TileGeometry{c.P, c.R, c.step, false}, c.coreRows, c.coreCols);
            for (const Tile& t : plan.tiles) {
                const std::vector<double> tileNoisy = cut(noisy, c.rows, t.rows, t.cols);
                const std::vector<float> tilePilot = cut(pilot, c.rows, t.rows, t.cols);
                std::vector<float> core(std::size_t(t.coreRows.size()) * t.coreCols.size());
                Channel channel{tileNoisy.data(), tilePilot.data(), params.sigma, core.data()};
                wienerTile(params, t, &channel, 1, window.data(), options);
                paste(core, c.rows, t.coreRows, t.coreCols, tiled);
            }
            EXPECT_TRUE(sameBits(whole, tiled)) << describe(c, threads);
        }
    }
}

TEST(WienerTile, SharedGroupsOfChannelsMatchTheWholeImage)
{
    for (const Case& c : {Case{37, 44, 4, 6, 3, 9, 13}, Case{70, 61, 8, 19, 3, 31, 20}}) {
        const std::size_t plane = std::size_t(c.rows) * c.cols;
        std::vector<std::vector<double>> noisy;
        std::vector<std::vector<float>> pilot;
        for (std::uint32_t k = 0; k < 3; ++k) {
            noisy.push_back(noisyImage(c.rows, c.cols, 11 + k));
            pilot.emplace_back(plane);
            basicEstimate(c.rows, c.cols, noisy[k].data(), 0.08, pilot[k].data());
        }
        const float sigmas[3] = {0.08f, 0.05f, 0.11f};
        const std::vector<double> window = kaiserWindow2d(c.P, 2.0);
        const FilterParams params = paramsOf(c, 0.0f);
        FilterOptions options;
        options.threads = 2;
        std::vector<std::vector<float>> whole(3, std::vector<float>(plane));
        Channel channels[3];
        for (int k = 0; k < 3; ++k)
            channels[k] = Channel{noisy[k].data(), pilot[k].data(), sigmas[k], whole[k].data()};
        ASSERT_EQ(runFilterChannels(params, channels, 3, window.data(), options), FilterStatus::ok);

        std::vector<std::vector<float>> tiled(3, std::vector<float>(plane, -1.0f));
        for (const Tile& t :
             planTiles(c.rows, c.cols, TileGeometry{c.P, c.R, c.step, false}, c.coreRows, c.coreCols).tiles) {
            std::vector<std::vector<double>> tn(3);
            std::vector<std::vector<float>> tp(3), core(3);
            Channel tileChannels[3];
            for (int k = 0; k < 3; ++k) {
                tn[k] = cut(noisy[k], c.rows, t.rows, t.cols);
                tp[k] = cut(pilot[k], c.rows, t.rows, t.cols);
                core[k].resize(std::size_t(t.coreRows.size()) * t.coreCols.size());
                tileChannels[k] = Channel{tn[k].data(), tp[k].data(), sigmas[k], core[k].data()};
            }
            wienerTile(params, t, tileChannels, 3, window.data(), options);
            for (int k = 0; k < 3; ++k)
                paste(core[k], c.rows, t.coreRows, t.coreCols, tiled[k]);
        }
        for (int k = 0; k < 3; ++k)
            EXPECT_TRUE(sameBits(whole[k], tiled[k])) << describe(c, 2) << " channel " << k;
    }
}

// The whole pipeline, pilot included, made per tile.
TEST(DenoiseTile, GreyAndColourMatchTheWholeImage)
{
    struct PipelineCase {
        Case c;
        int channels;
        int threads;
    };
    for (const PipelineCase& pc : {PipelineCase{Case{53, 47, 4, 5, 2, 10, 12}, 1, 1},
                                   PipelineCase{Case{66, 75, 8, 19, 3, 25, 40}, 1, 2},
                                   PipelineCase{Case{45, 52, 5, 6, 4, 14, 17}, 3, 2}}) {
        const Case& c = pc.c;
        std::vector<double> pixels;
        for (int k = 0; k < pc.channels; ++k) {
            std::vector<double> p = noisyImage(c.rows, c.cols, 21 + k);
            for (double& v : p)
                v = 40.0 + 150.0 * v; // data in its own units, range given
            pixels.insert(pixels.end(), p.begin(), p.end());
        }
        DenoiseInput in;
        in.rows = c.rows;
        in.cols = c.cols;
        in.channels = pc.channels;
        in.pixels = pixels.data();
        in.range = DataRange{0.0, 255.0};
        in.sigma = 12.0;
        DenoiseOptions options;
        options.wiener.blockSize = c.P;
        options.wiener.searchRadius = c.R;
        options.wiener.step = c.step;
        options.threads = pc.threads;
        const DenoiseResult whole = denoise(in, options);

        std::vector<double> tiled(pixels.size(), -1.0);
        for (const Tile& t :
             planTiles(c.rows, c.cols, TileGeometry{c.P, c.R, c.step, true}, c.coreRows, c.coreCols).tiles) {
            const std::vector<double> tilePixels = cut(pixels, c.rows, t.rows, t.cols, pc.channels);
            DenoiseInput tileIn = in;
            tileIn.rows = t.rows.size();
            tileIn.cols = t.cols.size();
            tileIn.pixels = tilePixels.data();
            paste(denoiseTile(c.rows, c.cols, t, tileIn, options), c.rows, t.coreRows, t.coreCols,
                  tiled, pc.channels);
        }
        EXPECT_TRUE(sameBits(whole.pixels, tiled)) << describe(c, pc.threads) << " channels "
                                                   << pc.channels;
    }
}

// Images several contexts wide, so that tiles cut through the grouped
// pilot's groups: with small settings of its own, and with its defaults.
TEST(DenoiseTile, GroupedPilotCoresMatchTheWholeImage)
{
    struct PilotCase {
        std::int32_t rows, cols, coreRows, coreCols;
        int channels;
        bool small;
        bool chosen = false; // some settings given, the rest by sigma
    };
    for (const PilotCase& pc : {PilotCase{130, 121, 30, 41, 1, true},
                                PilotCase{97, 110, 35, 29, 3, true},
                                PilotCase{190, 180, 60, 70, 1, false},
                                PilotCase{160, 150, 40, 55, 3, false, true}}) {
        std::vector<double> pixels;
        for (int k = 0; k < pc.channels; ++k) {
            std::vector<double> p = noisyImage(pc.rows, pc.cols, 31 + k);
            for (double& v : p)
                v = 20.0 + 200.0 * v;
            pixels.insert(pixels.end(), p.begin(), p.end());
        }
        DenoiseInput in;
        in.rows = pc.rows;
        in.cols = pc.cols;
        in.channels = pc.channels;
        in.pixels = pixels.data();
        in.range = DataRange{-60.0, 320.0};
        in.sigma = 20.0;
        DenoiseOptions options;
        options.wiener.blockSize = 4;
        options.wiener.searchRadius = 3;
        options.wiener.step = 2;
        TileGeometry g{4, 3, 2, true};
        if (pc.small) {
            GroupedSettings grouped;
            grouped.blockSize = 5;
            grouped.searchRadius = 4;
            grouped.step = 3;
            grouped.maxGroupSize = 8;
            options.grouped = grouped;
            g.pilot = pilotReach(grouped);
        }
        if (pc.chosen) {
            options.choice.blockSize = 6;
            options.choice.searchRadius = 9;
            options.choice.step = 2;
            options.choice.lambda = 2.2;
            // What a planner that does not know sigma yet takes.
            g.pilot = pilotReach(options);
            EXPECT_EQ(g.pilot.reach, 2 * 9 + 6 - 1);
        }
        const DenoiseResult whole = denoise(in, options);
        std::vector<double> tiled(pixels.size(), -1.0);
        const TilePlan plan = planTiles(pc.rows, pc.cols, g, pc.coreRows, pc.coreCols);
        bool partial = false;
        for (const Tile& t : plan.tiles) {
            partial = partial || t.rows.size() < pc.rows || t.cols.size() < pc.cols;
            const std::vector<double> tilePixels = cut(pixels, pc.rows, t.rows, t.cols, pc.channels);
            DenoiseInput tileIn = in;
            tileIn.rows = t.rows.size();
            tileIn.cols = t.cols.size();
            tileIn.pixels = tilePixels.data();
            paste(denoiseTile(pc.rows, pc.cols, t, tileIn, options), pc.rows, t.coreRows,
                  t.coreCols, tiled, pc.channels);
        }
        EXPECT_TRUE(partial) << "every tile is the whole image: the case tests nothing";
        EXPECT_TRUE(sameBits(whole.pixels, tiled)) << pc.rows << " x " << pc.cols;
    }
}

// A tile planned for the basic estimate's reach is short of the grouped
// pilot's: refused, not computed with other bits.
TEST(DenoiseTile, RefusesTilesShortOfThePilotsReach)
{
    const std::int32_t rows = 200, cols = 200;
    std::vector<double> pixels = noisyImage(rows, cols, 5);
    for (double& v : pixels)
        v = std::min(std::max(v, 0.0), 1.0);
    DenoiseInput in;
    in.rows = rows;
    in.cols = cols;
    in.pixels = pixels.data();
    in.sigma = 0.1;
    const TilePlan plan = planTiles(rows, cols, TileGeometry{8, 19, 3, true, PilotReach{7, 1}}, 50, 50);
    const Tile& t = plan.tiles[5];
    const std::vector<double> tilePixels = cut(pixels, rows, t.rows, t.cols, 1);
    DenoiseInput tileIn = in;
    tileIn.rows = t.rows.size();
    tileIn.cols = t.cols.size();
    tileIn.pixels = tilePixels.data();
    EXPECT_THROW(denoiseTile(rows, cols, t, tileIn), std::invalid_argument);
    DenoiseOptions dct;
    dct.pilot = PilotKind::dct;
    EXPECT_NO_THROW(denoiseTile(rows, cols, t, tileIn, dct));
}

TEST(DenoiseTile, NeedsTheWholeImagesSigmaAndReportsImagePositions)
{
    const std::int32_t rows = 40, cols = 40;
    std::vector<double> pixels = noisyImage(rows, cols, 3);
    const Tile t = planTiles(rows, cols, TileGeometry{8, 19, 3, true}, 20, 20).tiles.back();
    std::vector<double> part = cut(pixels, rows, t.rows, t.cols);
    DenoiseInput in;
    in.rows = t.rows.size();
    in.cols = t.cols.size();
    in.pixels = part.data();
    EXPECT_THROW(denoiseTile(rows, cols, t, in), std::invalid_argument);
    in.sigma = 0.08;
    // Pixel (33, 35) of the image.
    part[std::size_t(35 - t.cols.begin) * in.rows + (33 - t.rows.begin)] = std::nan("");
    try {
        denoiseTile(rows, cols, t, in);
        ADD_FAILURE() << "a NaN went through";
    } catch (const NonFiniteValue& e) {
        EXPECT_EQ(e.row, 33);
        EXPECT_EQ(e.col, 35);
    }
}

} // namespace
} // namespace sorvik
