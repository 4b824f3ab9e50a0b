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

    // A match list of up to 32 entries in four registers while a chunk's
    // candidates are admitted: the same admissions as admit(), with the
    // count of larger entries a compare and a population count, and the move
    // a shift by one lane under a mask, where memory would take a loop whose
    // length is new for every candidate.
    class HeldList {
    public:
        static bool fits(std::int32_t K) { return K <= 32; }

        explicit HeldList(const MatchList& list)
            : threshold_(list.threshold),
              lo_(__mmask16(lanesBelow(list.K))),
              hi_(__mmask16(lanesBelow(list.K) >> 16)),
              // Entries 1 .. K - 2 are counted; 0 is the worst held, K - 1 reserved.
              countedLo_(__mmask16(lanesBelow(list.K - 1) & ~1u)),
              countedHi_(__mmask16(lanesBelow(list.K - 1) >> 16)),
              dLo_(_mm512_maskz_loadu_ps(lo_, list.distances)),
              dHi_(_mm512_maskz_loadu_ps(hi_, list.distances + 16)),
              pLo_(_mm512_maskz_loadu_epi32(lo_, list.positions)),
              pHi_(_mm512_maskz_loadu_epi32(hi_, list.positions + 16))
        {
        }

        void admit(float distance, std::int32_t index)
        {
            const float worst = _mm512_cvtss_f32(dLo_);
            if (!(distance < (threshold_ < worst ? threshold_ : worst)))
                return;
            const __m512 s = _mm512_set1_ps(distance);
            const std::uint32_t past =
                std::uint32_t(__builtin_popcount(_mm512_mask_cmp_ps_mask(countedLo_, dLo_, s, _CMP_GT_OQ))) +
                std::uint32_t(__builtin_popcount(_mm512_mask_cmp_ps_mask(countedHi_, dHi_, s, _CMP_GT_OQ)));
            // Entries 0 .. past - 1 take their successors; entry `past` the candidate.
            const std::uint32_t moved = (1u << past) - 1u;
            const std::uint32_t at = 1u << past;
            const __m512i i = _mm512_set1_epi32(index);
            const __m512i dLo = _mm512_castps_si512(dLo_), dHi = _mm512_castps_si512(dHi_);
            dLo_ = _mm512_castsi512_ps(_mm512_mask_alignr_epi32(dLo, __mmask16(moved), dHi, dLo, 1));
            dHi_ = _mm512_castsi512_ps(_mm512_mask_alignr_epi32(dHi, __mmask16(moved >> 16), dHi, dHi, 1));
            dLo_ = _mm512_mask_mov_ps(dLo_, __mmask16(at), s);
            dHi_ = _mm512_mask_mov_ps(dHi_, __mmask16(at >> 16), s);
            pLo_ = _mm512_mask_alignr_epi32(pLo_, __mmask16(moved), pHi_, pLo_, 1);
            pHi_ = _mm512_mask_alignr_epi32(pHi_, __mmask16(moved >> 16), pHi_, pHi_, 1);
            pLo_ = _mm512_mask_mov_epi32(pLo_, __mmask16(at), i);
            pHi_ = _mm512_mask_mov_epi32(pHi_, __mmask16(at >> 16), i);
        }

        void storeTo(MatchList& list) const
        {
            _mm512_mask_storeu_ps(list.distances, lo_, dLo_);
            _mm512_mask_storeu_ps(list.distances + 16, hi_, dHi_);
            _mm512_mask_storeu_epi32(list.positions, lo_, pLo_);
            _mm512_mask_storeu_epi32(list.positions + 16, hi_, pHi_);
        }

    private:
        static std::uint32_t lanesBelow(std::int32_t n) { return n >= 32 ? ~0u : (1u << n) - 1u; }

        float threshold_;
        __mmask16 lo_, hi_, countedLo_, countedHi_;
        __m512 dLo_, dHi_;
        __m512i pLo_, pHi_;
    };
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
