// Group transform along the stack and empirical Wiener shrinkage.
#ifndef SORVIK_FILTER_GROUP_H
#define SORVIK_FILTER_GROUP_H

#include "filter/geometry.h"
#include "filter/rings.h"
#include "filter/transforms.h"

namespace sorvik::detail {

// The members of a group: member j is the block at positions[K - 1 - j].
struct GroupMembers {
    const std::int32_t* positions; // the K entries of a match list
    std::int32_t k;                // groupSize
};

// Filters a group's spectra column by column: the k members' coefficient t
// is gathered from both rings, transformed along the group by the unitary
// DFT of length k (none for k = 1), every noisy value multiplied by
// w = e / (e + sigma^2), e the pilot energy of the same transformed
// coefficient (sigma from g), and transformed back. Where the set has a
// batched plan for k, all L columns are staged side by side and go through
// each step together; otherwise one column goes through all three before
// the next. The sum of w^2 runs over the columns in order of t and, within
// one, over the members in order. Leaves the members' shrunk spectra
// member-major in filteredGroup (member j at j * L) and returns the sum of w^2.
float filterGroupSpectra(const Geometry& g, const Rings& rings, const TransformSet& ts,
                         GroupMembers members);

// The thresholding stage's group (Geometry::thresholds): the members'
// cosine spectra (rings.cpp) go through the orthonormal Haar transform along
// the group, whose length must be a power of two (haarGroupSize); every
// value whose magnitude is below g.threshold is set to zero, except the
// group's DC (the first value), which is kept whatever its size; the rest
// goes back through both transforms into `blocks` (member j's P x P pixels,
// row-major, at j P^2). Returns the number of values kept, the DC among
// them: at least 1.
float thresholdGroup(const Geometry& g, const Rings& rings, const TransformSet& ts,
                     GroupMembers members, float* blocks);
// The largest power of two that is at most `matched` (>= 1).
std::int32_t haarGroupSize(std::int32_t matched);

// Asks the processor to fetch the members' noisy spectra, which matching did
// not touch, ahead of filterGroupSpectra; changes nothing else.
void prefetchGroup(const Geometry& g, const Rings& rings, GroupMembers members);

} // namespace sorvik::detail

#endif
