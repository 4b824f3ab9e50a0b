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
#include "python/denoise_binding.h"
#include "python/stack_binding.h"
#include "python/parameters_binding.h"
#include "python/tiling_binding.h"
#include "python/noise_binding.h"
#include "python/noise_power_binding.h"
#include <sorvik/sorvik.h>
#include "pilot/basic_estimate.h"
#include "pilot/planner.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace py = pybind11;

namespace {

// Numbers given to the module's functions. pybind11's own conversions take
// True for 1 and report a bad argument without its name, so these keep the
// object and the functions convert it themselves, naming the argument.
struct Real {
    py::object value;
};
struct Whole {
    py::object value;
};

} // namespace

namespace pybind11::detail {

template <>
struct type_caster<Real> {
    PYBIND11_TYPE_CASTER(Real, const_name("float"));
    bool load(handle source, bool)
    {
        value.value = reinterpret_borrow<object>(source);
        return true;
    }
    static handle cast(const Real& r, return_value_policy, handle) { return r.value.inc_ref(); }
};

template <>
struct type_caster<Whole> {
    PYBIND11_TYPE_CASTER(Whole, const_name("int"));
    bool load(handle source, bool)
    {
        value.value = reinterpret_borrow<object>(source);
        return true;
    }
    static handle cast(const Whole& w, return_value_policy, handle) { return w.value.inc_ref(); }
};

} // namespace pybind11::detail

namespace {

constexpr std::size_t tile = 64;
constexpr std::int64_t int32Max = std::numeric_limits<std::int32_t>::max();

std::string typeName(const py::handle& object)
{
    return py::str(py::type::handle_of(object).attr("__name__"));
}

// Truth values are numbers to Python, but sigma=True is a mistake, not 1.
bool isTruthValue(const py::handle& object)
{
    return PyBool_Check(object.ptr()) ||
           py::isinstance(object, py::module_::import("numpy").attr("bool_"));
}

double real(const Real& argument, const char* name)
{
    const py::handle object = argument.value;
    if (isTruthValue(object) || !PyNumber_Check(object.ptr()) || PyComplex_Check(object.ptr()))
        throw py::type_error(std::string(name) + " must be a real number, not " + typeName(object));
    const double value = PyFloat_AsDouble(object.ptr());
    if (value == -1.0 && PyErr_Occurred())
        throw py::error_already_set();
    return value;
}

std::int32_t whole(const Whole& argument, const char* name)
{
    const py::handle object = argument.value;
    if (isTruthValue(object) || PyFloat_Check(object.ptr()) || !PyIndex_Check(object.ptr()))
        throw py::type_error(std::string(name) + " must be an integer, not " + typeName(object));
    const py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(object.ptr()));
    if (!index)
        throw py::error_already_set();
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (value == -1 && PyErr_Occurred())
        throw py::error_already_set();
    if (overflow != 0 || value < -int32Max - 1 || value > int32Max)
        throw py::value_error(std::string(name) + " must lie between -2^31 and 2^31 - 1, not " +
                              std::string(py::str(index)));
    return std::int32_t(value);
}

struct Shape {
    std::int32_t rows = 0;
    std::int32_t cols = 0;
};

// Checks everything that can be told from the array's header, before a
// single pixel is read or copied: a broadcast or strided view may stand for
// far more memory than it holds.
Shape imageShape(const py::array& array, const char* name)
{
    if (array.ndim() != 2)
        throw py::value_error(std::string(name) + " must be a 2-D array [row, column], not " +
                              std::to_string(array.ndim()) + "-D");
    if (array.dtype().kind() != 'f')
        throw py::type_error(std::string(name) +
                             " must be a floating-point array on the 0..1 scale, not dtype " +
                             std::string(py::str(array.dtype())));
    const py::ssize_t rows = array.shape(0);
    const py::ssize_t cols = array.shape(1);
    // The product is formed only once both sides fit in 32 bits.
    if (rows > int32Max || cols > int32Max || std::int64_t(rows) * std::int64_t(cols) > int32Max)
        throw py::value_error(std::string(name) + " is too large: " + std::to_string(rows) + " x " +
                              std::to_string(cols) + " pixels, over the limit of 2^31 - 1");
    return {std::int32_t(rows), std::int32_t(cols)};
}

template <typename T>
struct ColumnMajor {
    std::int32_t rows = 0;
    std::int32_t cols = 0;
    const T* data = nullptr;
    std::vector<T> storage; // empty when data points into the caller's array
};

// Element (i, j) is read byte-wise: numpy allows any stride and offset,
// including ones that leave elements misaligned for their type.
template <typename T, typename Source>
void copyColumnMajor(const py::array& a, std::vector<T>& out, std::size_t M, std::size_t N)
{
    const char* base = static_cast<const char*>(a.data());
    const py::ssize_t rowStride = a.strides(0);
    const py::ssize_t colStride = a.strides(1);
    // Tiles keep both the strided reads and the strided writes in cache.
    for (std::size_t j0 = 0; j0 < N; j0 += tile)
        for (std::size_t i0 = 0; i0 < M; i0 += tile)
            for (std::size_t j = j0; j < std::min(j0 + tile, N); ++j)
                for (std::size_t i = i0; i < std::min(i0 + tile, M); ++i) {
                    Source value;
                    std::memcpy(&value, base + py::ssize_t(i) * rowStride + py::ssize_t(j) * colStride,
                                sizeof value);
                    out[i + j * M] = T(value);
                }
}

// Accepts a 2-D floating-point array, checked by imageShape, of any strides,
// alignment and byte order; values must be finite.
template <typename T>
ColumnMajor<T> columnMajor(const py::array& array, const char* name)
{
    const Shape shape = imageShape(array, name);
    ColumnMajor<T> image;
    image.rows = shape.rows;
    image.cols = shape.cols;
    const std::size_t M = std::size_t(image.rows);
    const std::size_t N = std::size_t(image.cols);

    const bool sameType = array.dtype().is(py::dtype::of<T>());
    const int flags = array.flags();
    const bool fortran = (flags & py::array::f_style) != 0;
    const bool aligned = (flags & py::detail::npy_api::NPY_ARRAY_ALIGNED_) != 0;
    if (sameType && fortran && aligned && array.dtype().byteorder() != '>') {
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
                throw py::type_error(std::string(name) + " cannot be converted to float64 (dtype " +
                                     std::string(py::str(array.dtype())) + ")");
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

// A signal handler that raised (Ctrl-C's KeyboardInterrupt) during a call.
// The callbacks run on the calling thread with the GIL released; the error is
// kept to be raised once the call has returned.
class InterruptWatch {
public:
    explicit InterruptWatch(bool stopTheCall) : stopTheCall_(stopTheCall) {}

    struct Stop {};

    static void afterRow(void* context, std::int32_t, std::int32_t)
    {
        auto& watch = *static_cast<InterruptWatch*>(context);
        if (!watch.interrupted_) {
            py::gil_scoped_acquire gil;
            if (PyErr_CheckSignals() == 0)
                return;
            PyObject* type = nullptr;
            PyObject* value = nullptr;
            PyObject* trace = nullptr;
            PyErr_Fetch(&type, &value, &trace);
            watch.type_ = py::reinterpret_steal<py::object>(type);
            watch.value_ = py::reinterpret_steal<py::object>(value);
            watch.trace_ = py::reinterpret_steal<py::object>(trace);
            watch.interrupted_ = true;
        }
        if (watch.stopTheCall_)
            throw Stop{};
    }

    // With the GIL held.
    void raiseIfInterrupted()
    {
        if (!interrupted_)
            return;
        interrupted_ = false;
        PyErr_Restore(type_.release().ptr(), value_.release().ptr(), trace_.release().ptr());
        throw py::error_already_set();
    }

private:
    bool stopTheCall_;
    bool interrupted_ = false;
    py::object type_;
    py::object value_;
    py::object trace_;
};

[[noreturn]] void raiseFilterStatus(sorvik::FilterStatus status)
{
    const std::string message = sorvik::statusMessage(status);
    switch (status) {
    case sorvik::FilterStatus::outOfMemory:
        PyErr_SetString(PyExc_MemoryError, message.c_str());
        throw py::error_already_set();
    case sorvik::FilterStatus::planFailed:
        throw std::runtime_error(message);
    default:
        // Parameters the filter refuses, and sizes it cannot hold.
        throw py::value_error(message);
    }
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

py::array_t<float> wiener(const py::array& noisyArray, const py::array& pilotArray, const Real& sigma,
                          const Whole& blockSize, const Whole& step, const Whole& maxGroupSize,
                          const Whole& searchRadius, const Real& matchThreshold,
                          const py::object& window, const Whole& threadsArgument)
{
    // Every check that needs no pixel comes first.
    sorvik::WienerSettings settings;
    settings.sigma = real(sigma, "sigma");
    settings.blockSize = whole(blockSize, "block_size");
    settings.step = whole(step, "step");
    settings.maxGroupSize = whole(maxGroupSize, "max_group_size");
    settings.searchRadius = whole(searchRadius, "search_radius");
    settings.matchThreshold = real(matchThreshold, "match_threshold");
    const bool threadsGiven = !threadsArgument.value.is_none();
    const std::int32_t threads =
        threadsGiven ? whole(threadsArgument, "threads") : sorvik::defaultThreads(sorvik::FrontEnd::python);
    const Shape noisyShape = imageShape(noisyArray, "noisy");
    const Shape pilotShape = imageShape(pilotArray, "pilot");
    if (pilotShape.rows != noisyShape.rows || pilotShape.cols != noisyShape.cols)
        throw py::value_error("pilot has shape (" + std::to_string(pilotShape.rows) + ", " +
                              std::to_string(pilotShape.cols) + ") but noisy has shape (" +
                              std::to_string(noisyShape.rows) + ", " +
                              std::to_string(noisyShape.cols) + ")");
    // The same bounds as every front end's, by the image's side too.
    sorvik::Request request;
    request.blockSize = settings.blockSize;
    request.step = settings.step;
    request.maxGroupSize = settings.maxGroupSize;
    request.searchRadius = settings.searchRadius;
    request.matchThreshold = settings.matchThreshold;
    request.threads = threads;
    request.window = windowWeights(window, settings.blockSize);
    try {
        sorvik::validate(request, sorvik::FrontEnd::python, {noisyShape.rows, noisyShape.cols, false});
    } catch (const std::invalid_argument& e) {
        throw py::value_error(e.what());
    }
    settings.window = request.window;
    const sorvik::FilterSetup setup =
        sorvik::prepareFilter(settings, noisyShape.rows, noisyShape.cols);

    const ColumnMajor<double> noisy = columnMajor<double>(noisyArray, "noisy");
    const ColumnMajor<float> pilot = columnMajor<float>(pilotArray, "pilot");
    std::vector<float> estimate(std::size_t(noisy.rows) * std::size_t(noisy.cols));
    // The filter cannot be stopped midway: an interrupt is raised when it
    // returns.
    InterruptWatch watch(false);
    sorvik::FilterStatus status;
    {
        py::gil_scoped_release release;
        sorvik::FilterOptions options;
        options.threads = threads;
        options.progress = &InterruptWatch::afterRow;
        options.progressContext = &watch;
        status = sorvik::runFilter(setup.params, noisy.data, pilot.data, setup.window.data(),
                                   estimate.data(), options);
    }
    watch.raiseIfInterrupted();
    if (status != sorvik::FilterStatus::ok)
        raiseFilterStatus(status);
    try {
        sorvik::checkEstimateFinite(estimate.data(), estimate.size(), noisy.rows);
    } catch (const std::runtime_error& e) {
        throw py::value_error(e.what());
    }
    return rowMajorResult(estimate, noisy.rows, noisy.cols);
}

py::array_t<float> basicEstimate(const py::array& noisyArray, const Real& sigmaArgument,
                                 const Real& threshold, const Whole& threadsArgument)
{
    const double sigma = real(sigmaArgument, "sigma");
    sorvik::BasicEstimateOptions options;
    options.thresholdFactor = real(threshold, "threshold");
    options.threads = threadsArgument.value.is_none() ? sorvik::defaultThreads(sorvik::FrontEnd::python)
                                                      : whole(threadsArgument, "threads");
    if (options.threads < 1)
        throw py::value_error("threads must be at least 1");
    const ColumnMajor<double> noisy = columnMajor<double>(noisyArray, "noisy");
    std::vector<float> estimate(std::size_t(noisy.rows) * std::size_t(noisy.cols));
    InterruptWatch watch(true);
    options.progress = &InterruptWatch::afterRow;
    options.progressContext = &watch;
    try {
        py::gil_scoped_release release;
        sorvik::basicEstimate(noisy.rows, noisy.cols, noisy.data, sigma, estimate.data(), options);
    } catch (const InterruptWatch::Stop&) {
    }
    watch.raiseIfInterrupted();
    return rowMajorResult(estimate, noisy.rows, noisy.cols);
}

py::array_t<double> kaiserWindow(const Whole& sizeArgument, const Real& betaArgument)
{
    const std::int32_t size = whole(sizeArgument, "size");
    const double beta = real(betaArgument, "beta");
    // Refuses a beta whose weights would underflow or overflow.
    const std::vector<double> w = sorvik::kaiserWindow2d(size, beta);
    py::array_t<double> result({py::ssize_t(size), py::ssize_t(size)});
    std::copy(w.begin(), w.end(), result.mutable_data());
    return result;
}

} // namespace

PYBIND11_MODULE(_sorvik, m)
{
    // Calls may run on several Python threads at once, each planning FFTs.
    sorvik::makeFftwPlannerThreadSafe();

    m.doc() = "Collaborative Wiener denoising of grey images.\n\n"
              "Images are 2-D numpy arrays indexed [row, column] with pixel values on the\n"
              "0..1 scale; sigma, the noise standard deviation, is on the same scale (divide\n"
              "a level quoted on the 0..255 scale by 255). Results are new C-ordered float32\n"
              "arrays.";
    m.attr("__version__") = SORVIK_VERSION;
    registerDenoise(m);
    registerStack(m);
    registerParameters(m);
    registerTiling(m);
    registerNoise(m);
    registerSpectrum(m);

    using namespace pybind11::literals;
    m.def("wiener", &wiener,
          "Wiener-filters ``noisy`` with the groups and Wiener coefficients that ``pilot`` gives.\n"
          "\n"
          "Blocks of block_size x block_size pixels are matched within search_radius\n"
          "rows and columns of every step-th reference block by the distance of their\n"
          "pilot spectra, up to max_group_size blocks a group. Each group is\n"
          "transformed jointly, its noisy coefficients are shrunk by\n"
          "|pilot|^2 / (|pilot|^2 + sigma^2), and the filtered blocks are averaged\n"
          "with the window's weights. The GIL is released while it filters.\n"
          "\n"
          "Parameters\n"
          "----------\n"
          "noisy : ndarray\n"
          "    2-D floating-point array [row, column], pixel values on the 0..1 scale;\n"
          "    any strides, byte order or alignment.\n"
          "pilot : ndarray\n"
          "    An estimate of the clean image, of noisy's shape (see basic_estimate).\n"
          "sigma : float\n"
          "    The noise standard deviation on the 0..1 scale (a level of 255 divided\n"
          "    by 255); above 0.\n"
          "block_size : int\n"
          "    Block side, at least 2.\n"
          "step : int\n"
          "    Spacing of reference blocks, 1 to block_size.\n"
          "max_group_size : int\n"
          "    Most blocks in a group, at least 1.\n"
          "search_radius : int\n"
          "    Blocks are searched within this many rows and columns, at least 0.\n"
          "match_threshold : float\n"
          "    A block joins a group when the squared distance of its pilot half\n"
          "    spectrum to the reference's (DC left out) is below this; at most 2^20.\n"
          "window : array_like, optional\n"
          "    block_size x block_size aggregation weights, entry [r, c] for block\n"
          "    pixel (r, c), each finite and above 0; None is\n"
          "    kaiser_window(block_size).\n"
          "threads : int, optional\n"
          "    Threads to use (None: every processor); the result is the same bits\n"
          "    for any count.\n"
          "\n"
          "Returns\n"
          "-------\n"
          "ndarray\n"
          "    A new C-ordered float32 array of noisy's shape.\n"
          "\n"
          "Raises\n"
          "------\n"
          "TypeError\n"
          "    For arguments of the wrong kind: an array that is not floating point,\n"
          "    a bool for a number, a float for an integer, a window that is not an\n"
          "    array of real numbers (a string such as \"kaiser:2\" included).\n"
          "ValueError\n"
          "    For arrays or parameters the filter cannot take: an image that is not\n"
          "    2-D, smaller than one block or of more than 2^31 - 1 pixels, a pixel\n"
          "    that is not finite, a pilot of another shape, sigma <= 0, parameters\n"
          "    out of range; and when the result would have pixels that are not\n"
          "    finite.\n"
          "MemoryError\n"
          "    When the filter's buffers cannot be allocated.\n"
          "RuntimeError\n"
          "    When FFTW cannot make a transform plan.\n"
          "KeyboardInterrupt\n"
          "    On Ctrl-C, noticed between rows; the filter runs to its end first.\n"
          "\n"
          "Examples\n"
          "--------\n"
          ">>> import numpy as np\n"
          ">>> import sorvik\n"
          ">>> rng = np.random.default_rng(1)\n"
          ">>> clean = np.tile(np.linspace(0.2, 0.8, 64), (64, 1))\n"
          ">>> noisy = clean + rng.normal(0, 0.08, clean.shape)\n"
          ">>> pilot = sorvik.basic_estimate(noisy, 0.08)\n"
          ">>> estimate = sorvik.wiener(noisy, pilot, 0.08, threads=2)\n"
          ">>> estimate.dtype, estimate.shape\n"
          "(dtype('float32'), (64, 64))\n"
          ">>> bool(np.abs(estimate - clean).mean() < np.abs(noisy - clean).mean() / 4)\n"
          "True\n"
          ">>> bool((sorvik.wiener(noisy, pilot, 0.08, threads=1) == estimate).all())\n"
          "True",
          "noisy"_a, "pilot"_a, "sigma"_a, py::kw_only(),
          "block_size"_a = sorvik::defaultBlockSize, "step"_a = sorvik::defaultStep,
          "max_group_size"_a = sorvik::defaultMaxGroupSize,
          "search_radius"_a = sorvik::defaultSearchRadius,
          "match_threshold"_a = sorvik::defaultMatchThreshold, "window"_a = py::none(),
          "threads"_a = py::none());
    m.def("basic_estimate", &basicEstimate,
          "A first estimate of the clean image, for use as the pilot of wiener().\n"
          "\n"
          "Every 8 x 8 block goes through an orthonormal 2-D DCT, coefficients smaller\n"
          "than threshold * sigma are set to zero (the DC term is kept), and the\n"
          "overlapping filtered blocks are averaged. The GIL is released while it runs.\n"
          "\n"
          "Parameters\n"
          "----------\n"
          "noisy : ndarray\n"
          "    2-D floating-point array [row, column], pixel values on the 0..1 scale.\n"
          "sigma : float\n"
          "    The noise standard deviation on the 0..1 scale, at least 0.\n"
          "threshold : float\n"
          "    Coefficients below threshold * sigma are set to zero; at least 0.\n"
          "threads : int, optional\n"
          "    Threads to use (None: every processor); the result is the same bits\n"
          "    for any count.\n"
          "\n"
          "Returns\n"
          "-------\n"
          "ndarray\n"
          "    A new C-ordered float32 array of noisy's shape.\n"
          "\n"
          "Raises\n"
          "------\n"
          "TypeError\n"
          "    For arguments of the wrong kind (an array that is not floating point, a\n"
          "    bool for a number, a float for an integer).\n"
          "ValueError\n"
          "    For an image that is not 2-D, smaller than one block, too large or with\n"
          "    a pixel that is not finite or of magnitude over 2^107 (the transforms\n"
          "    in single precision would overflow), and for parameters out of range.\n"
          "KeyboardInterrupt\n"
          "    On Ctrl-C, which stops it at the next row.\n"
          "\n"
          "Examples\n"
          "--------\n"
          ">>> import numpy as np\n"
          ">>> import sorvik\n"
          ">>> rng = np.random.default_rng(1)\n"
          ">>> clean = np.tile(np.linspace(0.2, 0.8, 64), (64, 1))\n"
          ">>> noisy = clean + rng.normal(0, 0.08, clean.shape)\n"
          ">>> pilot = sorvik.basic_estimate(noisy, 0.08, threads=2)\n"
          ">>> pilot.dtype, pilot.shape\n"
          "(dtype('float32'), (64, 64))\n"
          ">>> bool(np.abs(pilot - clean).mean() < np.abs(noisy - clean).mean() / 2)\n"
          "True",
          "noisy"_a, "sigma"_a, py::kw_only(), "threshold"_a = sorvik::defaultThresholdFactor,
          "threads"_a = py::none());
    m.def("kaiser_window", &kaiserWindow,
          "The size x size outer product of a symmetric Kaiser window with itself.\n"
          "\n"
          "The default aggregation window of wiener() and denoise() is\n"
          "kaiser_window(block_size).\n"
          "\n"
          "Parameters\n"
          "----------\n"
          "size : int\n"
          "    The window's side, at least 1.\n"
          "beta : float\n"
          "    The Kaiser window's shape parameter, 0 to 40; 0 gives equal weights.\n"
          "\n"
          "Returns\n"
          "-------\n"
          "ndarray\n"
          "    A size x size float64 array, symmetric, with weights above 0.\n"
          "\n"
          "Raises\n"
          "------\n"
          "TypeError\n"
          "    For a size that is not an integer or a beta that is not a real number.\n"
          "ValueError\n"
          "    For a size below 1, or a beta outside 0 to 40 (larger ones make the\n"
          "    edge weights too small to filter with).\n"
          "\n"
          "Examples\n"
          "--------\n"
          ">>> import numpy as np\n"
          ">>> import sorvik\n"
          ">>> w = sorvik.kaiser_window(8)\n"
          ">>> w.shape, w.dtype\n"
          "((8, 8), dtype('float64'))\n"
          ">>> bool((w == w.T).all() and (w > 0).all() and w[0, 0] < w[3, 4])\n"
          "True",
          "size"_a, "beta"_a = sorvik::defaultKaiserBeta);
}
