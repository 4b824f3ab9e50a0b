// What a call does when resources are short or asked for in excess. The
// transforms along a group are planned only for the lengths a call meets: a
// capacity that the block grid alone bounds must neither exhaust memory nor
// abort, and a plan that fails on first use is a clean planFailed. A threaded
// call that cannot have all its helpers runs with those it has.
#include "filter/fault_injection.h"
#include <sorvik/sorvik.h>

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

namespace sorvik {
namespace {

constexpr std::int32_t most = std::numeric_limits<std::int32_t>::max();

struct Image {
    FilterParams params;
    std::vector<double> noisy;
    std::vector<float> pilot;
    std::vector<double> window;

    Image(int rows, int cols)
    {
        params.rows = rows;
        params.cols = cols;
        params.blockSize = 8;
        params.searchRadius = most;
        params.maxGroupSize = most;
        params.step = 3;
        params.matchThreshold = 0.4f;
        params.sigma = 0.1f;
        for (int j = 0; j < cols; ++j) {
            for (int i = 0; i < rows; ++i) {
                const double clean = 0.5 + 0.4 * std::sin(0.31 * i + 0.05 * j * j / cols) *
                                                 std::cos(0.17 * j + 0.002 * i * i);
                pilot.push_back(float(clean));
                noisy.push_back(clean + 0.1 * std::sin(12.9898 * i + 78.233 * j));
            }
        }
        window.assign(64, 1.0);
    }

    FilterStatus run(int threads, std::vector<float>& out) const
    {
        out.assign(noisy.size(), -1.0f);
        FilterOptions options;
        options.threads = threads;
        return runFilter(params, noisy.data(), pilot.data(), window.data(), out.data(), options);
    }
};

// Sanitizers reserve terabytes of address space for their shadow memory, which
// no limit on the address space leaves room for.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif
#else
constexpr bool sanitized = false;
#endif

// The process's address space in bytes, from /proc/self/statm.
std::uint64_t addressSpace()
{
    unsigned long pages = 0;
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr)
        return 0;
    const int read = std::fscanf(f, "%lu", &pages);
    std::fclose(f);
    return read == 1 ? std::uint64_t(pages) * std::uint64_t(sysconf(_SC_PAGESIZE)) : 0;
}

// 128 x 128 with every length up to the grid's 14641 blocks allowed: planning
// each length (as the set used to) takes gigabytes and aborts inside FFTW.
// Run in a child whose address space may grow by 512 MB at most; sixteen
// references keep it short.
TEST(GroupPlans, CapacityCutToTheGridRunsInBoundedMemory)
{
    if (sanitized)
        GTEST_SKIP() << "a sanitizer's shadow memory does not fit under the limit";
    Image image(128, 128);
    image.params.step = 40;
    ASSERT_EQ(checkParams(image.params), FilterStatus::ok);
    const std::uint64_t before = addressSpace();
    ASSERT_GT(before, 0u);
    std::fflush(nullptr);
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        const rlim_t ceiling = rlim_t(before + (std::uint64_t{512} << 20));
        const rlimit limit{ceiling, ceiling};
        if (setrlimit(RLIMIT_AS, &limit) != 0)
            _exit(10);
        std::vector<float> out;
        for (const int threads : {1, 2}) {
            if (image.run(threads, out) != FilterStatus::ok)
                _exit(11);
            for (const float v : out) // NaN where no group reached
                if (v < 0.0f || v > 1.0f)
                    _exit(12);
        }
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the call died with signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Every plan of the call fails in turn, those made on first use among them,
// with one thread and with helpers: each failure is planFailed, and once the
// failures run out the result is whole.
TEST(GroupPlans, PlanFailureOnFirstUseIsReported)
{
    Image image(26, 23);
    image.params.blockSize = 4;
    image.params.step = 4;
    image.params.matchThreshold = 0.15f;
    image.window.assign(16, 1.0);
    std::vector<float> expected;
    ASSERT_EQ(image.run(1, expected), FilterStatus::ok);

    // The plans made with the calling thread's set (the 2-D pair and lengths
    // 2 .. 64) are failed in turn by the module tests; start after them.
    const int eager = 2 + 2 * 63;
    for (const int threads : {1, 2}) {
        int failures = eager;
        for (;; ++failures) {
            ASSERT_LT(failures, 5000);
            testing::failPlanAfter(failures);
            std::vector<float> out;
            const FilterStatus status = image.run(threads, out);
            const bool fired = testing::injectedFailureFired();
            testing::clearInjectedFailures();
            // A helper's plans may fail before the walk; the call then runs
            // with fewer threads, to the same bits.
            if (!fired || (threads > 1 && status == FilterStatus::ok)) {
                EXPECT_EQ(status, FilterStatus::ok);
                EXPECT_EQ(std::memcmp(out.data(), expected.data(), out.size() * sizeof(float)), 0)
                    << threads << " threads, failure " << failures;
                if (!fired)
                    break;
                continue;
            }
            EXPECT_EQ(status, FilterStatus::planFailed) << threads << " threads, failure " << failures;
        }
        EXPECT_GT(failures, eager + 4) << threads << " threads: too few plans made on first use";
    }
}

// Every allocation of a threaded call fails in turn: those of the calling
// thread's share are outOfMemory, a helper's make the call run without it,
// to the same bits. The leak checks of the sanitizer build see the rest.
TEST(Threads, AllocationFailuresLeaveFewerHelpersOrAClearError)
{
    Image image(40, 36);
    image.params.blockSize = 4;
    image.params.maxGroupSize = 16;
    image.params.searchRadius = 6;
    image.window.assign(16, 1.0);
    std::vector<float> expected;
    ASSERT_EQ(image.run(1, expected), FilterStatus::ok);

    int failures = 0;
    int fellBack = 0;
    for (;; ++failures) {
        ASSERT_LT(failures, 1000);
        testing::failAllocationAfter(failures);
        std::vector<float> out;
        const FilterStatus status = image.run(3, out);
        const bool fired = testing::injectedFailureFired();
        testing::clearInjectedFailures();
        if (status == FilterStatus::ok) {
            EXPECT_EQ(std::memcmp(out.data(), expected.data(), out.size() * sizeof(float)), 0)
                << "failure " << failures;
            fellBack += fired ? 1 : 0;
        } else {
            EXPECT_EQ(status, FilterStatus::outOfMemory) << "failure " << failures;
        }
        if (!fired)
            break;
    }
    // Two helpers' buffers and the results in flight can each be missed.
    EXPECT_GE(fellBack, 2 * 6);
}

TEST(Threads, HelpersThatDoNotStartLeaveTheirShare)
{
    Image image(50, 45);
    std::vector<float> expected;
    ASSERT_EQ(image.run(1, expected), FilterStatus::ok);
    for (const int started : {0, 1, 2}) {
        testing::failThreadStartAfter(started);
        std::vector<float> out;
        EXPECT_EQ(image.run(4, out), FilterStatus::ok);
        EXPECT_TRUE(testing::injectedFailureFired());
        testing::clearInjectedFailures();
        EXPECT_EQ(std::memcmp(out.data(), expected.data(), out.size() * sizeof(float)), 0)
            << started << " helpers started";
    }
}

} // namespace
} // namespace sorvik
