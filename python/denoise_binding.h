// The one-call denoiser's bindings (denoise_binding.cpp), registered by the
// module's entry.
#ifndef SORVIK_PYTHON_DENOISE_BINDING_H
#define SORVIK_PYTHON_DENOISE_BINDING_H

#include <sorvik/denoise.h>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>

#include <optional>
#include <string>

// noise_model= as given (None: auto), for the library.
sorvik::NoiseChoice noiseChoiceOf(const std::optional<std::string>& name);
// noise_model=, gain=, read_noise= and offset= into a DenoiseInput or a
// StackInput.
template <class Input>
void applyNoiseKeywords(Input& in, const std::optional<std::string>& noiseModel,
                        std::optional<double> gain, std::optional<double> readNoise,
                        std::optional<double> offset)
{
    in.noise = noiseChoiceOf(noiseModel);
    in.gain = gain;
    in.readNoise = readNoise;
    in.offset = offset;
}

// The Wiener stage's keywords as the library's settings.
sorvik::WienerSettings settingsOf(double sigma, std::int32_t blockSize, std::int32_t step,
                                  std::int32_t maxGroupSize, std::int32_t searchRadius,
                                  double matchThreshold,
                                  const std::optional<pybind11::array_t<double, pybind11::array::c_style>>& window);

// A model as Python sees it: (kind, sigma, gain, read_noise, offset).
pybind11::tuple modelTuple(const sorvik::NoiseModel& model);

void registerDenoise(pybind11::module_& m);

// ValueError naming the place of a value that is not finite, as numpy
// indexes it (from 0, the channel where there are several): every binding
// that reads an image says it in these words.
[[noreturn]] void rethrowNonFinite(const sorvik::NonFiniteValue& e, int channels);

#endif
