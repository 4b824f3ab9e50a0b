#include "filter/transforms.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

namespace sorvik::detail {

FilterStatus TransformSet::allocate(const Geometry& g)
{
    const std::size_t K = std::size_t(g.K), L = std::size_t(g.L);
    const std::size_t transformLength = std::max(K, L);
    filteredGroup = allocateFftw<Complex>(K * L);
    transformIn = allocateFftw<Complex>(transformLength);
    transformOut = allocateFftw<Complex>(transformLength);
    columns = allocateFftw<Complex>(2 * pilotColumn(K));
    coefficients = g.L;
    batchedLimit = std::min(g.K, batchedLength);
    const std::size_t staged = L * std::size_t(batchedLimit);
    stagedNoisy = allocateFftw<Complex>(staged);
    stagedPilot = allocateFftw<Complex>(staged);
    noisyColumns = allocateFftw<Complex>(staged);
    pilotColumns = allocateFftw<Complex>(staged);
    if (!filteredGroup || !transformIn || !transformOut || !columns || !stagedNoisy || !stagedPilot ||
        !noisyColumns || !pilotColumns)
        return FilterStatus::outOfMemory;
    forwardPlans = allocateTable<Plan>(K + 1);
    backwardPlans = allocateTable<Plan>(K + 1);
    batchedForward = allocateTable<Plan>(std::size_t(batchedLimit) + 1);
    batchedBackward = allocateTable<Plan>(std::size_t(batchedLimit) + 1);
    memberOffsets = allocateTable<std::size_t>(2 * K);
    dftScale = allocateTable<float>(K + 1);
    if (!forwardPlans || !backwardPlans || !batchedForward || !batchedBackward || !memberOffsets ||
        !dftScale)
        return FilterStatus::outOfMemory;
    blockScale = static_cast<float>(1.0 / g.P);
    if (g.thresholds) {
        const std::size_t area = std::size_t(g.P) * std::size_t(g.P);
        dctScale = allocateTable<float>(area);
        idctScale = allocateTable<float>(area);
        haarRows = allocateFftw<float>(2 * K * area);
        if (!dctScale || !idctScale || !haarRows)
            return FilterStatus::outOfMemory;
        const double n = g.P;
        const auto forward = [n](std::int32_t u) {
            return u == 0 ? 1.0 / (2.0 * std::sqrt(n)) : 1.0 / std::sqrt(2.0 * n);
        };
        const auto backward = [n](std::int32_t u) {
            return u == 0 ? 1.0 / std::sqrt(n) : 1.0 / std::sqrt(2.0 * n);
        };
        for (std::int32_t u = 0; u < g.P; ++u)
            for (std::int32_t v = 0; v < g.P; ++v) {
                dctScale[std::size_t(u) * g.P + v] = static_cast<float>(forward(u) * forward(v));
                idctScale[std::size_t(u) * g.P + v] = static_cast<float>(backward(u) * backward(v));
            }
    }
    for (std::int32_t k = 2; k <= g.K; ++k)
        dftScale[k] = static_cast<float>(1.0 / std::sqrt(double(k)));
    return FilterStatus::ok;
}

namespace {

std::mutex plannerMutex;

// Whether `batched` (L transforms of length k, on stagedNoisy ->
// noisyColumns) gives the bits of `single` (on transformIn -> transformOut)
// for each of them, on values of every sign and many magnitudes. A plan's
// operations do not depend on the values, so another algorithm shows as
// other bits on such a probe.
bool sameBitsAsSingle(const TransformSet& ts, const Plan& batched, const Plan& single,
                      std::size_t L, std::size_t k)
{
    float* probe = ts.stagedNoisy.get()[0];
    std::uint32_t state = 0x9e3779b9u;
    for (std::size_t i = 0; i < 2 * L * k; ++i) {
        state = state * 1664525u + 1013904223u;
        probe[i] = std::ldexp(float(state >> 8) - 8388608.0f, int(state % 7) - 23);
    }
    batched.execute();
    for (std::size_t t = 0; t < L; ++t) {
        std::memcpy(ts.transformIn.get(), ts.stagedNoisy.get() + t * k, k * sizeof(Complex));
        single.execute();
        if (std::memcmp(ts.transformOut.get(), ts.noisyColumns.get() + t * k,
                        k * sizeof(Complex)) != 0)
            return false;
    }
    return true;
}

} // namespace

bool TransformSet::planBatched(std::int32_t k)
{
    if (k > batchedLimit || batchedForward[k])
        return true;
    // The pilot's transforms run on the other two buffers, which FFTW allows
    // on arrays of the plan's alignment.
    const int alignment = fftwf_alignment_of(stagedNoisy.get()[0]);
    if (fftwf_alignment_of(stagedPilot.get()[0]) != alignment ||
        fftwf_alignment_of(noisyColumns.get()[0]) != alignment ||
        fftwf_alignment_of(pilotColumns.get()[0]) != alignment)
        return true;
    const int n[1] = {k};
    const auto make = [&](int sign) {
        return adoptPlan(fftwf_plan_many_dft(1, n, coefficients, stagedNoisy.get(), nullptr, 1, k,
                                             noisyColumns.get(), nullptr, 1, k, sign,
                                             FFTW_ESTIMATE));
    };
    Plan forward = make(FFTW_FORWARD);
    if (!forward)
        return false;
    Plan backward = make(FFTW_BACKWARD);
    if (!backward)
        return false;
    const std::size_t L = std::size_t(coefficients);
    if (sameBitsAsSingle(*this, forward, forwardPlans[k], L, std::size_t(k)) &&
        sameBitsAsSingle(*this, backward, backwardPlans[k], L, std::size_t(k))) {
        batchedForward[k] = std::move(forward);
        batchedBackward[k] = std::move(backward);
    }
    return true;
}

FilterStatus TransformSet::makePlans(const Geometry& g)
{
    std::lock_guard<std::mutex> lock(plannerMutex);
    float* in = reinterpret_cast<float*>(transformIn.get());
    float* out = reinterpret_cast<float*>(transformOut.get());
    if (g.thresholds) {
        dctPlan = adoptPlan(
            fftwf_plan_r2r_2d(g.P, g.P, in, out, FFTW_REDFT10, FFTW_REDFT10, FFTW_ESTIMATE));
        idctPlan = adoptPlan(
            fftwf_plan_r2r_2d(g.P, g.P, in, out, FFTW_REDFT01, FFTW_REDFT01, FFTW_ESTIMATE));
        return dctPlan && idctPlan ? FilterStatus::ok : FilterStatus::planFailed;
    }
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
        if (!backwardPlans[k] || !planBatched(k))
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
    return forwardPlans[k] && backwardPlans[k] && planBatched(k);
}

} // namespace sorvik::detail
