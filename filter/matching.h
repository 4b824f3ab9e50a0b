// Block matching: the closest pilot blocks of a reference's search area.
#ifndef SORVIK_FILTER_MATCHING_H
#define SORVIK_FILTER_MATCHING_H

#include "filter/geometry.h"
#include "filter/match_scan.h"
#include "filter/reference.h"
#include "filter/rings.h"

namespace sorvik::detail {

// The most references matched together: the caller keeps this many match
// lists (MatchSlot) at hand.
constexpr std::int32_t matchBatch = 32;

// References per batch for groups of up to K blocks of P x P pixels in
// `channels` channels: a batch's results (K P^2 floats per reference and
// channel) near 64k floats, between 1 and matchBatch. Larger batches read
// each candidate row's spectra once for more references; at 2048 x 2048,
// where the rings no longer stay in cache, 32 references of the standard
// workload took 4% less time than 16 on two threads.
constexpr std::int32_t batchReferences(std::int64_t K, std::int64_t P, std::int64_t channels)
{
    const std::int64_t fit = 65536 / (channels * K * P * P);
    return fit < 1 ? 1 : fit > matchBatch ? matchBatch : std::int32_t(fit);
}

// Where one reference's match is kept: K distances and K positions (the match
// list) and 2L floats for the reference's pilot spectrum.
struct MatchSlot {
    float* distances;
    std::int32_t* positions;
    float* reference;
};

// Matches `count` references of one block-position row (the same n,
// currentSlot and search rows) at once, and gives each its group size,
// 1 .. K. Member j of a group is positions[K - 1 - j]: member 0 is the
// reference, then the matches by increasing distance, earlier scanned first
// among equal distances.
//
// Each candidate row is swept for every reference before the next row, so
// that its spectra are read from cache rather than memory; each reference
// still scans its own candidates in its own order, so its list and group
// size do not depend on the others in the batch. Candidates are read from
// the pilot ring with `scanRow` (chooseMatchKernel).
void matchReferences(const Geometry& g, const Rings& rings, MatchKernel scanRow,
                     const Reference* refs, std::int32_t count, const MatchSlot* slots,
                     std::int32_t* groupSizes);

} // namespace sorvik::detail

#endif
