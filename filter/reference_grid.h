// The walk over block-position rows and reference blocks.
#ifndef SORVIK_FILTER_TRAVERSAL_H
#define SORVIK_FILTER_TRAVERSAL_H

#include "filter/rings.h"

namespace sorvik::detail {

// Visits every reference block in row-major order (grid of spacing step, last
// row and column always included), keeping the rings R rows ahead. The
// references of a row are matched in batches (matching only reads the
// rings, which no reference changes); then each group of the batch is
// filtered and aggregated to completion, in traversal order.
void traverseReferences(Workspace& ws, SpectrumRings& rings, const double* window,
                        const FilterOptions& options);

// Reference rows (or columns) of a grid of `count` positions: every `step`-th
// from 0, plus the last. Shared by the traversal and by callers that want to
// know how much work a call is.
bool isReferencePosition(std::int32_t& stepCounter, std::int32_t position, std::int32_t last,
                         std::int32_t step);

} // namespace sorvik::detail

#endif
