// The opt-in parallel engine (FilterOptions::threads > 1).
#ifndef SORVIK_FILTER_PARALLEL_H
#define SORVIK_FILTER_PARALLEL_H

#include "filter/rings.h"

namespace sorvik::detail {

// The walk of traverseReferences with its work shared among `threads`
// threads: each block-position row's spectra are split by columns, and a
// reference row's references, in batches, are matched, transformed, shrunk
// and inverted by whichever thread is free. The calling thread alone adds
// the groups into the accumulators, batch after batch in traversal order, so
// every sum is formed in the same order as with one thread and the output is
// the same bits for any thread count.
//
// The further threads' transform sets are planned here, on the calling
// thread, before any thread starts. When buffers or threads for all of them
// cannot be had, the engine runs with as many as it got (perhaps none).
void traverseInParallel(Workspace& ws, SpectrumRings& rings, const double* window,
                        const FilterOptions& options, int threads);

} // namespace sorvik::detail

#endif
