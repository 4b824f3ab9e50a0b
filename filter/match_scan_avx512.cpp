// Sixteen candidates at a time; built with -mavx512f -mavx512bw -mavx512dq
// -mavx512vl (none of which brings fused multiply-add into this build) and
// only called when the processor has all four. The comparisons write mask
// registers, which are the lane masks of the staged checks as they stand.
#include "filter/match_scan_impl.h"

#include <immintrin.h>

namespace sorvik::detail {
namespace {

struct Avx512 {
    using T = __m512;
    static constexpr std::int32_t width = 16;
    // A tile starts on a vector boundary of the ring, but FFTW's allocator
    // promises less than 64 bytes everywhere; an unaligned load costs nothing
    // more where the address is aligned.
    static T load(const float* p) { return _mm512_loadu_ps(p); }
    static T set1(float v) { return _mm512_set1_ps(v); }
    static T sub(T a, T b) { return _mm512_sub_ps(a, b); }
    static T mul(T a, T b) { return _mm512_mul_ps(a, b); }
    static T add(T a, T b) { return _mm512_add_ps(a, b); }
    static void store(float* p, T v) { _mm512_storeu_ps(p, v); }
    static std::uint32_t le(T a, T b) { return std::uint32_t(_mm512_cmp_ps_mask(a, b, _CMP_LE_OQ)); }
    static std::uint32_t lt(T a, T b) { return std::uint32_t(_mm512_cmp_ps_mask(a, b, _CMP_LT_OQ)); }
};

} // namespace

// The upper halves are cleared on the way out whatever the compiler decides
// about the chunk functions: the callers' SSE code (the group transforms) runs
// several times slower after a kernel that leaves them set.
void scanRowAvx512(const RowScan& row, MatchList& list)
{
    scanRowWith<Avx512, 4>(row, list);
    _mm256_zeroupper();
}

} // namespace sorvik::detail
