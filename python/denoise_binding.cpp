// The one-call denoiser for Python, on planar arrays. The package's Python
// layer (sorvik/_denoise.py) checks the caller's array, its dtype and its
// channel axis, and hands over a C-ordered float64 array of shape
// (channels, columns, rows): each channel column-major, as the library and
// the MEX function hold images, so that the same image gives the same bits in
// every front end.
#include "python/denoise_binding.h"
#include "python/parameters_binding.h"

#include <frontend/parameters.h>
#include <sorvik/denoise.h>

#include <pybind11/functional.h>
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>

namespace py = pybind11;

namespace {

using Planar = py::array_t<double, py::array::c_style>;

struct PlanarImage {
    std::int32_t rows = 0, cols = 0;
    int channels = 0;
    const double* data = nullptr;
};

PlanarImage planarImage(const Planar& planar)
{
    if (planar.ndim() != 3)
        throw std::invalid_argument("internal: a planar image has 3 dimensions");
    PlanarImage image;
    image.channels = int(planar.shape(0));
    image.cols = std::int32_t(planar.shape(1));
    image.rows = std::int32_t(planar.shape(2));
    image.data = planar.data();
    return image;
}

// The range of the data's units: the dtype's for integers; for floats the
// user's, or [0, 1], or the data's own minimum and maximum.
sorvik::DataRange dataRange(const std::string& kind, const PlanarImage& image,
                            const std::optional<std::pair<double, double>>& userRange)
{
    if (kind == "uint8")
        return sorvik::uint8Range;
    if (kind == "uint16")
        return sorvik::uint16Range;
    sorvik::checkFinite(image.data, image.rows, image.cols, image.channels);
    if (userRange)
        return sorvik::userDataRange(userRange->first, userRange->second);
    return sorvik::floatDataRange(image.data, image.rows, image.cols, image.channels);
}

} // namespace

sorvik::NoiseChoice noiseChoiceOf(const std::optional<std::string>& name)
{
    if (!name || *name == "auto")
        return sorvik::NoiseChoice::automatic;
    if (*name == "gaussian")
        return sorvik::NoiseChoice::gaussian;
    if (*name == "poisson-gaussian")
        return sorvik::NoiseChoice::poissonGaussian;
    if (*name == "correlated")
        return sorvik::NoiseChoice::correlated;
    throw py::value_error("noise_model must be one of auto, gaussian, correlated, poisson-gaussian, not '" +
                          *name + "'");
}

py::tuple modelTuple(const sorvik::NoiseModel& m)
{
    return py::make_tuple(sorvik::noiseKindName(m.kind), m.sigma, m.gain, m.readNoise, m.offset);
}

sorvik::WienerSettings settingsOf(double sigma, std::int32_t blockSize, std::int32_t step,
                                  std::int32_t maxGroupSize, std::int32_t searchRadius,
                                  double matchThreshold,
                                  const std::optional<py::array_t<double, py::array::c_style>>& window)
{
    sorvik::WienerSettings s;
    s.sigma = sigma;
    s.blockSize = blockSize;
    s.step = step;
    s.maxGroupSize = maxGroupSize;
    s.searchRadius = searchRadius;
    s.matchThreshold = matchThreshold;
    if (window)
        s.window.assign(window->data(), window->data() + window->size());
    return s;
}

namespace {

py::tuple denoisePlanar(const Planar& planar, const std::string& kind, std::optional<double> sigma,
                        std::optional<std::string> noiseModel, std::optional<double> gain,
                        std::optional<double> readNoise, std::optional<double> offset,
                        std::optional<std::pair<double, double>> userRange, std::int32_t blockSize,
                        std::int32_t step, std::int32_t maxGroupSize, std::int32_t searchRadius,
                        double matchThreshold, std::optional<py::array_t<double, py::array::c_style>> window,
                        int threads, std::optional<py::function> progress, const py::dict& firstStage)
{
    const PlanarImage image = planarImage(planar);
    sorvik::DenoiseInput input;
    input.rows = image.rows;
    input.cols = image.cols;
    input.channels = image.channels;
    input.pixels = image.data;
    input.sigma = sigma;
    applyNoiseKeywords(input, noiseModel, gain, readNoise, offset);
    sorvik::DenoiseOptions options;
    options.wiener = settingsOf(0.0, blockSize, step, maxGroupSize, searchRadius, matchThreshold, window);
    options.threads = threads;
    applyFirstStageKeywords(firstStage, sorvik::FrontEnd::python, options);

    // Progress and Ctrl-C: the hook runs on this thread, between rows. An
    // interrupt stops the basic estimate at once (it may throw from its
    // hook); the Wiener stage runs to its end and the interrupt is raised
    // after it.
    struct Interrupted {};
    bool interrupted = false;
    std::optional<py::error_already_set> callbackError;
    const int stages = image.channels + 1;
    options.progress = [&](sorvik::DenoiseStage stage, int channel, std::int32_t done, std::int32_t total) {
        if (interrupted || callbackError)
            return;
        py::gil_scoped_acquire gil;
        if (PyErr_CheckSignals() != 0) {
            interrupted = true;
            PyErr_Clear();
            if (stage != sorvik::DenoiseStage::wiener)
                throw Interrupted{};
            return;
        }
        if (progress) {
            // The grouped pilot takes every channel at once: it spans the
            // share the basic estimate gives the channels one by one.
            const double part = total > 0 ? double(done) / total : 1.0;
            const double fraction =
                stage == sorvik::DenoiseStage::groupedEstimate ? image.channels * part / stages
                : stage == sorvik::DenoiseStage::basicEstimate ? (channel + part) / stages
                                                                : (image.channels + part) / stages;
            try {
                (*progress)(fraction);
            } catch (py::error_already_set& e) {
                callbackError = std::move(e);
                if (stage != sorvik::DenoiseStage::wiener)
                    throw Interrupted{};
            }
        }
    };

    sorvik::DenoiseResult result;
    try {
        input.range = dataRange(kind, image, userRange);
        py::gil_scoped_release release;
        result = sorvik::denoise(input, options);
    } catch (const Interrupted&) {
    } catch (const sorvik::NonFiniteValue& e) {
        rethrowNonFinite(e, image.channels);
    } catch (const std::invalid_argument& e) {
        throw py::value_error(sorvik::noiseAdvice(e.what(), sorvik::FrontEnd::python));
    }
    if (callbackError)
        throw std::move(*callbackError);
    if (interrupted) {
        PyErr_SetNone(PyExc_KeyboardInterrupt);
        throw py::error_already_set();
    }

    Planar out({py::ssize_t(image.channels), py::ssize_t(image.cols), py::ssize_t(image.rows)});
    std::memcpy(out.mutable_data(), result.pixels.data(), result.pixels.size() * sizeof(double));
    return py::make_tuple(out, result.sigma, modelTuple(result.noise));
}

double estimateSigmaPlanar(const Planar& planar)
{
    const PlanarImage image = planarImage(planar);
    try {
        sorvik::checkFinite(image.data, image.rows, image.cols, image.channels);
        py::gil_scoped_release release;
        return sorvik::estimateNoiseSigma(image.data, image.rows, image.cols, image.channels);
    } catch (const sorvik::NonFiniteValue& e) {
        rethrowNonFinite(e, image.channels);
    } catch (const std::invalid_argument& e) {
        throw py::value_error(e.what());
    }
}

py::tuple estimateNoisePlanar(const Planar& planar)
{
    const PlanarImage image = planarImage(planar);
    sorvik::NoiseModel model;
    try {
        sorvik::checkFinite(image.data, image.rows, image.cols, image.channels);
        py::gil_scoped_release release;
        model = sorvik::estimateNoiseModel(image.data, image.rows, image.cols, image.channels);
    } catch (const sorvik::NonFiniteValue& e) {
        rethrowNonFinite(e, image.channels);
    } catch (const std::invalid_argument& e) {
        throw py::value_error(e.what());
    }
    return modelTuple(model);
}

} // namespace

void rethrowNonFinite(const sorvik::NonFiniteValue& e, int channels)
{
    std::string where = "[" + std::to_string(e.row) + ", " + std::to_string(e.col);
    if (channels > 1)
        where += ", channel " + std::to_string(e.channel);
    throw py::value_error("the image holds a value that is not finite at " + where + "]");
}

void registerDenoise(py::module_& m)
{
    using namespace pybind11::literals;
    m.def("_denoise_planar", &denoisePlanar, "planar"_a, "kind"_a, "sigma"_a, "noise_model"_a, "gain"_a,
          "read_noise"_a, "offset"_a, "data_range"_a,
          "block_size"_a, "step"_a, "max_group_size"_a, "search_radius"_a, "match_threshold"_a,
          "window"_a, "threads"_a, "progress"_a, "first_stage"_a);
    m.def("_estimate_sigma_planar", &estimateSigmaPlanar, "planar"_a);
    m.def("_estimate_noise_planar", &estimateNoisePlanar, "planar"_a);
}
