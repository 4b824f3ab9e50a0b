#include "filter/group.h"

#include "filter/simd.h"

#include <cmath>
#include <cstring>

namespace sorvik::detail {

namespace {

// Where each member's spectra start: its noisyRing entry (complex values) and
// the real part of its coefficient 0 in pilotRing (floats).
void locateMembers(const Geometry& g, const Rings& rings, const TransformSet& ts,
                   GroupMembers members)
{
    const std::int32_t K = g.K;
    const std::size_t L = std::size_t(g.L);
    std::size_t* noisy = ts.memberOffsets.get();
    std::size_t* pilot = noisy + K;
    for (std::int32_t j = 0; j < members.k; ++j) {
        const std::int32_t p = members.positions[K - 1 - j];
        noisy[j] = std::size_t(p) * L;
        pilot[j] = rings.pilotOffset(p);
    }
}

// Coefficient t of every located member of both rings, into `noisy` and `pilot`.
void gatherNoisy(const Rings& rings, const TransformSet& ts, std::int32_t k, std::int32_t t,
                 Complex* noisy)
{
    const Complex* ring = rings.noisyRing.get() + t;
    const std::size_t* offsets = ts.memberOffsets.get();
    for (std::int32_t j = 0; j < k; ++j)
        std::memcpy(noisy[j], ring[offsets[j]], sizeof(Complex));
}

void gatherPilot(const Geometry& g, const Rings& rings, const TransformSet& ts, std::int32_t k,
                 std::int32_t t, Complex* pilot)
{
    const float* re = rings.pilotRing.get() + 2 * std::size_t(pilotTile) * std::size_t(t);
    const float* im = re + pilotTile;
    const std::size_t* offsets = ts.memberOffsets.get() + g.K;
    for (std::int32_t j = 0; j < k; ++j) {
        pilot[j][0] = re[offsets[j]];
        pilot[j][1] = im[offsets[j]];
    }
}

// out = s * transformOut, k complex values.
void scaledCopy(const Complex* from, float s, std::int32_t k, Complex* to)
{
    const float* source = from[0];
    float* target = to[0];
    for (std::int32_t i = 0; i < 2 * k; ++i)
        target[i] = s * source[i];
}

// Forward transform of the column staged in transformIn, scaled, into `column`.
void forwardColumn(const TransformSet& ts, std::int32_t k, Complex* column)
{
    ts.forwardPlans[k].execute();
    scaledCopy(ts.transformOut.get(), ts.dftScale[k], k, column);
}

// The Wiener shrinkage of `count` entries: shrunk[i] = noisy[i] * w, and w * w
// added to `sum` in ascending order. The quotients are formed V::width at a
// time; each is the same single division e / (e + s2) as one at a time.
template <class V>
float shrinkWith(const Complex* noisy, const Complex* pilot, std::size_t count, float s2,
                 float sum, Complex* shrunk)
{
    using T = typename V::T;
    constexpr std::size_t W = std::size_t(V::width);
    std::size_t i = 0;
    if constexpr (W > 1) {
        alignas(64) float squares[W];
        const T s2s = V::set1(s2);
        for (; i + W <= count; i += W) {
            T re, im;
            V::loadComplex(pilot[i], re, im);
            const T e = V::add(V::mul(re, re), V::mul(im, im));
            const T w = V::div(e, V::add(e, s2s));
            V::scaleComplex(noisy[i], w, shrunk[i]);
            V::store(squares, V::mul(w, w));
            for (std::size_t lane = 0; lane < W; ++lane)
                sum = sum + squares[lane];
        }
    }
    for (; i < count; ++i) {
        const float pr = pilot[i][0];
        const float pi = pilot[i][1];
        const float e = pr * pr + pi * pi;
        // One division, as written: e / (e + s2). Its reciprocal form would put
        // w one bit off 1 where sigma is 0.
        const float w = e / (e + s2);
        shrunk[i][0] = noisy[i][0] * w;
        shrunk[i][1] = noisy[i][1] * w;
        sum = sum + w * w;
    }
    return sum;
}

float shrinkInto(const Complex* noisy, const Complex* pilot, std::size_t count, float s2,
                 float sum, Complex* shrunk)
{
    return shrinkWith<Native>(noisy, pilot, count, s2, sum, shrunk);
}

// shrinkWith on the unscaled outputs of the forward transforms: each value is
// first multiplied by s, the same single rounding as the scaled copy it
// replaces, then shrunk as there.
template <class V>
float shrinkScaledWith(const Complex* noisy, const Complex* pilot, std::size_t count, float s,
                       float s2, float sum, Complex* shrunk)
{
    using T = typename V::T;
    constexpr std::size_t W = std::size_t(V::width);
    std::size_t i = 0;
    if constexpr (W > 1) {
        alignas(64) float squares[W];
        const T s2s = V::set1(s2);
        const T ss = V::set1(s);
        for (; i + W <= count; i += W) {
            T re, im;
            V::loadComplex(pilot[i], re, im);
            re = V::mul(ss, re);
            im = V::mul(ss, im);
            const T e = V::add(V::mul(re, re), V::mul(im, im));
            const T w = V::div(e, V::add(e, s2s));
            V::scaleComplexTwice(noisy[i], ss, w, shrunk[i]);
            V::store(squares, V::mul(w, w));
            for (std::size_t lane = 0; lane < W; ++lane)
                sum = sum + squares[lane];
        }
    }
    for (; i < count; ++i) {
        const float pr = s * pilot[i][0];
        const float pi = s * pilot[i][1];
        const float e = pr * pr + pi * pi;
        const float w = e / (e + s2);
        shrunk[i][0] = (s * noisy[i][0]) * w;
        shrunk[i][1] = (s * noisy[i][1]) * w;
        sum = sum + w * w;
    }
    return sum;
}

// The noise power of coefficient t: sigma^2, or its own under coloured noise.
float noiseAt(const Geometry& g, float s2, std::int32_t t)
{
    return g.perCoefficient == nullptr ? s2 : g.perCoefficient[t];
}

} // namespace

void prefetchGroup(const Geometry& g, const Rings& rings, GroupMembers members)
{
    const std::size_t bytes = std::size_t(g.L) * sizeof(Complex);
    const char* ring = reinterpret_cast<const char*>(rings.noisyRing.get());
    for (std::int32_t j = 0; j < members.k; ++j) {
        const char* spectrum = ring + std::size_t(members.positions[g.K - 1 - j]) * bytes;
        for (std::size_t at = 0; at < bytes; at += 64)
            __builtin_prefetch(spectrum + at);
        __builtin_prefetch(spectrum + bytes - 1);
    }
}

float filterGroupSpectra(const Geometry& g, const Rings& rings, const TransformSet& ts,
                         GroupMembers members)
{
    const std::int32_t L = g.L;
    const std::int32_t k = members.k;
    const float s2 = g.sigma * g.sigma;
    locateMembers(g, rings, ts, members);
    Complex* in = ts.transformIn.get();
    Complex* noisy = ts.columns.get();
    Complex* pilot = noisy + TransformSet::pilotColumn(g.K);
    Complex* memberMajor = ts.filteredGroup.get();
    float sum = 0.0f;

    if (k == 1) {
        for (std::int32_t t = 0; t < L; ++t) {
            gatherNoisy(rings, ts, 1, t, noisy);
            gatherPilot(g, rings, ts, 1, t, pilot);
            sum = shrinkInto(noisy, pilot, 1, noiseAt(g, s2, t), sum, memberMajor + t);
        }
        return sum;
    }

    const float s = ts.dftScale[k];
    if (ts.batched(k)) {
        Complex* stagedNoisy = ts.stagedNoisy.get();
        Complex* stagedPilot = ts.stagedPilot.get();
        Complex* noisyColumns = ts.noisyColumns.get();
        Complex* pilotColumns = ts.pilotColumns.get();
        for (std::int32_t t = 0; t < L; ++t) {
            gatherNoisy(rings, ts, k, t, stagedNoisy + std::size_t(t) * k);
            gatherPilot(g, rings, ts, k, t, stagedPilot + std::size_t(t) * k);
        }
        ts.batchedForward[k].execute();
        ts.batchedForward[k].execute(stagedPilot, pilotColumns);
        // Coefficient after coefficient, each column in member order: the
        // order of the sum of squared weights is that of the single columns.
        if (g.perCoefficient == nullptr)
            sum = shrinkScaledWith<Native>(noisyColumns, pilotColumns,
                                           std::size_t(L) * std::size_t(k), s, s2, sum, stagedNoisy);
        for (std::int32_t t = 0; t < L && g.perCoefficient != nullptr; ++t) {
            const std::size_t at = std::size_t(t) * std::size_t(k);
            sum = shrinkScaledWith<Native>(noisyColumns + at, pilotColumns + at, std::size_t(k), s,
                                           g.perCoefficient[t], sum, stagedNoisy + at);
        }
        ts.batchedBackward[k].execute();
        for (std::int32_t t = 0; t < L; ++t)
            for (std::int32_t j = 0; j < k; ++j) {
                Complex& entry = memberMajor[std::size_t(j) * L + t];
                const Complex& value = noisyColumns[std::size_t(t) * k + j];
                entry[0] = s * value[0];
                entry[1] = s * value[1];
            }
        return sum;
    }

    Complex* out = ts.transformOut.get();
    // The forward plans write the columns themselves, and the shrinkage
    // scales them as it reads, which spares a copy of each; FFTW allows this
    // only on arrays of the plan's alignment, which columns has by design.
    const bool direct = fftwf_alignment_of(noisy[0]) == fftwf_alignment_of(out[0]) &&
                        fftwf_alignment_of(pilot[0]) == fftwf_alignment_of(out[0]);
    for (std::int32_t t = 0; t < L; ++t) {
        if (direct) {
            gatherNoisy(rings, ts, k, t, in);
            ts.forwardPlans[k].execute(in, noisy);
            gatherPilot(g, rings, ts, k, t, in);
            ts.forwardPlans[k].execute(in, pilot);
            sum = shrinkScaledWith<Native>(noisy, pilot, std::size_t(k), s, noiseAt(g, s2, t), sum, in);
        } else {
            gatherNoisy(rings, ts, k, t, in);
            forwardColumn(ts, k, noisy);
            gatherPilot(g, rings, ts, k, t, in);
            forwardColumn(ts, k, pilot);
            sum = shrinkInto(noisy, pilot, std::size_t(k), noiseAt(g, s2, t), sum, in);
        }
        ts.backwardPlans[k].execute();
        for (std::int32_t j = 0; j < k; ++j) {
            Complex& entry = memberMajor[std::size_t(j) * L + t];
            entry[0] = s * out[j][0];
            entry[1] = s * out[j][1];
        }
    }
    return sum;
}

} // namespace sorvik::detail

namespace sorvik::detail {

namespace {

// The orthonormal Haar transform of k rows of `width` floats (k a power of
// two), row by row: each level turns the first n rows into n / 2 sums, then
// n / 2 differences, each (a + b) * r or (a - b) * r with r = 1 / sqrt(2)
// rounded; `spare` holds n rows.
void haarForward(float* rows, float* spare, std::int32_t k, std::size_t width, float r)
{
    for (std::int32_t n = k; n >= 2; n /= 2) {
        const std::int32_t half = n / 2;
        for (std::int32_t i = 0; i < half; ++i) {
            const float* a = rows + std::size_t(2 * i) * width;
            const float* b = a + width;
            float* sum = spare + std::size_t(i) * width;
            float* difference = spare + std::size_t(half + i) * width;
            for (std::size_t e = 0; e < width; ++e) {
                sum[e] = (a[e] + b[e]) * r;
                difference[e] = (a[e] - b[e]) * r;
            }
        }
        std::memcpy(rows, spare, std::size_t(n) * width * sizeof(float));
    }
}

// Its inverse, level by level from the coarsest: rows 2i and 2i + 1 of the
// first n are (s + d) * r and (s - d) * r of sum i and difference i.
void haarBackward(float* rows, float* spare, std::int32_t k, std::size_t width, float r)
{
    for (std::int32_t n = 2; n <= k; n *= 2) {
        const std::int32_t half = n / 2;
        for (std::int32_t i = 0; i < half; ++i) {
            const float* sum = rows + std::size_t(i) * width;
            const float* difference = rows + std::size_t(half + i) * width;
            float* a = spare + std::size_t(2 * i) * width;
            float* b = a + width;
            for (std::size_t e = 0; e < width; ++e) {
                a[e] = (sum[e] + difference[e]) * r;
                b[e] = (sum[e] - difference[e]) * r;
            }
        }
        std::memcpy(rows, spare, std::size_t(n) * width * sizeof(float));
    }
}

} // namespace

std::int32_t haarGroupSize(std::int32_t matched)
{
    std::int32_t k = 1;
    while (k <= matched / 2)
        k *= 2;
    return k;
}

float thresholdGroup(const Geometry& g, const Rings& rings, const TransformSet& ts,
                     GroupMembers members, float* blocks)
{
    const std::size_t area = std::size_t(g.P) * std::size_t(g.P);
    const std::int32_t k = members.k;
    float* rows = ts.haarRows.get();
    float* spare = rows + std::size_t(g.K) * area;
    for (std::int32_t j = 0; j < k; ++j) {
        const Complex* entry =
            rings.noisyRing.get() + std::size_t(members.positions[g.K - 1 - j]) * std::size_t(g.L);
        std::memcpy(rows + std::size_t(j) * area, entry[0] + 2, area * sizeof(float));
    }
    const float r = static_cast<float>(1.0 / std::sqrt(2.0));
    haarForward(rows, spare, k, area, r);
    const float threshold = g.threshold;
    const float* thresholds = g.perCoefficient; // by cosine coefficient, under coloured noise
    std::int64_t kept = 1;
    for (std::size_t i = 1; i < std::size_t(k) * area; ++i) {
        // NaN stays, as it is not below the threshold.
        const bool small = std::fabs(rows[i]) < (thresholds ? thresholds[i % area] : threshold);
        rows[i] = small ? 0.0f : rows[i];
        kept += small ? 0 : 1;
    }
    haarBackward(rows, spare, k, area, r);

    float* in = reinterpret_cast<float*>(ts.transformIn.get());
    const float* out = reinterpret_cast<const float*>(ts.transformOut.get());
    for (std::int32_t j = 0; j < k; ++j) {
        const float* coefficients = rows + std::size_t(j) * area;
        for (std::size_t i = 0; i < area; ++i)
            in[i] = ts.idctScale[i] * coefficients[i];
        ts.idctPlan.execute();
        std::memcpy(blocks + std::size_t(j) * area, out, area * sizeof(float));
    }
    return float(kept);
}

} // namespace sorvik::detail
