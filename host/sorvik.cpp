// sorvik: the MEX entry. Reads the twelve inputs, creates the output, and
// runs the filter on plain arrays (filter/sorvik.h).
//
// Error exits (mexErrMsgIdAndTxt) leave this function without unwinding, so
// every one of them is made with nothing of this call still held: before the
// output exists, or after it was destroyed and its slot cleared. Nothing with
// a destructor lives in the frames that raise them; messages are formatted
// into stack buffers.
//
// Every input the filter reads is checked before anything is allocated, so a
// call that breaks the argument contract is refused with an identifier naming
// the input (sorvik:invalid<Name>) instead of reading memory it does not own.
// Calls within the contract are passed on untouched, odd values included:
// step <= 0, any sigma or matchThreshold (NaN too; the filter treats a
// threshold above the empty-entry mark as the mark), images smaller than a
// block, empty images, and non-finite pixels (with a warning).
//
// Written with mwSize and plain integer conversions so that it compiles
// against the R14 mex.h (int dimensions) and Octave's (64-bit mwSize).
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <sorvik/sorvik.h>
#include "mex.h"

namespace {

// MATLAB argument positions, counted from 0 here (MATLAB's input k is k - 1).
enum Input : int {
    inNoisy = 0,          // 1: noisy image, double M x N
    inUnused2 = 1,        // 2: never read
    inStep = 2,           // 3: step, rounded
    inBlockSize = 3,      // 4: P, rounded
    inMaxGroupSize = 4,   // 5: K, rounded
    inUnused6 = 5,        // 6: any array, never read
    inUnused7 = 6,        // 7: any array, never read
    inMatchThreshold = 7, // 8: float
    inSearchRadius = 8,   // 9: R, rounded
    inSigma = 9,          // 10: float
    inWindow = 10,        // 11: first P*P doubles
    inPilot = 11,         // 12: pilot image, single M x N
    inputCount = 12
};

enum Output : int { outEstimate = 0 };

// The error exit, with the message formatted first. It never returns; Octave's
// mex.h does not say so, and the abort keeps this code from reading on if a
// host ever let it return.
[[noreturn]] __attribute__((format(printf, 2, 3))) void fail(const char* id, const char* format, ...)
{
    char message[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    mexErrMsgIdAndTxt(id, "%s", message);
    std::abort();
}

// What a read input must be, and the identifier its rejection carries.
struct InputRule {
    Input position;
    const char* name;
    const char* id;
    mxClassID classID;
    bool scalar; // only the first element is read, so it must exist
    const char* expected;
};

const InputRule typedInputs[] = {
    {inNoisy, "noisy", "sorvik:invalidNoisy", mxDOUBLE_CLASS, false, "a real double matrix"},
    {inStep, "step", "sorvik:invalidStep", mxDOUBLE_CLASS, true, "a real double scalar"},
    {inBlockSize, "blockSize", "sorvik:invalidBlockSize", mxDOUBLE_CLASS, true, "a real double scalar"},
    {inMaxGroupSize, "maxGroupSize", "sorvik:invalidMaxGroupSize", mxDOUBLE_CLASS, true, "a real double scalar"},
    {inMatchThreshold, "matchThreshold", "sorvik:invalidMatchThreshold", mxDOUBLE_CLASS, true,
     "a real double scalar"},
    {inSearchRadius, "searchRadius", "sorvik:invalidSearchRadius", mxDOUBLE_CLASS, true, "a real double scalar"},
    {inSigma, "sigma", "sorvik:invalidSigma", mxDOUBLE_CLASS, true, "a real double scalar"},
    {inWindow, "window", "sorvik:invalidWindow", mxDOUBLE_CLASS, false, "a real double array"},
    {inPilot, "pilot", "sorvik:invalidPilot", mxSINGLE_CLASS, false, "a real single matrix"},
};

const InputRule& rule(Input position)
{
    for (const InputRule& r : typedInputs)
        if (r.position == position)
            return r;
    return typedInputs[0]; // not reached: every caller names a typed input
}

constexpr std::size_t textSize = 160;

// "complex double 2x3x4", "sparse double 5x5", "empty single 0x7".
void describeArray(const mxArray* array, char* text)
{
    if (array == nullptr) {
        std::snprintf(text, textSize, "no array");
        return;
    }
    int used = std::snprintf(text, textSize, "%s%s%s%s", mxGetNumberOfElements(array) == 0 ? "empty " : "",
                             mxIsSparse(array) ? "sparse " : "", mxIsComplex(array) ? "complex " : "",
                             mxGetClassName(array));
    const mwSize* dims = mxGetDimensions(array);
    const long long ndims = static_cast<long long>(mxGetNumberOfDimensions(array));
    for (long long d = 0; d < ndims && used > 0 && used < static_cast<int>(textSize); ++d)
        used += std::snprintf(text + used, textSize - static_cast<std::size_t>(used), "%s%llu",
                              d == 0 ? " " : "x", static_cast<unsigned long long>(dims[d]));
}

// The value as the user would write it: NaN, Inf, -Inf, or the shortest of
// 15 or 17 significant digits that reads back as the same double.
void describeNumber(double value, char* text)
{
    if (std::isnan(value)) {
        std::snprintf(text, textSize, "NaN");
    } else if (std::isinf(value)) {
        std::snprintf(text, textSize, value > 0 ? "Inf" : "-Inf");
    } else {
        std::snprintf(text, textSize, "%.15g", value);
        if (std::strtod(text, nullptr) != value)
            std::snprintf(text, textSize, "%.17g", value);
    }
}

[[noreturn]] void rejectArray(const InputRule& r, const char* expected, const mxArray* given)
{
    char text[textSize];
    describeArray(given, text);
    fail(r.id, "Input %d (%s) must be %s; got %s.", r.position + 1, r.name, expected, text);
}

bool hasTypeOf(const mxArray* array, const InputRule& r)
{
    return array != nullptr && mxGetClassID(array) == r.classID && !mxIsComplex(array) && !mxIsSparse(array);
}

double firstDouble(const mxArray* array) { return static_cast<const double*>(mxGetData(array))[0]; }

// Integer parameters are (int32)(x + 0.5), truncating toward zero: 7.5 -> 8,
// -0.6 -> 0, -1.5 -> -1. Values whose result is not an int32 (NaN, infinite,
// out of range) are refused: converting them would be undefined.
std::int32_t roundedParameter(const mxArray* const prhs[], Input position, std::int32_t minimum)
{
    const InputRule& r = rule(position);
    const double value = firstDouble(prhs[position]);
    const double shifted = value + 0.5;
    char text[textSize];
    describeNumber(value, text);
    if (!(shifted > -2147483649.0 && shifted < 2147483648.0))
        fail(r.id, "Input %d (%s) must round to a 32-bit integer; got %s.", position + 1, r.name, text);
    const std::int32_t rounded = static_cast<std::int32_t>(shifted);
    if (rounded < minimum)
        fail(r.id, "Input %d (%s) must be at least %d after rounding; got %s, which rounds to %d.",
             position + 1, r.name, static_cast<int>(minimum), text, static_cast<int>(rounded));
    return rounded;
}

// Refuses anything that the reads below could not make safely.
void checkInputArrays(int nrhs, const mxArray* const prhs[])
{
    if (nrhs < inputCount)
        fail("sorvik:notEnoughInputs",
             "sorvik needs %d inputs (noisy, [], step, blockSize, maxGroupSize, [], [], matchThreshold, "
             "searchRadius, sigma, window, pilot); got %d.",
             static_cast<int>(inputCount), nrhs);
    for (const InputRule& r : typedInputs)
        if (!hasTypeOf(prhs[r.position], r))
            rejectArray(r, r.expected, prhs[r.position]);
    for (const InputRule& r : typedInputs)
        if (r.scalar && mxGetNumberOfElements(prhs[r.position]) == 0)
            rejectArray(r, r.expected, prhs[r.position]);
    if (mxGetNumberOfDimensions(prhs[inNoisy]) > 2)
        rejectArray(rule(inNoisy), "a 2-D real double matrix", prhs[inNoisy]);
    const std::uint64_t rows = static_cast<std::uint64_t>(mxGetM(prhs[inNoisy]));
    const std::uint64_t cols = static_cast<std::uint64_t>(mxGetN(prhs[inNoisy]));
    if (rows > INT32_MAX || cols > INT32_MAX)
        fail("sorvik:tooLarge", "Input 1 (noisy) may have at most %d rows and columns; got %llu x %llu.",
             static_cast<int>(INT32_MAX), static_cast<unsigned long long>(rows),
             static_cast<unsigned long long>(cols));
}

// Inputs 11 and 12 are read by element count alone, whatever their shape.
void checkElementCount(const mxArray* const prhs[], Input position, std::int64_t needed, const char* need)
{
    const mxArray* array = prhs[position];
    const std::int64_t count = static_cast<std::int64_t>(mxGetNumberOfElements(array));
    if (count >= needed)
        return;
    const InputRule& r = rule(position);
    char text[textSize];
    describeArray(array, text);
    fail(r.id, "Input %d (%s) must have %s; got %s (%lld elements).", position + 1, r.name, need, text,
         static_cast<long long>(count));
}

// Position k of an M x N image as 1-based (row, column).
struct Position {
    long long row;
    long long column;
};
Position positionOf(std::int64_t k, std::int32_t rows)
{
    return {static_cast<long long>(k % rows) + 1, static_cast<long long>(k / rows) + 1};
}

template <typename T>
std::int64_t countNonFinite(const T* values, std::int64_t count, std::int64_t& first)
{
    std::int64_t found = 0;
    first = -1;
    for (std::int64_t k = 0; k < count; ++k)
        if (!std::isfinite(values[k])) {
            if (found++ == 0)
                first = k;
        }
    return found;
}

// Non-finite pixels are within the contract and are filtered as the
// arithmetic defines, but their groups come out dark or NaN, which a user
// would otherwise find only by looking. One warning per call, raised before
// anything is allocated: a host that turns warnings into errors leaves
// through it.
void warnOfNonFiniteInput(const double* noisy, const float* pilot, const sorvik::FilterParams& p)
{
    const std::int64_t pixels = std::int64_t{p.rows} * p.cols;
    std::int64_t firstNoisy = -1;
    std::int64_t firstPilot = -1;
    const std::int64_t inNoisyCount = countNonFinite(noisy, pixels, firstNoisy);
    const std::int64_t inPilotCount = countNonFinite(pilot, pixels, firstPilot);
    if (inNoisyCount == 0 && inPilotCount == 0)
        return;
    const bool noisyFirst = inNoisyCount > 0;
    const Position at = positionOf(noisyFirst ? firstNoisy : firstPilot, p.rows);
    mexWarnMsgIdAndTxt("sorvik:nonFiniteInput",
                       "%lld input value%s not finite (NaN or Inf): %lld in input 1 (noisy), %lld in input "
                       "12 (pilot); the first is %s(%lld, %lld). The result is kept as the filter computes it: "
                       "pixels whose groups hold them may be NaN or darker.",
                       static_cast<long long>(inNoisyCount + inPilotCount),
                       inNoisyCount + inPilotCount == 1 ? " is" : "s are", static_cast<long long>(inNoisyCount),
                       static_cast<long long>(inPilotCount), noisyFirst ? "noisy" : "pilot", at.row, at.column);
}

// After runFilter has released everything it made and the output is gone.
[[noreturn]] void failFilter(sorvik::FilterStatus status, const sorvik::FilterParams& p)
{
    const char* id = "sorvik:outOfMemory";
    const char* what = "Not enough memory for the filter's buffers";
    if (status == sorvik::FilterStatus::planFailed) {
        id = "sorvik:planFailed";
        what = "FFTW could not make a transform plan";
    } else if (status != sorvik::FilterStatus::outOfMemory) {
        // checkParams passed, so this is a limit found only once the filter
        // looked at the call; it is not a shortage of memory.
        id = "sorvik:tooLarge";
        what = sorvik::statusMessage(status);
    }
    fail(id, "%s (a %d x %d image with blockSize %d, maxGroupSize %d and searchRadius %d).", what,
         static_cast<int>(p.rows), static_cast<int>(p.cols), static_cast<int>(p.blockSize),
         static_cast<int>(p.maxGroupSize), static_cast<int>(p.searchRadius));
}

} // namespace

extern "C" void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[])
{
    // Only one output exists; asking for more would otherwise fail in the
    // host after the whole filter has run.
    if (nlhs > 1)
        fail("sorvik:tooManyOutputs", "sorvik has one output; %d were requested.", nlhs);

    checkInputArrays(nrhs, prhs);

    // The images first, then their size.
    const double* noisy = static_cast<const double*>(mxGetData(prhs[inNoisy]));
    const float* pilot = static_cast<const float*>(mxGetData(prhs[inPilot]));
    sorvik::FilterParams params;
    params.rows = static_cast<std::int32_t>(mxGetM(prhs[inNoisy]));
    params.cols = static_cast<std::int32_t>(mxGetN(prhs[inNoisy]));

    // The parameters, in argument order.
    params.step = roundedParameter(prhs, inStep, INT32_MIN);
    params.blockSize = roundedParameter(prhs, inBlockSize, 2);
    params.maxGroupSize = roundedParameter(prhs, inMaxGroupSize, 1);
    // Inputs 6 and 7 may be any arrays and are never used, so their data is
    // not fetched either: a host may have none to give (Octave aborts on
    // mxGetData of a function handle or an object).
    params.matchThreshold = static_cast<float>(firstDouble(prhs[inMatchThreshold]));
    params.searchRadius = roundedParameter(prhs, inSearchRadius, 0);
    params.sigma = static_cast<float>(firstDouble(prhs[inSigma]));
    const double* window = static_cast<const double*>(mxGetData(prhs[inWindow]));

    char need[textSize];
    const std::int64_t windowElements = std::int64_t{params.blockSize} * params.blockSize;
    std::snprintf(need, textSize, "at least blockSize^2 = %lld elements", static_cast<long long>(windowElements));
    checkElementCount(prhs, inWindow, windowElements, need);
    const std::int64_t pixels = std::int64_t{params.rows} * params.cols;
    std::snprintf(need, textSize, "at least as many elements as input 1 (noisy), %d x %d = %lld",
                  static_cast<int>(params.rows), static_cast<int>(params.cols), static_cast<long long>(pixels));
    checkElementCount(prhs, inPilot, pixels, need);
    if (sorvik::checkParams(params) != sorvik::FilterStatus::ok)
        fail("sorvik:tooLarge",
             "A %d x %d image with blockSize %d, maxGroupSize %d and searchRadius %d needs buffers larger "
             "than 32-bit indices or this platform's address space allow.",
             static_cast<int>(params.rows), static_cast<int>(params.cols), static_cast<int>(params.blockSize),
             static_cast<int>(params.maxGroupSize), static_cast<int>(params.searchRadius));

    warnOfNonFiniteInput(noisy, pilot, params);

    // Output 1, M x N single, goes into the first slot before any filtering.
    const mwSize dims[2] = {static_cast<mwSize>(params.rows), static_cast<mwSize>(params.cols)};
    mxArray* output = mxCreateNumericArray(2, dims, mxSINGLE_CLASS, mxREAL);
    if (output == nullptr)
        fail("sorvik:outOfMemory", "Out of memory creating the %d x %d output.", static_cast<int>(params.rows),
             static_cast<int>(params.cols));
    plhs[outEstimate] = output;
    float* estimate = static_cast<float*>(mxGetData(output));

    // Set-up, filtering, final division and teardown all happen in runFilter,
    // which releases everything it made, on failure too.
    const sorvik::FilterStatus status = sorvik::runFilter(params, noisy, pilot, window, estimate);
    if (status != sorvik::FilterStatus::ok) {
        plhs[outEstimate] = nullptr;
        mxDestroyArray(output);
        failFilter(status, params);
    }
}
