#include "filter/aggregation.h"

#include "filter/simd.h"

#include <algorithm>

namespace sorvik::detail {

FilterStatus Accumulators::allocate(const Geometry& g, float* estimateOut)
{
    // checkParams has bounded every product below, so size_t cannot overflow.
    const std::size_t pixels = std::size_t(g.M) * std::size_t(g.N);
    estimate = estimateOut;
    accumulatorBlock = allocateFftw<float>(std::max<std::size_t>(pixels, 1));
    if (!accumulatorBlock)
        return FilterStatus::outOfMemory;
    weightSum = accumulatorBlock.get();
    if (pixels > 0) {
        std::fill(estimate, estimate + pixels, 0.0f);
        std::fill(weightSum, weightSum + pixels, 0.0f);
    }
    // A reference row n adds into image rows n - R .. n + R + P - 1, and up
    // to closeBatch - 1 rows below them wait to be closed.
    accumulatorRows = std::int32_t(rowsFor(g));
    rowStride = strideFor(g.N);
    accumulatorBand = allocateFftw<float>(2 * std::size_t(accumulatorRows) * rowStride);
    return accumulatorBand ? FilterStatus::ok : FilterStatus::outOfMemory;
}

void invertBlocks(const Geometry& g, const TransformSet& ts, std::int32_t k, float* blocks)
{
    const std::int32_t L = g.L;
    const std::int32_t area = g.P * g.P;
    const float scale = ts.blockScale;
    const Complex* memberMajor = ts.filteredGroup.get();
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

// One row of a block, n pixels, into contiguous accumulators; addPixel on
// V::width pixels at a time.
template <class V>
void addRowWith(const float* v, const float* w, std::int32_t n, float* estimate, float* weightSum)
{
    using T = typename V::T;
    constexpr std::int32_t W = V::width;
    std::int32_t c = 0;
    if constexpr (W > 1) {
        const T one = V::set1(1.0f);
        const T zero = V::set1(0.0f);
        for (; c + W <= n; c += W) {
            const T value = V::loadu(v + c);
            const T weight = V::loadu(w + c);
            const T sum = V::loadu(estimate + c);
            const T clipped = V::add(weight, sum);
            const T weighted = V::add(V::mul(value, weight), sum);
            const T unclipped = V::select(V::gt(value, zero), weighted, sum);
            V::store(estimate + c, V::select(V::gt(value, one), clipped, unclipped));
            V::store(weightSum + c, V::add(weight, V::loadu(weightSum + c)));
        }
    }
    for (; c < n; ++c)
        addPixel(v[c], w[c], estimate[c], weightSum[c]);
}

void addRow(const float* v, const float* w, std::int32_t n, float* estimate, float* weightSum)
{
    addRowWith<Native>(v, w, n, estimate, weightSum);
}

} // namespace

void weightWindow(std::int32_t P, float wienerSquareSum, const double* window, float* weighted)
{
    const std::int32_t area = P * P;
    const float groupWeight = 1.0f / wienerSquareSum;
    for (std::int32_t i = 0; i < area; ++i)
        weighted[i] = static_cast<float>(window[i] * double(groupWeight));
}

void aggregateGroup(const Geometry& g, Accumulators& acc, const Reference& ref,
                    GroupMembers members, const float* weighted, const float* blocks,
                    std::int32_t frame, BandSlice slice)
{
    const std::int32_t P = g.P;
    const std::int32_t rows = acc.accumulatorRows;
    const std::size_t stride = acc.rowStride;
    const std::int32_t frameIndices = g.ringSlots * g.blockCols;
    const std::int32_t first = frame * frameIndices;
    float* numerators = acc.accumulatorBand.get();
    float* weights = numerators + std::size_t(rows) * stride;
    for (std::int32_t j = 0; j < members.k; ++j) {
        const std::int32_t p = members.positions[g.K - 1 - j] - first;
        if (p < 0 || p >= frameIndices)
            continue;
        // Where the member lies: its block row and column.
        const std::int32_t slot = p / g.blockCols;
        const std::int32_t blockColumn = p - slot * g.blockCols;
        const std::int32_t blockRow = blockRowOfSlot(ref, slot, g.R, g.ringSlots);
        const float* block = blocks + std::size_t(j) * std::size_t(P) * std::size_t(P);
        std::int32_t bandRow = blockRow % rows;
        for (std::int32_t r = 0; r < P;) {
            // The block's rows up to the end of a run of one owner.
            const std::int32_t end =
                slice.owner == nullptr ? std::min(P, r + rows - bandRow)
                                       : std::min(P, r + std::int32_t(slice.run[bandRow]));
            if (slice.owner == nullptr || slice.owner[bandRow] == slice.slice)
                for (std::int32_t i = r; i < end; ++i) {
                    const std::size_t at = std::size_t(bandRow + i - r) * stride +
                                           std::size_t(blockColumn);
                    addRow(block + i * P, weighted + i * P, P, numerators + at, weights + at);
                }
            bandRow += end - r;
            if (bandRow == rows)
                bandRow = 0;
            r = end;
        }
    }
}

namespace {

// Copies band rows [closedRows, limit) into estimate and weightSum.
void closeRows(const Geometry& g, Accumulators& acc, std::int32_t limit)
{
    constexpr std::int32_t B = Accumulators::closeBatch;
    const std::size_t M = std::size_t(g.M), N = std::size_t(g.N), stride = acc.rowStride;
    const float* numerators = acc.accumulatorBand.get();
    const float* weights = numerators + std::size_t(acc.accumulatorRows) * stride;
    for (std::int32_t first = acc.closedRows; first < limit; first += B) {
        const std::int32_t count = std::min(B, limit - first);
        std::size_t at[B];
        for (std::int32_t r = 0; r < count; ++r)
            at[r] = std::size_t((first + r) % acc.accumulatorRows) * stride;
        float* estimate = acc.estimate + std::size_t(first);
        float* weightSum = acc.weightSum + std::size_t(first);
        for (std::size_t x = 0; x < N; ++x)
            for (std::int32_t r = 0; r < count; ++r) {
                estimate[x * M + std::size_t(r)] = numerators[at[r] + x];
                weightSum[x * M + std::size_t(r)] = weights[at[r] + x];
            }
    }
    acc.closedRows = std::max(acc.closedRows, limit);
}

} // namespace

void keepRowsOpen(const Geometry& g, Accumulators& acc, std::int32_t begin, std::int32_t end)
{
    const std::size_t stride = acc.rowStride;
    float* numerators = acc.accumulatorBand.get();
    float* weights = numerators + std::size_t(acc.accumulatorRows) * stride;
    // Rows close a batch at a time; all of them at the end, or when rows
    // below begin were never opened (no group reached them).
    const std::int32_t limit = std::min(begin, acc.openRows);
    if (limit - acc.closedRows >= Accumulators::closeBatch || begin >= g.M || limit < begin)
        closeRows(g, acc, limit);
    // Rows that no group reached stay as set-up left them: zero.
    if (acc.closedRows == acc.openRows) {
        acc.closedRows = std::max(acc.closedRows, std::min(begin, g.M));
        acc.openRows = acc.closedRows;
    }
    for (; acc.openRows < end && acc.openRows < g.M; ++acc.openRows) {
        // A window wider than the walk's would overrun the band: make room.
        if (acc.openRows - acc.closedRows >= acc.accumulatorRows)
            closeRows(g, acc, std::min(begin, acc.openRows));
        const std::size_t at = (std::size_t(acc.openRows) % std::size_t(acc.accumulatorRows)) * stride;
        std::fill(numerators + at, numerators + at + stride, 0.0f);
        std::fill(weights + at, weights + at + stride, 0.0f);
    }
}

void normalizeEstimate(float* estimate, const float* weightSum, std::size_t pixels)
{
    for (std::size_t i = 0; i < pixels; ++i)
        estimate[i] = (1.0f / weightSum[i]) * estimate[i];
}

} // namespace sorvik::detail
