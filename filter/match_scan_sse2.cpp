// Four candidates at a time with SSE2, the baseline of both x86 builds.
#include "filter/match_scan_impl.h"

#include <emmintrin.h>

namespace sorvik::detail {
namespace {

struct Sse2 {
    using T = __m128;
    static constexpr std::int32_t width = 4;
    static T load(const float* p) { return _mm_load_ps(p); }
    static T set1(float v) { return _mm_set1_ps(v); }
    static T sub(T a, T b) { return _mm_sub_ps(a, b); }
    static T mul(T a, T b) { return _mm_mul_ps(a, b); }
    static T add(T a, T b) { return _mm_add_ps(a, b); }
    static void store(float* p, T v) { _mm_storeu_ps(p, v); }
    static std::uint32_t le(T a, T b) { return std::uint32_t(_mm_movemask_ps(_mm_cmple_ps(a, b))); }
    static std::uint32_t lt(T a, T b) { return std::uint32_t(_mm_movemask_ps(_mm_cmplt_ps(a, b))); }
};

} // namespace

void scanRowSse2(const RowScan& row, MatchList& list) { scanRowWith<Sse2, 4>(row, list); }

} // namespace sorvik::detail
