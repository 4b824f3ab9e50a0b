// The sorvik Python module: the Wiener filter and the basic estimate on
// numpy arrays indexed [row, column].
//
// The filter reads column-major images, and its result on a transposed image
// is not the transpose of its result (block matching visits candidates in a
// different order), so a row-major array is copied once into column-major
// order on the way in and the result once back on the way out. Arrays that
// are already column-major (order='F') with the filter's element type are
// passed through without a copy.
#include "frontend/settings.h"
#include <sorvik/sorvik.h>
#include "pilot/basic_estimate.h"
#include "pilot/planner.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace py = pybind11;

namespace {

constexpr std::size_t tile = 64;

template <typename T>
struct ColumnMajor {
    std::int32_t rows = 0;
    std::int32_t cols = 0;
    const T* data = nullptr;
    std::vector<T> storage; // empty when data points into the caller's array
};

template <typename T, typename Source>
void copyColumnMajor(const py::array& a, std::vector<T>& out, std::size_t M, std::size_t N)
{
    const auto view = a.unchecked<Source, 2>();
    // Tiles keep both the strided reads and the strided writes in cache.
    for (std::size_t j0 = 0; j0 < N; j0 += tile)
        for (std::size_t i0 = 0; i0 < M; i0 += tile)
            for (std::size_t j = j0; j < std::min(j0 + tile, N); ++j)
                for (std::size_t i = i0; i < std::min(i0 + tile, M); ++i)
                    out[i + j * M] = T(view(py::ssize_t(i), py::ssize_t(j)));
}

// Accepts a 2-D floating-point array of any strides and byte order the
// machine uses; values must be finite.
template <typename T>
ColumnMajor<T> columnMajor(const py::array& array, const char* name)
{
    if (array.ndim() != 2)
        throw py::value_error(std::string(name) + " must be a 2-D array [row, column], not " +
                              std::to_string(array.ndim()) + "-D");
    if (array.dtype().kind() != 'f')
        throw py::type_error(std::string(name) +
                             " must be a floating-point array on the 0..1 scale, not dtype " +
                             std::string(py::str(array.dtype())));
    constexpr auto int32Max = py::ssize_t(std::numeric_limits<std::int32_t>::max());
    if (array.shape(0) > int32Max || array.shape(1) > int32Max)
        throw py::value_error(std::string(name) + " is too large");

    ColumnMajor<T> image;
    image.rows = std::int32_t(array.shape(0));
    image.cols = std::int32_t(array.shape(1));
    const std::size_t M = std::size_t(image.rows);
    const std::size_t N = std::size_t(image.cols);

    const bool sameType = array.dtype().is(py::dtype::of<T>());
    const bool fortran = (array.flags() & py::array::f_style) != 0;
    if (sameType && fortran && array.dtype().byteorder() != '>') {
        image.data = static_cast<const T*>(array.data());
    } else {
        image.storage.resize(M * N);
        if (array.dtype().is(py::dtype::of<double>())) {
            copyColumnMajor<T, double>(array, image.storage, M, N);
        } else if (array.dtype().is(py::dtype::of<float>())) {
            copyColumnMajor<T, float>(array, image.storage, M, N);
        } else {
            // Half, long double, other byte orders: numpy converts them first.
            const auto converted = py::array_t<double, py::array::forcecast>::ensure(array);
            if (!converted)
                throw py::error_already_set();
            copyColumnMajor<T, double>(converted, image.storage, M, N);
        }
        image.data = image.storage.data();
    }
    const std::int64_t bad = sorvik::firstNonFinite(image.data, M * N);
    if (bad >= 0)
        throw py::value_error(std::string(name) + "[" + std::to_string(std::size_t(bad) % M) +
                              ", " + std::to_string(std::size_t(bad) / M) +
                              "] is not a finite number");
    return image;
}

// A new C-ordered array holding a column-major float image; the copy runs
// without the GIL, as nothing else can see the new array yet.
py::array_t<float> rowMajorResult(const std::vector<float>& columnMajorImage, std::int32_t rows,
                                  std::int32_t cols)
{
    py::array_t<float> result({py::ssize_t(rows), py::ssize_t(cols)});
    float* out = result.mutable_data();
    {
        py::gil_scoped_release release;
        const std::size_t M = std::size_t(rows);
        const std::size_t N = std::size_t(cols);
        for (std::size_t i0 = 0; i0 < M; i0 += tile)
            for (std::size_t j0 = 0; j0 < N; j0 += tile)
                for (std::size_t i = i0; i < std::min(i0 + tile, M); ++i)
                    for (std::size_t j = j0; j < std::min(j0 + tile, N); ++j)
                        out[i * N + j] = columnMajorImage[i + j * M];
    }
    return result;
}

py::array_t<float> wiener(const py::array& noisyArray, const py::array& pilotArray, double sigma,
                          std::int32_t blockSize, std::int32_t step, std::int32_t maxGroupSize,
                          std::int32_t searchRadius, double matchThreshold,
                          const py::object& window, int threads)
{
    const ColumnMajor<double> noisy = columnMajor<double>(noisyArray, "noisy");
    const ColumnMajor<float> pilot = columnMajor<float>(pilotArray, "pilot");
    if (pilot.rows != noisy.rows || pilot.cols != noisy.cols)
        throw py::value_error("pilot has shape (" + std::to_string(pilot.rows) + ", " +
                              std::to_string(pilot.cols) + ") but noisy has shape (" +
                              std::to_string(noisy.rows) + ", " + std::to_string(noisy.cols) +
                              ")");
    if (threads < 1)
        throw py::value_error("threads must be at least 1");

    sorvik::WienerSettings settings;
    settings.blockSize = blockSize;
    settings.step = step;
    settings.maxGroupSize = maxGroupSize;
    settings.searchRadius = searchRadius;
    settings.matchThreshold = matchThreshold;
    settings.sigma = sigma;
    if (!window.is_none()) {
        // Entry [r, c] of a row-major P x P array is entry r * P + c, the
        // filter's own order.
        const auto w = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(window);
        if (!w)
            throw py::error_already_set();
        if (w.ndim() != 2 || w.shape(0) != blockSize || w.shape(1) != blockSize)
            throw py::value_error("window must be a block_size x block_size array (" +
                                  std::to_string(blockSize) + " x " + std::to_string(blockSize) +
                                  ")");
        settings.window.assign(w.data(), w.data() + w.size());
    }
    const sorvik::FilterSetup setup = sorvik::prepareFilter(settings, noisy.rows, noisy.cols);

    std::vector<float> estimate(std::size_t(noisy.rows) * std::size_t(noisy.cols));
    sorvik::FilterStatus status;
    {
        py::gil_scoped_release release;
        sorvik::FilterOptions options;
        options.threads = threads;
        status = sorvik::runFilter(setup.params, noisy.data, pilot.data, setup.window.data(),
                                   estimate.data(), options);
    }
    if (status == sorvik::FilterStatus::outOfMemory)
        throw std::bad_alloc();
    if (status != sorvik::FilterStatus::ok)
        throw std::runtime_error(sorvik::statusMessage(status));
    try {
        sorvik::checkEstimateFinite(estimate.data(), estimate.size(), noisy.rows);
    } catch (const std::runtime_error& e) {
        throw py::value_error(e.what());
    }
    return rowMajorResult(estimate, noisy.rows, noisy.cols);
}

py::array_t<float> basicEstimate(const py::array& noisyArray, double sigma, double threshold)
{
    const ColumnMajor<double> noisy = columnMajor<double>(noisyArray, "noisy");
    std::vector<float> estimate(std::size_t(noisy.rows) * std::size_t(noisy.cols));
    sorvik::BasicEstimateOptions options;
    options.thresholdFactor = threshold;
    {
        py::gil_scoped_release release;
        sorvik::basicEstimate(noisy.rows, noisy.cols, noisy.data, sigma, estimate.data(), options);
    }
    return rowMajorResult(estimate, noisy.rows, noisy.cols);
}

py::array_t<double> kaiserWindow(std::int32_t size, double beta)
{
    const std::vector<double> w = sorvik::kaiserWindow2d(size, beta);
    py::array_t<double> result({py::ssize_t(size), py::ssize_t(size)});
    std::copy(w.begin(), w.end(), result.mutable_data());
    return result;
}

} // namespace

PYBIND11_MODULE(sorvik, m)
{
    // Calls may run on several Python threads at once, each planning FFTs.
    sorvik::makeFftwPlannerThreadSafe();

    m.doc() = "Collaborative Wiener denoising of grey images.\n\n"
              "Images are 2-D numpy arrays indexed [row, column] with pixel values on the\n"
              "0..1 scale; sigma, the noise standard deviation, is on the same scale (divide\n"
              "a level quoted on the 0..255 scale by 255). Results are new C-ordered float32\n"
              "arrays.";
    m.attr("__version__") = SORVIK_VERSION;

    using namespace pybind11::literals;
    m.def("wiener", &wiener,
          "Wiener-filters `noisy` with the groups and Wiener coefficients that `pilot`, an\n"
          "estimate of the clean image of the same shape, gives. Blocks of block_size^2\n"
          "pixels are matched within search_radius positions of every step-th reference\n"
          "block by the distance of their pilot spectra (at most match_threshold), up to\n"
          "max_group_size blocks a group. `window` weights the pixels of each filtered\n"
          "block when they are averaged: a block_size x block_size array, entry [r, c]\n"
          "for block pixel (r, c); None is kaiser_window(block_size, 2.0). The result\n"
          "is the same for any number of threads; the GIL is released while filtering.\n"
          "Raises ValueError for arrays or parameters the filter cannot take (including\n"
          "images smaller than one block, sigma <= 0 and values that are not finite),\n"
          "and when the result would have pixels that are not finite.",
          "noisy"_a, "pilot"_a, "sigma"_a, py::kw_only(),
          "block_size"_a = sorvik::defaultBlockSize, "step"_a = sorvik::defaultStep,
          "max_group_size"_a = sorvik::defaultMaxGroupSize,
          "search_radius"_a = sorvik::defaultSearchRadius,
          "match_threshold"_a = sorvik::defaultMatchThreshold, "window"_a = py::none(),
          "threads"_a = 1);
    m.def("basic_estimate", &basicEstimate,
          "A first estimate of the clean image, for use as the pilot of wiener(): every\n"
          "8 x 8 block goes through an orthonormal 2-D DCT, coefficients smaller than\n"
          "threshold * sigma are set to zero (the DC term is kept), and the overlapping\n"
          "filtered blocks are averaged. The GIL is released while it runs.",
          "noisy"_a, "sigma"_a, py::kw_only(), "threshold"_a = sorvik::defaultThresholdFactor);
    m.def("kaiser_window", &kaiserWindow,
          "The size x size outer product of a symmetric Kaiser window with itself.",
          "size"_a, "beta"_a = sorvik::defaultKaiserBeta);
}
