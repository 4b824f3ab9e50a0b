// The vector types the filter's loops are written for, as traits V: a loop is
// written once for any V and runs the same single-precision operations, in
// the same order, whatever the width; only neighbouring entries sit side by
// side. Everything here has internal linkage, so that a trait built for one
// instruction set never stands in for another's.
//
// V provides: width, T, load (aligned to the vector), loadu, set1, sub, mul,
// add, div, store (unaligned), and le(a, b) and lt(a, b), the bit masks of
// lanes where a <= b and a < b (false for NaN); gt(a, b), a lane mask as a
// vector, and select(mask, a, b); loadComplex, which splits `width`
// interleaved complex values into their real and imaginary parts,
// scaleComplex, which multiplies both parts of each of them by its lane of w,
// and scaleComplexTwice, which multiplies both parts by s (every lane of s
// the same), rounds, then multiplies by its lane of w.
#ifndef SORVIK_FILTER_SIMD_H
#define SORVIK_FILTER_SIMD_H

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace sorvik::detail {
namespace {

// One lane, for processors without SSE2 and for the tails of every loop.
struct Portable {
    using T = float;
    static constexpr std::int32_t width = 1;
    static T load(const float* p) { return *p; }
    static T loadu(const float* p) { return *p; }
    static T set1(float v) { return v; }
    static T sub(T a, T b) { return a - b; }
    static T mul(T a, T b) { return a * b; }
    static T add(T a, T b) { return a + b; }
    static T div(T a, T b) { return a / b; }
    static void store(float* p, T v) { *p = v; }
    static std::uint32_t le(T a, T b) { return a <= b ? 1u : 0u; }
    static std::uint32_t lt(T a, T b) { return a < b ? 1u : 0u; }
    using Mask = bool;
    static Mask gt(T a, T b) { return a > b; }
    static T select(Mask m, T a, T b) { return m ? a : b; }
    static void loadComplex(const float* p, T& re, T& im)
    {
        re = p[0];
        im = p[1];
    }
    static void scaleComplex(const float* in, T w, float* out)
    {
        out[0] = in[0] * w;
        out[1] = in[1] * w;
    }
    static void scaleComplexTwice(const float* in, T s, T w, float* out)
    {
        out[0] = (s * in[0]) * w;
        out[1] = (s * in[1]) * w;
    }
};

#if defined(__SSE2__)
// Four lanes with SSE2, the baseline of both x86 builds.
struct Sse2 {
    using T = __m128;
    static constexpr std::int32_t width = 4;
    static T load(const float* p) { return _mm_load_ps(p); }
    static T loadu(const float* p) { return _mm_loadu_ps(p); }
    static T set1(float v) { return _mm_set1_ps(v); }
    static T sub(T a, T b) { return _mm_sub_ps(a, b); }
    static T mul(T a, T b) { return _mm_mul_ps(a, b); }
    static T add(T a, T b) { return _mm_add_ps(a, b); }
    static T div(T a, T b) { return _mm_div_ps(a, b); }
    static void store(float* p, T v) { _mm_storeu_ps(p, v); }
    static std::uint32_t le(T a, T b) { return std::uint32_t(_mm_movemask_ps(_mm_cmple_ps(a, b))); }
    static std::uint32_t lt(T a, T b) { return std::uint32_t(_mm_movemask_ps(_mm_cmplt_ps(a, b))); }
    using Mask = __m128;
    static Mask gt(T a, T b) { return _mm_cmpgt_ps(a, b); }
    static T select(Mask m, T a, T b) { return _mm_or_ps(_mm_and_ps(m, a), _mm_andnot_ps(m, b)); }
    static void loadComplex(const float* p, T& re, T& im)
    {
        const T p01 = _mm_loadu_ps(p);
        const T p23 = _mm_loadu_ps(p + 4);
        re = _mm_shuffle_ps(p01, p23, _MM_SHUFFLE(2, 0, 2, 0));
        im = _mm_shuffle_ps(p01, p23, _MM_SHUFFLE(3, 1, 3, 1));
    }
    static void scaleComplex(const float* in, T w, float* out)
    {
        _mm_storeu_ps(out, _mm_mul_ps(_mm_loadu_ps(in), _mm_unpacklo_ps(w, w)));
        _mm_storeu_ps(out + 4, _mm_mul_ps(_mm_loadu_ps(in + 4), _mm_unpackhi_ps(w, w)));
    }
    static void scaleComplexTwice(const float* in, T s, T w, float* out)
    {
        _mm_storeu_ps(out, _mm_mul_ps(_mm_mul_ps(s, _mm_loadu_ps(in)), _mm_unpacklo_ps(w, w)));
        _mm_storeu_ps(out + 4,
                      _mm_mul_ps(_mm_mul_ps(s, _mm_loadu_ps(in + 4)), _mm_unpackhi_ps(w, w)));
    }
};

// The widest trait every build of this processor family has.
using Native = Sse2;
#else
using Native = Portable;
#endif

} // namespace
} // namespace sorvik::detail

#endif
