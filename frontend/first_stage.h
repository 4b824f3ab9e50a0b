// The first stage a request asks for, as the library takes it: every front
// end that calls the one-call denoiser passes it on the same way.
#ifndef SORVIK_FRONTEND_FIRST_STAGE_H
#define SORVIK_FRONTEND_FIRST_STAGE_H

#include "frontend/parameters.h"

#include <sorvik/denoise.h>

namespace sorvik {

// Only after validate: the values are within their bounds.
inline void applyFirstStage(const Request& r, DenoiseOptions& options)
{
    options.pilot = r.firstStage && *r.firstStage == "dct" ? PilotKind::dct : PilotKind::grouped;
    const auto whole = [](const std::optional<std::int64_t>& v) {
        return v ? std::optional<std::int32_t>(std::int32_t(*v)) : std::nullopt;
    };
    options.choice.blockSize = whole(r.firstBlockSize);
    options.choice.step = whole(r.firstStep);
    options.choice.maxGroupSize = whole(r.firstMaxGroupSize);
    options.choice.searchRadius = whole(r.firstSearchRadius);
    options.choice.lambda = r.firstLambda;
    options.choice.matchThreshold = r.firstMatchThreshold;
}

} // namespace sorvik

#endif
