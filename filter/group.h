// Group transform along the stack and empirical Wiener shrinkage.
#ifndef SORVIK_FILTER_GROUP_H
#define SORVIK_FILTER_GROUP_H

#include "filter/workspace.h"

namespace sorvik::detail {

// Gathers the k members' spectra from both rings into noisyGroup and
// pilotGroup, coefficient-major (entry (t, j) at t * k + j), transformed along
// the group by the unitary DFT of length k (none for k = 1).
void transformGroup(Workspace& ws, std::int32_t k);

// Multiplies every noisy coefficient by w = e / (e + sigma^2), e the pilot
// energy of the same coefficient, and returns the sum of w^2.
float shrinkGroup(Complex* noisyGroup, const Complex* pilotGroup, std::int32_t k, std::int32_t L,
                  float sigma);

} // namespace sorvik::detail

#endif
