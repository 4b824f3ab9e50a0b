// The stages of the filter on hand-made inputs whose results are known, each
// through the function the walk calls.
#include "filter/aggregation.h"
#include "filter/group.h"
#include "filter/matching.h"
#include "filter/rings.h"
#include "filter/workspace.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace sorvik::detail {
namespace {

struct Fixture {
    std::vector<float> estimate;
    Workspace ws;

    explicit Fixture(const FilterParams& p) : estimate(std::size_t(p.rows) * p.cols)
    {
        EXPECT_EQ(ws.setUp(makeGeometry(p), estimate.data()), FilterStatus::ok);
    }
};

FilterParams params(int rows, int cols, int P, int R, int K, float threshold = 100.0f)
{
    FilterParams p;
    p.rows = rows;
    p.cols = cols;
    p.blockSize = P;
    p.searchRadius = R;
    p.maxGroupSize = K;
    p.step = 1;
    p.matchThreshold = threshold;
    return p;
}

// Coefficient t of the pilot spectrum at ring index p.
float pilotRe(const Workspace& ws, int p, int t)
{
    return ws.rings.pilotRing[ws.rings.pilotOffset(p) + 2 * std::size_t(pilotTile) * t];
}
float pilotIm(const Workspace& ws, int p, int t)
{
    return ws.rings.pilotRing[ws.rings.pilotOffset(p) + 2 * std::size_t(pilotTile) * t + pilotTile];
}

// Block-position row 0 of a P x P image (one block) into both rings.
void storeOnlyBlock(Workspace& ws, const double* noisy, const float* pilot)
{
    SpectrumRings rings(ws.g, ws.rings, ws.band, Images{noisy, pilot});
    rings.bringRows(0, 0);
    rings.computeColumns(0, 0, ws.g.blockCols, ws.transforms);
}

TEST(BlockSpectrum, ConstantAndImpulseBlocks)
{
    for (int P : {2, 3, 8}) {
        Fixture f(params(P, P, P, 0, 1));
        const int L = P * (P / 2 + 1);
        ASSERT_EQ(f.ws.g.L, L);

        // Noisy pixels are doubles, rounded to float on the way in; pilot
        // pixels are floats.
        std::vector<double> impulse(std::size_t(P) * P, 0.0);
        impulse[0] = 1.0;
        const std::vector<float> constant(std::size_t(P) * P, 0.25f);
        storeOnlyBlock(f.ws, impulse.data(), constant.data());

        EXPECT_NEAR(pilotRe(f.ws, 0, 0), 0.25f * P, 1e-6f) << "P=" << P;
        for (int t = 1; t < L; ++t) {
            EXPECT_NEAR(pilotRe(f.ws, 0, t), 0.0f, 1e-6f);
            EXPECT_NEAR(pilotIm(f.ws, 0, t), 0.0f, 1e-6f);
        }
        for (int t = 0; t < L; ++t) {
            EXPECT_FLOAT_EQ(f.ws.rings.noisyRing[t][0], 1.0f / P);
            EXPECT_EQ(f.ws.rings.noisyRing[t][1], 0.0f);
        }
    }
}

TEST(BlockSpectrum, BlockIsReadRowMajorFromColumnMajorImage)
{
    // A ramp along image columns (horizontal) shows up in the v frequencies
    // (coefficient (0, 1)), not in u (coefficient (1, 0)), in both rings.
    const int M = 4, N = 4, P = 4, W = P / 2 + 1;
    Fixture f(params(M, N, P, 0, 1));
    std::vector<double> noisy(M * N);
    std::vector<float> pilot(M * N);
    for (int i = 0; i < M; ++i)
        for (int j = 0; j < N; ++j) {
            noisy[i + j * M] = double(j);
            pilot[i + j * M] = float(j);
        }
    storeOnlyBlock(f.ws, noisy.data(), pilot.data());
    const Complex* s = f.ws.rings.noisyRing.get();
    EXPECT_GT(std::abs(s[1][0]) + std::abs(s[1][1]), 1.0f);          // (u=0, v=1)
    EXPECT_NEAR(std::abs(s[W][0]) + std::abs(s[W][1]), 0.0f, 1e-6f); // (u=1, v=0)
    EXPECT_GT(std::abs(pilotRe(f.ws, 0, 1)) + std::abs(pilotIm(f.ws, 0, 1)), 1.0f);
    EXPECT_NEAR(std::abs(pilotRe(f.ws, 0, W)) + std::abs(pilotIm(f.ws, 0, W)), 0.0f, 1e-6f);
}

// Pilot spectra that are zero but for coefficient 1, so that a candidate's
// distance to a zero reference is exactly re^2 + im^2.
void setCoefficientOne(Workspace& ws, int index, float re, float im)
{
    for (int t = 0; t < ws.g.L; ++t)
        ws.rings.setPilotCoefficient(index, t, 0.0f, 0.0f);
    ws.rings.setPilotCoefficient(index, 1, re, im);
}

Reference firstRowReference(const Workspace& ws, int c = 0)
{
    Reference ref;
    ref.c = c;
    ref.referenceIndex = c;
    ref.searchRowEnd = 1;
    ref.searchColEnd = ws.g.blockCols;
    return ref;
}

// One reference's match list: entry K - 1 - j holds member j.
struct Lists {
    std::vector<float> distances;
    std::vector<std::int32_t> positions;
    std::vector<float> reference;
};

// Matches refs[0 .. count - 1] together, as one batch of the walk; returns
// the group sizes.
std::vector<std::int32_t> matchBatch(const Workspace& ws, const Reference* refs, int count,
                                     std::vector<Lists>& lists)
{
    lists.assign(std::size_t(count), Lists{});
    std::vector<MatchSlot> slots;
    for (Lists& l : lists) {
        l.distances.assign(std::size_t(ws.g.K), -1.0f);
        l.positions.assign(std::size_t(ws.g.K), -1);
        l.reference.assign(2 * std::size_t(ws.g.L), 0.0f);
        slots.push_back(MatchSlot{l.distances.data(), l.positions.data(), l.reference.data()});
    }
    std::vector<std::int32_t> sizes(std::size_t(count), 0);
    matchReferences(ws.g, ws.rings, chooseMatchKernel(), refs, count, slots.data(), sizes.data());
    return sizes;
}

std::int32_t matchOne(const Workspace& ws, const Reference& ref, Lists& list)
{
    std::vector<Lists> lists;
    const std::int32_t k = matchBatch(ws, &ref, 1, lists)[0];
    list = lists[0];
    return k;
}

TEST(BlockMatching, KeepsClosestInOrderWithEarlierFirstAmongEquals)
{
    // One row of six blocks: the reference, then distances 50, 20, 50, 10, 20.
    Fixture f(params(8, 13, 8, 5, 4));
    const float coefficients[6][2] = {{0, 0}, {7, 1}, {4, 2}, {7, 1}, {3, 1}, {4, 2}};
    for (int i = 0; i < 6; ++i)
        setCoefficientOne(f.ws, i, coefficients[i][0], coefficients[i][1]);

    Lists list;
    const int k = matchOne(f.ws, firstRowReference(f.ws), list);
    EXPECT_EQ(k, 4);
    EXPECT_EQ(list.distances, (std::vector<float>{20, 20, 10, 0}));
    // Members 0..3: reference, the 10, the first 20, the second 20.
    EXPECT_EQ(list.positions, (std::vector<std::int32_t>{5, 2, 4, 0}));
}

TEST(BlockMatching, BatchedReferencesMatchAsIfAlone)
{
    // Three references of the row above, matched together and one by one.
    Fixture f(params(8, 13, 8, 5, 4));
    const float coefficients[6][2] = {{0, 0}, {7, 1}, {4, 2}, {7, 1}, {3, 1}, {4, 2}};
    for (int i = 0; i < 6; ++i)
        setCoefficientOne(f.ws, i, coefficients[i][0], coefficients[i][1]);
    const Reference refs[3] = {firstRowReference(f.ws, 0), firstRowReference(f.ws, 3),
                               firstRowReference(f.ws, 5)};
    std::vector<Lists> together;
    const std::vector<std::int32_t> sizes = matchBatch(f.ws, refs, 3, together);
    for (int b = 0; b < 3; ++b) {
        Lists alone;
        EXPECT_EQ(sizes[b], matchOne(f.ws, refs[b], alone)) << "reference " << b;
        EXPECT_EQ(together[b].distances, alone.distances) << "reference " << b;
        EXPECT_EQ(together[b].positions, alone.positions) << "reference " << b;
        EXPECT_EQ(together[b].positions[3], refs[b].referenceIndex);
    }
    // Block 3 matches block 1 exactly, and blocks 2 and 5 at 10.
    EXPECT_EQ(together[1].distances, (std::vector<float>{10, 10, 0, 0}));
    EXPECT_EQ(together[1].positions, (std::vector<std::int32_t>{5, 2, 1, 3}));
}

TEST(BlockMatching, ThresholdAndCapacityLimits)
{
    Fixture f(params(8, 11, 8, 5, 3));
    // Distances 25 (twice), 100, 99.
    const float coefficients[5][2] = {{0, 0}, {3, 4}, {5, 0}, {10, 0}, {9, 3}};
    for (int i = 0; i < 5; ++i)
        setCoefficientOne(f.ws, i, coefficients[i][0], coefficients[i][1]);
    const Reference ref = firstRowReference(f.ws);
    Lists list;

    f.ws.g.matchThreshold = 100.0f; // 100 itself is not admitted; K - 1 = 2 slots
    EXPECT_EQ(matchOne(f.ws, ref, list), 3);
    EXPECT_EQ(list.positions[1], 1); // first 25 ranks best
    EXPECT_EQ(list.positions[0], 2);

    f.ws.g.matchThreshold = 25.0f; // nothing strictly below
    EXPECT_EQ(matchOne(f.ws, ref, list), 1);
    EXPECT_EQ(list.positions[2], 0);

    f.ws.g.matchThreshold = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(matchOne(f.ws, ref, list), 1);

    // A NaN in a candidate's spectrum never admits it.
    f.ws.g.matchThreshold = 1000.0f;
    setCoefficientOne(f.ws, 1, std::numeric_limits<float>::quiet_NaN(), 0);
    EXPECT_EQ(matchOne(f.ws, ref, list), 3);
    EXPECT_NE(list.positions[0], 1);
    EXPECT_NE(list.positions[1], 1);
}

TEST(BlockMatching, SmallBlocksCountCoefficientOneTwice)
{
    // P = 2: L = 4, the first and second stages both add coefficient 1, so
    // the candidate lies at 1 + 1 + 4 from the zero reference, not 1 + 4.
    Fixture f(params(2, 3, 2, 1, 2));
    ASSERT_EQ(f.ws.g.L, 4);
    for (int t = 0; t < 4; ++t) {
        f.ws.rings.setPilotCoefficient(0, t, 0.0f, 0.0f);
        f.ws.rings.setPilotCoefficient(1, t, 0.0f, 0.0f);
    }
    f.ws.rings.setPilotCoefficient(1, 1, 1.0f, 0.0f);
    f.ws.rings.setPilotCoefficient(1, 2, 2.0f, 0.0f);
    const Reference ref = firstRowReference(f.ws);
    Lists list;
    EXPECT_EQ(matchOne(f.ws, ref, list), 2);
    EXPECT_EQ(list.distances[0], 1.0f + 1.0f + 4.0f);
    f.ws.g.matchThreshold = 5.5f;
    EXPECT_EQ(matchOne(f.ws, ref, list), 1);
    // Rejected when the first quarter alone exceeds the limit.
    f.ws.g.matchThreshold = 0.5f;
    EXPECT_EQ(matchOne(f.ws, ref, list), 1);
}

TEST(BlockMatching, SearchAreaWrapsAroundTheRing)
{
    // R = 1: three slots. The reference is row 3 in slot 0; row 2 lives in slot 2.
    Fixture f(params(12, 8, 8, 1, 2, 1000.0f));
    const int cols = f.ws.g.blockCols; // 1
    for (int slot = 0; slot < 3; ++slot)
        setCoefficientOne(f.ws, slot * cols, 0, 0);
    setCoefficientOne(f.ws, 2 * cols, 2, 0); // row 2: distance 4
    setCoefficientOne(f.ws, 1 * cols, 3, 0); // row 4: distance 9
    Reference ref;
    ref.n = 3;
    ref.currentSlot = 0;
    ref.searchRowBegin = 2;
    ref.searchRowEnd = 5;
    ref.searchColEnd = 1;
    Lists list;
    EXPECT_EQ(matchOne(f.ws, ref, list), 2);
    EXPECT_EQ(list.positions[0], 2 * cols);
}

// The fused group filter on the members at `positions` (a match list).
float filterGroup(Workspace& ws, const std::vector<std::int32_t>& positions, int k)
{
    return filterGroupSpectra(ws.g, ws.rings, ws.transforms, GroupMembers{positions.data(), k});
}

// The filtered spectra the group filter leaves, member-major.
const Complex& filtered(const Workspace& ws, int member, int t)
{
    return ws.transforms.filteredGroup[std::size_t(member) * ws.g.L + t];
}

void expectClose(float actual, float expected, const char* what, int t)
{
    EXPECT_NEAR(actual, expected, 1e-5f * (1.0f + std::abs(expected))) << what << ", t=" << t;
}

TEST(GroupTransform, PairsGiveScaledSumAndDifference)
{
    // Two members; sigma^2 = 4 against a pilot energy of 4 gives w = 1/2
    // exactly where the pilot's transform along the group holds all its
    // energy, and w = 0 where it holds none. So the result shows the noisy
    // members' scaled sum (or difference) and where the pilot's energy went.
    Fixture f(params(8, 9, 8, 1, 2));
    const int L = f.ws.g.L;
    f.ws.g.sigma = 2.0f;
    for (int e = 0; e < 2; ++e)
        for (int t = 0; t < L; ++t) {
            f.ws.rings.noisyRing[e * L + t][0] = float(t + 1) * (e ? -1.0f : 2.0f);
            f.ws.rings.noisyRing[e * L + t][1] = 0.5f * float(e);
        }
    const std::vector<std::int32_t> positions = {1, 0}; // member 0 is entry 0
    const float s = 0.70710677f;

    // Identical pilot members: all energy in member 0, s * 2 per part. The
    // noisy sum s (x0 + x1) is halved, and both members get s times it back.
    for (int t = 0; t < L; ++t)
        for (int e = 0; e < 2; ++e)
            f.ws.rings.setPilotCoefficient(e, t, 1.0f, 1.0f);
    EXPECT_NEAR(filterGroup(f.ws, positions, 2), 0.25f * L, 1e-4f);
    for (int t = 0; t < L; ++t) {
        const float x0 = float(t + 1) * 2.0f, x1 = -float(t + 1);
        for (int j = 0; j < 2; ++j) {
            expectClose(filtered(f.ws, j, t)[0], s * 0.5f * (s * (x0 + x1)), "sum", t);
            expectClose(filtered(f.ws, j, t)[1], s * 0.5f * (s * 0.5f), "sum, imaginary", t);
        }
    }

    // Opposite pilot members: all energy in member 1, which carries the
    // noisy difference s (x0 - x1).
    for (int t = 0; t < L; ++t)
        f.ws.rings.setPilotCoefficient(1, t, -1.0f, -1.0f);
    EXPECT_NEAR(filterGroup(f.ws, positions, 2), 0.25f * L, 1e-4f);
    for (int t = 0; t < L; ++t) {
        const float x0 = float(t + 1) * 2.0f, x1 = -float(t + 1);
        const float difference = s * 0.5f * (s * (x0 - x1));
        const float imaginary = s * 0.5f * (s * -0.5f);
        expectClose(filtered(f.ws, 0, t)[0], difference, "difference", t);
        expectClose(filtered(f.ws, 1, t)[0], -difference, "difference", t);
        expectClose(filtered(f.ws, 0, t)[1], imaginary, "difference, imaginary", t);
        expectClose(filtered(f.ws, 1, t)[1], -imaginary, "difference, imaginary", t);
    }
}

TEST(GroupTransform, EveryGroupLengthRoundTrips)
{
    // Odd and prime lengths too. With sigma = 0 every coefficient that the
    // pilot gives energy is kept whole (w = e / e = 1), and a pilot with
    // member 0 alone non-zero gives every coefficient energy: forward, then
    // back, reproduces the members.
    Fixture f(params(8, 14, 8, 7, 7));
    const int L = f.ws.g.L;
    f.ws.g.sigma = 0.0f;
    for (int e = 0; e < 7; ++e)
        for (int t = 0; t < L; ++t) {
            f.ws.rings.noisyRing[e * L + t][0] = float((e * 31 + t * 7) % 11) - 5.0f;
            f.ws.rings.noisyRing[e * L + t][1] = float((e * 13 + t) % 5);
            f.ws.rings.setPilotCoefficient(e, t, e == 0 ? 1.0f : 0.0f, 0.0f);
        }
    std::vector<std::int32_t> positions(7, -1);
    for (int k = 1; k <= 7; ++k) {
        for (int j = 0; j < k; ++j)
            positions[6 - j] = j;
        EXPECT_EQ(filterGroup(f.ws, positions, k), float(k * L)) << "k=" << k;
        for (int j = 0; j < k; ++j)
            for (int t = 0; t < L; ++t) {
                ASSERT_NEAR(filtered(f.ws, j, t)[0], f.ws.rings.noisyRing[j * L + t][0], 1e-5f) << "k=" << k;
                ASSERT_NEAR(filtered(f.ws, j, t)[1], f.ws.rings.noisyRing[j * L + t][1], 1e-5f);
            }
    }
}

// The plans of all a group's columns at once are kept only for the lengths
// where they give the single plans' bits: checked here on other values than
// the probe's, for every length up to the longest batched. (On x86-64 FFTW
// picks another algorithm for L transforms of length 25 than for one.)
TEST(GroupTransform, BatchedPlansGiveTheBitsOfSinglePlans)
{
    Fixture f(params(40, 40, 8, 7, 64));
    TransformSet& ts = f.ws.transforms;
    const std::size_t L = std::size_t(f.ws.g.L);
    ASSERT_EQ(ts.batchedLimit, 64);
    int kept = 0;
    for (std::int32_t k = 2; k <= ts.batchedLimit; ++k) {
        if (!ts.batched(k))
            continue;
        ++kept;
        for (const bool forward : {true, false}) {
            float* values = ts.stagedNoisy.get()[0];
            for (std::size_t i = 0; i < 2 * L * std::size_t(k); ++i)
                values[i] = float(std::sin(double(i) * 0.37 + k)) * float(1 + i % 9) * 1e3f;
            (forward ? ts.batchedForward : ts.batchedBackward)[k].execute();
            for (std::size_t t = 0; t < L; ++t) {
                std::memcpy(ts.transformIn.get(), ts.stagedNoisy.get() + t * k, k * sizeof(Complex));
                (forward ? ts.forwardPlans : ts.backwardPlans)[k].execute();
                ASSERT_EQ(std::memcmp(ts.transformOut.get(), ts.noisyColumns.get() + t * k,
                                      k * sizeof(Complex)),
                          0)
                    << "k=" << k << (forward ? " forward" : " backward") << " t=" << t;
            }
        }
    }
    RecordProperty("batchedLengths", kept);
}

TEST(WienerShrinkage, CoefficientsAndSquareSum)
{
    // A group of one block of P = 2 (L = 4): no transform along the group.
    Fixture f(params(2, 2, 2, 0, 1));
    ASSERT_EQ(f.ws.g.L, 4);
    const std::vector<std::int32_t> positions = {0};
    auto set = [&](const float (&noisy)[4][2], const float (&pilot)[4][2]) {
        for (int t = 0; t < 4; ++t) {
            f.ws.rings.noisyRing[t][0] = noisy[t][0];
            f.ws.rings.noisyRing[t][1] = noisy[t][1];
            f.ws.rings.setPilotCoefficient(0, t, pilot[t][0], pilot[t][1]);
        }
    };
    // w = 25 / (25 + 25) = 0.5, then 0 for a zero pilot, then 1, then 0.
    set({{2, 4}, {1, 1}, {5, 5}, {3, 3}}, {{3, 4}, {0, 0}, {1e10f, 0}, {0, 0}});
    f.ws.g.sigma = 5.0f;
    EXPECT_EQ(filterGroup(f.ws, positions, 1), 0.25f + 0.0f + 1.0f);
    EXPECT_EQ(filtered(f.ws, 0, 0)[0], 1.0f);
    EXPECT_EQ(filtered(f.ws, 0, 0)[1], 2.0f);
    EXPECT_EQ(filtered(f.ws, 0, 1)[0], 0.0f);
    EXPECT_EQ(filtered(f.ws, 0, 2)[1], 5.0f);

    // sigma = 0: w = 1 where the pilot has energy, NaN (0 / 0) where it has none.
    set({{2, 4}, {1, 1}, {5, 5}, {3, 3}}, {{3, 4}, {0, 0}, {1, 1}, {1, 1}});
    f.ws.g.sigma = 0.0f;
    EXPECT_TRUE(std::isnan(filterGroup(f.ws, positions, 1)));
    EXPECT_EQ(filtered(f.ws, 0, 0)[0], 2.0f);
    EXPECT_TRUE(std::isnan(filtered(f.ws, 0, 1)[0]));
}

// Adds one group into the accumulators as the walk does (rows opened around
// the reference row first), then closes every row into estimate and weightSum.
void aggregate(Workspace& ws, const Reference& ref, const std::vector<std::int32_t>& positions,
               int k, float wienerSquareSum, const float* blocks, const double* window)
{
    keepRowsOpen(ws.g, ws.accumulators, ref.n - ws.g.R, ref.n + ws.g.R + ws.g.P);
    std::vector<float> weighted(std::size_t(ws.g.P) * std::size_t(ws.g.P));
    weightWindow(ws.g.P, wienerSquareSum, window, weighted.data());
    aggregateGroup(ws.g, ws.accumulators, ref, GroupMembers{positions.data(), k}, weighted.data(),
                   blocks);
    keepRowsOpen(ws.g, ws.accumulators, ws.g.M, ws.g.M);
}

TEST(Aggregation, ClipsValuesButCountsEveryWeight)
{
    // One 2 x 2 block at (0, 0) of a 2 x 2 image, window non-symmetric.
    Fixture f(params(2, 2, 2, 0, 1));
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float block[4] = {2.0f, 0.5f, -1.0f, nan}; // pixels (0,0) (0,1) (1,0) (1,1)
    const double window[4] = {1.0, 2.0, 3.0, 4.0}; // storage entry r * P + c weights pixel (r, c)
    aggregate(f.ws, Reference{}, {0}, 1, 0.5f, block, window); // groupWeight 2

    const float* e = f.estimate.data();
    const float* w = f.ws.accumulators.weightSum;
    // Image element i + j * M for pixel (i, j).
    EXPECT_EQ(w[0], 2.0f);
    EXPECT_EQ(w[2], 4.0f);
    EXPECT_EQ(w[1], 6.0f);
    EXPECT_EQ(w[3], 8.0f);
    EXPECT_EQ(e[0], 2.0f); // above 1 counts as 1
    EXPECT_EQ(e[2], 2.0f); // 0.5 * 4
    EXPECT_EQ(e[1], 0.0f); // negative adds nothing
    EXPECT_EQ(e[3], 0.0f); // NaN adds nothing

    normalizeEstimate(f.estimate.data(), f.ws.accumulators.weightSum, 4);
    EXPECT_EQ(e[0], 1.0f);
    EXPECT_EQ(e[2], 0.5f);
    EXPECT_EQ(e[1], 0.0f);
}

TEST(Aggregation, WideRowsClipLikeSinglePixels)
{
    // P = 8: rows long enough for the vector path, every lane seeing each case.
    const int P = 8;
    Fixture f(params(P, P, P, 0, 1));
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float cases[5] = {2.0f, 0.5f, -1.0f, nan, 0.0f};
    std::vector<float> block(P * P);
    std::vector<double> window(P * P);
    for (int i = 0; i < P * P; ++i) {
        block[i] = cases[i % 5];
        window[i] = 1.0 + 0.125 * i;
    }
    aggregate(f.ws, Reference{}, {0}, 1, 1.0f, block.data(), window.data());
    for (int r = 0; r < P; ++r)
        for (int c = 0; c < P; ++c) {
            const float v = block[r * P + c];
            const float w = float(window[r * P + c]);
            const float expected = v > 1.0f ? w : v > 0.0f ? v * w : 0.0f;
            EXPECT_EQ(f.estimate[r + c * P], expected) << "pixel " << r << ", " << c;
            EXPECT_EQ(f.ws.accumulators.weightSum[r + c * P], w);
        }
}

TEST(Aggregation, RingIndexMapsBackAcrossTheWrap)
{
    // R = 2 (five slots), 1-column grid: currentSlot 4 and a member in slot 0
    // lie one row below the reference; currentSlot 0 and slot 4 one row above.
    std::vector<float> blocks(8, 1.0f);
    const double window[4] = {1, 1, 1, 1};
    struct Case { int n, currentSlot, memberSlot, memberRow; };
    for (const Case c : {Case{4, 4, 0, 5}, Case{5, 0, 4, 4}, Case{6, 1, 3, 8}, Case{6, 1, 4, 4}}) {
        Fixture f(params(12, 2, 2, 2, 2));
        ASSERT_EQ(f.ws.g.blockCols, 1);
        Reference ref;
        ref.n = c.n;
        ref.currentSlot = c.currentSlot;
        aggregate(f.ws, ref, {c.memberSlot, c.currentSlot}, 2, 1.0f, blocks.data(), window);
        std::vector<float> expected(12, 0.0f);
        for (int row : {c.n, c.n + 1, c.memberRow, c.memberRow + 1})
            expected[row] += 1.0f;
        EXPECT_EQ(std::vector<float>(f.ws.accumulators.weightSum, f.ws.accumulators.weightSum + 12), expected)
            << "n=" << c.n << " member slot " << c.memberSlot;
    }
}

} // namespace
} // namespace sorvik::detail
