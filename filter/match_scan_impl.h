// The row scanner, written once for any vector type V and compiled once per
// instruction set (match_scan_*.cpp). Everything here has internal linkage,
// so code built for a wider instruction set never stands in for another's.
//
// V provides: width, T, load (unaligned), set1, sub, mul, add, store, and
// le(a, b) and lt(a, b), the bit masks of lanes where a <= b and a < b
// (false for NaN).
#ifndef SORVIK_FILTER_MATCH_SCAN_IMPL_H
#define SORVIK_FILTER_MATCH_SCAN_IMPL_H

#include "filter/match_scan.h"
#ifndef SORVIK_CHECK_EVERY
#define SORVIK_CHECK_EVERY 2
#endif

namespace sorvik::detail {
namespace {

// Coefficient t of `width` neighbouring candidates: (a.re - b.re)^2 + (a.im - b.im)^2,
// each product rounded, then their sum.
template <class V>
inline typename V::T coefficientTerm(const RowScan& row, std::int32_t t, std::int32_t x)
{
    const float* re = row.planes + std::int64_t{2} * t * row.stride + x;
    const typename V::T dr = V::sub(V::set1(row.reference[2 * t]), V::load(re));
    const typename V::T di = V::sub(V::set1(row.reference[2 * t + 1]), V::load(re + row.stride));
    return V::add(V::mul(dr, dr), V::mul(di, di));
}

inline float admissionLimit(const MatchList& list)
{
    return list.threshold < list.distances[0] ? list.threshold : list.distances[0];
}

// One candidate, in scan order, with the limit of its own turn: admission,
// then insertion by adjacent swaps past strictly larger distances (an equal
// distance keeps the earlier candidate ahead).
inline void admit(MatchList& list, float distance, std::int32_t index)
{
    if (!(distance < admissionLimit(list)))
        return;
    float* d = list.distances;
    std::int32_t* p = list.positions;
    d[0] = distance;
    p[0] = index;
    for (std::int32_t i = 0; i < list.K - 2 && distance < d[i + 1]; ++i) {
        d[i] = d[i + 1];
        p[i] = p[i + 1];
        d[i + 1] = distance;
        p[i + 1] = index;
    }
}

inline std::uint32_t lowestBit(std::uint32_t bits)
{
    std::uint32_t i = 0;
    while (!(bits & 1u)) {
        bits >>= 1;
        ++i;
    }
    return i;
}

// Early rejection. Every term of the distance is a non-negative float (or
// NaN), so the running sum never decreases: once it exceeds the limit, the
// final distance does too, and the candidate cannot be admitted. The staged
// checks after the first quarter and half of the coefficients are such
// checks; this scanner checks more often, which rejects the same candidates
// sooner and admits exactly the same ones.
//
// The limit only tightens during a scan, so a lane that fails under the limit
// at the start of its vector fails under its own. A vector stops as soon as
// all its lanes have failed; the lanes whose final distance passes go to
// admit() one by one, in scan order, with the exact limit of their turn.
template <class V>
void scanRowWith(const RowScan& row, MatchList& list)
{
    constexpr std::int32_t W = V::width;
    constexpr std::int32_t checkEvery = SORVIK_CHECK_EVERY;
    const std::int32_t L = row.L;
    // The stages add coefficient 1, then 2 .. L/4 - 1, then L/4 .. L/2 - 1,
    // then the rest: coefficients 1 .. L - 1 in order, except that when L/4
    // is 1 the second stage starts again at coefficient 1.
    const bool firstTwice = L / 4 < 2;
    alignas(64) float distance[W];

    for (std::int32_t x = row.x0; x < row.x1; x += W) {
        const std::int32_t lanes = row.x1 - x < W ? row.x1 - x : W;
        std::uint32_t live = (1u << lanes) - 1u;
        if (row.skip >= x && row.skip < x + W)
            live &= ~(1u << (row.skip - x));
        const typename V::T limit = V::set1(admissionLimit(list));

        typename V::T d = coefficientTerm<V>(row, 1, x);
        if (firstTwice)
            d = V::add(d, coefficientTerm<V>(row, 1, x));
        std::int32_t t = 2;
        for (; t + checkEvery <= L; t += checkEvery) {
            for (std::int32_t u = 0; u < checkEvery; ++u)
                d = V::add(d, coefficientTerm<V>(row, t + u, x));
            if ((live & V::le(d, limit)) == 0)
                break;
        }
        if (t + checkEvery <= L)
            continue;
        for (; t < L; ++t)
            d = V::add(d, coefficientTerm<V>(row, t, x));
        live &= V::lt(d, limit);
        if (live == 0)
            continue;
        V::store(distance, d);
        while (live != 0) {
            const std::uint32_t lane = lowestBit(live);
            live &= live - 1;
            admit(list, distance[lane], row.rowIndex + x + std::int32_t(lane));
        }
    }
}

} // namespace
} // namespace sorvik::detail

#endif
