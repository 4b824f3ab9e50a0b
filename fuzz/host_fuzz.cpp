// libFuzzer harness: the MEX entry, called through the stand-in host the way
// a host calls it, with arbitrary argument and output counts, classes, shapes
// and values, and now and then a failing output creation or a failing
// allocation or plan inside the filter. Every call must either return the
// M x N single output (with one warning when a pixel is not finite) or make an
// error exit with a sorvik identifier, and must leave no array of its own
// behind.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "filter/fault_injection.h"
#include "loader.h"
#include "mex.h"
#include "r14host_testing.h"
#include "bytes.h"

namespace {

[[noreturn]] void broken(const char* what, const r14host::CallResult& result)
{
    std::fprintf(stderr, "host_fuzz: %s (error exit %d, id '%s': %s)\n", what, result.errorExit ? 1 : 0,
                 result.errorId.c_str(), result.errorMessage.c_str());
    __builtin_trap();
}

// Values around every limit the entry has: rounding, the int32 range, the
// parameter minimums, the empty-entry mark, non-finite values.
double interestingValue(Bytes& in)
{
    static const double values[] = {
        0.0, 1.0, 2.0, 3.0, 4.0, 5.0, 8.0, 7.5, 1.5, 1.49, 0.5, 0.49, -0.4, -0.6, -1.0, -1.5, -2.0,
        0.1, 1e-3, 2147483647.4, 2147483647.5, -2147483648.6, -2147483649.5, 4294967296.0, 1048576.0,
        1048577.0, 2e6, 1e300, -1e300, 5e-324,
        std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
        -std::numeric_limits<double>::infinity()};
    const std::uint8_t choice = in.byte();
    if (choice < 128)
        return values[choice % (sizeof values / sizeof values[0])];
    if (choice < 224)
        return static_cast<double>(static_cast<std::int8_t>(in.byte())) / 4.0;
    return in.take<double>();
}

r14host::Array create(int ndim, const int* dims, mxClassID classID, mxComplexity complexity)
{
    return r14host::Array(mxCreateNumericArray(ndim, dims, classID, complexity));
}

// Any array: one of several classes, 0 to 4 dimensions of 0 to 5, data from
// the input.
r14host::Array arbitraryArray(Bytes& in)
{
    static const mxClassID classes[] = {mxDOUBLE_CLASS, mxSINGLE_CLASS, mxINT8_CLASS,  mxUINT8_CLASS,
                                        mxINT16_CLASS,  mxINT32_CLASS,  mxUINT64_CLASS, mxINT64_CLASS};
    const std::uint8_t kind = in.byte();
    const int ndim = in.byte() % 5;
    int dims[4] = {1, 1, 1, 1};
    for (int d = 0; d < ndim; ++d)
        dims[d] = in.byte() % 6;
    r14host::Array array;
    if (kind % 11 == 8) {
        array.reset(mxCreateSparse(dims[0], dims[1], 1 + in.byte() % 4, (kind & 16) ? mxCOMPLEX : mxREAL));
    } else if (kind % 11 == 9) {
        array.reset(mxCreateLogicalMatrix(dims[0], dims[1]));
    } else if (kind % 11 == 10) {
        array.reset(mxCreateString(kind & 16 ? "" : "x"));
    } else {
        array = create(ndim, dims, classes[kind % 11], (kind & 32) ? mxCOMPLEX : mxREAL);
    }
    if (array && mxGetData(array.get()) != nullptr && mxGetClassID(array.get()) == mxDOUBLE_CLASS &&
        !mxIsSparse(array.get()))
        static_cast<double*>(mxGetData(array.get()))[0] = interestingValue(in);
    return array;
}

r14host::Array scalar(Bytes& in)
{
    r14host::Array array(mxCreateDoubleScalar(interestingValue(in)));
    return array;
}

r14host::Array image(Bytes& in, int rows, int cols, mxClassID classID)
{
    const int dims[2] = {rows, cols};
    r14host::Array array = create(2, dims, classID, mxREAL);
    const std::size_t count = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
    for (std::size_t k = 0; k < count && array; ++k) {
        const std::uint8_t raw = in.byte();
        const double value = raw == 255 ? std::numeric_limits<double>::quiet_NaN() : raw / 254.0;
        if (classID == mxDOUBLE_CLASS)
            static_cast<double*>(mxGetData(array.get()))[k] = value;
        else
            static_cast<float*>(mxGetData(array.get()))[k] = static_cast<float>(value);
    }
    return array;
}

int roundedBlockSize(const mxArray* blockSize)
{
    if (mxGetClassID(blockSize) != mxDOUBLE_CLASS || mxGetNumberOfElements(blockSize) < 1 || mxIsSparse(blockSize))
        return 0;
    const double shifted = static_cast<const double*>(mxGetData(blockSize))[0] + 0.5;
    return shifted >= 2.0 && shifted < 17.0 ? static_cast<int>(shifted) : 0;
}

bool isRealFull(const mxArray* array, mxClassID classID)
{
    return mxGetClassID(array) == classID && !mxIsComplex(array) && !mxIsSparse(array);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Bytes in(data, size);
    const std::uint8_t countChoice = in.byte();
    const int nrhs = countChoice < 16 ? countChoice % 14 : 12;
    const std::uint8_t failureChoice = in.byte();
    const int failureAfter = in.byte();
    const int rows = in.byte() % 20;
    const int cols = in.byte() % 20;

    // Each input is the kind the entry reads, unless the selector says
    // otherwise; so most calls get far, and every position gets anything.
    std::vector<r14host::Array> arrays(14);
    for (int position = 0; position < 14; ++position) {
        const bool arbitrary = in.byte() >= 216;
        if (arbitrary || position == 1 || position == 5 || position == 6 || position >= 12) {
            arrays[position] = arbitraryArray(in);
            continue;
        }
        switch (position) {
        case 0: arrays[position] = image(in, rows, cols, mxDOUBLE_CLASS); break;
        case 11: {
            const int extra = in.byte() % 4 == 0 ? static_cast<int>(in.byte() % 3) - 1 : 0;
            arrays[position] = image(in, rows + extra < 0 ? 0 : rows + extra, cols, mxSINGLE_CLASS);
            break;
        }
        case 10: {
            const int blockSize = arrays[3] ? roundedBlockSize(arrays[3].get()) : 0;
            const int count = (blockSize > 0 ? blockSize * blockSize : 16) + static_cast<int>(in.byte() % 3) - 1;
            const int dims[2] = {count, 1};
            arrays[position] = create(2, dims, mxDOUBLE_CLASS, mxREAL);
            for (int k = 0; k < count && arrays[position]; ++k)
                static_cast<double*>(mxGetData(arrays[position].get()))[k] = in.byte() / 32.0;
            break;
        }
        default: arrays[position] = scalar(in); break;
        }
    }
    for (const r14host::Array& array : arrays)
        if (!array)
            return 0; // the stand-in could not make it: nothing to call with
    // Read last, so that the inputs written before it keep their meaning: a
    // host asks for no output (ans) or for one; more must be refused.
    const std::uint8_t outputChoice = in.byte();
    const int nlhs = outputChoice < 252 ? 1 : outputChoice - 252; // 0, 1, 2 or 3

    std::vector<const mxArray*> prhs;
    for (int position = 0; position < nrhs; ++position)
        prhs.push_back(arrays[static_cast<std::size_t>(position)].get());

    enum class Failure { none, outputNull, outputExit, allocation, plan } failure = Failure::none;
    if (failureChoice < 8) {
        failure = Failure::outputNull;
        r14hostFailArrayCreation(0, R14HOST_FAIL_RETURN_NULL);
    } else if (failureChoice < 16) {
        failure = Failure::outputExit;
        r14hostFailArrayCreation(0, R14HOST_FAIL_ERROR_EXIT);
    } else if (failureChoice < 40) {
        failure = Failure::allocation;
        sorvik::testing::failAllocationAfter(failureAfter % 16);
    } else if (failureChoice < 56) {
        failure = Failure::plan;
        sorvik::testing::failPlanAfter(failureAfter % 48);
    }

    const int liveBefore = r14hostLiveArrays();
    const int createdBefore = r14hostArraysCreated();
    const int invalidBefore = r14hostInvalidDestroys();
    const int warningsBefore = r14hostWarnings();
    r14host::CallResult result = r14host::callEntry(mexFunction, nlhs, prhs);
    const bool filterFailed =
        (failure == Failure::allocation || failure == Failure::plan) && sorvik::testing::injectedFailureFired();
    const bool outputCreated = r14hostArraysCreated() != createdBefore;
    sorvik::testing::clearInjectedFailures();
    r14hostClearFailures();

    if (r14hostInvalidDestroys() != invalidBefore)
        broken("destroyed an array that was not live", result);
    if (nlhs > 1 && (!result.errorExit || result.errorId != "sorvik:tooManyOutputs" || outputCreated ||
                     r14hostWarnings() != warningsBefore))
        broken("more than one output not refused before any work", result);
    if (result.errorExit) {
        for (mxArray* slot : result.slotsAtErrorExit)
            if (slot != nullptr)
                broken("error exit with an output left in a slot", result);
        if (r14hostLiveArrays() != liveBefore)
            broken("error exit left an array behind", result);
        const bool sorvikId = result.errorId.rfind("sorvik:", 0) == 0;
        if (!sorvikId && !(failure == Failure::outputExit && result.errorId == "MATLAB:nomem"))
            broken("error exit with a foreign identifier", result);
        if (result.errorMessage.empty())
            broken("error exit without a message", result);
        if (filterFailed && result.errorId != "sorvik:outOfMemory" && result.errorId != "sorvik:planFailed")
            broken("a failed allocation or plan reported as something else", result);
        return 0;
    }

    if (filterFailed)
        broken("a failed allocation or plan reported as success", result);
    if ((failure == Failure::outputNull || failure == Failure::outputExit) && !outputCreated)
        broken("a failed output creation reported as success", result);
    if (r14hostLiveArrays() != liveBefore + 1)
        broken("a normal return must leave exactly the output", result);
    const mxArray* output = result.outputs.empty() ? nullptr : result.outputs[0].get();
    if (output == nullptr || !isRealFull(output, mxSINGLE_CLASS) || mxGetNumberOfDimensions(output) != 2)
        broken("no real single output", result);
    // What it accepted must have been a call within the contract.
    if (nrhs < 12)
        broken("accepted fewer than twelve inputs", result);
    const mxArray* noisy = prhs[0];
    const mxArray* pilot = prhs[11];
    if (!isRealFull(noisy, mxDOUBLE_CLASS) || mxGetNumberOfDimensions(noisy) != 2 ||
        !isRealFull(pilot, mxSINGLE_CLASS) ||
        mxGetNumberOfElements(pilot) < mxGetNumberOfElements(noisy))
        broken("accepted images outside the contract", result);
    if (mxGetM(output) != mxGetM(noisy) || mxGetN(output) != mxGetN(noisy))
        broken("output is not M x N", result);
    // One warning exactly when a pixel the filter reads is not finite.
    const std::size_t pixels = mxGetNumberOfElements(noisy);
    bool nonFinite = false;
    for (std::size_t k = 0; k < pixels; ++k)
        nonFinite = nonFinite || !std::isfinite(static_cast<const double*>(mxGetData(noisy))[k]) ||
                    !std::isfinite(static_cast<const float*>(mxGetData(pilot))[k]);
    if (r14hostWarnings() != warningsBefore + (nonFinite ? 1 : 0))
        broken("non-finite pixels not warned of exactly once", result);
    return 0;
}
