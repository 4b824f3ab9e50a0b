// Exact tiles for Python (sorvik/dask.py): the context a tile needs, the
// library's plan of cores and tiles along an axis, and the Wiener stage and
// the denoise pipeline run on one tile. Tiles arrive as the
// pieces of an array the in-memory calls would have taken whole, in the same
// layouts (2-D [row, column] for the filter; planar (channels, columns, rows)
// float64 for the pipeline, as denoise_binding.cpp takes it), so that the
// core's bits are those of the in-memory call. Errors name image positions,
// not tile positions: a chunk holding NaN fails with the in-memory message.
#include "python/tiling_binding.h"
#include "python/denoise_binding.h"
#include "python/parameters_binding.h"

#include <frontend/settings.h>
#include <sorvik/denoise.h>
#include <sorvik/tiling.h>
#include <pilot/basic_estimate.h>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace {

// (row begin, row end, column begin, column end), half-open.
using Box = std::array<std::int64_t, 4>;

std::int32_t int32Of(std::int64_t v, const char* name)
{
    if (v < 0 || v > INT32_MAX)
        throw py::value_error(std::string(name) + " out of range: " + std::to_string(v));
    return std::int32_t(v);
}

sorvik::Tile tileOf(const Box& tile, const Box& core)
{
    sorvik::Tile t;
    t.rows = {int32Of(tile[0], "tile"), int32Of(tile[1], "tile")};
    t.cols = {int32Of(tile[2], "tile"), int32Of(tile[3], "tile")};
    t.coreRows = {int32Of(core[0], "core"), int32Of(core[1], "core")};
    t.coreCols = {int32Of(core[2], "core"), int32Of(core[3], "core")};
    return t;
}

template <typename T>
using Fortran = py::array_t<T, py::array::f_style | py::array::forcecast>;

// Column-major copy of a 2-D tile of the filter's element type; the first
// value that is not finite is named at its place in the image.
template <typename T>
Fortran<T> tileArray(const py::array& array, const char* name, const sorvik::Tile& tile)
{
    if (array.ndim() != 2 || array.shape(0) != tile.rows.size() || array.shape(1) != tile.cols.size())
        throw py::value_error(std::string(name) + " does not have the tile's shape (" +
                              std::to_string(tile.rows.size()) + ", " +
                              std::to_string(tile.cols.size()) + ")");
    if (array.dtype().kind() != 'f')
        throw py::type_error(std::string(name) +
                             " must be a floating-point array on the 0..1 scale, not dtype " +
                             std::string(py::str(array.dtype())));
    Fortran<T> out = Fortran<T>::ensure(array);
    if (!out)
        throw py::error_already_set();
    const std::size_t M = std::size_t(tile.rows.size());
    const std::int64_t bad = sorvik::firstNonFinite(out.data(), M * std::size_t(tile.cols.size()));
    if (bad >= 0)
        throw py::value_error(std::string(name) + "[" +
                              std::to_string(tile.rows.begin + std::size_t(bad) % M) + ", " +
                              std::to_string(tile.cols.begin + std::size_t(bad) / M) +
                              "] is not a finite number");
    return out;
}

// The tiles' geometry; with the pilot made per tile, its reach is the first
// stage's these keywords choose, at any sigma.
sorvik::TileGeometry geometryOf(std::int32_t blockSize, std::int32_t step, std::int32_t searchRadius,
                                bool pilotPerTile, const py::dict& firstStage)
{
    sorvik::DenoiseOptions options;
    applyFirstStageKeywords(firstStage, sorvik::FrontEnd::dask, options);
    sorvik::TileGeometry g{blockSize, searchRadius, step, pilotPerTile};
    g.pilot = sorvik::pilotReach(options);
    return g;
}

template <typename F>
auto valueErrors(F&& f) -> decltype(f())
{
    try {
        return f();
    } catch (const std::invalid_argument& e) {
        throw py::value_error(e.what());
    }
}

// The context on each side, after every check the in-memory call makes
// before it reads a pixel, so that bad parameters fail before any task runs.
std::pair<std::int32_t, std::int32_t> tileContext(std::int32_t rows, std::int32_t cols,
                                                  std::optional<double> sigma, std::int32_t blockSize,
                                                  std::int32_t step, std::int32_t maxGroupSize,
                                                  std::int32_t searchRadius, double matchThreshold,
                                                  std::optional<py::array_t<double, py::array::c_style>> window,
                                                  bool pilotPerTile, const py::dict& firstStage)
{
    const sorvik::TileGeometry g = geometryOf(blockSize, step, searchRadius, pilotPerTile, firstStage);
    return valueErrors([&] {
        // Sigma is checked when known; the pipeline's own checks come later.
        sorvik::prepareFilter(settingsOf(sigma.value_or(0.1), blockSize, step, maxGroupSize,
                                         searchRadius, matchThreshold, window),
                              rows, cols);
        const sorvik::TileContext c = sorvik::tileContext(g);
        if (pilotPerTile && (rows < sorvik::basicBlockSize || cols < sorvik::basicBlockSize))
            throw std::invalid_argument("the image is smaller than one 8 x 8 block");
        return std::make_pair(c.before, c.after);
    });
}

// The library's cores along one axis for an array whose chunks overlap by
// one margin, each with its tile: (tile begin, tile end, core begin, core
// end), half-open. A core larger than the axis is the whole axis.
std::vector<std::array<std::int32_t, 4>> overlapTiles(std::int32_t length, std::int64_t coreSize,
                                                      std::int32_t blockSize, std::int32_t step,
                                                      std::int32_t searchRadius, bool pilotPerTile,
                                                      const py::dict& firstStage)
{
    const sorvik::TileGeometry g = geometryOf(blockSize, step, searchRadius, pilotPerTile, firstStage);
    return valueErrors([&] {
        const std::int32_t size = std::int32_t(std::clamp<std::int64_t>(coreSize, 0, INT32_MAX));
        const std::vector<sorvik::Span> cores = sorvik::overlapCoreSpans(g, length, size);
        std::vector<std::array<std::int32_t, 4>> spans;
        for (const sorvik::Span& core : cores) {
            // A lone core is its own tile, whatever the axis's length: the
            // task reports an image too small as the in-memory call would.
            const sorvik::Span tile = cores.size() == 1 ? core : sorvik::tileSpan(g, length, core);
            spans.push_back({tile.begin, tile.end, core.begin, core.end});
        }
        return spans;
    });
}

py::array_t<float> wienerTile(const py::array& noisyArray, const py::array& pilotArray, double sigma,
                              std::pair<std::int32_t, std::int32_t> imageShape, const Box& tileBox,
                              const Box& coreBox, std::int32_t blockSize, std::int32_t step,
                              std::int32_t maxGroupSize, std::int32_t searchRadius,
                              double matchThreshold,
                              std::optional<py::array_t<double, py::array::c_style>> window,
                              int threads)
{
    const sorvik::Tile tile = tileOf(tileBox, coreBox);
    const sorvik::FilterSetup setup = valueErrors([&] {
        sorvik::TileGeometry g{blockSize, searchRadius, step, false};
        sorvik::checkTile(imageShape.first, imageShape.second, g, tile);
        sorvik::FilterSetup s = sorvik::prepareFilter(
            settingsOf(sigma, blockSize, step, maxGroupSize, searchRadius, matchThreshold, window),
            imageShape.first, imageShape.second);
        return s;
    });
    const Fortran<double> noisy = tileArray<double>(noisyArray, "noisy", tile);
    const Fortran<float> pilot = tileArray<float>(pilotArray, "pilot", tile);
    const std::int32_t coreRows = tile.coreRows.size(), coreCols = tile.coreCols.size();
    std::vector<float> core(std::size_t(coreRows) * std::size_t(coreCols));
    {
        py::gil_scoped_release release;
        sorvik::FilterOptions options;
        options.threads = threads;
        sorvik::Channel channel{noisy.data(), pilot.data(), setup.params.sigma, core.data()};
        valueErrors([&] {
            sorvik::wienerTile(setup.params, tile, &channel, 1, setup.window.data(), options);
            return 0;
        });
    }
    try {
        sorvik::checkEstimateFinite(core.data(), core.size(), coreRows);
    } catch (const std::runtime_error& e) {
        throw py::value_error(std::string(e.what()) + " (counted within the tile's core, rows [" +
                              std::to_string(tile.coreRows.begin) + ", " +
                              std::to_string(tile.coreRows.end) + "), columns [" +
                              std::to_string(tile.coreCols.begin) + ", " +
                              std::to_string(tile.coreCols.end) + "))");
    }
    py::array_t<float> out({py::ssize_t(coreRows), py::ssize_t(coreCols)});
    float* o = out.mutable_data();
    for (std::int32_t i = 0; i < coreRows; ++i)
        for (std::int32_t j = 0; j < coreCols; ++j)
            o[std::size_t(i) * coreCols + j] = core[std::size_t(j) * coreRows + i];
    return out;
}

using Planar = py::array_t<double, py::array::c_style>;

// `noise`: the whole image's sigma, or for poisson-gaussian noise its
// (gain, read_noise, offset, low, high): the model and the extremes; for
// correlated noise ("correlated", sigma, sigmas, wiener, grouped): the
// whole image's sigma and NoiseShapes.
Planar denoiseTile(const Planar& planar, const py::object& noise, std::pair<double, double> range,
                   std::pair<std::int32_t, std::int32_t> imageShape, const Box& tileBox,
                   const Box& coreBox, std::int32_t blockSize, std::int32_t step,
                   std::int32_t maxGroupSize, std::int32_t searchRadius, double matchThreshold,
                   std::optional<py::array_t<double, py::array::c_style>> window, int threads,
                   const py::dict& firstStage)
{
    const sorvik::Tile tile = tileOf(tileBox, coreBox);
    if (planar.ndim() != 3 || planar.shape(1) != tile.cols.size() || planar.shape(2) != tile.rows.size())
        throw py::value_error("the planar tile does not have the tile's shape");
    sorvik::DenoiseInput input;
    input.rows = tile.rows.size();
    input.cols = tile.cols.size();
    input.channels = int(planar.shape(0));
    input.pixels = planar.data();
    input.range = sorvik::DataRange{range.first, range.second};
    if (py::isinstance<py::tuple>(noise) && py::len(noise) == 5 &&
        py::isinstance<py::str>(noise.cast<py::tuple>()[0])) {
        // ("correlated", sigma, sigmas, wiener shapes, grouped shapes)
        const py::tuple t = noise.cast<py::tuple>();
        if (t[0].cast<std::string>() != "correlated")
            throw py::value_error("internal: a tile's noise names the correlated model");
        input.noise = sorvik::NoiseChoice::correlated;
        input.sigma = t[1].cast<double>();
        sorvik::NoiseShapes shapes;
        shapes.sigma = t[2].cast<std::vector<double>>();
        shapes.wiener = t[3].cast<std::vector<std::vector<float>>>();
        shapes.grouped = t[4].cast<std::vector<std::vector<float>>>();
        input.shapes = std::move(shapes);
    } else if (py::isinstance<py::tuple>(noise)) {
        const auto m = noise.cast<std::tuple<double, double, double, double, double>>();
        input.noise = sorvik::NoiseChoice::poissonGaussian;
        input.gain = std::get<0>(m);
        input.readNoise = std::get<1>(m);
        input.offset = std::get<2>(m);
        input.extremes = sorvik::DataRange{std::get<3>(m), std::get<4>(m)};
    } else {
        input.sigma = noise.cast<double>();
    }
    sorvik::DenoiseOptions options;
    options.wiener = settingsOf(0.0, blockSize, step, maxGroupSize, searchRadius, matchThreshold, window);
    options.threads = threads;
    applyFirstStageKeywords(firstStage, sorvik::FrontEnd::dask, options);
    std::vector<double> core;
    try {
        py::gil_scoped_release release;
        core = sorvik::denoiseTile(imageShape.first, imageShape.second, tile, input, options);
    } catch (const sorvik::NonFiniteValue& e) {
        rethrowNonFinite(e, input.channels);
    } catch (const std::invalid_argument& e) {
        throw py::value_error(e.what());
    }
    Planar out({py::ssize_t(input.channels), py::ssize_t(tile.coreCols.size()),
                py::ssize_t(tile.coreRows.size())});
    std::memcpy(out.mutable_data(), core.data(), core.size() * sizeof(double));
    return out;
}

// The range denoise() gives float data, from the data's extremes alone:
// floatDataRange depends on nothing else, so the extremes of a distributed
// array give the bits the whole array would.
std::pair<double, double> floatRange(double low, double high)
{
    const double extremes[2] = {low, high};
    const sorvik::DataRange r = valueErrors([&] { return sorvik::floatDataRange(extremes, 2, 1, 1); });
    return {r.low, r.high};
}

std::pair<double, double> userRange(double low, double high)
{
    const sorvik::DataRange r = valueErrors([&] { return sorvik::userDataRange(low, high); });
    return {r.low, r.high};
}

} // namespace

void registerTiling(py::module_& m)
{
    using namespace pybind11::literals;
    m.def("_tile_context", &tileContext, "rows"_a, "cols"_a, "sigma"_a, "block_size"_a, "step"_a,
          "max_group_size"_a, "search_radius"_a, "match_threshold"_a, "window"_a,
          "pilot_per_tile"_a, "first_stage"_a = py::dict());
    m.def("_overlap_tiles", &overlapTiles, "length"_a, "core_size"_a, "block_size"_a, "step"_a,
          "search_radius"_a, "pilot_per_tile"_a, "first_stage"_a = py::dict());
    m.def("_wiener_tile", &wienerTile, "noisy"_a, "pilot"_a, "sigma"_a, "image_shape"_a, "tile"_a,
          "core"_a, "block_size"_a, "step"_a, "max_group_size"_a, "search_radius"_a,
          "match_threshold"_a, "window"_a, "threads"_a);
    m.def("_denoise_tile", &denoiseTile, "planar"_a, "noise"_a, "data_range"_a, "image_shape"_a,
          "tile"_a, "core"_a, "block_size"_a, "step"_a, "max_group_size"_a, "search_radius"_a,
          "match_threshold"_a, "window"_a, "threads"_a, "first_stage"_a);
    m.def("_float_range", &floatRange, "low"_a, "high"_a);
    m.def("_user_range", &userRange, "low"_a, "high"_a);
}
