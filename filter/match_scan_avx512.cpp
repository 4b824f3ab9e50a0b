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
    // entries a candidate beats found by one compare and moved by a shift of
    // one lane under a mask, where memory would take a loop whose length is
    // new for every candidate.
    class HeldList {
    public:
        static bool fits(std::int32_t K) { return K <= 32; }

        explicit HeldList(const MatchList& list)
            : threshold_(list.threshold),
              lo_(__mmask16(lanesBelow(list.K))),
              hi_(__mmask16(lanesBelow(list.K) >> 16)),
              // Entries 0 .. K - 2 are compared; K - 1 is reserved.
              countedLo_(__mmask16(lanesBelow(list.K - 1))),
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
            // The entries 0 .. K - 2 larger than the candidate are 0 .. past:
            // entry 0 is, as the candidate beat the limit, and the list is in
            // decreasing order. They move down one, and the candidate takes
            // entry `past`: the masks stay in mask registers throughout.
            const __mmask32 larger = _mm512_kunpackw(
                __mmask32(_mm512_mask_cmp_ps_mask(countedHi_, dHi_, s, _CMP_GT_OQ)),
                __mmask32(_mm512_mask_cmp_ps_mask(countedLo_, dLo_, s, _CMP_GT_OQ)));
            const __mmask32 moved = _kshiftri_mask32(larger, 1);
            const __mmask32 at = _kxor_mask32(larger, moved);
            const __mmask16 movedLo = __mmask16(moved), movedHi = __mmask16(_kshiftri_mask32(moved, 16));
            const __mmask16 atLo = __mmask16(at), atHi = __mmask16(_kshiftri_mask32(at, 16));
            const __m512i i = _mm512_set1_epi32(index);
            const __m512i dLo = _mm512_castps_si512(dLo_), dHi = _mm512_castps_si512(dHi_);
            dLo_ = _mm512_castsi512_ps(_mm512_mask_alignr_epi32(dLo, movedLo, dHi, dLo, 1));
            dHi_ = _mm512_castsi512_ps(_mm512_mask_alignr_epi32(dHi, movedHi, dHi, dHi, 1));
            dLo_ = _mm512_mask_mov_ps(dLo_, atLo, s);
            dHi_ = _mm512_mask_mov_ps(dHi_, atHi, s);
            pLo_ = _mm512_mask_alignr_epi32(pLo_, movedLo, pHi_, pLo_, 1);
            pHi_ = _mm512_mask_alignr_epi32(pHi_, movedHi, pHi_, pHi_, 1);
            pLo_ = _mm512_mask_mov_epi32(pLo_, atLo, i);
            pHi_ = _mm512_mask_mov_epi32(pHi_, atHi, i);
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
