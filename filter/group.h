// Group transform along the stack and empirical Wiener shrinkage.
#ifndef SORVIK_FILTER_GROUP_H
#define SORVIK_FILTER_GROUP_H

#include "filter/workspace.h"

namespace sorvik::detail {

// The members of a group: member j is the block at positions[K - 1 - j].
struct GroupMembers {
    const std::int32_t* positions; // the K entries of a match list
    std::int32_t k;                // groupSize
};

// Gathers the k members' spectra from both rings into noisyGroup and
// pilotGroup, coefficient-major (entry (t, j) at t * k + j), transformed along
// the group by the unitary DFT of length k (none for k = 1).
void transformGroup(const Workspace& ws, const TransformSet& ts, GroupMembers members);
void transformGroup(Workspace& ws, std::int32_t k); // the workspace's own set and list

// Multiplies every noisy coefficient by w = e / (e + sigma^2), e the pilot
// energy of the same coefficient, and returns the sum of w^2.
float shrinkGroup(Complex* noisyGroup, const Complex* pilotGroup, std::int32_t k, std::int32_t L,
                  float sigma);

// transformGroup, shrinkGroup and the inverse transform along the group
// (aggregation.h), one coefficient column at a time: each column is gathered,
// transformed, shrunk and transformed back before the next, so the
// coefficient-major arrays are never stored. Every value and the running sum
// of w^2 are computed as by the three stages in turn, in the same order.
// Leaves the members' shrunk spectra member-major in pilotGroup (member j at
// j * L) and returns the sum of w^2.
float filterGroupSpectra(const Workspace& ws, const TransformSet& ts, GroupMembers members);

// Asks the processor to fetch the members' noisy spectra, which matching did
// not touch, ahead of filterGroupSpectra; changes nothing else.
void prefetchGroup(const Workspace& ws, GroupMembers members);

} // namespace sorvik::detail

#endif
