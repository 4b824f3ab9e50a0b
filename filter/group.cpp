#include "filter/group.h"

#include "filter/simd.h"

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
    Complex* memberMajor = ts.pilotGroup.get();
    float sum = 0.0f;

    if (k == 1) {
        for (std::int32_t t = 0; t < L; ++t) {
            gatherNoisy(rings, ts, 1, t, noisy);
            gatherPilot(g, rings, ts, 1, t, pilot);
            sum = shrinkInto(noisy, pilot, 1, s2, sum, memberMajor + t);
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
        sum = shrinkScaledWith<Native>(noisyColumns, pilotColumns, std::size_t(L) * std::size_t(k),
                                       s, s2, sum, stagedNoisy);
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
            sum = shrinkScaledWith<Native>(noisy, pilot, std::size_t(k), s, s2, sum, in);
        } else {
            gatherNoisy(rings, ts, k, t, in);
            forwardColumn(ts, k, noisy);
            gatherPilot(g, rings, ts, k, t, in);
            forwardColumn(ts, k, pilot);
            sum = shrinkInto(noisy, pilot, std::size_t(k), s2, sum, in);
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
