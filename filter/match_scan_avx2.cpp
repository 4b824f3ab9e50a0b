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

    // A match list of up to 32 entries in eight registers while a chunk's
    // candidates are admitted: the same admissions as admit(). The entries
    // 0 .. K - 2 larger than the candidate are 0 .. past (entry 0 is, as the
    // candidate beat the limit, and the list is in decreasing order); they
    // take their successors, found by rotating each register one lane and
    // taking the next register's first, and entry `past` the candidate. No
    // loop whose length changes with every candidate.
    class HeldList {
    public:
        static bool fits(std::int32_t K) { return K <= 32; }

        explicit HeldList(const MatchList& list) : threshold_(_mm_set_ss(list.threshold))
        {
            for (int r = 0; r < registers; ++r) {
                held_[r] = lanesBelow(list.K - 8 * r);
                compared_[r] = lanesBelow(list.K - 1 - 8 * r);
                d_[r] = _mm256_maskload_ps(list.distances + 8 * r, held_[r]);
                p_[r] = _mm256_castsi256_ps(_mm256_maskload_epi32(list.positions + 8 * r, held_[r]));
            }
        }

        void admit(float distance, std::int32_t index)
        {
            const __m128 s1 = _mm_set_ss(distance);
            const __m128 limit = _mm_min_ss(threshold_, _mm256_castps256_ps128(d_[0]));
            // The limit is the smaller of the threshold and entry 0, the
            // threshold where they are equal: either way the same number.
            if (!_mm_comilt_ss(s1, limit))
                return;
            const __m256 s = _mm256_set1_ps(distance);
            const __m256 i = _mm256_castsi256_ps(_mm256_set1_epi32(index));
            const __m256i rotate = _mm256_setr_epi32(1, 2, 3, 4, 5, 6, 7, 0);
            __m256 larger[registers], turnedLarger[registers], turnedD[registers],
                turnedP[registers];
            for (int r = 0; r < registers; ++r) {
                larger[r] = _mm256_and_ps(_mm256_cmp_ps(d_[r], s, _CMP_GT_OQ),
                                          _mm256_castsi256_ps(compared_[r]));
                turnedLarger[r] = _mm256_permutevar8x32_ps(larger[r], rotate);
                turnedD[r] = _mm256_permutevar8x32_ps(d_[r], rotate);
                turnedP[r] = _mm256_permutevar8x32_ps(p_[r], rotate);
            }
            for (int r = 0; r < registers; ++r) {
                const int next = r + 1 < registers ? r + 1 : r;
                const __m256 moved = r + 1 < registers
                                         ? _mm256_blend_ps(turnedLarger[r], turnedLarger[next], 0x80)
                                         : _mm256_blend_ps(turnedLarger[r], _mm256_setzero_ps(), 0x80);
                const __m256 at = _mm256_andnot_ps(moved, larger[r]);
                const __m256 successorD = _mm256_blend_ps(turnedD[r], turnedD[next], 0x80);
                const __m256 successorP = _mm256_blend_ps(turnedP[r], turnedP[next], 0x80);
                d_[r] = _mm256_blendv_ps(_mm256_blendv_ps(d_[r], successorD, moved), s, at);
                p_[r] = _mm256_blendv_ps(_mm256_blendv_ps(p_[r], successorP, moved), i, at);
            }
        }

        void storeTo(MatchList& list) const
        {
            for (int r = 0; r < registers; ++r) {
                _mm256_maskstore_ps(list.distances + 8 * r, held_[r], d_[r]);
                _mm256_maskstore_epi32(list.positions + 8 * r, held_[r], _mm256_castps_si256(p_[r]));
            }
        }

    private:
        static constexpr int registers = 4;

        // All-ones in lanes 0 .. n - 1 (none for n <= 0, all for n >= 8).
        static __m256i lanesBelow(std::int32_t n)
        {
            const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
            return _mm256_cmpgt_epi32(_mm256_set1_epi32(n), lane);
        }

        __m128 threshold_;
        __m256i held_[registers], compared_[registers];
        __m256 d_[registers], p_[registers];
    };
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
