// Everything one filter call allocates, in parts owned by the stages that
// use them.
#ifndef SORVIK_FILTER_WORKSPACE_H
#define SORVIK_FILTER_WORKSPACE_H

#include "filter/aggregation.h"
#include "filter/buffers.h"
#include "filter/geometry.h"
#include "filter/rings.h"
#include "filter/transforms.h"

namespace sorvik::detail {

struct CallProfile;

// One channel's parts: its accumulators (aggregation.h), its image band and
// rings (rings.h), and the calling thread's transform set (transforms.h).
// Each stage is handed the parts it uses; the walk (engine.h) owns the
// per-thread state, the match lists among it.
//
// Members are released in the reverse of their order here: the transform
// set first (its plans before its buffers), then the rings and the image
// band, and the accumulators last, their block after everything else.
struct Workspace {
    Geometry g;
    CallProfile* profile = nullptr;       // filled when the benchmark asks for it

    Accumulators accumulators;
    ImageBand band;
    Rings rings;
    TransformSet transforms;              // the calling thread's

    Workspace() = default;
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;

    // Allocates every part, clears the estimate and the weight sums, and
    // makes every plan. On failure, whatever was made is released with the
    // workspace. A channel that shares another's groups (matches = false)
    // neither matches nor transforms with a set of its own: it gets its
    // rings, band and accumulators, but no transform set.
    FilterStatus setUp(const Geometry& geometry, float* estimateOut, bool matches = true);
};

} // namespace sorvik::detail

#endif
