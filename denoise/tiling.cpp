// Exact tiles; the derivation of the context is in <sorvik/tiling.h>.
#include <sorvik/tiling.h>

#include <pilot/basic_estimate.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

namespace sorvik {
namespace {

std::string spanText(Span s)
{
    return "[" + std::to_string(s.begin) + ", " + std::to_string(s.end) + ")";
}

// A tile's references must be the image's, for the Wiener stage and, when
// the pilot is made per tile, for the pilot's own walk.
std::int32_t gridStep(const TileGeometry& g)
{
    const std::int32_t step = std::max(g.step, std::int32_t{1});
    return g.pilotPerTile ? std::lcm(step, std::max(g.pilot.step, std::int32_t{1})) : step;
}

// The shortest axis a tile can have: one block, or one block of the basic
// estimate when it is made per tile.
std::int32_t leastLength(const TileGeometry& g)
{
    return g.pilotPerTile ? std::max(g.blockSize, basicBlockSize) : g.blockSize;
}

void checkAxis(const TileGeometry& g, std::int32_t length, const char* axis)
{
    if (length < leastLength(g))
        throw std::invalid_argument("the image's " + std::string(axis) + " (" +
                                    std::to_string(length) + ") are fewer than one block (" +
                                    std::to_string(leastLength(g)) + ")");
}

void checkCore(std::int32_t length, Span core, const char* axis)
{
    if (core.begin < 0 || core.end > length || core.begin >= core.end)
        throw std::invalid_argument("the core's " + std::string(axis) + " " + spanText(core) +
                                    " are not a non-empty part of [0, " + std::to_string(length) +
                                    ")");
}

// Whether the tile span carries the core's context along one axis.
bool carriesContext(const TileGeometry& g, const TileContext& context, std::int32_t length,
                    Span tile, Span core)
{
    const std::int64_t step = gridStep(g);
    const bool startOk = tile.begin == 0 ||
                         (tile.begin % step == 0 && std::int64_t(tile.begin) <=
                                                        std::int64_t(core.begin) - context.before);
    const bool endOk =
        tile.end == length || std::int64_t(tile.end) >= std::int64_t(core.end) + context.after;
    return tile.begin >= 0 && tile.end <= length && tile.begin <= core.begin &&
           core.end <= tile.end && startOk && endOk;
}

std::size_t area(Span rows, Span cols)
{
    return std::size_t(rows.size()) * std::size_t(cols.size());
}

// The reach of the pilot that denoise() makes of this input: the grouped
// stage's default settings follow sigma on the data's 0..1 scale.
PilotReach tilePilotReach(const DenoiseInput& input, const DenoiseOptions& options)
{
    if (options.pilot == PilotKind::dct)
        return PilotReach{basicBlockSize - 1, 1};
    if (options.grouped)
        return pilotReach(*options.grouped);
    // Stabilised tiles filter at a unit sigma over a range of their own:
    // the reach for any sigma covers it.
    if (!input.sigma)
        return pilotReach(options);
    return pilotReach(groupedSettings(options.choice, input.range.sigmaToUnit(*input.sigma)));
}

// Copies the core out of a column-major tile.
template <typename T>
void copyCore(const T* tile, const Tile& t, T* core)
{
    const std::size_t tileRows = std::size_t(t.rows.size());
    const std::size_t coreRows = std::size_t(t.coreRows.size());
    const std::size_t rowOffset = std::size_t(t.coreRows.begin - t.rows.begin);
    for (std::int32_t j = 0; j < t.coreCols.size(); ++j) {
        const T* from = tile + (std::size_t(t.coreCols.begin - t.cols.begin) + std::size_t(j)) *
                                   tileRows + rowOffset;
        std::copy(from, from + coreRows, core + std::size_t(j) * coreRows);
    }
}

} // namespace

TileContext tileContext(const TileGeometry& g)
{
    if (g.blockSize < 2)
        throw std::invalid_argument("block size must be at least 2, not " +
                                    std::to_string(g.blockSize));
    if (g.searchRadius < 0)
        throw std::invalid_argument("search radius must be at least 0, not " +
                                    std::to_string(g.searchRadius));
    if (g.step > g.blockSize || g.step < 1)
        throw std::invalid_argument("step must be from 1 to the block size (" +
                                    std::to_string(g.blockSize) + "), not " +
                                    std::to_string(g.step));
    // Kept below 2^30 so that a core's end plus its context never overflows.
    const std::int64_t reach = 2 * std::int64_t(g.searchRadius) + g.blockSize - 1;
    if (reach > (std::int64_t{1} << 29))
        throw std::invalid_argument("search radius " + std::to_string(g.searchRadius) +
                                    " and block size " + std::to_string(g.blockSize) +
                                    " reach further than any image");
    TileContext c;
    c.before = std::int32_t(reach);
    c.after = std::max(std::int32_t(reach), g.searchRadius + g.blockSize);
    if (g.pilotPerTile) {
        if (g.pilot.reach < 0 || g.pilot.reach > (std::int32_t{1} << 29))
            throw std::invalid_argument("the pilot's reach " + std::to_string(g.pilot.reach) +
                                        " lies outside 0 .. 2^29");
        c.before += g.pilot.reach;
        c.after += g.pilot.reach;
    }
    return c;
}

Span tileSpan(const TileGeometry& g, std::int32_t length, Span core)
{
    const TileContext context = tileContext(g);
    checkAxis(g, length, "rows or columns");
    checkCore(length, core, "rows or columns");
    const std::int32_t step = gridStep(g);
    Span tile;
    const std::int32_t first = core.begin - context.before;
    tile.begin = first <= 0 ? 0 : first / step * step;
    tile.end = std::int64_t(core.end) + context.after >= length ? length : core.end + context.after;
    return tile;
}

std::vector<Span> coreSpans(std::int32_t length, std::int32_t size)
{
    if (size < 1)
        throw std::invalid_argument("core sizes must be at least 1, not " + std::to_string(size));
    std::vector<Span> spans;
    for (std::int64_t b = 0; b < length; b += size)
        spans.push_back(Span{std::int32_t(b), std::int32_t(std::min<std::int64_t>(b + size, length))});
    return spans;
}

std::vector<Span> overlapCoreSpans(const TileGeometry& g, std::int32_t length, std::int32_t size)
{
    const TileContext context = tileContext(g);
    if (size < 1)
        throw std::invalid_argument("core sizes must be at least 1, not " + std::to_string(size));
    // A tile starts on the grid: the margin before is the context rounded up
    // to the step, as every core starts on a multiple of it.
    const std::int64_t step = gridStep(g);
    const std::int64_t before = (std::int64_t(context.before) + step - 1) / step * step;
    const std::int64_t least = std::max<std::int64_t>(before, context.after);
    const std::int64_t core = (std::max<std::int64_t>(size, least) + step - 1) / step * step;
    std::vector<Span> spans;
    for (std::int64_t b = 0; b < length; b += core)
        spans.push_back(Span{std::int32_t(b), std::int32_t(std::min<std::int64_t>(b + core, length))});
    if (spans.size() > 1 && spans.back().size() < least) {
        const std::int32_t end = spans.back().end;
        spans.pop_back();
        spans.back().end = end;
    }
    return spans;
}

TilePlan planTiles(std::int32_t rows, std::int32_t cols, const TileGeometry& g,
                   std::int32_t coreRows, std::int32_t coreCols)
{
    if (coreRows < 1 || coreCols < 1)
        throw std::invalid_argument("core sizes must be at least 1, not " +
                                    std::to_string(coreRows) + " x " + std::to_string(coreCols));
    tileContext(g);
    checkAxis(g, rows, "rows");
    checkAxis(g, cols, "columns");
    return planTiles(rows, cols, g, coreSpans(rows, coreRows), coreSpans(cols, coreCols));
}

TilePlan planTiles(std::int32_t rows, std::int32_t cols, const TileGeometry& g,
                   const std::vector<Span>& rowCores, const std::vector<Span>& colCores)
{
    TilePlan plan;
    plan.context = tileContext(g);
    checkAxis(g, rows, "rows");
    checkAxis(g, cols, "columns");
    const auto checkCover = [](const std::vector<Span>& cores, std::int32_t length, const char* axis) {
        std::int32_t at = 0;
        for (const Span& c : cores) {
            if (c.begin != at || c.end <= c.begin)
                throw std::invalid_argument("the cores of the " + std::string(axis) +
                                            " do not cover them once, in order, at " + spanText(c));
            at = c.end;
        }
        if (at != length)
            throw std::invalid_argument("the cores of the " + std::string(axis) + " end at " +
                                        std::to_string(at) + ", not " + std::to_string(length));
    };
    checkCover(rowCores, rows, "rows");
    checkCover(colCores, cols, "columns");
    plan.rows = rows;
    plan.cols = cols;
    plan.tiles.reserve(rowCores.size() * colCores.size());
    for (const Span& r : rowCores)
        for (const Span& c : colCores)
            plan.tiles.push_back(Tile{tileSpan(g, rows, r), tileSpan(g, cols, c), r, c});
    return plan;
}

void checkTile(std::int32_t rows, std::int32_t cols, const TileGeometry& g, const Tile& tile)
{
    const TileContext context = tileContext(g);
    checkAxis(g, rows, "rows");
    checkAxis(g, cols, "columns");
    checkCore(rows, tile.coreRows, "rows");
    checkCore(cols, tile.coreCols, "columns");
    if (!carriesContext(g, context, rows, tile.rows, tile.coreRows) ||
        !carriesContext(g, context, cols, tile.cols, tile.coreCols))
        throw std::invalid_argument(
            "the tile (rows " + spanText(tile.rows) + ", columns " + spanText(tile.cols) +
            ") does not carry the context its core (rows " + spanText(tile.coreRows) +
            ", columns " + spanText(tile.coreCols) + ") needs: " + std::to_string(context.before) +
            " before and " + std::to_string(context.after) +
            " after, from a multiple of the step or the image's edge");
}

void wienerTile(const FilterParams& params, const Tile& tile, const Channel* channels,
                int channelCount, const double* window, const FilterOptions& options)
{
    TileGeometry g;
    g.blockSize = params.blockSize;
    g.searchRadius = params.searchRadius;
    g.step = std::max(params.step, std::int32_t{1});
    checkTile(params.rows, params.cols, g, tile);
    if (channels == nullptr || channelCount < 1)
        throw std::invalid_argument("the tile needs at least one channel");

    FilterParams tileParams = params;
    tileParams.rows = tile.rows.size();
    tileParams.cols = tile.cols.size();
    const std::size_t tilePixels = area(tile.rows, tile.cols);
    std::vector<float> estimates(tilePixels * std::size_t(channelCount));
    std::vector<Channel> tileChannels(channels, channels + channelCount);
    for (int c = 0; c < channelCount; ++c)
        tileChannels[c].estimate = estimates.data() + std::size_t(c) * tilePixels;
    const FilterStatus status =
        runFilterChannels(tileParams, tileChannels.data(), channelCount, window, options);
    if (status == FilterStatus::outOfMemory)
        throw std::bad_alloc();
    if (status == FilterStatus::invalidParameters)
        throw std::invalid_argument(statusMessage(status));
    if (status != FilterStatus::ok)
        throw std::runtime_error(std::string("the filter failed: ") + statusMessage(status));
    for (int c = 0; c < channelCount; ++c)
        copyCore(estimates.data() + std::size_t(c) * tilePixels, tile, channels[c].estimate);
}

std::vector<double> denoiseTile(std::int32_t imageRows, std::int32_t imageCols, const Tile& tile,
                                const DenoiseInput& input, const DenoiseOptions& options)
{
    TileGeometry g;
    g.blockSize = options.wiener.blockSize;
    g.searchRadius = options.wiener.searchRadius;
    g.step = options.wiener.step;
    g.pilotPerTile = true;
    // An estimate or a range made from one tile differs from the whole
    // image's, and every pixel would change with it.
    // (or, for poisson-gaussian noise, its whole model and extremes).
    const bool stabilised = input.noise == NoiseChoice::poissonGaussian && input.gain &&
                            input.readNoise && input.offset && input.extremes;
    if (input.noise == NoiseChoice::correlated && !(input.shapes && input.sigma))
        throw std::invalid_argument("a tile takes the correlated noise model with the whole "
                                    "image's sigma and noise shapes, as its own spectrum would differ");
    if (!input.sigma && !stabilised)
        throw std::invalid_argument("a tile needs the sigma of the whole image, or its "
                                    "poisson-gaussian model and extremes");
    g.pilot = tilePilotReach(input, options);
    checkTile(imageRows, imageCols, g, tile);
    if (input.rows != tile.rows.size() || input.cols != tile.cols.size())
        throw std::invalid_argument("the input (" + std::to_string(input.rows) + " x " +
                                    std::to_string(input.cols) + ") is not the tile's size (" +
                                    std::to_string(tile.rows.size()) + " x " +
                                    std::to_string(tile.cols.size()) + ")");

    // The pilot is made on the whole tile: its pixels within 7 of a cut
    // differ from the image's, but the context keeps them away from every
    // pixel the core's groups read.
    DenoiseResult result;
    try {
        result = denoise(input, options);
    } catch (const NonFiniteValue& e) {
        throw NonFiniteValue(e.row + tile.rows.begin, e.col + tile.cols.begin, e.channel);
    }
    const std::size_t tilePixels = area(tile.rows, tile.cols);
    const std::size_t corePixels = area(tile.coreRows, tile.coreCols);
    std::vector<double> core(corePixels * std::size_t(input.channels));
    for (int c = 0; c < input.channels; ++c)
        copyCore(result.pixels.data() + std::size_t(c) * tilePixels, tile,
                 core.data() + std::size_t(c) * corePixels);
    return core;
}

} // namespace sorvik
