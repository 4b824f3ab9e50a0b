// The filter's own limits, called directly: which sizes checkParams accepts
// on this platform, and the status runFilter reports when a resource fails.
// Part of the module test program so that it also runs as 32-bit x86, where
// the address space, not 32-bit indices, is the tighter limit.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "filter/fault_injection.h"
#include <sorvik/sorvik.h>
#include "module_support.h"

using sorvik::checkParams;
using sorvik::FilterParams;
using sorvik::FilterStatus;

namespace {

constexpr bool addressSpaceIs32Bit = sizeof(void*) == 4;
constexpr std::int32_t int32Max = INT32_MAX;

FilterParams params(std::int32_t rows, std::int32_t cols, std::int32_t blockSize, std::int32_t searchRadius,
                    std::int32_t maxGroupSize)
{
    FilterParams p;
    p.rows = rows;
    p.cols = cols;
    p.blockSize = blockSize;
    p.searchRadius = searchRadius;
    p.maxGroupSize = maxGroupSize;
    return p;
}

// Accepted only where buffers of more than 2^31 bytes can exist.
FilterStatus onlyWithA64BitAddressSpace()
{
    return addressSpaceIs32Bit ? FilterStatus::invalidParameters : FilterStatus::ok;
}

} // namespace

TEST(SizeLimits, EachBufferAtItsBoundary)
{
    // Image: M * N elements; 46341^2 is just beyond 2^31 - 1.
    EXPECT_EQ(checkParams(params(46341, 46341, 8, 19, 32)), FilterStatus::invalidParameters);
    EXPECT_EQ(checkParams(params(20000, 20000, 8, 19, 32)), onlyWithA64BitAddressSpace());

    // Accumulator block: M * N + 2K + P^2 floats, with rings and groups small
    // (P = 2, so L = 4). 46340^2 leaves 88047 elements.
    EXPECT_EQ(checkParams(params(46340, 46340, 2, 106, 44000)), onlyWithA64BitAddressSpace());
    EXPECT_EQ(checkParams(params(46340, 46340, 2, 106, 45000)), FilterStatus::invalidParameters);

    // Rings: (2R + 1) * blockCols * L complex; 2001 * 45993 * 40 > 2^31.
    EXPECT_EQ(checkParams(params(46000, 46000, 8, 1000, 1)), FilterStatus::invalidParameters);

    // Groups: K * L complex, K limited by the block positions a search area
    // can reach (here 39937 * 37), while the rings still fit 32-bit indices.
    EXPECT_EQ(checkParams(params(40000, 100, 64, 5000, int32Max)), FilterStatus::invalidParameters);
    EXPECT_EQ(checkParams(params(40000, 100, 64, 5000, 1000)), onlyWithA64BitAddressSpace());
}

// Without a block grid nothing but the weight sums is allocated, however large
// the parameters; deriving the geometry must not overflow on the way.
TEST(SizeLimits, ExtremeParametersWithoutABlockGrid)
{
    EXPECT_EQ(checkParams(params(10, 10, int32Max, int32Max, int32Max)), FilterStatus::ok);
    EXPECT_EQ(checkParams(params(1, int32Max, 2, int32Max, int32Max)), onlyWithA64BitAddressSpace());
    EXPECT_EQ(checkParams(params(int32Max, 1, 2, int32Max, int32Max)), onlyWithA64BitAddressSpace());
    EXPECT_EQ(checkParams(params(0, int32Max, 2, int32Max, 1)), FilterStatus::ok);
}

TEST(SizeLimits, RangesOfTheParameters)
{
    EXPECT_EQ(checkParams(params(10, 10, 2, 0, 1)), FilterStatus::ok);
    EXPECT_EQ(checkParams(params(10, 10, 1, 0, 1)), FilterStatus::invalidParameters);
    EXPECT_EQ(checkParams(params(10, 10, 2, -1, 1)), FilterStatus::invalidParameters);
    EXPECT_EQ(checkParams(params(10, 10, 2, 0, 0)), FilterStatus::invalidParameters);
    EXPECT_EQ(checkParams(params(-1, 10, 2, 0, 1)), FilterStatus::invalidParameters);
}

// runFilter reports a failed allocation or plan with its status, having
// released everything; the next call is whole.
TEST(SizeLimits, ResourceFailuresAreReportedAsStatus)
{
    const moduletest::CallInputs in = moduletest::CallInputs::synthetic(14, 13, 5);
    FilterParams p = params(14, 13, 4, 3, 6);
    p.step = 2;
    p.matchThreshold = 2.0f;
    p.sigma = 0.1f;
    std::vector<float> expected(in.noisy.size());
    ASSERT_EQ(sorvik::runFilter(p, in.noisy.data(), in.pilot.data(), in.window.data(), expected.data()),
              FilterStatus::ok);

    for (const bool plans : {false, true}) {
        int failures = 0;
        for (;; ++failures) {
            ASSERT_LT(failures, 1000);
            if (plans)
                sorvik::testing::failPlanAfter(failures);
            else
                sorvik::testing::failAllocationAfter(failures);
            std::vector<float> estimate(in.noisy.size());
            const FilterStatus status =
                sorvik::runFilter(p, in.noisy.data(), in.pilot.data(), in.window.data(), estimate.data());
            const bool fired = sorvik::testing::injectedFailureFired();
            sorvik::testing::clearInjectedFailures();
            if (!fired) {
                EXPECT_EQ(status, FilterStatus::ok);
                EXPECT_EQ(estimate, expected);
                break;
            }
            EXPECT_EQ(status, plans ? FilterStatus::planFailed : FilterStatus::outOfMemory) << failures;
        }
        EXPECT_GE(failures, plans ? 2 + 2 * 5 : 10);
    }
}
