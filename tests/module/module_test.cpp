// End-to-end calls of the built module through the loader, as a host makes
// them. The same tests run against sorvik.mexa64 (native test program) and
// sorvik.mexglx (the i386 test program, under qemu-i386).
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "module_support.h"

using moduletest::CallInputs;
using moduletest::makeArrays;
using moduletest::module;
using moduletest::runExpectingOutput;

namespace {

float maxAbsDifference(const std::vector<float>& a, const std::vector<double>& b)
{
    float worst = 0.0f;
    for (std::size_t k = 0; k < a.size() && k < b.size(); ++k)
        worst = std::max(worst, static_cast<float>(std::fabs(static_cast<double>(a[k]) - b[k])));
    return worst;
}

} // namespace

TEST(Module, VersionText)
{
    ASSERT_TRUE(module().hasVersion());
    EXPECT_EQ(module().version(), "MATLAB R14 native");
}

TEST(Module, OutputIsSingleRealMByN)
{
    const CallInputs inputs = CallInputs::synthetic(21, 17, 11);
    const moduletest::CallArrays call = makeArrays(inputs);
    const int liveBefore = r14host::liveArrays();
    {
        r14host::CallResult result = module().call(1, call.pointers());
        ASSERT_FALSE(result.errorExit) << result.errorId << ": " << result.errorMessage;
        ASSERT_EQ(result.outputs.size(), 1u);
        const mxArray* output = result.outputs[0].get();
        ASSERT_NE(output, nullptr);
        EXPECT_EQ(mxGetClassID(output), mxSINGLE_CLASS);
        EXPECT_FALSE(mxIsComplex(output));
        EXPECT_FALSE(mxIsSparse(output));
        EXPECT_EQ(mxGetNumberOfDimensions(output), 2);
        EXPECT_EQ(r14host::dimensions(output), (std::vector<int>{21, 17}));
        for (float value : r14host::singleData(output)) {
            ASSERT_TRUE(std::isfinite(value));
            ASSERT_GE(value, 0.0f);
            ASSERT_LE(value, 1.0f);
        }
        EXPECT_EQ(r14host::liveArrays(), liveBefore + 1); // only the output
    }
    EXPECT_EQ(r14host::liveArrays(), liveBefore);
}

TEST(Module, OutputStoredInSlotZeroEvenWithNoRequestedOutputs)
{
    const CallInputs inputs = CallInputs::synthetic(12, 14, 5);
    const moduletest::CallArrays call = makeArrays(inputs);
    r14host::CallResult result = module().call(0, call.pointers());
    ASSERT_FALSE(result.errorExit) << result.errorId << ": " << result.errorMessage;
    ASSERT_EQ(result.outputs.size(), 1u);
    ASSERT_NE(result.outputs[0], nullptr);
    EXPECT_EQ(mxGetClassID(result.outputs[0].get()), mxSINGLE_CLASS);
    EXPECT_EQ(r14host::dimensions(result.outputs[0].get()), (std::vector<int>{12, 14}));
}

// There is one output: a request for more is refused before any work,
// whatever else is wrong with the call.
TEST(Module, MoreThanOneRequestedOutputIsRefusedFirst)
{
    const CallInputs inputs = CallInputs::synthetic(12, 14, 5);
    const moduletest::CallArrays call = makeArrays(inputs);
    std::vector<const mxArray*> tooFew = call.pointers();
    tooFew.resize(3);
    for (const auto& prhs : {call.pointers(), tooFew}) {
        for (int nlhs : {2, 5}) {
            const int liveBefore = r14host::liveArrays();
            r14host::CallResult result = module().call(nlhs, prhs);
            ASSERT_TRUE(result.errorExit) << "nlhs " << nlhs;
            EXPECT_EQ(result.errorId, "sorvik:tooManyOutputs");
            EXPECT_NE(result.errorMessage.find(std::to_string(nlhs) + " were requested"), std::string::npos)
                << result.errorMessage;
            EXPECT_EQ(r14host::liveArrays(), liveBefore);
            for (mxArray* slot : result.slotsAtErrorExit)
                EXPECT_EQ(slot, nullptr);
        }
    }
}

// Window of ones and sigma = 0: every Wiener coefficient is 1 (the pilot, the
// noisy image itself, has no zero coefficient), so every filtered block is its
// noisy block and the weighted average reproduces the image.
TEST(Module, IdentityWithUnitWindowAndZeroSigma)
{
    for (const double step : {1.0, 3.0}) {
        CallInputs inputs = CallInputs::synthetic(23, 19, 7);
        inputs.sigma = 0.0;
        inputs.step = step;
        const std::vector<float> output = runExpectingOutput(inputs);
        ASSERT_EQ(output.size(), inputs.noisy.size());
        EXPECT_LT(maxAbsDifference(output, inputs.noisy), 1e-5f) << "step " << step;
    }
}

TEST(Module, EmptyImageGivesEmptyOutput)
{
    for (const auto& size : std::vector<std::pair<int, int>>{{0, 0}, {0, 5}, {6, 0}}) {
        CallInputs inputs = CallInputs::synthetic(size.first, size.second, 3);
        const moduletest::CallArrays call = makeArrays(inputs);
        r14host::CallResult result = module().call(1, call.pointers());
        ASSERT_FALSE(result.errorExit) << result.errorId << ": " << result.errorMessage;
        ASSERT_NE(result.outputs[0], nullptr);
        EXPECT_EQ(mxGetClassID(result.outputs[0].get()), mxSINGLE_CLASS);
        EXPECT_EQ(r14host::dimensions(result.outputs[0].get()),
                  (std::vector<int>{size.first, size.second}));
        EXPECT_EQ(mxGetNumberOfElements(result.outputs[0].get()), 0);
    }
}

TEST(Module, ImageSmallerThanABlockIsAllNaN)
{
    for (const auto& size : std::vector<std::pair<int, int>>{{3, 10}, {10, 3}, {1, 1}}) {
        const CallInputs inputs = CallInputs::synthetic(size.first, size.second, 4);
        const std::vector<float> output = runExpectingOutput(inputs);
        ASSERT_EQ(output.size(), static_cast<std::size_t>(size.first * size.second));
        for (float value : output)
            EXPECT_TRUE(std::isnan(value));
    }
}

TEST(Module, RepeatedCallsGiveTheSameOutput)
{
    const CallInputs inputs = CallInputs::synthetic(20, 22, 9);
    const std::vector<float> first = runExpectingOutput(inputs);
    const std::vector<float> second = runExpectingOutput(inputs);
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(first, second);
}

// Parameters are rounded by (int32)(x + 0.5): 3.5 acts as 4, 2.6 as 3,
// -0.4 as 0, 7.49 as 7.
TEST(Module, ParametersAreRoundedHalfUpByTruncation)
{
    CallInputs whole = CallInputs::synthetic(18, 16, 21);
    whole.step = 3;
    whole.blockSize = 4;
    whole.maxGroupSize = 7;
    whole.searchRadius = 0;
    CallInputs fractional = whole;
    fractional.step = 2.6;
    fractional.blockSize = 3.5;
    fractional.maxGroupSize = 7.49;
    fractional.searchRadius = -0.4;
    const std::vector<float> expected = runExpectingOutput(whole);
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(runExpectingOutput(fractional), expected);
}

// Inputs 2, 6 and 7 are not read (6 and 7 only have their data fetched).
TEST(Module, IgnoredInputsMayBeAnything)
{
    const CallInputs inputs = CallInputs::synthetic(16, 15, 2);
    const std::vector<float> expected = runExpectingOutput(inputs);
    moduletest::CallArrays call = makeArrays(inputs);
    call.arrays[1] = r14host::Array(mxCreateString("anything"));
    call.arrays[5] = r14host::numericArray({2, 3, 4}, mxINT8_CLASS);
    call.arrays[6] = r14host::Array(mxCreateSparse(5, 5, 3, mxREAL));
    r14host::CallResult result = module().call(1, call.pointers());
    ASSERT_FALSE(result.errorExit) << result.errorId << ": " << result.errorMessage;
    EXPECT_EQ(r14host::singleData(result.outputs[0].get()), expected);
}
