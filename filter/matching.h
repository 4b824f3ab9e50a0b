// Block matching: the closest pilot blocks of a reference's search area.
#ifndef SORVIK_FILTER_MATCHING_H
#define SORVIK_FILTER_MATCHING_H

#include "filter/reference.h"
#include "filter/workspace.h"

namespace sorvik::detail {

// Fills the match list (matchDistances, matchPositions) for one reference and
// returns groupSize, 1 .. K. Member j of the group is matchPositions[K - 1 - j]:
// member 0 is the reference, then the matches by increasing distance, earlier
// scanned first among equal distances.
std::int32_t matchBlocks(Workspace& ws, const Reference& ref);

// Where one reference's match is kept: K distances and K positions (the match
// list) and 2L floats for the reference's pilot spectrum.
struct MatchSlot {
    float* distances;
    std::int32_t* positions;
    float* reference;
};

// Matches `count` references of one block-position row (the same n,
// currentSlot and search rows) at once. Each candidate row is swept for every
// reference before the next row, so that its spectra are read from cache
// rather than memory; each reference still scans its own candidates in its
// own order, and its list and group size come out as matchBlocks makes them.
void matchReferences(const Workspace& ws, const Reference* refs, std::int32_t count,
                     const MatchSlot* slots, std::int32_t* groupSizes);

// Squared distance between two pilot spectra, DC left out, summed in three
// stages with a rejection check after the first two. Returns false when the
// candidate is rejected by a stage check; d then holds the partial sum.
bool stagedDistance(const Complex* a, const Complex* b, std::int32_t L, float admissionLimit,
                    float& d);

} // namespace sorvik::detail

#endif
