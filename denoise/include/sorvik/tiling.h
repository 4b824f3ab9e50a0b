// Exact tiles: the Wiener stage (and the whole denoise pipeline) run on a
// piece of an image with enough context around it give the piece's core the
// same bits as one call on the whole image. Front ends that split an image
// (a cluster, a tool streaming bands) plan their tiles here.
//
// Why a tile can be exact. Along each axis, with blocks of P pixels, search
// radius R and references every `step` positions from 0 (the last position
// always one too):
//  - a pixel x is covered by blocks at positions x - P + 1 .. x; such a block
//    belongs to the groups of references within R of it, so the references
//    that touch x lie in x - R - P + 1 .. x + R;
//  - each of those groups is chosen from its reference's whole search area,
//    block positions r - R .. r + R, which read pixels r - R .. r + R + P - 1;
//  - so x needs the pixels x - (2R + P - 1) .. x + (2R + P - 1): the context
//    is 2R + P - 1 before the core and 2R + P - 1 after it;
//  - a tile forces a reference at its own last position T - P; with the
//    context above it lies at least 2R + 1 past the core (R >= 1), out of
//    reach. With R = 0 the forced block itself would cover the core's last
//    pixel, so the context after is never less than R + P;
//  - the tile's references must be the image's: its origin lies on the image's
//    reference grid (a multiple of step), or at 0;
//  - the image's own forced last position matters only to cores within
//    2R + P - 1 of the image's end, and their tiles reach the end anyway;
//  - at a core pixel the groups are accumulated in traversal order, and the
//    tile's traversal is the image's restricted to the tile.
// When the pilot is made per tile, both sides grow by the pilot's reach: the
// noisy pixels a pilot pixel reads on each side (7 for the basic estimate's
// 8 x 8 blocks at every position; for the grouped estimate the same
// derivation as above with its own block size and radius), and the tile's
// origin lies on the pilot's reference grid too.
#ifndef SORVIK_TILING_H
#define SORVIK_TILING_H

#include <sorvik/denoise.h>
#include <sorvik/sorvik.h>

#include <cstdint>
#include <vector>

namespace sorvik {

// The parameters a tile's context depends on.
struct TileGeometry {
    std::int32_t blockSize = defaultBlockSize;       // P >= 2
    std::int32_t searchRadius = defaultSearchRadius; // R >= 0
    std::int32_t step = defaultStep;                 // 1..P (the filter reads <= 1 as 1)
    bool pilotPerTile = false; // the pilot is made on each tile too
    // The pilot's reach and step when made per tile: the default covers the
    // one call's default pilot at any sigma, and the basic estimate.
    PilotReach pilot = defaultPilotReach();
};

// Pixels of context a core needs on each side, along either axis.
struct TileContext {
    std::int32_t before = 0;
    std::int32_t after = 0;
};

// Throws std::invalid_argument naming the parameter for P < 2, R < 0 or a
// step outside 1..P.
TileContext tileContext(const TileGeometry& geometry);

// A half-open range [begin, end) of rows or columns of the image.
struct Span {
    std::int32_t begin = 0;
    std::int32_t end = 0;
    std::int32_t size() const { return end - begin; }
};

// The smallest tile span along an axis of `length` pixels that computes the
// core span exactly: its start on the reference grid (or 0), its end the
// core's end plus the context, or the axis's end when that is nearer.
// Throws std::invalid_argument for a length below P (or 8 with the pilot per
// tile) or an empty core or one outside 0..length.
Span tileSpan(const TileGeometry& geometry, std::int32_t length, Span core);

struct Tile {
    Span rows, cols;         // the tile, context included, in image coordinates
    Span coreRows, coreCols; // the part of it the tile computes exactly
};

struct TilePlan {
    std::int32_t rows = 0, cols = 0;
    TileContext context;
    std::vector<Tile> tiles; // cores cover the image once, row of tiles by row of tiles
};

// Cores of `size` along an axis of `length` pixels, the last taking what
// remains. Throws std::invalid_argument for a size below 1.
std::vector<Span> coreSpans(std::int32_t length, std::int32_t size);

// Cores whose tiles overlap their neighbours by one margin on each side, the
// same for every core (what an array's chunks with a uniform overlap need):
// `size` rounded up to a multiple of the step and to at least the context
// (before rounded up to the step, and after), so that a tile reaches into its
// neighbours alone; a last core shorter than that joins the one before.
// Throws as tileContext, and std::invalid_argument for a size below 1.
std::vector<Span> overlapCoreSpans(const TileGeometry& geometry, std::int32_t length,
                                   std::int32_t size);

// The tiles of the given cores, row of tiles by row of tiles. The cores
// along each axis must cover it once, in order. Throws std::invalid_argument
// for bad parameters, an image smaller than one block, or cores that do not
// cover an axis.
TilePlan planTiles(std::int32_t rows, std::int32_t cols, const TileGeometry& geometry,
                   const std::vector<Span>& rowCores, const std::vector<Span>& colCores);

// Cores of coreRows x coreCols pixels (the last row and column of tiles
// takes what remains) with their tiles. A core may start anywhere: its tile
// starts on the grid at or before the context it needs. Throws
// std::invalid_argument for bad parameters, an image smaller than one block,
// or core sizes below 1.
TilePlan planTiles(std::int32_t rows, std::int32_t cols, const TileGeometry& geometry,
                   std::int32_t coreRows, std::int32_t coreCols);

// Throws std::invalid_argument unless `tile` lies in a rows x cols image,
// holds its core, and carries the context the core needs (the same test
// whether or not planTiles made it).
void checkTile(std::int32_t rows, std::int32_t cols, const TileGeometry& geometry, const Tile& tile);

// The Wiener stage on one tile, shared groups over all channels as
// runFilterChannels makes them. params.rows and params.cols are the whole
// image's; each channel's noisy and pilot hold the tile (tile.rows.size() x
// tile.cols.size(), column-major), and its estimate receives the core
// (tile.coreRows.size() x tile.coreCols.size(), column-major). The core's
// pixels are the bits runFilterChannels gives them on the whole image.
// Throws std::invalid_argument for a bad tile or parameters, std::bad_alloc
// when memory runs out, std::runtime_error when the filter fails.
void wienerTile(const FilterParams& params, const Tile& tile, const Channel* channels,
                int channelCount, const double* window, const FilterOptions& options = {});

// The denoise pipeline on one tile planned with pilotPerTile. input.rows,
// input.cols and input.pixels describe the tile (planar, as denoise() takes
// it); input.sigma must be given (or, for poisson-gaussian noise, the noise
// choice with gain, readNoise, offset and extremes; for correlated noise,
// sigma and the shapes; all the whole image's),
// and input.range must be the whole image's, as all would differ from tile
// to tile otherwise. Returns the core, planar,
// with the bits denoise() gives it on the whole image.
// Throws as denoise() does, and std::invalid_argument for a bad tile or a
// missing sigma.
std::vector<double> denoiseTile(std::int32_t imageRows, std::int32_t imageCols, const Tile& tile,
                                const DenoiseInput& input, const DenoiseOptions& options = {});

} // namespace sorvik

#endif
