// sorvik_denoise: the one-call denoiser as a MEX function.
//
//   J = sorvik_denoise(I)
//   J = sorvik_denoise(I, sigma)
//   [J, sigma] = sorvik_denoise(I, [sigma], 'Name', value, ...)
//
// I is what imread gives (uint8 or uint16, M x N or M x N x 3) or single or
// double data; M x N x 2 and M x N x 4 carry an alpha channel, which passes
// through unchanged. sigma is in the units of I. J has I's class and size.
//
// Error exits leave mexFunction without unwinding (a longjmp in some hosts, an
// exception in others), so all the work runs in denoiseCall, whose locals are
// gone before mexFunction raises: the message is formatted into a buffer of
// mexFunction's own, and the outputs are created only once the work is done.
#include <sorvik/denoise.h>
#include "mex.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

struct Failure {
    const char* id = nullptr;
    char message[768] = {};
};

__attribute__((format(printf, 3, 4))) bool failWith(Failure& failure, const char* id,
                                                    const char* format, ...)
{
    failure.id = id;
    va_list args;
    va_start(args, format);
    std::vsnprintf(failure.message, sizeof failure.message, format, args);
    va_end(args);
    return false;
}

// The image as the caller holds it.
struct Image {
    mxClassID classID = mxUNKNOWN_CLASS;
    std::int32_t rows = 0, cols = 0;
    int planes = 1;     // as given, alpha included
    int colour = 1;     // planes denoised: 1 or 3
    bool alpha = false; // the last plane is alpha
    const mxArray* array = nullptr;
};

struct Request {
    Image image;
    std::optional<double> sigma;
    std::optional<sorvik::DataRange> range;
    sorvik::DenoiseOptions options;
};

bool isRealNumeric(const mxArray* a)
{
    return mxIsNumeric(a) && !mxIsComplex(a) && !mxIsSparse(a);
}

bool readImage(const mxArray* a, Image& image, Failure& failure)
{
    const mxClassID c = mxGetClassID(a);
    if (!isRealNumeric(a) ||
        (c != mxUINT8_CLASS && c != mxUINT16_CLASS && c != mxSINGLE_CLASS && c != mxDOUBLE_CLASS))
        return failWith(failure, "sorvik:invalidImage",
                        "Input 1 (I) must be a real uint8, uint16, single or double array; got %s%s.",
                        mxIsComplex(a) ? "complex " : "", mxGetClassName(a));
    const mwSize dimensions = mxGetNumberOfDimensions(a);
    const mwSize* size = mxGetDimensions(a);
    const auto rows = static_cast<unsigned long long>(size[0]);
    const auto cols = static_cast<unsigned long long>(size[1]);
    const auto planes = dimensions >= 3 ? static_cast<unsigned long long>(size[2]) : 1ULL;
    if (dimensions > 3 || planes < 1 || planes > 4)
        return failWith(failure, "sorvik:invalidImage",
                        "Input 1 (I) must be M x N (grey), M x N x 2 (grey and alpha), M x N x 3 (RGB) "
                        "or M x N x 4 (RGB and alpha); got %d dimensions with %llu planes.",
                        static_cast<int>(dimensions), planes);
    constexpr unsigned long long maxSide = 0x7fffffff;
    if (rows > maxSide || cols > maxSide)
        return failWith(failure, "sorvik:tooLarge", "Input 1 (I) may have at most %llu rows and columns.",
                        maxSide);
    image.classID = c;
    image.rows = static_cast<std::int32_t>(rows);
    image.cols = static_cast<std::int32_t>(cols);
    image.planes = static_cast<int>(planes);
    image.alpha = planes == 2 || planes == 4;
    image.colour = planes >= 3 ? 3 : 1;
    image.array = a;
    return true;
}

bool readSigma(const mxArray* a, std::optional<double>& sigma, Failure& failure)
{
    if (mxIsEmpty(a) && isRealNumeric(a))
        return true; // []: estimate it
    if (!isRealNumeric(a) || mxGetNumberOfElements(a) != 1 || mxIsLogical(a))
        return failWith(failure, "sorvik:invalidSigma",
                        "Input 2 (sigma) must be a real numeric scalar, or [] to estimate it.");
    const double value = mxGetScalar(a);
    if (!std::isfinite(value) || !(value > 0))
        return failWith(failure, "sorvik:invalidSigma",
                        "Input 2 (sigma) must be a finite number above 0, in the units of I; got %g.",
                        value);
    sigma = value;
    return true;
}

bool sameName(const char* a, const char* b)
{
    for (; *a != '\0' && *b != '\0'; ++a, ++b)
        if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b)))
            return false;
    return *a == *b;
}

bool readWhole(const mxArray* value, const char* name, long long low, long long high, long long& out,
               Failure& failure)
{
    const bool scalar = isRealNumeric(value) && !mxIsLogical(value) && mxGetNumberOfElements(value) == 1;
    const double x = scalar ? mxGetScalar(value) : std::nan("");
    if (!scalar || !(x >= double(low) && x <= double(high)) || x != std::floor(x))
        return failWith(failure, "sorvik:invalidParameter",
                        "'%s' must be a whole number from %lld to %lld.", name, low, high);
    out = static_cast<long long>(x);
    return true;
}

bool readParameter(const char* name, const mxArray* value, Request& r, Failure& failure)
{
    sorvik::WienerSettings& w = r.options.wiener;
    long long whole = 0;
    if (sameName(name, "BlockSize")) {
        if (!readWhole(value, "BlockSize", 2, 64, whole, failure))
            return false;
        w.blockSize = static_cast<std::int32_t>(whole);
    } else if (sameName(name, "Step")) {
        if (!readWhole(value, "Step", 1, 64, whole, failure))
            return false;
        w.step = static_cast<std::int32_t>(whole);
    } else if (sameName(name, "MaxGroupSize")) {
        if (!readWhole(value, "MaxGroupSize", 1, 4096, whole, failure))
            return false;
        w.maxGroupSize = static_cast<std::int32_t>(whole);
    } else if (sameName(name, "SearchRadius")) {
        if (!readWhole(value, "SearchRadius", 0, 4096, whole, failure))
            return false;
        w.searchRadius = static_cast<std::int32_t>(whole);
    } else if (sameName(name, "Threads")) {
        if (!readWhole(value, "Threads", 1, 1024, whole, failure))
            return false;
        r.options.threads = static_cast<int>(whole);
    } else if (sameName(name, "MatchThreshold")) {
        const bool scalar = isRealNumeric(value) && mxGetNumberOfElements(value) == 1;
        const double x = scalar ? mxGetScalar(value) : std::nan("");
        if (!(x >= 0 && x <= double(sorvik::maxMatchThreshold)))
            return failWith(failure, "sorvik:invalidParameter",
                            "'MatchThreshold' must be a number from 0 to %g.",
                            double(sorvik::maxMatchThreshold));
        w.matchThreshold = x;
    } else if (sameName(name, "Range")) {
        if (!isRealNumeric(value) || mxGetNumberOfElements(value) != 2 || mxGetClassID(value) != mxDOUBLE_CLASS)
            return failWith(failure, "sorvik:invalidParameter",
                            "'Range' must be a double pair [low, high], the values that map to 0 and 1.");
        const double* ends = mxGetPr(value);
        try {
            r.range = sorvik::userDataRange(ends[0], ends[1]);
        } catch (const std::invalid_argument& e) {
            return failWith(failure, "sorvik:invalidParameter", "'Range': %s", e.what());
        }
    } else if (sameName(name, "Window")) {
        if (!isRealNumeric(value) || mxGetClassID(value) != mxDOUBLE_CLASS || mxGetM(value) != mxGetN(value) ||
            mxGetM(value) < 2 || mxGetM(value) > 64)
            return failWith(failure, "sorvik:invalidParameter",
                            "'Window' must be a square double matrix, BlockSize x BlockSize.");
        // Window(r + 1, c + 1) weights block pixel (r, c); the settings hold it row by row.
        const std::size_t p = mxGetM(value);
        const double* data = mxGetPr(value);
        w.window.assign(p * p, 0.0);
        for (std::size_t row = 0; row < p; ++row)
            for (std::size_t col = 0; col < p; ++col)
                w.window[row * p + col] = data[row + col * p];
    } else {
        return failWith(failure, "sorvik:unknownParameter",
                        "Unknown parameter '%s'; the parameters are 'BlockSize', 'Step', 'MaxGroupSize', "
                        "'SearchRadius', 'MatchThreshold', 'Window', 'Threads' and 'Range'.",
                        name);
    }
    return true;
}

bool readRequest(int nlhs, int nrhs, const mxArray* prhs[], Request& r, Failure& failure)
{
    if (nlhs > 2)
        return failWith(failure, "sorvik:tooManyOutputs",
                        "sorvik_denoise gives at most 2 outputs (J and sigma); %d were asked for.", nlhs);
    if (nrhs < 1)
        return failWith(failure, "sorvik:notEnoughInputs", "sorvik_denoise needs the image I.");
    if (!readImage(prhs[0], r.image, failure))
        return false;
    int next = 1;
    if (nrhs > 1 && !mxIsChar(prhs[1])) {
        if (!readSigma(prhs[1], r.sigma, failure))
            return false;
        next = 2;
    }
    r.options.threads = std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    for (; next < nrhs; next += 2) {
        char name[32] = {};
        if (!mxIsChar(prhs[next]) || mxGetString(prhs[next], name, sizeof name) != 0)
            return failWith(failure, "sorvik:invalidParameter",
                            "Input %d must be a parameter name such as 'BlockSize'.", next + 1);
        if (next + 1 >= nrhs)
            return failWith(failure, "sorvik:invalidParameter", "Parameter '%s' has no value.", name);
        if (!readParameter(name, prhs[next + 1], r, failure))
            return false;
    }
    if (!r.options.wiener.window.empty() &&
        r.options.wiener.window.size() != std::size_t(r.options.wiener.blockSize) * r.options.wiener.blockSize)
        return failWith(failure, "sorvik:invalidParameter", "'Window' must be BlockSize x BlockSize (%d x %d).",
                        r.options.wiener.blockSize, r.options.wiener.blockSize);
    return true;
}

template <class T>
void toPlanar(const T* data, std::size_t count, std::vector<double>& out)
{
    out.resize(count);
    for (std::size_t i = 0; i < count; ++i)
        out[i] = static_cast<double>(data[i]);
}

// Runs the denoiser; fills J (and sigma) only when all went well.
bool denoiseCall(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[], Failure& failure)
{
    Request r;
    if (!readRequest(nlhs, nrhs, prhs, r, failure))
        return false;
    const Image& im = r.image;
    const std::size_t plane = std::size_t(im.rows) * std::size_t(im.cols);
    const std::size_t colourValues = plane * std::size_t(im.colour);
    try {
        std::vector<double> pixels;
        const void* data = mxGetData(im.array);
        sorvik::DataRange range;
        switch (im.classID) {
        case mxUINT8_CLASS:
            toPlanar(static_cast<const std::uint8_t*>(data), colourValues, pixels);
            range = sorvik::uint8Range;
            break;
        case mxUINT16_CLASS:
            toPlanar(static_cast<const std::uint16_t*>(data), colourValues, pixels);
            range = sorvik::uint16Range;
            break;
        case mxSINGLE_CLASS:
            sorvik::checkFinite(static_cast<const float*>(data), im.rows, im.cols, im.colour);
            toPlanar(static_cast<const float*>(data), colourValues, pixels);
            range = sorvik::floatDataRange(pixels.data(), im.rows, im.cols, im.colour);
            break;
        default:
            sorvik::checkFinite(static_cast<const double*>(data), im.rows, im.cols, im.colour);
            toPlanar(static_cast<const double*>(data), colourValues, pixels);
            range = sorvik::floatDataRange(pixels.data(), im.rows, im.cols, im.colour);
            break;
        }
        if (r.range)
            range = *r.range;

        sorvik::DenoiseInput input;
        input.rows = im.rows;
        input.cols = im.cols;
        input.channels = im.colour;
        input.pixels = pixels.data();
        input.range = range;
        input.sigma = r.sigma;
        const sorvik::DenoiseResult result = sorvik::denoise(input, r.options);
        pixels = std::vector<double>();

        // The outputs, once nothing can fail but their own allocation.
        const mwSize* size = mxGetDimensions(im.array);
        mxArray* out = mxCreateNumericArray(mxGetNumberOfDimensions(im.array), size, im.classID, mxREAL);
        if (out == nullptr)
            return failWith(failure, "sorvik:outOfMemory", "Out of memory creating the output.");
        void* o = mxGetData(out);
        switch (im.classID) {
        case mxUINT8_CLASS: {
            auto* q = static_cast<std::uint8_t*>(o);
            for (std::size_t i = 0; i < colourValues; ++i)
                q[i] = sorvik::toUint8(result.pixels[i]);
            break;
        }
        case mxUINT16_CLASS: {
            auto* q = static_cast<std::uint16_t*>(o);
            for (std::size_t i = 0; i < colourValues; ++i)
                q[i] = sorvik::toUint16(result.pixels[i]);
            break;
        }
        case mxSINGLE_CLASS: {
            auto* q = static_cast<float*>(o);
            for (std::size_t i = 0; i < colourValues; ++i)
                q[i] = static_cast<float>(result.pixels[i]);
            break;
        }
        default:
            std::copy(result.pixels.begin(), result.pixels.end(), static_cast<double*>(o));
            break;
        }
        if (im.alpha) {
            const std::size_t bytes = mxGetElementSize(im.array);
            std::memcpy(static_cast<char*>(o) + colourValues * bytes,
                        static_cast<const char*>(data) + colourValues * bytes, plane * bytes);
        }
        plhs[0] = out;
        if (nlhs > 1)
            plhs[1] = mxCreateDoubleScalar(result.sigma);
        return true;
    } catch (const sorvik::NonFiniteValue& e) {
        return failWith(failure, "sorvik:nonFiniteInput",
                        "Input 1 (I) must hold finite values; the value at row %d, column %d, plane %d is not.",
                        e.row + 1, e.col + 1, e.channel + 1);
    } catch (const std::invalid_argument& e) {
        return failWith(failure, "sorvik:invalidInput", "%s", e.what());
    } catch (const std::bad_alloc&) {
        return failWith(failure, "sorvik:outOfMemory", "Out of memory denoising a %d x %d image.", im.rows,
                        im.cols);
    } catch (const std::exception& e) {
        return failWith(failure, "sorvik:failed", "%s", e.what());
    }
}

} // namespace

extern "C" void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[])
{
    Failure failure;
    if (!denoiseCall(nlhs, plhs, nrhs, prhs, failure))
        mexErrMsgIdAndTxt(failure.id, "%s", failure.message);
}
