#include "tests/filter/plain_filter.h"

#include "filter/grouped_threshold.h"

#include "filter/fftw_owner.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace sorvik::plain {

namespace {

using Complex = fftwf_complex;
constexpr float emptyDistance = 1048576.0f;

using fftw::allocate;
using fftw::Buffer;
using fftw::Plan;

struct State {
    std::int32_t M, N, P, R, K, L, blockRows, blockCols, slots, step;
    float matchThreshold, sigma;

    float* estimate;
    std::vector<float> weightSum;
    std::vector<std::int32_t> matchPositions;
    std::vector<float> matchDistances;
    std::vector<float> weightedWindow;

    Buffer<Complex> pilotRing, noisyRing, noisyGroup, pilotGroup, transformIn, transformOut;
    Plan r2cPlan, c2rPlan;
    std::vector<Plan> forwardPlans, backwardPlans;
    std::vector<float> dftScale;
    float blockScale;

    // The grouped thresholding stage: cosine spectra, Haar along the group.
    bool thresholds = false;
    float threshold = 0.0f, matchFloor = 0.0f;
    Plan dctPlan, idctPlan;
    std::vector<float> dctScale, idctScale, haar;
};

bool setUp(State& s, const FilterParams& params, float* estimate)
{
    s.M = params.rows;
    s.N = params.cols;
    s.P = params.blockSize;
    s.L = s.P * (s.P / 2 + 1);
    s.blockRows = s.M - s.P + 1;
    s.blockCols = s.N - s.P + 1;
    s.step = params.step;
    s.sigma = params.sigma;
    const std::int32_t gridExtent = std::max({s.blockRows, s.blockCols, std::int32_t{0}});
    s.R = std::min(params.searchRadius, gridExtent);
    s.slots = 2 * s.R + 1;
    std::int64_t reachable = std::int64_t{s.slots} * s.slots;
    reachable = std::min(reachable, std::int64_t{s.blockRows} * s.blockCols);
    s.K = static_cast<std::int32_t>(std::min<std::int64_t>(params.maxGroupSize, reachable));
    s.matchThreshold =
        params.matchThreshold > emptyDistance ? emptyDistance : params.matchThreshold;

    const std::size_t pixels = std::size_t(s.M) * std::size_t(s.N);
    const std::size_t K = std::size_t(s.K), L = std::size_t(s.L);
    s.estimate = estimate;
    std::fill(estimate, estimate + pixels, 0.0f);
    s.weightSum.assign(pixels, 0.0f);
    s.matchPositions.assign(K, 0);
    s.matchDistances.assign(K, 0.0f);
    s.weightedWindow.assign(std::size_t(s.P) * s.P, 0.0f);

    const std::size_t ring = std::size_t(s.slots) * std::size_t(s.blockCols) * L;
    s.pilotRing = allocate<Complex>(ring);
    s.noisyRing = allocate<Complex>(ring);
    s.noisyGroup = allocate<Complex>(K * L);
    s.pilotGroup = allocate<Complex>(K * L);
    s.transformIn = allocate<Complex>(std::max(K, L));
    s.transformOut = allocate<Complex>(std::max(K, L));
    if (!s.pilotRing || !s.noisyRing || !s.noisyGroup || !s.pilotGroup || !s.transformIn ||
        !s.transformOut)
        return false;

    float* in = reinterpret_cast<float*>(s.transformIn.get());
    float* out = reinterpret_cast<float*>(s.transformOut.get());
    s.r2cPlan = Plan(fftwf_plan_dft_r2c_2d(s.P, s.P, in, s.transformOut.get(), FFTW_ESTIMATE));
    s.c2rPlan = Plan(fftwf_plan_dft_c2r_2d(s.P, s.P, s.transformIn.get(), out, FFTW_ESTIMATE));
    s.blockScale = static_cast<float>(1.0 / s.P);
    s.forwardPlans.resize(K + 1);
    s.backwardPlans.resize(K + 1);
    s.dftScale.assign(K + 1, 0.0f);
    for (std::int32_t k = 2; k <= s.K; ++k) {
        s.forwardPlans[k] = Plan(fftwf_plan_dft_1d(k, s.transformIn.get(), s.transformOut.get(),
                                                  FFTW_FORWARD, FFTW_ESTIMATE));
        s.backwardPlans[k] = Plan(fftwf_plan_dft_1d(k, s.transformIn.get(), s.transformOut.get(),
                                                   FFTW_BACKWARD, FFTW_ESTIMATE));
        if (!s.forwardPlans[k] || !s.backwardPlans[k])
            return false;
        s.dftScale[k] = static_cast<float>(1.0 / std::sqrt(double(k)));
    }
    if (s.thresholds) {
        s.dctPlan = Plan(fftwf_plan_r2r_2d(s.P, s.P, in, out, FFTW_REDFT10, FFTW_REDFT10,
                                           FFTW_ESTIMATE));
        s.idctPlan = Plan(fftwf_plan_r2r_2d(s.P, s.P, in, out, FFTW_REDFT01, FFTW_REDFT01,
                                            FFTW_ESTIMATE));
        const double n = s.P;
        s.dctScale.assign(std::size_t(s.P) * s.P, 0.0f);
        s.idctScale.assign(std::size_t(s.P) * s.P, 0.0f);
        for (std::int32_t u = 0; u < s.P; ++u)
            for (std::int32_t v = 0; v < s.P; ++v) {
                const double fu = u == 0 ? 1.0 / (2.0 * std::sqrt(n)) : 1.0 / std::sqrt(2.0 * n);
                const double fv = v == 0 ? 1.0 / (2.0 * std::sqrt(n)) : 1.0 / std::sqrt(2.0 * n);
                const double bu = u == 0 ? 1.0 / std::sqrt(n) : 1.0 / std::sqrt(2.0 * n);
                const double bv = v == 0 ? 1.0 / std::sqrt(n) : 1.0 / std::sqrt(2.0 * n);
                s.dctScale[std::size_t(u) * s.P + v] = static_cast<float>(fu * fv);
                s.idctScale[std::size_t(u) * s.P + v] = static_cast<float>(bu * bv);
            }
        s.haar.assign(2 * K * std::size_t(s.P) * s.P, 0.0f);
        if (!s.dctPlan || !s.idctPlan)
            return false;
    }
    return s.r2cPlan && s.c2rPlan;
}

template <class Pixel>
void computeBlockSpectrum(State& s, const Pixel* image, std::int32_t i, std::int32_t j,
                          Complex* ring, std::size_t e)
{
    float* block = reinterpret_cast<float*>(s.transformIn.get());
    for (std::int32_t a = 0; a < s.P; ++a)
        for (std::int32_t b = 0; b < s.P; ++b)
            block[a * s.P + b] =
                static_cast<float>(image[std::size_t(i + a) + std::size_t(j + b) * s.M]);
    s.r2cPlan.execute();
    const Complex* out = s.transformOut.get();
    Complex* entry = ring + e * std::size_t(s.L);
    for (std::int32_t t = 0; t < s.L; ++t) {
        entry[t][0] = s.blockScale * out[t][0];
        entry[t][1] = s.blockScale * out[t][1];
    }
}

// Orthonormal DCT coefficient i of the block at floats 2 + i of its noisy
// ring entry, zeros around; the pilot ring entry the same with values below
// the floor zeroed, the DC's aside.
void computeCosineSpectrum(State& s, const double* image, std::int32_t i, std::int32_t j,
                           std::size_t e)
{
    float* block = reinterpret_cast<float*>(s.transformIn.get());
    for (std::int32_t a = 0; a < s.P; ++a)
        for (std::int32_t b = 0; b < s.P; ++b)
            block[a * s.P + b] =
                static_cast<float>(image[std::size_t(i + a) + std::size_t(j + b) * s.M]);
    s.dctPlan.execute();
    const float* raw = reinterpret_cast<const float*>(s.transformOut.get());
    float* noisy = s.noisyRing[e * std::size_t(s.L)];
    float* pilot = s.pilotRing[e * std::size_t(s.L)];
    const std::int32_t area = s.P * s.P;
    for (std::int32_t f = 0; f < 2 * s.L; ++f) {
        const float v = f >= 2 && f < 2 + area ? s.dctScale[std::size_t(f - 2)] * raw[f - 2] : 0.0f;
        noisy[f] = v;
        pilot[f] = f != 2 && std::fabs(v) < s.matchFloor ? 0.0f : v;
    }
}

void processRow(State& s, const double* noisy, const float* pilot, std::int32_t i,
                std::int32_t slot)
{
    for (std::int32_t j = 0; j < s.blockCols; ++j) {
        const std::size_t e = std::size_t(slot) * s.blockCols + j;
        if (s.thresholds) {
            computeCosineSpectrum(s, noisy, i, j, e);
            continue;
        }
        computeBlockSpectrum(s, noisy, i, j, s.noisyRing.get(), e);
        computeBlockSpectrum(s, pilot, i, j, s.pilotRing.get(), e);
    }
}

float coefficientDistance(const Complex& a, const Complex& b)
{
    const float dr = a[0] - b[0];
    const float di = a[1] - b[1];
    return dr * dr + di * di;
}

std::int32_t matchBlocks(State& s, std::int32_t n, std::int32_t c, std::int32_t currentSlot,
                         std::int32_t referenceIndex)
{
    const std::int32_t K = s.K, L = s.L, q = L / 4, h = L / 2;
    float* distances = s.matchDistances.data();
    std::int32_t* positions = s.matchPositions.data();
    for (std::int32_t i = 0; i < K; ++i)
        distances[i] = emptyDistance;

    if (K >= 2) {
        const Complex* a = s.pilotRing.get() + std::size_t(referenceIndex) * L;
        for (std::int32_t r = std::max(n - s.R, 0); r < std::min(n + s.R + 1, s.blockRows); ++r) {
            std::int32_t slot = currentSlot + (r - n);
            if (slot < 0)
                slot += s.slots;
            else if (slot > 2 * s.R)
                slot -= s.slots;
            for (std::int32_t x = std::max(c - s.R, 0); x < std::min(c + s.R + 1, s.blockCols);
                 ++x) {
                if (r == n && x == c)
                    continue;
                const std::int32_t index = slot * s.blockCols + x;
                const float limit =
                    s.matchThreshold < distances[0] ? s.matchThreshold : distances[0];
                const Complex* b = s.pilotRing.get() + std::size_t(index) * L;
                float d = coefficientDistance(a[1], b[1]);
                for (std::int32_t t = 2; t < q; ++t)
                    d = d + coefficientDistance(a[t], b[t]);
                if (!(d <= limit))
                    continue;
                if (q < h) {
                    for (std::int32_t t = q; t < h; ++t)
                        d = d + coefficientDistance(a[t], b[t]);
                    if (!(d <= limit))
                        continue;
                }
                for (std::int32_t t = h; t < L; ++t)
                    d = d + coefficientDistance(a[t], b[t]);
                if (!(d < limit))
                    continue;
                distances[0] = d;
                positions[0] = index;
                for (std::int32_t i = 0; i < K - 2 && d < distances[i + 1]; ++i) {
                    std::swap(distances[i], distances[i + 1]);
                    std::swap(positions[i], positions[i + 1]);
                }
            }
        }
    }
    distances[K - 1] = 0.0f;
    positions[K - 1] = referenceIndex;
    std::int32_t groupSize = 1;
    for (std::int32_t i = K - 2; i >= 0 && distances[i] < s.matchThreshold; --i)
        ++groupSize;
    return groupSize;
}

void transformColumn(State& s, const Complex* ring, std::int32_t k, std::int32_t t,
                     Complex* group)
{
    Complex* in = s.transformIn.get();
    const Complex* out = s.transformOut.get();
    for (std::int32_t j = 0; j < k; ++j) {
        const Complex& source = ring[std::size_t(s.matchPositions[s.K - 1 - j]) * s.L + t];
        in[j][0] = source[0];
        in[j][1] = source[1];
    }
    s.forwardPlans[k].execute();
    for (std::int32_t j = 0; j < k; ++j) {
        group[std::size_t(t) * k + j][0] = s.dftScale[k] * out[j][0];
        group[std::size_t(t) * k + j][1] = s.dftScale[k] * out[j][1];
    }
}

void transformGroup(State& s, std::int32_t k)
{
    if (k == 1) {
        const std::size_t reference = std::size_t(s.matchPositions[s.K - 1]) * s.L;
        for (std::int32_t t = 0; t < s.L; ++t)
            for (int part = 0; part < 2; ++part) {
                s.noisyGroup[t][part] = s.noisyRing[reference + t][part];
                s.pilotGroup[t][part] = s.pilotRing[reference + t][part];
            }
        return;
    }
    for (std::int32_t t = 0; t < s.L; ++t) {
        transformColumn(s, s.noisyRing.get(), k, t, s.noisyGroup.get());
        transformColumn(s, s.pilotRing.get(), k, t, s.pilotGroup.get());
    }
}

float shrinkGroup(State& s, std::int32_t k)
{
    const float s2 = s.sigma * s.sigma;
    float sum = 0.0f;
    for (std::size_t i = 0; i < std::size_t(k) * s.L; ++i) {
        const float pr = s.pilotGroup[i][0];
        const float pi = s.pilotGroup[i][1];
        const float e = pr * pr + pi * pi;
        const float w = e / (e + s2);
        s.noisyGroup[i][0] = s.noisyGroup[i][0] * w;
        s.noisyGroup[i][1] = s.noisyGroup[i][1] * w;
        sum = sum + w * w;
    }
    return sum;
}

void invertGroup(State& s, std::int32_t k)
{
    const std::int32_t L = s.L;
    Complex* noisyGroup = s.noisyGroup.get();
    Complex* memberMajor = s.pilotGroup.get();
    Complex* in = s.transformIn.get();
    const Complex* out = s.transformOut.get();
    if (k >= 2) {
        for (std::int32_t q = 0; q < L; ++q) {
            for (std::int32_t j = 0; j < k; ++j) {
                in[j][0] = noisyGroup[std::size_t(q) * k + j][0];
                in[j][1] = noisyGroup[std::size_t(q) * k + j][1];
            }
            s.backwardPlans[k].execute();
            for (std::int32_t j = 0; j < k; ++j) {
                memberMajor[std::size_t(j) * L + q][0] = s.dftScale[k] * out[j][0];
                memberMajor[std::size_t(j) * L + q][1] = s.dftScale[k] * out[j][1];
            }
        }
    } else {
        for (std::int32_t q = 0; q < L; ++q) {
            memberMajor[q][0] = noisyGroup[q][0];
            memberMajor[q][1] = noisyGroup[q][1];
        }
    }
    float* blocks = reinterpret_cast<float*>(noisyGroup);
    const float* spatial = reinterpret_cast<const float*>(out);
    const std::int32_t area = s.P * s.P;
    for (std::int32_t j = 0; j < k; ++j) {
        for (std::int32_t t = 0; t < L; ++t) {
            in[t][0] = memberMajor[std::size_t(j) * L + t][0];
            in[t][1] = memberMajor[std::size_t(j) * L + t][1];
        }
        s.c2rPlan.execute();
        for (std::int32_t t = 0; t < area; ++t)
            blocks[std::size_t(j) * area + t] = s.blockScale * spatial[t];
    }
}

// The thresholding stage's group: Haar along the k members (a power of
// two), values below the threshold zeroed but the first, back through Haar
// and the inverse DCT into the blocks (noisyGroup). Returns the values kept.
float thresholdGroup(State& s, std::int32_t k)
{
    const std::size_t area = std::size_t(s.P) * s.P;
    float* x = s.haar.data();
    float* y = x + std::size_t(s.K) * area;
    for (std::int32_t j = 0; j < k; ++j) {
        const float* entry = s.noisyRing[std::size_t(s.matchPositions[s.K - 1 - j]) * s.L];
        for (std::size_t i = 0; i < area; ++i)
            x[std::size_t(j) * area + i] = entry[2 + i];
    }
    const float r = static_cast<float>(1.0 / std::sqrt(2.0));
    for (std::int32_t n = k; n >= 2; n /= 2) {
        for (std::int32_t i = 0; i < n / 2; ++i)
            for (std::size_t e = 0; e < area; ++e) {
                const float a = x[std::size_t(2 * i) * area + e];
                const float b = x[std::size_t(2 * i + 1) * area + e];
                y[std::size_t(i) * area + e] = (a + b) * r;
                y[std::size_t(n / 2 + i) * area + e] = (a - b) * r;
            }
        std::copy(y, y + std::size_t(n) * area, x);
    }
    float kept = 1.0f;
    for (std::size_t i = 1; i < std::size_t(k) * area; ++i) {
        if (std::fabs(x[i]) < s.threshold)
            x[i] = 0.0f;
        else
            kept = kept + 1.0f;
    }
    for (std::int32_t n = 2; n <= k; n *= 2) {
        for (std::int32_t i = 0; i < n / 2; ++i)
            for (std::size_t e = 0; e < area; ++e) {
                const float sum = x[std::size_t(i) * area + e];
                const float difference = x[std::size_t(n / 2 + i) * area + e];
                y[std::size_t(2 * i) * area + e] = (sum + difference) * r;
                y[std::size_t(2 * i + 1) * area + e] = (sum - difference) * r;
            }
        std::copy(y, y + std::size_t(n) * area, x);
    }
    float* in = reinterpret_cast<float*>(s.transformIn.get());
    const float* out = reinterpret_cast<const float*>(s.transformOut.get());
    float* blocks = reinterpret_cast<float*>(s.noisyGroup.get());
    for (std::int32_t j = 0; j < k; ++j) {
        for (std::size_t i = 0; i < area; ++i)
            in[i] = s.idctScale[i] * x[std::size_t(j) * area + i];
        s.idctPlan.execute();
        for (std::size_t i = 0; i < area; ++i)
            blocks[std::size_t(j) * area + i] = out[i];
    }
    return kept;
}

void aggregateGroup(State& s, std::int32_t n, std::int32_t currentSlot, std::int32_t k,
                    float wienerSquareSum, const double* window)
{
    const std::int32_t P = s.P, area = P * P;
    const float groupWeight = 1.0f / wienerSquareSum;
    for (std::int32_t i = 0; i < area; ++i)
        s.weightedWindow[i] = static_cast<float>(window[i] * double(groupWeight));
    const float* blocks = reinterpret_cast<const float*>(s.noisyGroup.get());
    for (std::int32_t j = 0; j < k; ++j) {
        const std::int32_t p = s.matchPositions[s.K - 1 - j];
        const std::int32_t slot = p / s.blockCols;
        const std::int32_t blockColumn = p - slot * s.blockCols;
        const std::int32_t d = slot - currentSlot;
        std::int32_t blockRow = n + d;
        if (d > s.R)
            blockRow = n + d - s.slots;
        else if (-d > s.R)
            blockRow = n + d + s.slots;
        for (std::int32_t r = 0; r < P; ++r)
            for (std::int32_t c = 0; c < P; ++c) {
                const float v = blocks[std::size_t(j) * area + r * P + c];
                const float w = s.weightedWindow[r * P + c];
                const std::size_t x =
                    std::size_t(blockRow + r) + std::size_t(blockColumn + c) * s.M;
                if (v > 1.0f)
                    s.estimate[x] = w + s.estimate[x];
                else if (v > 0.0f)
                    s.estimate[x] = v * w + s.estimate[x];
                s.weightSum[x] = w + s.weightSum[x];
            }
    }
}

} // namespace

FilterStatus runFilter(const FilterParams& params, const double* noisy, const float* pilot,
                       const double* window, float* estimate)
{
    const std::size_t pixels = std::size_t(params.rows) * std::size_t(params.cols);
    if (params.rows < params.blockSize || params.cols < params.blockSize) {
        for (std::size_t i = 0; i < pixels; ++i)
            estimate[i] = (1.0f / 0.0f) * 0.0f;
        return FilterStatus::ok;
    }
    State s;
    if (!setUp(s, params, estimate))
        return FilterStatus::outOfMemory;

    for (std::int32_t i = 0; i < s.R && i <= s.M - s.P; ++i)
        processRow(s, noisy, pilot, i, i);
    std::int32_t writeSlot = s.R;

    const std::int32_t start = std::max(s.step, std::int32_t{1}) - 1;
    std::int32_t rowStepCounter = start;
    std::int32_t currentSlot = 0;
    for (std::int32_t n = 0; n < s.blockRows; ++n) {
        if (n + s.R <= s.M - s.P) {
            processRow(s, noisy, pilot, n + s.R, writeSlot);
            writeSlot = writeSlot == 2 * s.R ? 0 : writeSlot + 1;
        }
        rowStepCounter += 1;
        const bool referenceRow = rowStepCounter >= s.step || n >= s.M - s.P;
        if (referenceRow) {
            std::int32_t columnStepCounter = start;
            for (std::int32_t c = 0; c < s.blockCols; ++c) {
                columnStepCounter += 1;
                if (!(columnStepCounter >= s.step || c >= s.N - s.P))
                    continue;
                const std::int32_t k = matchBlocks(s, n, c, currentSlot, currentSlot * s.blockCols + c);
                transformGroup(s, k);
                const float sum = shrinkGroup(s, k);
                invertGroup(s, k);
                aggregateGroup(s, n, currentSlot, k, sum, window);
                columnStepCounter = 0;
            }
            rowStepCounter = 0;
        }
        currentSlot = currentSlot == 2 * s.R ? 0 : currentSlot + 1;
    }
    for (std::size_t i = 0; i < pixels; ++i)
        estimate[i] = (1.0f / s.weightSum[i]) * estimate[i];
    return FilterStatus::ok;
}

namespace {

// Both stages on several channels; `threshold` null: the Wiener stage.
FilterStatus runChannels(const FilterParams& params, const Channel* channels, int count,
                         const double* window, const ThresholdParams* threshold)
{
    const std::size_t pixels = std::size_t(params.rows) * std::size_t(params.cols);
    if (params.rows < params.blockSize || params.cols < params.blockSize) {
        for (int c = 0; c < count; ++c)
            for (std::size_t i = 0; i < pixels; ++i)
                channels[c].estimate[i] = (1.0f / 0.0f) * 0.0f;
        return FilterStatus::ok;
    }
    std::vector<State> states(static_cast<std::size_t>(count));
    for (int c = 0; c < count; ++c) {
        FilterParams channelParams = params;
        channelParams.sigma = channels[c].sigma;
        if (threshold != nullptr) {
            states[c].thresholds = true;
            states[c].threshold = threshold->lambda * channels[c].sigma;
            states[c].matchFloor = threshold->matchFloor * channels[0].sigma;
        }
        if (!setUp(states[c], channelParams, channels[c].estimate))
            return FilterStatus::outOfMemory;
    }
    State& first = states[0];
    auto processRows = [&](std::int32_t i, std::int32_t slot) {
        for (int c = 0; c < count; ++c)
            processRow(states[c], channels[c].noisy, channels[c].pilot, i, slot);
    };

    for (std::int32_t i = 0; i < first.R && i <= first.M - first.P; ++i)
        processRows(i, i);
    std::int32_t writeSlot = first.R;

    const std::int32_t start = std::max(first.step, std::int32_t{1}) - 1;
    std::int32_t rowStepCounter = start;
    std::int32_t currentSlot = 0;
    for (std::int32_t n = 0; n < first.blockRows; ++n) {
        if (n + first.R <= first.M - first.P) {
            processRows(n + first.R, writeSlot);
            writeSlot = writeSlot == 2 * first.R ? 0 : writeSlot + 1;
        }
        rowStepCounter += 1;
        const bool referenceRow = rowStepCounter >= first.step || n >= first.M - first.P;
        if (referenceRow) {
            std::int32_t columnStepCounter = start;
            for (std::int32_t c = 0; c < first.blockCols; ++c) {
                columnStepCounter += 1;
                if (!(columnStepCounter >= first.step || c >= first.N - first.P))
                    continue;
                std::int32_t k =
                    matchBlocks(first, n, c, currentSlot, currentSlot * first.blockCols + c);
                if (threshold != nullptr) {
                    std::int32_t power = 1;
                    while (2 * power <= k)
                        power *= 2;
                    k = power;
                }
                for (State& s : states) {
                    s.matchPositions = first.matchPositions;
                    if (s.thresholds) {
                        const float kept = thresholdGroup(s, k);
                        aggregateGroup(s, n, currentSlot, k, kept, window);
                        continue;
                    }
                    transformGroup(s, k);
                    const float sum = shrinkGroup(s, k);
                    invertGroup(s, k);
                    aggregateGroup(s, n, currentSlot, k, sum, window);
                }
                columnStepCounter = 0;
            }
            rowStepCounter = 0;
        }
        currentSlot = currentSlot == 2 * first.R ? 0 : currentSlot + 1;
    }
    for (State& s : states)
        for (std::size_t i = 0; i < pixels; ++i)
            s.estimate[i] = (1.0f / s.weightSum[i]) * s.estimate[i];
    return FilterStatus::ok;
}

} // namespace

FilterStatus runFilterChannels(const FilterParams& params, const Channel* channels, int count,
                               const double* window)
{
    return runChannels(params, channels, count, window, nullptr);
}

FilterStatus runThresholdChannels(const ThresholdParams& params, const Channel* channels,
                                  int count, const double* window)
{
    return runChannels(params.filter, channels, count, window, &params);
}

} // namespace sorvik::plain
