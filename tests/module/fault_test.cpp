// Resource failures inside a call: every allocation and every FFTW plan of
// the filter is made to fail in turn (through the fault-injection build of
// the module), and so is the creation of the output. Each must end in an
// error exit that has released everything the call made; a crash here means
// a missing buffer or plan was used. The leak checks of the sanitizer and
// valgrind runs cover the filter's own memory.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "module_support.h"
#include "r14host_testing.h"

using moduletest::CallInputs;
using moduletest::faultModule;
using moduletest::makeArrays;

namespace {

enum class Resource { allocation, plan };

// Fails the first, second, ... acquisition of the kind until a call runs
// without reaching the armed one; returns how many failure points there were.
int failEachInTurn(Resource resource, const CallInputs& inputs, const std::string& id)
{
    const moduletest::FaultModule& faults = faultModule();
    const moduletest::CallArrays call = makeArrays(inputs);
    const std::vector<float> expected =
        moduletest::runExpectingOutput(faults.module, call.pointers(), inputs.rows, inputs.cols);
    for (int successes = 0; successes < 10000; ++successes) {
        SCOPED_TRACE((resource == Resource::plan ? "plan " : "allocation ") + std::to_string(successes));
        if (resource == Resource::plan)
            faults.failPlanAfter(successes);
        else
            faults.failAllocationAfter(successes);
        const int liveBefore = r14host::liveArrays();
        const int invalidBefore = r14hostInvalidDestroys();
        r14host::CallResult result = faults.module.call(1, call.pointers());
        const bool failed = faults.injectedFailureFired() != 0;
        faults.clearInjectedFailures();
        if (!failed) {
            // Past the last failure point: the call is whole again.
            EXPECT_FALSE(result.errorExit) << result.errorId;
            if (!result.errorExit) {
                EXPECT_TRUE(moduletest::sameBits(r14host::singleData(result.outputs[0].get()), expected));
            }
            return successes;
        }
        EXPECT_TRUE(result.errorExit);
        EXPECT_EQ(result.errorId, id) << result.errorMessage;
        EXPECT_EQ(r14host::liveArrays(), liveBefore);
        EXPECT_EQ(r14hostInvalidDestroys(), invalidBefore);
        for (mxArray* slot : result.slotsAtErrorExit)
            EXPECT_EQ(slot, nullptr);
    }
    ADD_FAILURE() << "the failures never ran out";
    return 0;
}

} // namespace

TEST(ResourceFailure, EveryAllocationOfTheFilter)
{
    // The accumulator block, six FFT buffers and three tables at least.
    EXPECT_GE(failEachInTurn(Resource::allocation, CallInputs::synthetic(20, 22, 9), "sorvik:outOfMemory"), 10);
    // No block fits: only the weight sums are allocated.
    EXPECT_GE(failEachInTurn(Resource::allocation, CallInputs::synthetic(3, 10, 4), "sorvik:outOfMemory"), 1);
}

TEST(ResourceFailure, EveryPlanOfTheFilter)
{
    // Two 2-D plans and a forward and a backward plan for each group length
    // 2 .. 8.
    CallInputs inputs = CallInputs::synthetic(20, 22, 9);
    inputs.maxGroupSize = 8;
    EXPECT_GE(failEachInTurn(Resource::plan, inputs, "sorvik:planFailed"), 16);
    inputs.maxGroupSize = 1;
    EXPECT_GE(failEachInTurn(Resource::plan, inputs, "sorvik:planFailed"), 2);
}

TEST(ResourceFailure, OutputCreationReturningNull)
{
    const CallInputs inputs = CallInputs::synthetic(10, 10, 1);
    const moduletest::CallArrays call = makeArrays(inputs);
    r14hostFailArrayCreation(0, R14HOST_FAIL_RETURN_NULL);
    moduletest::expectCleanErrorExit(moduletest::module(), call.pointers(), "sorvik:outOfMemory");
    r14hostClearFailures();
}

TEST(ResourceFailure, HostErrorExitWhileCreatingTheOutput)
{
    const CallInputs inputs = CallInputs::synthetic(10, 10, 1);
    const moduletest::CallArrays call = makeArrays(inputs);
    r14hostFailArrayCreation(0, R14HOST_FAIL_ERROR_EXIT);
    moduletest::expectCleanErrorExit(moduletest::module(), call.pointers(), "MATLAB:nomem");
    r14hostClearFailures();
    // The module is still usable afterwards.
    EXPECT_FALSE(moduletest::runExpectingOutput(inputs).empty());
}
