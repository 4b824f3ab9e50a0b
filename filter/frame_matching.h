// The engine's side of several frames (frames.h): the neighbouring frames'
// rings, the predictive search in them, and the aggregation of every group
// member into its own frame.
#ifndef SORVIK_FILTER_FRAME_MATCHING_H
#define SORVIK_FILTER_FRAME_MATCHING_H

#include "filter/aggregation.h"
#include "filter/geometry.h"
#include "filter/matching.h"
#include "filter/rings.h"

namespace sorvik::detail {

// The frames beside the one a walk filters. Neighbour f (0 .. count - 1)
// lives in ring frame f + 1 of every channel's rings; its search is centred
// on the best match found in neighbour predecessor[f], or on the reference
// where that is -1. rings[f * channels + c] fills channel c's rings with it,
// and its members of channel c's groups are aggregated into
// accumulators[f * channels + c], whose rows are kept open with the walk's.
struct FrameSources {
    std::int32_t count = 0;
    std::int32_t channels = 1;
    std::int32_t radius = 0;
    const std::int32_t* predecessor = nullptr;
    SpectrumRings* const* rings = nullptr;
    Accumulators* const* accumulators = nullptr;

    void bringRows(std::int32_t first, std::int32_t last) const;
    void computeColumns(std::int32_t row, std::int32_t begin, std::int32_t end,
                        const TransformSet& ts) const;
    void keepRowsOpen(std::int32_t begin, std::int32_t end) const;
    // Adds channel c's filtered group (aggregateGroup) into the frames its
    // members come from: the walk's own into `own`, frame after frame, each
    // frame's members in their order in the group; the rows of `slice` only.
    void aggregate(const Geometry& g, Accumulators& own, std::int32_t c, const Reference& ref,
                   GroupMembers group, const float* weighted, const float* blocks,
                   BandSlice slice) const;
};

// Continues the match lists that matchReferences left (each reference and
// its own frame's matches) with the neighbours' candidates, and gives each
// reference its new group size. Each neighbour is scanned on its own, so its
// best match is known to centre the next one's search; its candidates then
// join the list as if scanned after everything before them.
void matchInFrames(const Geometry& g, const Rings& rings, MatchKernel scanRow,
                   const Reference* refs, std::int32_t count, const MatchSlot* slots,
                   std::int32_t* groupSizes, const FrameSources& frames);

} // namespace sorvik::detail

#endif
