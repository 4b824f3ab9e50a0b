// The walk over reference blocks, for any thread count.
#ifndef SORVIK_FILTER_ENGINE_H
#define SORVIK_FILTER_ENGINE_H

#include "filter/rings.h"
#include "filter/workspace.h"

namespace sorvik::detail {

// Visits every reference block in traversal order (reference rows top to
// bottom, references left to right; see ReferenceGrid), keeping the rings
// R rows ahead of the current row, and reports progress after each
// block-position row.
//
// The work is shared among up to options.threads threads, the calling thread
// included; with one thread the calling thread does all of it through the
// same code. The work is a stream of tasks handed out in order: the spectra
// of the rows a reference row needs, in runs of columns, and the reference
// row's references, in batches, each matched, filtered and inverted by
// whichever thread is free. The groups are added into the accumulators in
// slices of disjoint accumulator rows, each slice batch after batch in
// traversal order, by whichever thread is free; every pixel lies in one
// slice, so every sum is formed in the same order and the output is the same
// bits for any thread count.
//
// No thread waits for a reference row to end: rings made with
// withRowsAhead hold the next reference row's spectra beside the current
// row's search area, so they are computed while the current row is matched;
// a ring slot is overwritten only once every batch that reads its old row
// has been aggregated.
//
// The further threads' transform sets are planned here, on the calling
// thread, before any thread starts; every thread's match lists, the calling
// thread's included, are made here too. When buffers or threads for all of them
// cannot be had, the walk runs with as many as it got. Returns outOfMemory
// only when the calling thread's own share cannot be had.
//
// Further channels may share the walk's groups: their spectra are computed
// with the same rows, every group of the walk's own channel is filtered,
// inverted and aggregated for each of them too, with the same members, and
// their accumulators are opened and closed with the walk's own.
//
// With `frames`, the rings also hold the frames beside the walk's own
// (frame_matching.h): their rows are computed with the walk's, references are
// matched in them too, and every member is aggregated into its own frame's
// accumulators.
struct FrameSources;
struct SharedChannel {
    Workspace* ws;         // set up without matching, on the same geometry but its own sigma
    SpectrumRings* rings;
};
FilterStatus walkReferences(Workspace& ws, SpectrumRings& rings, const double* window,
                            const FilterOptions& options, const SharedChannel* shared = nullptr,
                            std::int32_t sharedCount = 0, const FrameSources* frames = nullptr);

} // namespace sorvik::detail

#endif
