// Inverse transforms of a filtered group, aggregation into the two image
// accumulators, and the final division.
#ifndef SORVIK_FILTER_AGGREGATION_H
#define SORVIK_FILTER_AGGREGATION_H

#include "filter/buffers.h"
#include "filter/geometry.h"
#include "filter/group.h"
#include "filter/reference.h"
#include "filter/transforms.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace sorvik::detail {

// The sums that every group adds into: the numerator (the caller's output
// until the final division) and the weight sums over the whole image, and
// the band of their rows that groups can still reach.
//
// Members are released in the reverse of their order here: the band first,
// the block last.
struct Accumulators {
    FftwBuffer<float> accumulatorBlock;   // weightSum
    float* estimate = nullptr;            // caller's output: the numerator until the final division
    float* weightSum = nullptr;           // M * N

    // The accumulators of the image rows that groups can still reach, row by
    // row: the numerator rows, then the weight rows, each accumulatorRows
    // rows of rowStride floats (N used); image row y in row y mod
    // accumulatorRows. Rows [closedRows, openRows) are live.
    //
    // Rows leave the band closeBatch at a time, so that their transposed
    // copy into the column-major image writes whole cache lines rather than
    // one float a line; the band holds the rows waiting for a batch too.
    // The stride is an odd number of cache lines: with N a power of two, the
    // P rows a block adds into would otherwise share one cache set.
    FftwBuffer<float> accumulatorBand;
    std::int32_t accumulatorRows = 0;
    std::size_t rowStride = 0;
    static constexpr std::int32_t closeBatch = 16;
    static std::int64_t rowsFor(const Geometry& g)
    {
        return std::min<std::int64_t>(g.M, 2 * std::int64_t{g.R} + g.P + closeBatch - 1);
    }
    static std::size_t strideFor(std::int32_t N)
    {
        const std::size_t lines = (std::size_t(N) + 15) / 16;
        return (lines | 1) * 16;
    }
    std::int32_t openRows = 0;
    std::int32_t closedRows = 0;

    // Allocates the block, clears estimate and weightSum, then allocates the band.
    FilterStatus allocate(const Geometry& g, float* estimateOut);
};

// Undoes the block transform of a filtered group: the 2-D inverse of the k
// member-major spectra in filteredGroup (group.h), scaled by 1/P, into blocks
// (block j at j * P^2, row-major).
void invertBlocks(const Geometry& g, const TransformSet& ts, std::int32_t k, float* blocks);

// The band rows that one aggregation task adds into: band row b when
// owner[b] == slice, every row when owner is null. Tasks of different slices
// write disjoint memory, so they may run at once; a pixel stays in one slice
// while it is in the band, so its sums keep their order. Owners come in runs:
// run[b] rows from b on (not past the band's last row) have b's owner.
struct BandSlice {
    const std::uint8_t* owner = nullptr; // accumulatorRows entries
    const std::uint8_t* run = nullptr;
    std::int32_t slice = 0;
};

// A group's weights: window * (1 / wienerSquareSum), P * P floats.
void weightWindow(std::int32_t P, float wienerSquareSum, const double* window, float* weighted);

// Adds the filtered blocks of the group's members in `frame` (ring positions
// frame * ringSlots * blockCols on; the walk's own frame is 0), clipped to
// [0, 1], into the numerator with the weights of weightWindow, and the
// weights into the weight sums; only the rows of `slice`.
//
// The walk adds into the accumulator band, whose rows are contiguous in the
// block's own row order; image rows enter the band (as zeros, like the whole
// image) before the first group reaches them and leave it, copied into
// estimate and weightSum, once no later group can. Every pixel receives its
// additions in the order it would straight in the whole image.
void aggregateGroup(const Geometry& g, Accumulators& acc, const Reference& ref,
                    GroupMembers members, const float* weighted, const float* blocks,
                    std::int32_t frame = 0, BandSlice slice = {});
// Opens image rows up to `end` (exclusive) in the band, then closes those
// before `begin` into estimate and weightSum; before reference row n the
// walk keeps rows n - R .. n + R + P - 1 open.
void keepRowsOpen(const Geometry& g, Accumulators& acc, std::int32_t begin, std::int32_t end);

// estimate[i] = (1 / weightSum[i]) * estimate[i] over all pixels.
void normalizeEstimate(float* estimate, const float* weightSum, std::size_t pixels);

} // namespace sorvik::detail

#endif
