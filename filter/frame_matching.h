// The engine's side of several frames (frames.h): the neighbouring frames'
// rings, the predictive search in them, and which members go back into the
// frame filtered.
#ifndef SORVIK_FILTER_FRAME_MATCHING_H
#define SORVIK_FILTER_FRAME_MATCHING_H

#include "filter/geometry.h"
#include "filter/matching.h"
#include "filter/rings.h"

namespace sorvik::detail {

// The frames beside the one a walk filters. Neighbour f (0 .. count - 1)
// lives in ring frame f + 1 of every channel's rings; its search is centred
// on the best match found in neighbour predecessor[f], or on the reference
// where that is -1. rings[f * channels + c] fills channel c's rings with it.
struct FrameSources {
    std::int32_t count = 0;
    std::int32_t channels = 1;
    std::int32_t radius = 0;
    const std::int32_t* predecessor = nullptr;
    SpectrumRings* const* rings = nullptr;

    void bringRows(std::int32_t first, std::int32_t last) const;
    void computeColumns(std::int32_t row, std::int32_t begin, std::int32_t end,
                        const TransformSet& ts) const;
};

// Continues the match lists that matchReferences left (each reference and
// its own frame's matches) with the neighbours' candidates, and gives each
// reference its new group size. Each neighbour is scanned on its own, so its
// best match is known to centre the next one's search; its candidates then
// join the list as if scanned after everything before them.
void matchInFrames(const Geometry& g, const Rings& rings, MatchKernel scanRow,
                   const Reference* refs, std::int32_t count, const MatchSlot* slots,
                   std::int32_t* groupSizes, const FrameSources& frames);

// Whether a member's ring index lies in the frame the walk filters.
inline bool inOwnFrame(const Geometry& g, std::int32_t position)
{
    return position < g.ringSlots * g.blockCols;
}

// Keeps the members of the frame filtered, in their order: positions (a
// match list of K entries, member j at K - 1 - j) and, for each of the
// `channels` block arrays (member j's P^2 pixels at j P^2), their blocks.
// Returns how many remain (the reference always does).
std::int32_t keepOwnFrame(const Geometry& g, std::int32_t* positions, std::int32_t k,
                          float* const* blocks, std::int32_t channels);

} // namespace sorvik::detail

#endif
