// Calls that break the argument contract are refused with an error exit that
// names the input and leaves nothing behind; calls that keep it, however odd
// their values, are not refused. Run against both modules (64 and 32 bit).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <sorvik/sorvik.h>
#include "module_support.h"
#include "r14host_testing.h"

using moduletest::CallArrays;
using moduletest::CallInputs;
using moduletest::expectCleanErrorExit;
using moduletest::makeArrays;
using moduletest::module;
using r14host::Array;

namespace {

const double notANumber = std::numeric_limits<double>::quiet_NaN();
const double infinity = std::numeric_limits<double>::infinity();

// The inputs the module reads, by MATLAB position.
struct TypedInput {
    int position;
    const char* id;
    bool single;             // input 12; the others are double
    std::vector<int> dims;   // the shape of the valid call's array
};

const std::vector<TypedInput> typedInputs = {
    {1, "sorvik:invalidNoisy", false, {10, 10}},
    {3, "sorvik:invalidStep", false, {1, 1}},
    {4, "sorvik:invalidBlockSize", false, {1, 1}},
    {5, "sorvik:invalidMaxGroupSize", false, {1, 1}},
    {8, "sorvik:invalidMatchThreshold", false, {1, 1}},
    {9, "sorvik:invalidSearchRadius", false, {1, 1}},
    {10, "sorvik:invalidSigma", false, {1, 1}},
    {11, "sorvik:invalidWindow", false, {16, 1}},
    {12, "sorvik:invalidPilot", true, {10, 10}},
};

const char* idOf(int position)
{
    for (const TypedInput& input : typedInputs)
        if (input.position == position)
            return input.id;
    return "";
}

// A valid 10 x 10 call with blockSize 4 (window of 16).
CallInputs validInputs() { return CallInputs::synthetic(10, 10, 1); }

class Call {
public:
    explicit Call(const CallInputs& inputs = validInputs()) : arrays_(makeArrays(inputs)) {}

    Call& set(int position, Array array)
    {
        arrays_.arrays[static_cast<std::size_t>(position - 1)] = std::move(array);
        return *this;
    }
    Call& set(int position, double value) { return set(position, r14host::doubleScalar(value)); }
    std::vector<const mxArray*> inputs() const { return arrays_.pointers(); }

    std::string refusedWith(const std::string& id) const { return expectCleanErrorExit(module(), inputs(), id); }
    std::vector<float> output(int rows = 10, int cols = 10) const
    {
        return moduletest::runExpectingOutput(module(), inputs(), rows, cols);
    }

private:
    CallArrays arrays_;
};

Array sparseDouble(int rows, int cols) { return Array(mxCreateSparse(rows, cols, 1, mxREAL)); }
Array numeric(const std::vector<int>& dims, mxClassID classID, mxComplexity complexity = mxREAL)
{
    return r14host::numericArray(dims, classID, complexity);
}

} // namespace

TEST(Rejection, FewerThanTwelveInputs)
{
    const Call call;
    for (int nrhs : {0, 1, 11}) {
        std::vector<const mxArray*> prhs = call.inputs();
        prhs.resize(static_cast<std::size_t>(nrhs));
        expectCleanErrorExit(module(), prhs, "sorvik:notEnoughInputs");
    }
}

TEST(Rejection, WrongClassComplexOrSparseInput)
{
    for (const TypedInput& input : typedInputs) {
        SCOPED_TRACE("input " + std::to_string(input.position));
        const mxClassID right = input.single ? mxSINGLE_CLASS : mxDOUBLE_CLASS;
        const mxClassID otherFloat = input.single ? mxDOUBLE_CLASS : mxSINGLE_CLASS;
        for (mxClassID wrong : {otherFloat, mxINT32_CLASS, mxUINT8_CLASS})
            Call().set(input.position, numeric(input.dims, wrong)).refusedWith(input.id);
        Call().set(input.position, Array(mxCreateLogicalMatrix(input.dims[0], input.dims[1]))).refusedWith(input.id);
        Call().set(input.position, Array(mxCreateString("4"))).refusedWith(input.id);
        Call().set(input.position, numeric(input.dims, right, mxCOMPLEX)).refusedWith(input.id);
        Call().set(input.position, sparseDouble(input.dims[0], input.dims[1])).refusedWith(input.id);
    }
}

TEST(Rejection, EmptyScalar)
{
    for (int position : {3, 4, 5, 8, 9, 10}) {
        SCOPED_TRACE("input " + std::to_string(position));
        for (const auto& dims : std::vector<std::vector<int>>{{0, 0}, {1, 0}, {0, 3}})
            Call().set(position, numeric(dims, mxDOUBLE_CLASS)).refusedWith(idOf(position));
    }
}

TEST(Rejection, NoisyWithMoreThanTwoDimensions)
{
    Call().set(1, numeric({4, 4, 2}, mxDOUBLE_CLASS)).refusedWith("sorvik:invalidNoisy");
    Call().set(1, numeric({10, 5, 1, 2}, mxDOUBLE_CLASS)).refusedWith("sorvik:invalidNoisy");
    // Trailing singleton dimensions do not count.
    const CallInputs inputs = validInputs();
    Array noisy = numeric({10, 10, 1, 1}, mxDOUBLE_CLASS);
    std::copy(inputs.noisy.begin(), inputs.noisy.end(), static_cast<double*>(mxGetData(noisy.get())));
    EXPECT_EQ(Call().set(1, std::move(noisy)).output(), Call().output());
}

// The pilot is read as M x N floats in storage order: fewer elements are
// refused, any shape with enough elements is read by its first M * N.
TEST(Rejection, PilotWithFewerElementsThanTheImage)
{
    Call().set(12, r14host::singleMatrix(9, 10)).refusedWith("sorvik:invalidPilot");
    Call().set(12, r14host::singleMatrix(99, 1)).refusedWith("sorvik:invalidPilot");
    Call().set(12, r14host::singleMatrix(0, 0)).refusedWith("sorvik:invalidPilot");

    const CallInputs inputs = validInputs();
    const std::vector<float> expected = Call().output();
    EXPECT_EQ(Call().set(12, r14host::singleMatrix(100, 1, inputs.pilot)).output(), expected);
    std::vector<float> longer = inputs.pilot;
    longer.resize(110, -5.0f);
    EXPECT_EQ(Call().set(12, r14host::singleMatrix(11, 10, longer)).output(), expected);
    // An empty image needs no pilot element.
    CallInputs empty = CallInputs::synthetic(0, 5, 1);
    EXPECT_TRUE(Call(empty).set(12, r14host::singleMatrix(0, 0)).output(0, 5).empty());
}

// The window is read as its first blockSize^2 doubles, blockSize rounded.
TEST(Rejection, WindowWithFewerThanBlockSizeSquaredElements)
{
    Call().set(11, r14host::doubleMatrix(15, 1)).refusedWith("sorvik:invalidWindow");
    Call().set(11, r14host::doubleMatrix(3, 5)).refusedWith("sorvik:invalidWindow");
    Call().set(4, 4.5).refusedWith("sorvik:invalidWindow"); // blockSize 5 needs 25

    const std::vector<double> window = validInputs().window;
    const std::vector<float> expected = Call().output();
    EXPECT_EQ(Call().set(11, r14host::doubleMatrix(4, 4, window)).output(), expected);
    std::vector<double> longer = window;
    longer.resize(20, 1e6);
    EXPECT_EQ(Call().set(11, r14host::doubleMatrix(1, 20, longer)).output(), expected);
}

// blockSize >= 2, maxGroupSize >= 1, searchRadius >= 0, after rounding.
TEST(Rejection, IntegerParametersBelowTheirMinimum)
{
    for (double value : {1.0, 1.49, 0.0, -3.0})
        Call().set(4, value).refusedWith("sorvik:invalidBlockSize");
    for (double value : {0.0, 0.49, -2.0})
        Call().set(5, value).refusedWith("sorvik:invalidMaxGroupSize");
    for (double value : {-1.5, -2.0, -1e6})
        Call().set(9, value).refusedWith("sorvik:invalidSearchRadius");

    // The boundaries, reached by rounding, are accepted.
    EXPECT_EQ(Call().set(4, 1.5).output(), Call().set(4, 2.0).output());
    EXPECT_EQ(Call().set(5, 0.5).output(), Call().set(5, 1.0).output());
    const std::vector<float> radiusZero = Call().set(9, 0.0).output();
    EXPECT_EQ(Call().set(9, -1.0).output(), radiusZero); // -1 + 0.5 truncates to 0
    EXPECT_EQ(Call().set(9, -0.6).output(), radiusZero);
}

// Converting these to int would be undefined; they are refused instead.
TEST(Rejection, IntegerParametersThatDoNotRoundToInt32)
{
    for (int position : {3, 4, 5, 9}) {
        SCOPED_TRACE("input " + std::to_string(position));
        for (double value : {notANumber, infinity, -infinity, 1e10, -1e10, 2147483647.5, -2147483649.5})
            Call().set(position, value).refusedWith(idOf(position));
    }
    // The extremes that do round to an int32 are used as such.
    const std::vector<float> everyReference = Call().set(3, 1.0).output();
    EXPECT_EQ(Call().set(3, -2147483648.6).output(), everyReference);
    EXPECT_FALSE(Call().set(3, 2147483647.4).output().empty());
    const std::vector<float> wholeGrid = Call().set(9, 100.0).set(5, 1000.0).output();
    EXPECT_EQ(Call().set(9, 2147483647.4).set(5, 2147483647.4).output(), wholeGrid);
    // A window of blockSize^2 = 2^62 elements cannot exist.
    Call().set(4, 2147483647.4).refusedWith("sorvik:invalidWindow");
}

TEST(Rejection, SizesBeyondThirtyTwoBitIndices)
{
    // 603 ring rows x 301 block columns x 45300 coefficients.
    CallInputs inputs;
    inputs.rows = inputs.cols = 600;
    inputs.blockSize = 300;
    inputs.searchRadius = 400;
    inputs.window.assign(300 * 300, 1.0);
    Call(inputs).refusedWith("sorvik:tooLarge");
}

TEST(Rejection, MessagesNameTheInputWhatWasExpectedAndWhatWasGiven)
{
    EXPECT_EQ(Call().set(4, 1.4).refusedWith("sorvik:invalidBlockSize"),
              "Input 4 (blockSize) must be at least 2 after rounding; got 1.4, which rounds to 1.");
    EXPECT_EQ(Call().set(5, notANumber).refusedWith("sorvik:invalidMaxGroupSize"),
              "Input 5 (maxGroupSize) must round to a 32-bit integer; got NaN.");
    EXPECT_EQ(Call().set(9, -infinity).refusedWith("sorvik:invalidSearchRadius"),
              "Input 9 (searchRadius) must round to a 32-bit integer; got -Inf.");
    EXPECT_EQ(Call().set(3, numeric({0, 0}, mxDOUBLE_CLASS)).refusedWith("sorvik:invalidStep"),
              "Input 3 (step) must be a real double scalar; got empty double 0x0.");
    EXPECT_EQ(Call().set(10, numeric({1, 1}, mxDOUBLE_CLASS, mxCOMPLEX)).refusedWith("sorvik:invalidSigma"),
              "Input 10 (sigma) must be a real double scalar; got complex double 1x1.");
    EXPECT_EQ(Call().set(12, r14host::doubleMatrix(10, 10)).refusedWith("sorvik:invalidPilot"),
              "Input 12 (pilot) must be a real single matrix; got double 10x10.");
    EXPECT_EQ(Call().set(12, r14host::singleMatrix(9, 10)).refusedWith("sorvik:invalidPilot"),
              "Input 12 (pilot) must have at least as many elements as input 1 (noisy), 10 x 10 = 100; "
              "got single 9x10 (90 elements).");
    EXPECT_EQ(Call().set(11, r14host::doubleMatrix(15, 1)).refusedWith("sorvik:invalidWindow"),
              "Input 11 (window) must have at least blockSize^2 = 16 elements; got double 15x1 (15 elements).");
    EXPECT_EQ(Call().set(1, numeric({4, 4, 2}, mxDOUBLE_CLASS)).refusedWith("sorvik:invalidNoisy"),
              "Input 1 (noisy) must be a 2-D real double matrix; got double 4x4x2.");
    EXPECT_EQ(Call().set(1, sparseDouble(10, 10)).refusedWith("sorvik:invalidNoisy"),
              "Input 1 (noisy) must be a real double matrix; got sparse double 10x10.");
    std::vector<const mxArray*> three = Call().inputs();
    three.resize(3);
    EXPECT_EQ(expectCleanErrorExit(module(), three, "sorvik:notEnoughInputs"),
              "sorvik needs 12 inputs (noisy, [], step, blockSize, maxGroupSize, [], [], matchThreshold, "
              "searchRadius, sigma, window, pilot); got 3.");
}

// Values the contract allows are filtered, not refused.
TEST(Acceptance, OddValuesWithinTheContract)
{
    // step <= 1: every block position is a reference.
    const std::vector<float> everyReference = Call().set(3, 1.0).output();
    for (double step : {0.0, -7.0})
        EXPECT_EQ(Call().set(3, step).output(), everyReference) << "step " << step;
    // sigma enters as its square; zero, NaN and infinity pass through.
    EXPECT_EQ(Call().set(10, -0.1).output(), Call().set(10, 0.1).output());
    for (double sigma : {0.0, notANumber, infinity})
        EXPECT_EQ(Call().set(10, sigma).output().size(), 100u) << "sigma " << sigma;
    // No threshold at or below zero, nor NaN, admits a candidate.
    const std::vector<float> referencesAlone = Call().set(8, 0.0).output();
    for (double threshold : {-1.0, notANumber, -infinity})
        EXPECT_EQ(Call().set(8, threshold).output(), referencesAlone) << "threshold " << threshold;
    // A threshold above the empty-entry mark (2^20) acts as the mark.
    const std::vector<float> atTheMark = Call().set(8, 1048576.0).output();
    for (double threshold : {2e6, 1e300, infinity})
        EXPECT_EQ(Call().set(8, threshold).output(), atTheMark) << "threshold " << threshold;
    // Only the first element of a scalar input is read.
    EXPECT_EQ(Call().set(4, r14host::doubleMatrix(1, 3, {4.0, 9.0, 9.0})).output(), Call().output());
}

// The filter's own result for a call's inputs, to hold the module to it.
std::vector<float> filteredDirectly(const CallInputs& in)
{
    sorvik::FilterParams p;
    p.rows = in.rows;
    p.cols = in.cols;
    p.step = static_cast<std::int32_t>(in.step + 0.5);
    p.blockSize = static_cast<std::int32_t>(in.blockSize + 0.5);
    p.maxGroupSize = static_cast<std::int32_t>(in.maxGroupSize + 0.5);
    p.searchRadius = static_cast<std::int32_t>(in.searchRadius + 0.5);
    p.matchThreshold = static_cast<float>(in.matchThreshold);
    p.sigma = static_cast<float>(in.sigma);
    std::vector<float> estimate(in.noisy.size());
    EXPECT_EQ(sorvik::runFilter(p, in.noisy.data(), in.pilot.data(), in.window.data(), estimate.data()),
              sorvik::FilterStatus::ok);
    return estimate;
}

// Non-finite pixels are filtered as the arithmetic defines, bit for bit, with
// one warning per call that counts them and gives the first one's place.
TEST(Acceptance, NonFinitePixelsAreFilteredWithOneWarning)
{
    struct Case {
        const char* name;
        std::vector<int> noisyAt; // column-major indices into the 10 x 10 image
        std::vector<int> pilotAt;
        const char* text;
    };
    const std::vector<Case> cases = {
        {"pilot only", {}, {9, 90}, "2 in input 12 (pilot); the first is pilot(10, 1)."},
        {"both", {99, 0, 57}, {1, 2, 3, 4}, "7 input values are not finite (NaN or Inf): 3 in input 1 (noisy), 4 "
                                            "in input 12 (pilot); the first is noisy(1, 1)."},
    };
    const double specials[] = {std::numeric_limits<double>::quiet_NaN(), infinity, -infinity};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CallInputs inputs = validInputs();
        int k = 0;
        for (int at : c.noisyAt)
            inputs.noisy[static_cast<std::size_t>(at)] = specials[k++ % 3];
        for (int at : c.pilotAt)
            inputs.pilot[static_cast<std::size_t>(at)] = static_cast<float>(specials[k++ % 3]);

        const int warningsBefore = r14hostWarnings();
        testing::internal::CaptureStderr();
        const std::vector<float> output = Call(inputs).output();
        const std::string printed = testing::internal::GetCapturedStderr();
        EXPECT_EQ(r14hostWarnings(), warningsBefore + 1);
        EXPECT_STREQ(r14hostLastWarningId(), "sorvik:nonFiniteInput");
        EXPECT_NE(printed.find(c.text), std::string::npos) << printed;
        EXPECT_TRUE(moduletest::sameBits(output, filteredDirectly(inputs)));
    }
    // Finite inputs, however odd, give no warning.
    const int warningsBefore = r14hostWarnings();
    CallInputs large = validInputs();
    large.noisy[5] = 1e300;
    large.pilot[5] = 3e38f;
    Call(large).output();
    Call().output();
    EXPECT_EQ(r14hostWarnings(), warningsBefore);
}
