#include "filter/workspace.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

namespace sorvik::detail {

Geometry makeGeometry(const FilterParams& params)
{
    Geometry g;
    g.M = params.rows;
    g.N = params.cols;
    g.P = params.blockSize;
    g.L = g.P * (g.P / 2 + 1);
    g.blockRows = g.M - g.P + 1;
    g.blockCols = g.N - g.P + 1;
    g.step = params.step;
    g.sigma = params.sigma;

    // Once the radius reaches across the whole block grid, every search area is
    // the whole grid; a larger radius only widens the rings.
    const std::int32_t gridExtent = std::max({g.blockRows, g.blockCols, std::int32_t{0}});
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

Workspace::~Workspace()
{
    r2cPlan.reset();
    c2rPlan.reset();
    if (forwardPlans && backwardPlans) {
        for (std::int32_t k = 2; k <= g.K; ++k) {
            forwardPlans[k].reset();
            backwardPlans[k].reset();
        }
    }
    pilotRing.reset();
    noisyRing.reset();
    noisyGroup.reset();
    pilotGroup.reset();
    transformIn.reset();
    transformOut.reset();
    forwardPlans.reset();
    backwardPlans.reset();
    dftScale.reset();
    accumulatorBlock.reset();
}

FilterStatus Workspace::setUp(const Geometry& geometry, float* estimateOut)
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
    const std::size_t transformLength = std::max(K, L);
    pilotRing = allocateFftw<Complex>(ringEntries);
    noisyRing = allocateFftw<Complex>(ringEntries);
    noisyGroup = allocateFftw<Complex>(K * L);
    pilotGroup = allocateFftw<Complex>(K * L);
    transformIn = allocateFftw<Complex>(transformLength);
    transformOut = allocateFftw<Complex>(transformLength);
    if (!pilotRing || !noisyRing || !noisyGroup || !pilotGroup || !transformIn || !transformOut)
        return FilterStatus::outOfMemory;

    forwardPlans.reset(new (std::nothrow) Plan[K + 1]);
    backwardPlans.reset(new (std::nothrow) Plan[K + 1]);
    dftScale.reset(new (std::nothrow) float[K + 1]);
    if (!forwardPlans || !backwardPlans || !dftScale)
        return FilterStatus::outOfMemory;

    float* in = reinterpret_cast<float*>(transformIn.get());
    float* out = reinterpret_cast<float*>(transformOut.get());
    r2cPlan = Plan(fftwf_plan_dft_r2c_2d(g.P, g.P, in, transformOut.get(), FFTW_ESTIMATE));
    if (!r2cPlan)
        return FilterStatus::planFailed;
    c2rPlan = Plan(fftwf_plan_dft_c2r_2d(g.P, g.P, transformIn.get(), out, FFTW_ESTIMATE));
    if (!c2rPlan)
        return FilterStatus::planFailed;

    blockScale = static_cast<float>(1.0 / g.P);

    for (std::int32_t k = 2; k <= g.K; ++k) {
        forwardPlans[k] = Plan(fftwf_plan_dft_1d(k, transformIn.get(), transformOut.get(),
                                                 FFTW_FORWARD, FFTW_ESTIMATE));
        if (!forwardPlans[k])
            return FilterStatus::planFailed;
        backwardPlans[k] = Plan(fftwf_plan_dft_1d(k, transformIn.get(), transformOut.get(),
                                                  FFTW_BACKWARD, FFTW_ESTIMATE));
        if (!backwardPlans[k])
            return FilterStatus::planFailed;
        dftScale[k] = static_cast<float>(1.0 / std::sqrt(double(k)));
    }
    return FilterStatus::ok;
}

} // namespace sorvik::detail
