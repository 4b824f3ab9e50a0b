// The table's noise rows (noise model, gain, read noise, offset) into the
// denoiser's input: a DenoiseInput, a StreamInput or a StackInput. Only the
// front ends that call the denoiser include it.
#ifndef SORVIK_FRONTEND_NOISE_CHOICE_H
#define SORVIK_FRONTEND_NOISE_CHOICE_H

#include "frontend/parameters.h"

#include <sorvik/denoise.h>

#include <optional>
#include <string>

namespace sorvik {

inline NoiseChoice noiseChoiceOf(const Request& r)
{
    return r.noise == std::optional<std::string>("gaussian")           ? NoiseChoice::gaussian
           : r.noise == std::optional<std::string>("poisson-gaussian") ? NoiseChoice::poissonGaussian
           : r.noise == std::optional<std::string>("correlated")       ? NoiseChoice::correlated
                                                                       : NoiseChoice::automatic;
}

template <class Input>
void applyNoise(const Request& r, Input& in)
{
    in.noise = noiseChoiceOf(r);
    in.gain = r.gain;
    in.readNoise = r.readNoise;
    in.offset = r.offset;
}

} // namespace sorvik

#endif
