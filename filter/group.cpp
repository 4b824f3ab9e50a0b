#include "filter/group.h"

#include "filter/simd.h"

#include <cstring>

namespace sorvik::detail {

namespace {

// Where each member's spectra start: its noisyRing entry (complex values) and
// the real part of its coefficient 0 in pilotRing (floats).
void locateMembers(const Workspace& ws, const TransformSet& ts, GroupMembers members)
{
    const std::int32_t K = ws.g.K;
    const std::size_t L = std::size_t(ws.g.L);
    std::size_t* noisy = ts.memberOffsets.get();
    std::size_t* pilot = noisy + K;
    for (std::int32_t j = 0; j < members.k; ++j) {
        const std::int32_t p = members.positions[K - 1 - j];
        noisy[j] = std::size_t(p) * L;
        pilot[j] = ws.pilotOffset(p);
    }
}

// Coefficient t of every located member of both rings, into `noisy` and `pilot`.
void gatherNoisy(const Workspace& ws, const TransformSet& ts, std::int32_t k, std::int32_t t,
                 Complex* noisy)
{
    const Complex* ring = ws.noisyRing.get() + t;
    const std::size_t* offsets = ts.memberOffsets.get();
    for (std::int32_t j = 0; j < k; ++j)
        std::memcpy(noisy[j], ring[offsets[j]], sizeof(Complex));
}

void gatherPilot(const Workspace& ws, const TransformSet& ts, std::int32_t k, std::int32_t t,
                 Complex* pilot)
{
    const float* re = ws.pilotRing.get() + 2 * std::size_t(pilotTile) * std::size_t(t);
    const float* im = re + pilotTile;
    const std::size_t* offsets = ts.memberOffsets.get() + ws.g.K;
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
void forwardColumn(const Workspace& ws, const TransformSet& ts, std::int32_t k, Complex* column)
{
    ts.forwardPlans[k].execute();
    scaledCopy(ts.transformOut.get(), ws.dftScale[k], k, column);
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

void prefetchGroup(const Workspace& ws, GroupMembers members)
{
    const std::size_t bytes = std::size_t(ws.g.L) * sizeof(Complex);
    const char* ring = reinterpret_cast<const char*>(ws.noisyRing.get());
    for (std::int32_t j = 0; j < members.k; ++j) {
        const char* spectrum = ring + std::size_t(members.positions[ws.g.K - 1 - j]) * bytes;
        for (std::size_t at = 0; at < bytes; at += 64)
            __builtin_prefetch(spectrum + at);
        __builtin_prefetch(spectrum + bytes - 1);
    }
}

void transformGroup(const Workspace& ws, const TransformSet& ts, GroupMembers members)
{
    const std::int32_t L = ws.g.L;
    const std::int32_t k = members.k;
    locateMembers(ws, ts, members);
    Complex* in = ts.transformIn.get();
    for (std::int32_t t = 0; t < L; ++t) {
        Complex* noisy = ts.noisyGroup.get() + std::size_t(t) * k;
        Complex* pilot = ts.pilotGroup.get() + std::size_t(t) * k;
        if (k == 1) {
            gatherNoisy(ws, ts, 1, t, noisy);
            gatherPilot(ws, ts, 1, t, pilot);
            continue;
        }
        gatherNoisy(ws, ts, k, t, in);
        forwardColumn(ws, ts, k, noisy);
        gatherPilot(ws, ts, k, t, in);
        forwardColumn(ws, ts, k, pilot);
    }
}

void transformGroup(Workspace& ws, std::int32_t k)
{
    transformGroup(ws, ws.transforms, GroupMembers{ws.matchPositions, k});
}

float shrinkGroup(Complex* noisyGroup, const Complex* pilotGroup, std::int32_t k, std::int32_t L,
                  float sigma)
{
    return shrinkInto(noisyGroup, pilotGroup, std::size_t(k) * std::size_t(L), sigma * sigma,
                      0.0f, noisyGroup);
}

float filterGroupSpectra(const Workspace& ws, const TransformSet& ts, GroupMembers members)
{
    const std::int32_t L = ws.g.L;
    const std::int32_t k = members.k;
    const float s2 = ws.g.sigma * ws.g.sigma;
    locateMembers(ws, ts, members);
    Complex* in = ts.transformIn.get();
    Complex* noisy = ts.columns.get();
    Complex* pilot = noisy + TransformSet::pilotColumn(ws.g.K);
    Complex* memberMajor = ts.pilotGroup.get();
    float sum = 0.0f;

    if (k == 1) {
        for (std::int32_t t = 0; t < L; ++t) {
            gatherNoisy(ws, ts, 1, t, noisy);
            gatherPilot(ws, ts, 1, t, pilot);
            sum = shrinkInto(noisy, pilot, 1, s2, sum, memberMajor + t);
        }
        return sum;
    }

    const float s = ws.dftScale[k];
    Complex* out = ts.transformOut.get();
    // The forward plans write the columns themselves, and the shrinkage
    // scales them as it reads, which spares a copy of each; FFTW allows this
    // only on arrays of the plan's alignment, which columns has by design.
    const bool direct = fftwf_alignment_of(noisy[0]) == fftwf_alignment_of(out[0]) &&
                        fftwf_alignment_of(pilot[0]) == fftwf_alignment_of(out[0]);
    for (std::int32_t t = 0; t < L; ++t) {
        if (direct) {
            gatherNoisy(ws, ts, k, t, in);
            ts.forwardPlans[k].execute(in, noisy);
            gatherPilot(ws, ts, k, t, in);
            ts.forwardPlans[k].execute(in, pilot);
            sum = shrinkScaledWith<Native>(noisy, pilot, std::size_t(k), s, s2, sum, in);
        } else {
            gatherNoisy(ws, ts, k, t, in);
            forwardColumn(ws, ts, k, noisy);
            gatherPilot(ws, ts, k, t, in);
            forwardColumn(ws, ts, k, pilot);
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
