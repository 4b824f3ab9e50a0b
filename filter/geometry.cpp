#include "filter/geometry.h"

#include "filter/match_scan.h"

#include <algorithm>
#include <cstddef>
#include <limits>

namespace sorvik::detail {

Geometry makeGeometry(const FilterParams& params)
{
    Geometry g;
    g.M = params.rows;
    g.N = params.cols;
    g.P = params.blockSize;
    // In 64 bits, saturated: every grid that checkParams accepts has P^2 <= M * N
    // and so an exact L, and without a grid L is never used.
    g.L = static_cast<std::int32_t>(
        std::min<std::int64_t>(std::int64_t{g.P} * (g.P / 2 + 1), std::numeric_limits<std::int32_t>::max()));
    g.blockRows = g.M - g.P + 1;
    g.blockCols = g.N - g.P + 1;
    g.step = params.step;
    g.sigma = params.sigma;

    // Once the radius reaches across the whole block grid, every search area is
    // the whole grid; a larger radius only widens the rings. Without a grid the
    // radius is never used, and 2R + 1 must not overflow on a long thin image.
    const bool noGrid = g.blockRows <= 0 || g.blockCols <= 0;
    const std::int32_t gridExtent = noGrid ? 0 : std::max(g.blockRows, g.blockCols);
    g.R = std::min(params.searchRadius, gridExtent);
    g.slots = 2 * g.R + 1;
    g.ringSlots = g.slots;

    // A group never holds more than the reference plus every other block of its
    // search area, so a larger capacity would never be filled.
    std::int64_t reachable = std::int64_t{g.slots} * g.slots;
    if (g.blockRows > 0 && g.blockCols > 0)
        reachable = std::min(reachable, std::int64_t{g.blockRows} * g.blockCols);
    else
        reachable = 1;
    g.K = static_cast<std::int32_t>(std::min<std::int64_t>(params.maxGroupSize, reachable));

    // Empty match-list entries carry emptyDistance; a threshold above it would
    // count them as matches. NaN stays NaN (it admits nothing).
    g.matchThreshold = params.matchThreshold > emptyDistance ? emptyDistance : params.matchThreshold;
    return g;
}

Geometry withRowsAhead(Geometry g, int threads)
{
    if (threads <= 1 || g.blockRows <= 0 || g.blockCols <= 0)
        return g;
    // The parameter check bounded the rings of 2R + 1 rows; rings that would
    // not fit the address space with the further rows stay as they are.
    const std::int32_t ringSlots = g.slots + std::clamp(g.step, std::int32_t{1}, maxRowsAhead);
    const std::uint64_t paddedCols =
        (std::uint64_t(g.blockCols) + pilotTile - 1) / pilotTile * pilotTile;
    const std::uint64_t ringBytes = std::uint64_t(ringSlots) * paddedCols * std::uint64_t(g.L) * 8;
    if (ringBytes <= std::uint64_t(std::numeric_limits<std::ptrdiff_t>::max()))
        g.ringSlots = ringSlots;
    return g;
}

} // namespace sorvik::detail
