#include "filter/transforms.h"

#include <algorithm>
#include <cmath>
#include <mutex>

namespace sorvik::detail {

FilterStatus TransformSet::allocate(const Geometry& g)
{
    const std::size_t K = std::size_t(g.K), L = std::size_t(g.L);
    const std::size_t transformLength = std::max(K, L);
    pilotGroup = allocateFftw<Complex>(K * L);
    transformIn = allocateFftw<Complex>(transformLength);
    transformOut = allocateFftw<Complex>(transformLength);
    columns = allocateFftw<Complex>(2 * pilotColumn(K));
    if (!pilotGroup || !transformIn || !transformOut || !columns)
        return FilterStatus::outOfMemory;
    forwardPlans = allocateTable<Plan>(K + 1);
    backwardPlans = allocateTable<Plan>(K + 1);
    memberOffsets = allocateTable<std::size_t>(2 * K);
    dftScale = allocateTable<float>(K + 1);
    if (!forwardPlans || !backwardPlans || !memberOffsets || !dftScale)
        return FilterStatus::outOfMemory;
    blockScale = static_cast<float>(1.0 / g.P);
    for (std::int32_t k = 2; k <= g.K; ++k)
        dftScale[k] = static_cast<float>(1.0 / std::sqrt(double(k)));
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

} // namespace sorvik::detail
