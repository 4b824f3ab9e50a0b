// sorvik: the MEX entry. Reads the twelve inputs, creates the output, and
// runs the filter on plain arrays (filter/sorvik.h).
//
// Error exits (mexErrMsgIdAndTxt) leave this function without unwinding, so
// every one of them is made with nothing of this call still held: before the
// output exists, or after it was destroyed and its slot cleared. No object
// with a destructor lives in mexFunction's frame.
//
// Written with mwSize and plain integer conversions so that it compiles
// against the R14 mex.h (int dimensions) and Octave's (size_t/mwSize).
#include <cstdint>

#include "filter/sorvik.h"
#include "mex.h"

namespace {

// MATLAB argument positions, counted from 0 here (MATLAB's input k is k - 1).
enum Input : int {
    inNoisy = 0,          // 1: noisy image, double M x N
    inUnused2 = 1,        // 2: never read
    inStep = 2,           // 3: step, rounded
    inBlockSize = 3,      // 4: P, rounded
    inMaxGroupSize = 4,   // 5: K, rounded
    inUnused6 = 5,        // 6: data pointer fetched, not used
    inUnused7 = 6,        // 7: data pointer fetched, not used
    inMatchThreshold = 7, // 8: float
    inSearchRadius = 8,   // 9: R, rounded
    inSigma = 9,          // 10: float
    inWindow = 10,        // 11: first P*P doubles
    inPilot = 11,         // 12: pilot image, single M x N
    inputCount = 12
};

enum Output : int { outEstimate = 0 };

// Integer parameters are (int32)(x + 0.5), truncating toward zero: 7.5 -> 8,
// -0.6 -> 0, -1.5 -> -1.
// False when the result is not an int32 (NaN, infinite, out of range).
bool roundToInt32(double value, std::int32_t* result)
{
    const double shifted = value + 0.5;
    if (!(shifted > -2147483649.0 && shifted < 2147483648.0))
        return false;
    *result = static_cast<std::int32_t>(shifted);
    return true;
}

// Only what keeps the reads below in bounds; full validation is a later issue.
bool isDoubleArray(const mxArray* array)
{
    return mxGetClassID(array) == mxDOUBLE_CLASS && !mxIsSparse(array);
}

bool isDoubleScalarLike(const mxArray* array)
{
    return isDoubleArray(array) && mxGetNumberOfElements(array) >= 1;
}

double firstDouble(const mxArray* array) { return static_cast<const double*>(mxGetData(array))[0]; }

const char* errorIdFor(sorvik::FilterStatus status)
{
    switch (status) {
    case sorvik::FilterStatus::outOfMemory: return "sorvik:outOfMemory";
    case sorvik::FilterStatus::planFailed: return "sorvik:planFailed";
    case sorvik::FilterStatus::invalidParameters: return "sorvik:invalidParameters";
    case sorvik::FilterStatus::ok: break;
    }
    return "sorvik:internal";
}

} // namespace

extern "C" void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[])
{
    (void)nlhs; // output 1 is written whatever the number of requested outputs

    if (nrhs < inputCount) {
        mexErrMsgIdAndTxt("sorvik:notEnoughInputs", "sorvik needs %d inputs, got %d.", inputCount, nrhs);
        return;
    }
    if (!isDoubleArray(prhs[inNoisy])) {
        mexErrMsgIdAndTxt("sorvik:invalidNoisy", "Input 1 (noisy) must be a full double matrix.");
        return;
    }
    if (mxGetClassID(prhs[inPilot]) != mxSINGLE_CLASS) {
        mexErrMsgIdAndTxt("sorvik:invalidPilot", "Input 12 (pilot) must be a single matrix.");
        return;
    }
    static const struct {
        Input position;
        const char* id;
        const char* text;
    } scalars[] = {
        {inStep, "sorvik:invalidStep", "Input 3 (step)"},
        {inBlockSize, "sorvik:invalidBlockSize", "Input 4 (blockSize)"},
        {inMaxGroupSize, "sorvik:invalidMaxGroupSize", "Input 5 (maxGroupSize)"},
        {inMatchThreshold, "sorvik:invalidMatchThreshold", "Input 8 (matchThreshold)"},
        {inSearchRadius, "sorvik:invalidSearchRadius", "Input 9 (searchRadius)"},
        {inSigma, "sorvik:invalidSigma", "Input 10 (sigma)"},
    };
    for (const auto& scalar : scalars) {
        if (!isDoubleScalarLike(prhs[scalar.position])) {
            mexErrMsgIdAndTxt(scalar.id, "%s must be a full double scalar.", scalar.text);
            return;
        }
    }
    if (!isDoubleArray(prhs[inWindow])) {
        mexErrMsgIdAndTxt("sorvik:invalidWindow", "Input 11 (window) must be a full double array.");
        return;
    }

    // The images first, then their size.
    const double* noisy = static_cast<const double*>(mxGetData(prhs[inNoisy]));
    const float* pilot = static_cast<const float*>(mxGetData(prhs[inPilot]));
    const std::int64_t rows = static_cast<std::int64_t>(mxGetM(prhs[inNoisy]));
    const std::int64_t cols = static_cast<std::int64_t>(mxGetN(prhs[inNoisy]));
    if (rows > INT32_MAX || cols > INT32_MAX) {
        mexErrMsgIdAndTxt("sorvik:invalidNoisy", "Input 1 (noisy) is too large.");
        return;
    }
    if (static_cast<std::int64_t>(mxGetNumberOfElements(prhs[inPilot])) < rows * cols) {
        mexErrMsgIdAndTxt("sorvik:invalidPilot", "Input 12 (pilot) must have as many elements as input 1.");
        return;
    }

    // The parameters, in argument order.
    sorvik::FilterParams params;
    params.rows = static_cast<std::int32_t>(rows);
    params.cols = static_cast<std::int32_t>(cols);
    const bool stepOk = roundToInt32(firstDouble(prhs[inStep]), &params.step);
    const bool blockSizeOk = roundToInt32(firstDouble(prhs[inBlockSize]), &params.blockSize);
    const bool maxGroupSizeOk = roundToInt32(firstDouble(prhs[inMaxGroupSize]), &params.maxGroupSize);
    (void)mxGetData(prhs[inUnused6]);
    (void)mxGetData(prhs[inUnused7]);
    params.matchThreshold = static_cast<float>(firstDouble(prhs[inMatchThreshold]));
    const bool searchRadiusOk = roundToInt32(firstDouble(prhs[inSearchRadius]), &params.searchRadius);
    params.sigma = static_cast<float>(firstDouble(prhs[inSigma]));
    const double* window = static_cast<const double*>(mxGetData(prhs[inWindow]));

    if (!(stepOk && blockSizeOk && maxGroupSizeOk && searchRadiusOk)) {
        mexErrMsgIdAndTxt("sorvik:invalidParameters",
                          "step, blockSize, maxGroupSize and searchRadius must round to 32-bit integers.");
        return;
    }
    const sorvik::FilterStatus paramStatus = sorvik::checkParams(params);
    if (paramStatus != sorvik::FilterStatus::ok) {
        mexErrMsgIdAndTxt(errorIdFor(paramStatus), "%s", sorvik::statusMessage(paramStatus));
        return;
    }
    const std::int64_t windowElements = static_cast<std::int64_t>(params.blockSize) * params.blockSize;
    if (static_cast<std::int64_t>(mxGetNumberOfElements(prhs[inWindow])) < windowElements) {
        mexErrMsgIdAndTxt("sorvik:invalidWindow", "Input 11 (window) must have at least blockSize^2 elements.");
        return;
    }

    // Output 1, M x N single, goes into the first slot before any filtering.
    const mwSize dims[2] = {static_cast<mwSize>(params.rows), static_cast<mwSize>(params.cols)};
    mxArray* output = mxCreateNumericArray(2, dims, mxSINGLE_CLASS, mxREAL);
    if (output == nullptr) {
        mexErrMsgIdAndTxt("sorvik:outOfMemory", "Out of memory creating the %d x %d output.", params.rows,
                          params.cols);
        return;
    }
    plhs[outEstimate] = output;
    float* estimate = static_cast<float*>(mxGetData(output));

    // Set-up, filtering, final division and teardown all happen in runFilter.
    const sorvik::FilterStatus status = sorvik::runFilter(params, noisy, pilot, window, estimate);
    if (status != sorvik::FilterStatus::ok) {
        // runFilter has released everything it made; release the output too.
        plhs[outEstimate] = nullptr;
        mxDestroyArray(output);
        mexErrMsgIdAndTxt(errorIdFor(status), "%s", sorvik::statusMessage(status));
        return;
    }
}
