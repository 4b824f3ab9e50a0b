// The row scanner, written once for any vector type V and compiled once per
// instruction set (match_scan_*.cpp). Everything here has internal linkage,
// so code built for a wider instruction set never stands in for another's.
//
// V provides: width (a divisor of pilotTile), T, load (aligned to the
// vector), set1, sub, mul, add, store, and le(a, b) and lt(a, b), the bit
// masks of lanes where a <= b and a < b (false for NaN).
#ifndef SORVIK_FILTER_MATCH_SCAN_IMPL_H
#define SORVIK_FILTER_MATCH_SCAN_IMPL_H

#include "filter/match_scan.h"

#include <type_traits>

namespace sorvik::detail {
namespace {

// (a.re - b.re)^2 + (a.im - b.im)^2 for `width` neighbouring candidates, each
// product rounded, then their sum; re and im point at the candidates' parts.
template <class V>
inline typename V::T coefficientTerm(typename V::T aRe, typename V::T aIm, const float* re,
                                     const float* im)
{
    const typename V::T dr = V::sub(aRe, V::load(re));
    const typename V::T di = V::sub(aIm, V::load(im));
    return V::add(V::mul(dr, dr), V::mul(di, di));
}

inline float admissionLimit(const MatchList& list)
{
    return list.threshold < list.distances[0] ? list.threshold : list.distances[0];
}

// One candidate, in scan order, with the limit of its own turn: admission,
// then insertion past the entries 1 .. K - 2 with strictly larger distances
// (an equal distance keeps the earlier candidate ahead). The held entries are
// in decreasing order and never NaN, so those entries are the first `past` of
// them, and counting them needs no branch per entry.
inline void admit(MatchList& list, float distance, std::int32_t index)
{
    if (!(distance < admissionLimit(list)))
        return;
    float* d = list.distances;
    std::int32_t* p = list.positions;
    std::int32_t past = 0;
    for (std::int32_t i = 1; i < list.K - 1; ++i)
        past += d[i] > distance ? 1 : 0;
    for (std::int32_t i = 0; i < past; ++i) {
        d[i] = d[i + 1];
        p[i] = p[i + 1];
    }
    d[past] = distance;
    p[past] = index;
}

template <class V, class = void>
struct HasHeldList : std::false_type {};
template <class V>
struct HasHeldList<V, std::void_t<typename V::HeldList>> : std::true_type {};

// The lanes that passed the limit of the chunk's start, to admit() one by one
// in scan order with the exact limit of each one's turn. Candidate j of
// vector i is column first + i W + j. A vector type may hold the list in
// registers meanwhile (V::HeldList, for lists it fits); the admissions and
// their order are the same.
template <class V, std::int32_t N>
void admitPassing(MatchList& list, const typename V::T* d, const std::uint32_t* pass,
                  std::int32_t first)
{
    constexpr std::int32_t W = V::width;
    alignas(64) float distance[N][W];
    for (std::int32_t i = 0; i < N; ++i)
        if (pass[i] != 0)
            V::store(distance[i], d[i]);
    const auto admitAll = [&](auto& into) {
        for (std::int32_t i = 0; i < N; ++i)
            for (std::uint32_t lanes = pass[i]; lanes != 0; lanes &= lanes - 1) {
                const std::uint32_t lane = std::uint32_t(__builtin_ctz(lanes));
                into.admit(distance[i][lane], first + i * W + std::int32_t(lane));
            }
    };
    if constexpr (HasHeldList<V>::value) {
        if (V::HeldList::fits(list.K)) {
            typename V::HeldList held(list);
            admitAll(held);
            held.storeTo(list);
            return;
        }
    }
    struct InMemory {
        MatchList& list;
        void admit(float distance, std::int32_t index) { sorvik::detail::admit(list, distance, index); }
    } inMemory{list};
    admitAll(inMemory);
}

// Early rejection. Every term of the distance is a non-negative float (or
// NaN), so the running sum never decreases: once it exceeds the limit, the
// final distance does too, and the candidate cannot be admitted. The staged
// checks after the first quarter and half of the coefficients are such
// checks; the scanner checks more often, which rejects the same candidates
// sooner and admits exactly the same ones.
//
// The limit only tightens during a scan, so a lane that fails under the limit
// at the start of its chunk fails under its own. A chunk of N vectors (up to
// N * width neighbouring candidates of the row) is summed coefficient by
// coefficient, the N sums side by side so that their additions overlap, and
// stops as soon as all its lanes have failed; the lanes whose final distance
// passes go to admit() one by one, in scan order, with the exact limit of
// their turn.
template <class V, std::int32_t N>
void scanChunk(const RowScan& row, MatchList& list, std::int32_t x0)
{
    using T = typename V::T;
    constexpr std::int32_t W = V::width;
    constexpr std::int32_t tile = pilotTile;
    static_assert(tile % W == 0, "a vector lies inside one tile");
    constexpr std::int32_t checkEvery = 2;
    const std::int32_t L = row.L;
    const float* reference = row.reference;

    // Vector i covers columns x0 + iW .. x0 + iW + W - 1 (x0 is a multiple of W).
    const float* base[N];
    std::uint32_t live[N];
    for (std::int32_t i = 0; i < N; ++i) {
        const std::int32_t x = x0 + i * W;
        base[i] = row.slot + std::size_t(x / tile) * row.tileFloats + std::size_t(x % tile);
        std::uint32_t lanes = (1u << W) - 1u;
        if (x < row.x0)
            lanes &= ~((1u << (row.x0 - x)) - 1u);
        if (row.x1 - x < W)
            lanes &= (1u << (row.x1 - x)) - 1u;
        if (row.skip >= x && row.skip < x + W)
            lanes &= ~(1u << (row.skip - x));
        live[i] = lanes;
    }
    const T limit = V::set1(admissionLimit(list));

    // The stages add coefficient 1, then 2 .. L/4 - 1, then L/4 .. L/2 - 1,
    // then the rest: coefficients 1 .. L - 1 in order, except that when L/4
    // is 1 the second stage starts again at coefficient 1.
    T d[N];
    {
        const T aRe = V::set1(reference[2]), aIm = V::set1(reference[3]);
        for (std::int32_t i = 0; i < N; ++i)
            d[i] = coefficientTerm<V>(aRe, aIm, base[i] + 2 * tile, base[i] + 3 * tile);
        if (L / 4 < 2)
            for (std::int32_t i = 0; i < N; ++i)
                d[i] = V::add(d[i], coefficientTerm<V>(aRe, aIm, base[i] + 2 * tile,
                                                       base[i] + 3 * tile));
    }
    std::int32_t t = 2;
    for (; t + checkEvery <= L; t += checkEvery) {
        for (std::int32_t u = t; u < t + checkEvery; ++u) {
            const T aRe = V::set1(reference[2 * u]), aIm = V::set1(reference[2 * u + 1]);
            const std::size_t at = 2 * std::size_t(tile) * std::size_t(u);
            for (std::int32_t i = 0; i < N; ++i)
                d[i] = V::add(d[i], coefficientTerm<V>(aRe, aIm, base[i] + at, base[i] + at + tile));
        }
        std::uint32_t any = 0;
        for (std::int32_t i = 0; i < N; ++i) {
            live[i] &= V::le(d[i], limit);
            any |= live[i];
        }
        if (any == 0)
            return;
    }
    for (; t < L; ++t) {
        const T aRe = V::set1(reference[2 * t]), aIm = V::set1(reference[2 * t + 1]);
        const std::size_t at = 2 * std::size_t(tile) * std::size_t(t);
        for (std::int32_t i = 0; i < N; ++i)
            d[i] = V::add(d[i], coefficientTerm<V>(aRe, aIm, base[i] + at, base[i] + at + tile));
    }

    std::uint32_t pass[N];
    std::uint32_t anyPass = 0;
    for (std::int32_t i = 0; i < N; ++i) {
        pass[i] = live[i] & V::lt(d[i], limit);
        anyPass |= pass[i];
    }
    if (anyPass != 0)
        admitPassing<V, N>(list, d, pass, row.rowIndex + x0);
}

// A row in chunks of at most maxChunk vectors, left to right, from the
// vector-aligned column at or before the first candidate.
template <class V, std::int32_t maxChunk>
void scanRowWith(const RowScan& row, MatchList& list)
{
    constexpr std::int32_t W = V::width;
    std::int32_t x = row.x0 - row.x0 % W;
    while (x < row.x1) {
        const std::int32_t vectors = (row.x1 - x + W - 1) / W;
        const std::int32_t n = vectors < maxChunk ? vectors : maxChunk;
        switch (n) {
        case 1: scanChunk<V, 1>(row, list, x); break;
        case 2: scanChunk<V, (maxChunk >= 2 ? 2 : 1)>(row, list, x); break;
        case 3: scanChunk<V, (maxChunk >= 3 ? 3 : 1)>(row, list, x); break;
        default: scanChunk<V, maxChunk>(row, list, x); break;
        }
        x += n * W;
    }
}

} // namespace
} // namespace sorvik::detail

#endif
