#include "filter/aggregation.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace sorvik::detail {

void invertBlocks(const Workspace& ws, const TransformSet& ts, std::int32_t k, float* blocks)
{
    const std::int32_t L = ws.g.L;
    const std::int32_t area = ws.g.P * ws.g.P;
    const float scale = ws.blockScale;
    const Complex* memberMajor = ts.pilotGroup.get();
    Complex* in = ts.transformIn.get();
    const float* spatial = reinterpret_cast<const float*>(ts.transformOut.get());
    for (std::int32_t j = 0; j < k; ++j) {
        const Complex* spectrum = memberMajor + std::size_t(j) * L;
        for (std::int32_t t = 0; t < L; ++t) {
            in[t][0] = spectrum[t][0];
            in[t][1] = spectrum[t][1];
        }
        ts.c2rPlan.execute();
        float* block = blocks + std::size_t(j) * area;
        for (std::int32_t t = 0; t < area; ++t)
            block[t] = scale * spatial[t];
    }
}

void invertGroup(const Workspace& ws, const TransformSet& ts, std::int32_t k)
{
    const std::int32_t L = ws.g.L;
    Complex* noisyGroup = ts.noisyGroup.get();
    Complex* memberMajor = ts.pilotGroup.get();
    Complex* in = ts.transformIn.get();
    const Complex* out = ts.transformOut.get();

    if (k >= 2) {
        const float s = ws.dftScale[k];
        for (std::int32_t q = 0; q < L; ++q) {
            const Complex* column = noisyGroup + std::size_t(q) * k;
            for (std::int32_t j = 0; j < k; ++j) {
                in[j][0] = column[j][0];
                in[j][1] = column[j][1];
            }
            ts.backwardPlans[k].execute();
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
    invertBlocks(ws, ts, k, reinterpret_cast<float*>(noisyGroup));
}

void invertGroup(Workspace& ws, std::int32_t k) { invertGroup(ws, ws, k); }

namespace {

// One pixel: a value above 1 adds w to the numerator, one in (0, 1] adds
// v * w, any other (0, negative, NaN) leaves it as it is; the weight always
// adds w.
inline void addPixel(float v, float w, float& estimate, float& weightSum)
{
    if (v > 1.0f)
        estimate = w + estimate;
    else if (v > 0.0f)
        estimate = v * w + estimate;
    weightSum = w + weightSum;
}

// Where member j of the group lies in the image.
std::size_t memberCorner(const Workspace& ws, const Reference& ref, GroupMembers members,
                         std::int32_t j)
{
    const Geometry& g = ws.g;
    const std::int32_t p = members.positions[g.K - 1 - j];
    const std::int32_t slot = p / g.blockCols;
    const std::int32_t blockColumn = p - slot * g.blockCols;
    const std::int32_t d = slot - ref.currentSlot;
    std::int32_t blockRow = ref.n + d;
    if (d > g.R)
        blockRow -= g.slots;
    else if (-d > g.R)
        blockRow += g.slots;
    return std::size_t(blockRow) + std::size_t(blockColumn) * std::size_t(g.M);
}

#if defined(__SSE2__)
// Four pixels of one image column at once, as addPixel does them one by one.
inline void addFour(__m128 value, __m128 weight, float* estimate, float* weightSum)
{
    const __m128 sum = _mm_loadu_ps(estimate);
    const __m128 above = _mm_cmpgt_ps(value, _mm_set1_ps(1.0f));
    const __m128 inside = _mm_cmpgt_ps(value, _mm_setzero_ps());
    const __m128 clipped = _mm_add_ps(weight, sum);
    const __m128 weighted = _mm_add_ps(_mm_mul_ps(value, weight), sum);
    const __m128 unclipped = _mm_or_ps(_mm_and_ps(inside, weighted), _mm_andnot_ps(inside, sum));
    _mm_storeu_ps(estimate, _mm_or_ps(_mm_and_ps(above, clipped), _mm_andnot_ps(above, unclipped)));
    _mm_storeu_ps(weightSum, _mm_add_ps(weight, _mm_loadu_ps(weightSum)));
}

// Blocks whose side is a multiple of four, in 4 x 4 tiles turned in registers
// so that each tile adds into four runs of four contiguous pixels.
// windowByColumn is the weighted window transposed.
void addBlockByTiles(const float* block, const float* windowByColumn, std::int32_t P,
                     std::size_t M, float* estimate, float* weightSum)
{
    for (std::int32_t r = 0; r < P; r += 4)
        for (std::int32_t c = 0; c < P; c += 4) {
            __m128 c0 = _mm_loadu_ps(block + r * P + c);
            __m128 c1 = _mm_loadu_ps(block + (r + 1) * P + c);
            __m128 c2 = _mm_loadu_ps(block + (r + 2) * P + c);
            __m128 c3 = _mm_loadu_ps(block + (r + 3) * P + c);
            _MM_TRANSPOSE4_PS(c0, c1, c2, c3);
            const __m128 columns[4] = {c0, c1, c2, c3};
            for (std::int32_t i = 0; i < 4; ++i) {
                const std::size_t x = std::size_t(r) + std::size_t(c + i) * M;
                addFour(columns[i], _mm_loadu_ps(windowByColumn + (c + i) * P + r), estimate + x,
                        weightSum + x);
            }
        }
}
#endif

} // namespace

void aggregateGroup(Workspace& ws, const Reference& ref, GroupMembers members,
                    float wienerSquareSum, const float* blocks, const double* window)
{
    const Geometry& g = ws.g;
    const std::int32_t P = g.P;
    const std::int32_t area = P * P;
    const std::size_t M = std::size_t(g.M);

    const float groupWeight = 1.0f / wienerSquareSum;
    float* weighted = ws.weightedWindow;
    for (std::int32_t i = 0; i < area; ++i)
        weighted[i] = static_cast<float>(window[i] * double(groupWeight));

    // Every pixel of a block receives one addition per member, so the pixels
    // may be taken in any order within a block; only the order of additions
    // into one pixel, member after member, is fixed.
#if defined(__SSE2__)
    if (P % 4 == 0) {
        float* windowByColumn = ws.aggregationScratch.get();
        for (std::int32_t r = 0; r < P; ++r)
            for (std::int32_t c = 0; c < P; ++c)
                windowByColumn[c * P + r] = weighted[r * P + c];
        for (std::int32_t j = 0; j < members.k; ++j) {
            const std::size_t corner = memberCorner(ws, ref, members, j);
            addBlockByTiles(blocks + std::size_t(j) * area, windowByColumn, P, M,
                            ws.estimate + corner, ws.weightSum + corner);
        }
        return;
    }
#endif
    for (std::int32_t j = 0; j < members.k; ++j) {
        const std::size_t corner = memberCorner(ws, ref, members, j);
        const float* block = blocks + std::size_t(j) * area;
        for (std::int32_t r = 0; r < P; ++r)
            for (std::int32_t c = 0; c < P; ++c) {
                const std::size_t x = corner + std::size_t(r) + std::size_t(c) * M;
                addPixel(block[r * P + c], weighted[r * P + c], ws.estimate[x], ws.weightSum[x]);
            }
    }
}

void aggregateGroup(Workspace& ws, const Reference& ref, std::int32_t k, float wienerSquareSum,
                    const double* window)
{
    aggregateGroup(ws, ref, GroupMembers{ws.matchPositions, k}, wienerSquareSum,
                   reinterpret_cast<const float*>(ws.noisyGroup.get()), window);
}

void normalizeEstimate(float* estimate, const float* weightSum, std::size_t pixels)
{
    for (std::size_t i = 0; i < pixels; ++i)
        estimate[i] = (1.0f / weightSum[i]) * estimate[i];
}

} // namespace sorvik::detail
