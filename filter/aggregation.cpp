#include "filter/aggregation.h"

namespace sorvik::detail {

void invertGroup(Workspace& ws, std::int32_t k)
{
    const std::int32_t L = ws.g.L;
    const std::int32_t P = ws.g.P;
    Complex* noisyGroup = ws.noisyGroup.get();
    Complex* memberMajor = ws.pilotGroup.get();
    Complex* in = ws.transformIn.get();
    const Complex* out = ws.transformOut.get();

    if (k >= 2) {
        const float s = ws.dftScale[k];
        for (std::int32_t q = 0; q < L; ++q) {
            const Complex* column = noisyGroup + std::size_t(q) * k;
            for (std::int32_t j = 0; j < k; ++j) {
                in[j][0] = column[j][0];
                in[j][1] = column[j][1];
            }
            ws.backwardPlans[k].execute();
            for (std::int32_t j = 0; j < k; ++j) {
                Complex& entry = memberMajor[std::size_t(j) * L + q];
                entry[0] = s * out[j][0];
                entry[1] = s * out[j][1];
            }
        }
    } else {
        for (std::int32_t q = 0; q < L; ++q) {
            memberMajor[q][0] = noisyGroup[q][0];
            memberMajor[q][1] = noisyGroup[q][1];
        }
    }

    // The spatial blocks reuse noisyGroup's storage, whose spectra are no
    // longer needed: k * P^2 floats always fit in k * L complex values.
    float* blocks = reinterpret_cast<float*>(noisyGroup);
    const float* spatial = reinterpret_cast<const float*>(out);
    const std::int32_t area = P * P;
    const float scale = ws.blockScale;
    for (std::int32_t j = 0; j < k; ++j) {
        const Complex* spectrum = memberMajor + std::size_t(j) * L;
        for (std::int32_t t = 0; t < L; ++t) {
            in[t][0] = spectrum[t][0];
            in[t][1] = spectrum[t][1];
        }
        ws.c2rPlan.execute();
        float* block = blocks + std::size_t(j) * area;
        for (std::int32_t t = 0; t < area; ++t)
            block[t] = scale * spatial[t];
    }
}

void aggregateGroup(Workspace& ws, const Reference& ref, std::int32_t k, float wienerSquareSum,
                    const double* window)
{
    const Geometry& g = ws.g;
    const std::int32_t P = g.P;
    const std::int32_t area = P * P;

    const float groupWeight = 1.0f / wienerSquareSum;
    float* weighted = ws.weightedWindow;
    for (std::int32_t i = 0; i < area; ++i)
        weighted[i] = static_cast<float>(window[i] * double(groupWeight));

    const float* blocks = reinterpret_cast<const float*>(ws.noisyGroup.get());
    float* estimate = ws.estimate;
    float* weightSum = ws.weightSum;
    for (std::int32_t j = 0; j < k; ++j) {
        const std::int32_t p = ws.matchPositions[g.K - 1 - j];
        const std::int32_t slot = p / g.blockCols;
        const std::int32_t blockColumn = p - slot * g.blockCols;
        const std::int32_t d = slot - ref.currentSlot;
        std::int32_t blockRow = ref.n + d;
        if (d > g.R)
            blockRow -= g.slots;
        else if (-d > g.R)
            blockRow += g.slots;

        const float* block = blocks + std::size_t(j) * area;
        for (std::int32_t r = 0; r < P; ++r) {
            for (std::int32_t c = 0; c < P; ++c) {
                const float v = block[r * P + c];
                const float w = weighted[r * P + c];
                const std::size_t x =
                    std::size_t(blockRow + r) + std::size_t(blockColumn + c) * std::size_t(g.M);
                if (v > 1.0f)
                    estimate[x] = w + estimate[x];
                else if (v > 0.0f)
                    estimate[x] = v * w + estimate[x];
                weightSum[x] = w + weightSum[x];
            }
        }
    }
}

void normalizeEstimate(float* estimate, const float* weightSum, std::size_t pixels)
{
    for (std::size_t i = 0; i < pixels; ++i)
        estimate[i] = (1.0f / weightSum[i]) * estimate[i];
}

} // namespace sorvik::detail
