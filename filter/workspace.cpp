#include "filter/workspace.h"

#include "filter/fault_injection.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <mutex>
#include <new>

namespace sorvik::detail {

Geometry makeGeometry(const FilterParams& params)
{
    Geometry g;
    g.M = params.rows;
    g.N = params.cols;
    g.P = params.blockSize;
    // In 64 bits, saturated: every grid that checkParams accepts has P^2 <= M * N
    // and so an exact L, and without a grid L is never used.
    g.L = static_cast<std::int32_t>(
        std::min<std::int64_t>(std::int64_t{g.P} * (g.P / 2 + 1), std::numeric_limits<std::int32_t>::max()));
    g.blockRows = g.M - g.P + 1;
    g.blockCols = g.N - g.P + 1;
    g.step = params.step;
    g.sigma = params.sigma;

    // Once the radius reaches across the whole block grid, every search area is
    // the whole grid; a larger radius only widens the rings. Without a grid the
    // radius is never used, and 2R + 1 must not overflow on a long thin image.
    const bool noGrid = g.blockRows <= 0 || g.blockCols <= 0;
    const std::int32_t gridExtent = noGrid ? 0 : std::max(g.blockRows, g.blockCols);
    g.R = std::min(params.searchRadius, gridExtent);
    g.slots = 2 * g.R + 1;

    // A group never holds more than the reference plus every other block of its
    // search area, so a larger capacity would never be filled.
    std::int64_t reachable = std::int64_t{g.slots} * g.slots;
    if (g.blockRows > 0 && g.blockCols > 0)
        reachable = std::min(reachable, std::int64_t{g.blockRows} * g.blockCols);
    else
        reachable = 1;
    g.K = static_cast<std::int32_t>(std::min<std::int64_t>(params.maxGroupSize, reachable));

    // Empty match-list entries carry emptyDistance; a threshold above it would
    // count them as matches. NaN stays NaN (it admits nothing).
    g.matchThreshold = params.matchThreshold > emptyDistance ? emptyDistance : params.matchThreshold;
    return g;
}

FilterStatus TransformSet::allocate(const Geometry& g)
{
    const std::size_t K = std::size_t(g.K), L = std::size_t(g.L);
    const std::size_t transformLength = std::max(K, L);
    noisyGroup = allocateFftw<Complex>(K * L);
    pilotGroup = allocateFftw<Complex>(K * L);
    transformIn = allocateFftw<Complex>(transformLength);
    transformOut = allocateFftw<Complex>(transformLength);
    columns = allocateFftw<Complex>(2 * pilotColumn(K));
    if (!noisyGroup || !pilotGroup || !transformIn || !transformOut || !columns)
        return FilterStatus::outOfMemory;
    forwardPlans = allocateTable<Plan>(K + 1);
    backwardPlans = allocateTable<Plan>(K + 1);
    memberOffsets = allocateTable<std::size_t>(2 * K);
    if (!forwardPlans || !backwardPlans || !memberOffsets)
        return FilterStatus::outOfMemory;
    return FilterStatus::ok;
}

namespace {

std::mutex plannerMutex;

} // namespace

FilterStatus TransformSet::makePlans(const Geometry& g)
{
    std::lock_guard<std::mutex> lock(plannerMutex);
    float* in = reinterpret_cast<float*>(transformIn.get());
    float* out = reinterpret_cast<float*>(transformOut.get());
    r2cPlan = adoptPlan(fftwf_plan_dft_r2c_2d(g.P, g.P, in, transformOut.get(), FFTW_ESTIMATE));
    if (!r2cPlan)
        return FilterStatus::planFailed;
    c2rPlan = adoptPlan(fftwf_plan_dft_c2r_2d(g.P, g.P, transformIn.get(), out, FFTW_ESTIMATE));
    if (!c2rPlan)
        return FilterStatus::planFailed;
    for (std::int32_t k = 2; k <= std::min(g.K, eagerGroupLengths); ++k) {
        forwardPlans[k] = adoptPlan(fftwf_plan_dft_1d(k, transformIn.get(), transformOut.get(),
                                                      FFTW_FORWARD, FFTW_ESTIMATE));
        if (!forwardPlans[k])
            return FilterStatus::planFailed;
        backwardPlans[k] = adoptPlan(fftwf_plan_dft_1d(k, transformIn.get(), transformOut.get(),
                                                       FFTW_BACKWARD, FFTW_ESTIMATE));
        if (!backwardPlans[k])
            return FilterStatus::planFailed;
    }
    return FilterStatus::ok;
}

bool TransformSet::planGroupLength(std::int32_t k)
{
    if (k < 2 || (forwardPlans[k] && backwardPlans[k]))
        return true;
    std::lock_guard<std::mutex> lock(plannerMutex);
    if (!forwardPlans[k])
        forwardPlans[k] = adoptPlan(fftwf_plan_dft_1d(k, transformIn.get(), transformOut.get(),
                                                      FFTW_FORWARD, FFTW_ESTIMATE));
    if (forwardPlans[k] && !backwardPlans[k])
        backwardPlans[k] = adoptPlan(fftwf_plan_dft_1d(k, transformIn.get(), transformOut.get(),
                                                       FFTW_BACKWARD, FFTW_ESTIMATE));
    return forwardPlans[k] && backwardPlans[k];
}

void TransformSet::release(const Geometry& g) noexcept
{
    r2cPlan.reset();
    c2rPlan.reset();
    if (forwardPlans && backwardPlans) {
        for (std::int32_t k = 2; k <= g.K; ++k) {
            forwardPlans[k].reset();
            backwardPlans[k].reset();
        }
    }
    noisyGroup.reset();
    pilotGroup.reset();
    transformIn.reset();
    transformOut.reset();
    columns.reset();
    forwardPlans.reset();
    backwardPlans.reset();
    memberOffsets.reset();
}

Workspace::~Workspace()
{
    transforms.release(g);
    pilotRing.reset();
    noisyRing.reset();
    imageBand.reset();
    batchLists.reset();
    accumulatorBand.reset();
    dftScale.reset();
    accumulatorBlock.reset();
}

FilterStatus Workspace::setUp(const Geometry& geometry, float* estimateOut, bool matches)
{
    g = geometry;
    estimate = estimateOut;

    // checkParams has bounded every product below, so size_t cannot overflow.
    const std::size_t pixels = std::size_t(g.M) * std::size_t(g.N);
    const std::size_t K = std::size_t(g.K), P = std::size_t(g.P), L = std::size_t(g.L);

    accumulatorBlock = allocateFftw<float>(pixels + 2 * K + P * P);
    if (!accumulatorBlock)
        return FilterStatus::outOfMemory;
    weightSum = accumulatorBlock.get();
    matchPositions = reinterpret_cast<std::int32_t*>(weightSum + pixels);
    matchDistances = weightSum + pixels + K;
    weightedWindow = weightSum + pixels + 2 * K;

    if (pixels > 0) {
        std::fill(estimate, estimate + pixels, 0.0f);
        std::fill(weightSum, weightSum + pixels, 0.0f);
    }

    const std::size_t ringEntries =
        g.blockCols > 0 ? std::size_t(g.slots) * std::size_t(g.blockCols) * L : 0;
    tilesPerSlot = g.blockCols > 0 ? (g.blockCols + pilotTile - 1) / pilotTile : 0;
    const std::size_t pilotFloats = std::size_t(g.slots) * std::size_t(tilesPerSlot) * tileFloats();
    pilotRing = allocateFftw<float>(pilotFloats);
    noisyRing = allocateFftw<Complex>(ringEntries);
    if (!pilotRing || !noisyRing)
        return FilterStatus::outOfMemory;
    if (matches) {
        const FilterStatus buffers = transforms.allocate(g);
        if (buffers != FilterStatus::ok)
            return buffers;
    }
    // The parallel engine computes the rows between two reference rows at once.
    bandBlockRows = std::clamp(g.step, std::int32_t{1}, std::int32_t{8});
    bandRows = g.P + bandBlockRows - 1;
    imageBand = allocateFftw<float>(2 * 2 * std::size_t(bandRows) * std::size_t(g.N));
    if (matches)
        batchLists = allocateFftw<float>(std::size_t(matchBatch) * (2 * K + 2 * L));
    // A reference row n adds into image rows n - R .. n + R + P - 1.
    accumulatorRows = std::int32_t(std::min<std::int64_t>(g.M, 2 * std::int64_t{g.R} + g.P));
    accumulatorBand = allocateFftw<float>(2 * std::size_t(accumulatorRows) * std::size_t(g.N));
    dftScale = allocateTable<float>(K + 1);
    if (!imageBand || (matches && !batchLists) || !accumulatorBand || !dftScale)
        return FilterStatus::outOfMemory;
    std::fill(pilotRing.get(), pilotRing.get() + pilotFloats, 0.0f);
    scanRow = chooseMatchKernel();

    if (matches) {
        const FilterStatus plans = transforms.makePlans(g);
        if (plans != FilterStatus::ok)
            return plans;
    }
    blockScale = static_cast<float>(1.0 / g.P);
    for (std::int32_t k = 2; k <= g.K; ++k)
        dftScale[k] = static_cast<float>(1.0 / std::sqrt(double(k)));
    return FilterStatus::ok;
}

// Fault injection for tests. Each countdown is the number of successes left
// before the one failure; -1 when disarmed. Atomic, as allocations may come
// from more than one thread.
namespace {

std::atomic<int> allocationCountdown{-1};
std::atomic<int> planCountdown{-1};
std::atomic<int> threadStartCountdown{-1};
std::atomic<bool> injectedFailureFired{false};

bool countDown(std::atomic<int>& countdown) noexcept
{
    int left = countdown.load(std::memory_order_relaxed);
    while (left >= 0) {
        if (countdown.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) {
            if (left != 0)
                return false;
            injectedFailureFired.store(true, std::memory_order_relaxed);
            return true;
        }
    }
    return false;
}

} // namespace

bool injectAllocationFailure() noexcept { return countDown(allocationCountdown); }
bool injectPlanFailure() noexcept { return countDown(planCountdown); }
bool injectThreadStartFailure() noexcept { return countDown(threadStartCountdown); }

} // namespace sorvik::detail

namespace sorvik::testing {

void failAllocationAfter(int successes)
{
    detail::injectedFailureFired = false;
    detail::allocationCountdown = successes < 0 ? -1 : successes;
}

void failPlanAfter(int successes)
{
    detail::injectedFailureFired = false;
    detail::planCountdown = successes < 0 ? -1 : successes;
}

void failThreadStartAfter(int successes)
{
    detail::injectedFailureFired = false;
    detail::threadStartCountdown = successes < 0 ? -1 : successes;
}

void clearInjectedFailures()
{
    detail::allocationCountdown = -1;
    detail::planCountdown = -1;
    detail::threadStartCountdown = -1;
    detail::injectedFailureFired = false;
}

bool injectedFailureFired() { return detail::injectedFailureFired; }

} // namespace sorvik::testing
