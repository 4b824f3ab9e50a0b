// Inverse transforms of a filtered group, aggregation into the two image
// accumulators, and the final division.
#ifndef SORVIK_FILTER_AGGREGATION_H
#define SORVIK_FILTER_AGGREGATION_H

#include "filter/reference.h"
#include "filter/workspace.h"

namespace sorvik::detail {

// Undoes the group and block transforms: leaves the k filtered P x P blocks in
// noisyGroup, block j at floats j * P^2 .., row-major. pilotGroup is scratch.
void invertGroup(Workspace& ws, std::int32_t k);

// Adds the k filtered blocks, clipped to [0, 1], into estimate with weight
// window * (1 / wienerSquareSum), and the weights into weightSum.
void aggregateGroup(Workspace& ws, const Reference& ref, std::int32_t k, float wienerSquareSum,
                    const double* window);

// estimate[i] = (1 / weightSum[i]) * estimate[i] over all pixels.
void normalizeEstimate(float* estimate, const float* weightSum, std::size_t pixels);

} // namespace sorvik::detail

#endif
