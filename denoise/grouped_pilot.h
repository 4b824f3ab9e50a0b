// The one call's first stage: the pilot of every channel.
#ifndef SORVIK_DENOISE_GROUPED_PILOT_H
#define SORVIK_DENOISE_GROUPED_PILOT_H

#include <sorvik/denoise.h>

#include <cstdint>

namespace sorvik::detail {

// The grouped estimate of `channels` planes of rows x cols unit values
// (channel 0 the luminance, whose groups all channels share), channel c's
// sigma sigmas[c], into `pilot` (the same layout, floats). Without settings
// in the options, the defaults follow unitSigma, the noise on the data's
// own 0..1 scale: the opponent channels scale signal and noise alike, so the
// signal-to-noise ratio that picks them is the data's. Throws
// std::invalid_argument for bad settings, std::bad_alloc or
// std::runtime_error when the stage fails, and what the progress callback
// threw, once the stage is over.
// noiseShapes: null for white noise, else channel c's Channel::noiseShape
// (cosine basis) at noiseShapes[c].
void groupedPilot(std::int32_t rows, std::int32_t cols, int channels, const double* unit,
                  const double* sigmas, double unitSigma, const DenoiseOptions& options,
                  float* pilot, const float* const* noiseShapes = nullptr);

} // namespace sorvik::detail

#endif
