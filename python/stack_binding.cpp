// Stacks for Python: the package's Python layer (sorvik/_stack.py) checks the
// caller's array and its frame and channel axes and hands over a C-ordered
// float64 array of shape (frames, channels, columns, rows), each frame as
// _denoise_planar takes an image.
#include "python/stack_binding.h"
#include "python/denoise_binding.h"
#include "python/parameters_binding.h"

#include <sorvik/stack.h>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>

namespace py = pybind11;

namespace {

using Planar = py::array_t<double, py::array::c_style>;

py::tuple denoiseStackPlanar(const Planar& planar, const std::string& kind,
                             std::optional<double> sigma,
                             std::optional<std::pair<double, double>> userRange,
                             std::int32_t blockSize, std::int32_t step, std::int32_t maxGroupSize,
                             std::int32_t searchRadius, double matchThreshold,
                             std::optional<Planar> window, int threads,
                             const py::dict& firstStage, int temporalRadius, int predictiveRadius,
                             const std::optional<std::string>& noiseModel, std::optional<double> gain,
                             std::optional<double> readNoise, std::optional<double> offset,
                             std::optional<std::pair<double, double>> extremes)
{
    if (planar.ndim() != 4)
        throw std::invalid_argument("internal: a planar stack has 4 dimensions");
    sorvik::StackInput input;
    input.frames = std::int32_t(planar.shape(0));
    input.channels = int(planar.shape(1));
    input.cols = std::int32_t(planar.shape(2));
    input.rows = std::int32_t(planar.shape(3));
    input.pixels = planar.data();
    input.sigma = sigma;
    applyNoiseKeywords(input, noiseModel, gain, readNoise, offset);
    if (extremes)
        input.extremes = sorvik::DataRange{extremes->first, extremes->second};
    sorvik::DenoiseOptions options;
    options.wiener = settingsOf(0.0, blockSize, step, maxGroupSize, searchRadius, matchThreshold, window);
    options.threads = threads;
    applyFirstStageKeywords(firstStage, sorvik::FrontEnd::python, options);
    sorvik::StackOptions stack;
    stack.temporalRadius = temporalRadius;
    stack.predictiveRadius = predictiveRadius;

    // One range for the whole stack, as one sigma: every frame maps alike.
    const std::int32_t planes = input.frames * input.channels;
    sorvik::StackResult result;
    try {
        if (kind == "uint8")
            input.range = sorvik::uint8Range;
        else if (kind == "uint16")
            input.range = sorvik::uint16Range;
        else {
            sorvik::checkFinite(input.pixels, input.rows, input.cols, planes);
            input.range = userRange ? sorvik::userDataRange(userRange->first, userRange->second)
                                    : sorvik::floatDataRange(input.pixels, input.rows, input.cols,
                                                             planes);
        }
        py::gil_scoped_release release;
        result = sorvik::denoiseStack(input, options, stack);
    } catch (const sorvik::NonFiniteValue& e) {
        const int frame = e.channel / input.channels;
        throw py::value_error("frame " + std::to_string(frame) +
                              " holds a value that is not finite at [" + std::to_string(e.row) +
                              ", " + std::to_string(e.col) + "]");
    } catch (const std::invalid_argument& e) {
        throw py::value_error(e.what());
    }
    Planar out({planar.shape(0), planar.shape(1), planar.shape(2), planar.shape(3)});
    std::memcpy(out.mutable_data(), result.pixels.data(), result.pixels.size() * sizeof(double));
    return py::make_tuple(out, result.sigma);
}

} // namespace

void registerStack(py::module_& m)
{
    using namespace pybind11::literals;
    m.def("_denoise_stack_planar", &denoiseStackPlanar, "planar"_a, "kind"_a, "sigma"_a,
          "data_range"_a, "block_size"_a, "step"_a, "max_group_size"_a, "search_radius"_a,
          "match_threshold"_a, "window"_a, "threads"_a, "first_stage"_a, "temporal_radius"_a,
          "predictive_radius"_a, "noise_model"_a = py::none(), "gain"_a = py::none(),
          "read_noise"_a = py::none(), "offset"_a = py::none(), "extremes"_a = py::none());
}
