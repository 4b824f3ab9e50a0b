// Eight candidates at a time; built with -mavx2 (which brings no fused
// multiply-add) and only called when the processor has AVX2.
#include "filter/match_scan_impl.h"

#include <immintrin.h>

namespace sorvik::detail {
namespace {

struct Avx2 {
    using T = __m256;
    static constexpr std::int32_t width = 8;
    static T load(const float* p) { return _mm256_load_ps(p); }
    static T set1(float v) { return _mm256_set1_ps(v); }
    static T sub(T a, T b) { return _mm256_sub_ps(a, b); }
    static T mul(T a, T b) { return _mm256_mul_ps(a, b); }
    static T add(T a, T b) { return _mm256_add_ps(a, b); }
    static void store(float* p, T v) { _mm256_storeu_ps(p, v); }
    static std::uint32_t le(T a, T b)
    {
        return std::uint32_t(_mm256_movemask_ps(_mm256_cmp_ps(a, b, _CMP_LE_OQ)));
    }
    static std::uint32_t lt(T a, T b)
    {
        return std::uint32_t(_mm256_movemask_ps(_mm256_cmp_ps(a, b, _CMP_LT_OQ)));
    }
};

} // namespace

// The upper halves are cleared on the way out whatever the compiler decides
// about the chunk functions: the callers' SSE code (the group transforms) runs
// several times slower after a kernel that leaves them set.
void scanRowAvx2(const RowScan& row, MatchList& list)
{
    scanRowWith<Avx2, 4>(row, list);
    _mm256_zeroupper();
}

} // namespace sorvik::detail
