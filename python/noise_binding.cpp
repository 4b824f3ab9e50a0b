// The noise estimate of an image held in chunks, for Python (sorvik/dask.py):
// each chunk's grid patches and extremes, then the estimate from all of
// them, the bits sorvik.estimate_sigma gives on the whole image. Chunks come
// planar, as denoise_binding.cpp takes images: C-ordered float64 of shape
// (channels, columns, rows). Patches travel as two arrays, their places
// (channel, row, column) as int32 and their values (noisePatchSize^2 each,
// column by column) as float64, which any worker can pickle.
#include "python/noise_binding.h"
#include "python/denoise_binding.h"
#include "python/noise_power_binding.h"

#include <frontend/parameters.h>
#include <sorvik/denoise.h>
#include <sorvik/noise_chunks.h>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

namespace py = pybind11;

namespace {

using Planar = py::array_t<double, py::array::c_style>;
using Places = py::array_t<std::int32_t, py::array::c_style | py::array::forcecast>;
using Values = py::array_t<double, py::array::c_style | py::array::forcecast>;
// (begin, end), half-open.
using Range = std::array<std::int64_t, 2>;

constexpr py::ssize_t patchValues = sorvik::noisePatchSize * sorvik::noisePatchSize;

std::int32_t int32Of(std::int64_t v, const char* name)
{
    if (v < 0 || v > INT32_MAX)
        throw py::value_error(std::string(name) + " out of range: " + std::to_string(v));
    return std::int32_t(v);
}

sorvik::Span spanOf(const Range& r, const char* name)
{
    return {int32Of(r[0], name), int32Of(r[1], name)};
}

py::tuple chunkPatches(const Planar& planar, std::pair<std::int64_t, std::int64_t> imageShape,
                       const Range& chunkRows, const Range& chunkCols, const Range& ownRows,
                       const Range& ownCols)
{
    if (planar.ndim() != 3)
        throw std::invalid_argument("internal: a planar chunk has 3 dimensions");
    const int channels = int(planar.shape(0));
    const sorvik::Span rows = spanOf(chunkRows, "chunk rows");
    const sorvik::Span cols = spanOf(chunkCols, "chunk columns");
    if (planar.shape(1) != cols.size() || planar.shape(2) != rows.size())
        throw std::invalid_argument("internal: the chunk's shape is not that of its spans");
    const std::int32_t imageRows = int32Of(imageShape.first, "image rows");
    const std::int32_t imageCols = int32Of(imageShape.second, "image columns");
    sorvik::NoisePatches patches;
    try {
        py::gil_scoped_release release;
        patches = sorvik::noiseChunkPatches(planar.data(), imageRows, imageCols, channels, rows,
                                            cols, spanOf(ownRows, "own rows"),
                                            spanOf(ownCols, "own columns"));
    } catch (const sorvik::NonFiniteValue& e) {
        rethrowNonFinite(e, channels);
    } catch (const std::invalid_argument& e) {
        throw py::value_error(e.what());
    }
    const py::ssize_t count = py::ssize_t(patches.patches.size());
    Places places({count, py::ssize_t(3)});
    Values values({count, patchValues});
    auto place = places.mutable_unchecked<2>();
    for (py::ssize_t k = 0; k < count; ++k) {
        const sorvik::NoiseEstimator::Patch& p = patches.patches[std::size_t(k)];
        place(k, 0) = p.channel;
        place(k, 1) = p.row;
        place(k, 2) = p.col;
        std::memcpy(values.mutable_data(k, 0), patches.values.data() + p.values,
                    std::size_t(patchValues) * sizeof(double));
    }
    return py::make_tuple(places, values, patches.low, patches.high);
}

double sigmaFromPatches(std::pair<std::int64_t, std::int64_t> imageShape, int channels,
                        const Places& places, const Values& values, double low, double high)
{
    if (places.ndim() != 2 || places.shape(1) != 3 || values.ndim() != 2 ||
        values.shape(1) != patchValues || values.shape(0) != places.shape(0))
        throw py::value_error("the patches must be places (n, 3) and values (n, " +
                              std::to_string(patchValues) + ")");
    sorvik::NoisePatches patches;
    patches.low = low;
    patches.high = high;
    const py::ssize_t count = places.shape(0);
    const auto place = places.unchecked<2>();
    patches.patches.reserve(std::size_t(count));
    for (py::ssize_t k = 0; k < count; ++k)
        patches.patches.push_back({0.0, place(k, 0), place(k, 1), place(k, 2),
                                   std::size_t(k) * std::size_t(patchValues)});
    patches.values.assign(values.data(), values.data() + count * patchValues);
    const std::int32_t rows = int32Of(imageShape.first, "image rows");
    const std::int32_t cols = int32Of(imageShape.second, "image columns");
    try {
        py::gil_scoped_release release;
        return sorvik::estimateNoiseSigma(rows, cols, channels, patches);
    } catch (const std::invalid_argument& e) {
        throw py::value_error(e.what());
    }
}

// The model and whether anything in it was estimated, as denoise() would
// plan them for the whole image: (kind, sigma, gain, read_noise, offset,
// estimated, the data spectrum's sigma).
py::tuple modelFromPatches(std::pair<std::int64_t, std::int64_t> imageShape, int channels,
                           const Places& places, const Values& values, double low, double high,
                           std::optional<double> sigma, std::optional<std::string> noiseModel,
                           std::optional<double> gain, std::optional<double> readNoise,
                           std::optional<double> offset, bool plan, const py::object& dataSpectra)
{
    // The channels' spectra of the data, where the chunks measured them.
    const std::optional<std::vector<sorvik::NoiseSpectrum>> spectra = spectraOf(dataSpectra);
    const std::vector<sorvik::NoiseSpectrum>* measured = spectra ? &*spectra : nullptr;
    if (places.ndim() != 2 || places.shape(1) != 3 || values.ndim() != 2 ||
        values.shape(1) != patchValues || values.shape(0) != places.shape(0))
        throw py::value_error("the patches must be places (n, 3) and values (n, " +
                              std::to_string(patchValues) + ")");
    sorvik::NoisePatches patches;
    patches.low = low;
    patches.high = high;
    const py::ssize_t count = places.shape(0);
    const auto place = places.unchecked<2>();
    patches.patches.reserve(std::size_t(count));
    for (py::ssize_t k = 0; k < count; ++k)
        patches.patches.push_back({0.0, place(k, 0), place(k, 1), place(k, 2),
                                   std::size_t(k) * std::size_t(patchValues)});
    patches.values.assign(values.data(), values.data() + count * patchValues);
    sorvik::DenoiseInput input;
    input.rows = int32Of(imageShape.first, "image rows");
    input.cols = int32Of(imageShape.second, "image columns");
    input.channels = channels;
    input.sigma = sigma;
    input.noise = noiseChoiceOf(noiseModel);
    input.gain = gain;
    input.readNoise = readNoise;
    input.offset = offset;
    // plan: as denoise() plans it; else estimateNoiseModel's model alone.
    sorvik::PlannedNoise planned;
    try {
        py::gil_scoped_release release;
        if (plan)
            planned = sorvik::planNoiseFromPatches(input, patches, measured);
        else
            planned.model = sorvik::estimateNoiseModel(input.rows, input.cols, channels, patches, measured);
    } catch (const std::invalid_argument& e) {
        throw py::value_error(sorvik::noiseAdvice(e.what(), sorvik::FrontEnd::dask));
    }
    // Then the data spectrum's sigma, over which a sigma given sets the
    // correlated model's level.
    py::tuple model = modelTuple(planned.model);
    return py::make_tuple(model[0], model[1], model[2], model[3], model[4], planned.estimated,
                          planned.model.spectrum.sigma);
}

} // namespace

void registerNoise(py::module_& m)
{
    using namespace pybind11::literals;
    m.def("_noise_chunk_patches", &chunkPatches, "planar"_a, "image_shape"_a, "chunk_rows"_a,
          "chunk_cols"_a, "own_rows"_a, "own_cols"_a);
    m.def("_noise_model_from_patches", &modelFromPatches, "image_shape"_a, "channels"_a, "places"_a,
          "values"_a, "low"_a, "high"_a, "sigma"_a, "noise_model"_a, "gain"_a, "read_noise"_a,
          "offset"_a, "plan"_a, "data_spectra"_a = py::none());
    m.def("_noise_sigma_from_patches", &sigmaFromPatches, "image_shape"_a, "channels"_a, "places"_a,
          "values"_a, "low"_a, "high"_a);
}
