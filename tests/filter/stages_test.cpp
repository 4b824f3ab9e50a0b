// The stages of the filter on hand-made inputs whose results are known.
#include "filter/aggregation.h"
#include "filter/group.h"
#include "filter/matching.h"
#include "filter/rings.h"

#include <gtest/gtest.h>

#include <cmath>
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

TEST(BlockSpectrum, ConstantAndImpulseBlocks)
{
    for (int P : {2, 3, 8}) {
        Fixture f(params(P, P, P, 0, 1));
        const int L = P * (P / 2 + 1);
        ASSERT_EQ(f.ws.g.L, L);
        SpectrumRings rings(f.ws, {});

        std::vector<float> constant(std::size_t(P) * P, 0.25f);
        rings.computeBlockSpectrum(constant.data(), 0, 0, f.ws.noisyRing.get(), 0);
        const Complex* s = f.ws.noisyRing.get();
        EXPECT_NEAR(s[0][0], 0.25f * P, 1e-6f) << "P=" << P;
        for (int t = 1; t < L; ++t) {
            EXPECT_NEAR(s[t][0], 0.0f, 1e-6f);
            EXPECT_NEAR(s[t][1], 0.0f, 1e-6f);
        }

        // Noisy pixels are doubles: the same path converts them to float.
        std::vector<double> impulse(std::size_t(P) * P, 0.0);
        impulse[0] = 1.0;
        rings.computeBlockSpectrum(impulse.data(), 0, 0, f.ws.noisyRing.get(), 0);
        for (int t = 0; t < L; ++t) {
            EXPECT_FLOAT_EQ(f.ws.noisyRing[t][0], 1.0f / P);
            EXPECT_EQ(f.ws.noisyRing[t][1], 0.0f);
        }
    }
}

TEST(BlockSpectrum, BlockIsReadRowMajorFromColumnMajorImage)
{
    // A ramp along image columns (horizontal) shows up in the v frequencies
    // (coefficient (0, 1)), not in u (coefficient (1, 0)).
    const int M = 4, N = 4, P = 4, W = P / 2 + 1;
    Fixture f(params(M, N, P, 0, 1));
    std::vector<float> image(M * N);
    for (int i = 0; i < M; ++i)
        for (int j = 0; j < N; ++j)
            image[i + j * M] = float(j);
    SpectrumRings rings(f.ws, {});
    rings.computeBlockSpectrum(image.data(), 0, 0, f.ws.noisyRing.get(), 0);
    const Complex* s = f.ws.noisyRing.get();
    EXPECT_GT(std::abs(s[1][0]) + std::abs(s[1][1]), 1.0f);     // (u=0, v=1)
    EXPECT_NEAR(std::abs(s[W][0]) + std::abs(s[W][1]), 0.0f, 1e-6f); // (u=1, v=0)
}

// Pilot spectra that are zero but for coefficient 1, so that a candidate's
// distance to a zero reference is exactly re^2 + im^2.
void setCoefficientOne(Workspace& ws, int index, float re, float im)
{
    for (int t = 0; t < ws.g.L; ++t)
        ws.setPilotCoefficient(index, t, 0.0f, 0.0f);
    ws.setPilotCoefficient(index, 1, re, im);
}

Reference firstRowReference(const Workspace& ws)
{
    Reference ref;
    ref.searchRowEnd = 1;
    ref.searchColEnd = ws.g.blockCols;
    return ref;
}

TEST(BlockMatching, KeepsClosestInOrderWithEarlierFirstAmongEquals)
{
    // One row of six blocks: the reference, then distances 50, 20, 50, 10, 20.
    Fixture f(params(8, 13, 8, 5, 4));
    const float coefficients[6][2] = {{0, 0}, {7, 1}, {4, 2}, {7, 1}, {3, 1}, {4, 2}};
    for (int i = 0; i < 6; ++i)
        setCoefficientOne(f.ws, i, coefficients[i][0], coefficients[i][1]);

    const int k = matchBlocks(f.ws, firstRowReference(f.ws));
    EXPECT_EQ(k, 4);
    const float* d = f.ws.matchDistances;
    const std::int32_t* p = f.ws.matchPositions;
    EXPECT_EQ(std::vector<float>(d, d + 4), (std::vector<float>{20, 20, 10, 0}));
    // Members 0..3: reference, the 10, the first 20, the second 20.
    EXPECT_EQ(std::vector<int>(p, p + 4), (std::vector<int>{5, 2, 4, 0}));
}

TEST(BlockMatching, ThresholdAndCapacityLimits)
{
    Fixture f(params(8, 11, 8, 5, 3));
    // Distances 25 (twice), 100, 99.
    const float coefficients[5][2] = {{0, 0}, {3, 4}, {5, 0}, {10, 0}, {9, 3}};
    for (int i = 0; i < 5; ++i)
        setCoefficientOne(f.ws, i, coefficients[i][0], coefficients[i][1]);
    Reference ref = firstRowReference(f.ws);

    f.ws.g.matchThreshold = 100.0f; // 100 itself is not admitted; K - 1 = 2 slots
    EXPECT_EQ(matchBlocks(f.ws, ref), 3);
    EXPECT_EQ(f.ws.matchPositions[1], 1); // first 25 ranks best
    EXPECT_EQ(f.ws.matchPositions[0], 2);

    f.ws.g.matchThreshold = 25.0f; // nothing strictly below
    EXPECT_EQ(matchBlocks(f.ws, ref), 1);
    EXPECT_EQ(f.ws.matchPositions[2], 0);

    f.ws.g.matchThreshold = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(matchBlocks(f.ws, ref), 1);

    // A NaN in a candidate's spectrum never admits it.
    f.ws.g.matchThreshold = 1000.0f;
    setCoefficientOne(f.ws, 1, std::numeric_limits<float>::quiet_NaN(), 0);
    EXPECT_EQ(matchBlocks(f.ws, ref), 3);
    EXPECT_NE(f.ws.matchPositions[0], 1);
    EXPECT_NE(f.ws.matchPositions[1], 1);
}

TEST(BlockMatching, SmallBlocksCountCoefficientOneTwice)
{
    // P = 2: L = 4, stage 1 and stage 2 both add coefficient 1.
    Complex a[4] = {}, b[4] = {};
    b[1][0] = 1.0f;
    b[2][0] = 2.0f;
    float d = 0.0f;
    ASSERT_TRUE(stagedDistance(a, b, 4, 100.0f, d));
    EXPECT_EQ(d, 1.0f + 1.0f + 4.0f);
    // Rejected after stage 1 when the first quarter alone exceeds the limit.
    EXPECT_FALSE(stagedDistance(a, b, 4, 0.5f, d));
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
    EXPECT_EQ(matchBlocks(f.ws, ref), 2);
    EXPECT_EQ(f.ws.matchPositions[0], 2 * cols);
}

TEST(GroupTransform, PairsGiveScaledSumAndDifference)
{
    Fixture f(params(8, 9, 8, 1, 2));
    const int L = f.ws.g.L;
    for (int e = 0; e < 2; ++e)
        for (int t = 0; t < L; ++t) {
            f.ws.noisyRing[e * L + t][0] = float(t + 1) * (e ? -1.0f : 2.0f);
            f.ws.noisyRing[e * L + t][1] = 0.5f * float(e);
            f.ws.setPilotCoefficient(e, t, 1.0f, 1.0f);
        }
    f.ws.matchPositions[1] = 0; // member 0: the reference, entry 0
    f.ws.matchPositions[0] = 1; // member 1
    transformGroup(f.ws, 2);
    const float s = 0.70710677f;
    for (int t = 0; t < L; ++t) {
        const float x0 = float(t + 1) * 2.0f, x1 = -float(t + 1);
        EXPECT_FLOAT_EQ(f.ws.transforms.noisyGroup[2 * t][0], s * (x0 + x1));
        EXPECT_FLOAT_EQ(f.ws.transforms.noisyGroup[2 * t + 1][0], s * (x0 - x1));
        EXPECT_FLOAT_EQ(f.ws.transforms.noisyGroup[2 * t + 1][1], s * -0.5f);
        // Identical pilot members: all energy in member 0.
        EXPECT_FLOAT_EQ(f.ws.transforms.pilotGroup[2 * t][0], std::sqrt(2.0f));
        EXPECT_NEAR(f.ws.transforms.pilotGroup[2 * t + 1][0], 0.0f, 1e-6f);
    }
}

TEST(GroupTransform, EveryGroupLengthRoundTrips)
{
    // Odd and prime lengths too: forward, then back, reproduces the members.
    Fixture f(params(8, 14, 8, 7, 7));
    const int L = f.ws.g.L;
    for (int e = 0; e < 7; ++e)
        for (int t = 0; t < L; ++t) {
            f.ws.noisyRing[e * L + t][0] = float((e * 31 + t * 7) % 11) - 5.0f;
            f.ws.noisyRing[e * L + t][1] = float((e * 13 + t) % 5);
            f.ws.setPilotCoefficient(e, t, 1.0f, 1.0f);
        }
    for (int k = 1; k <= 7; ++k) {
        for (int j = 0; j < k; ++j)
            f.ws.matchPositions[6 - j] = j;
        transformGroup(f.ws, k);
        invertGroup(f.ws, k); // leaves member-major spectra in pilotGroup
        for (int j = 0; j < k; ++j)
            for (int t = 0; t < L; ++t) {
                ASSERT_NEAR(f.ws.transforms.pilotGroup[j * L + t][0], f.ws.noisyRing[j * L + t][0], 1e-5f)
                    << "k=" << k;
                ASSERT_NEAR(f.ws.transforms.pilotGroup[j * L + t][1], f.ws.noisyRing[j * L + t][1], 1e-5f);
            }
    }
}

TEST(WienerShrinkage, CoefficientsAndSquareSum)
{
    Complex noisy[3] = {{2, 4}, {1, 1}, {5, 5}};
    const Complex pilot[3] = {{3, 4}, {0, 0}, {1e10f, 0}};
    // w = 25 / (25 + 25) = 0.5, then 0 for a zero pilot, then 1.
    EXPECT_EQ(shrinkGroup(noisy, pilot, 1, 3, 5.0f), 0.25f + 0.0f + 1.0f);
    EXPECT_EQ(noisy[0][0], 1.0f);
    EXPECT_EQ(noisy[0][1], 2.0f);
    EXPECT_EQ(noisy[1][0], 0.0f);
    EXPECT_EQ(noisy[2][1], 5.0f);

    // sigma = 0: w = 1 where the pilot has energy, NaN (0 / 0) where it has none.
    Complex again[2] = {{2, 4}, {1, 1}};
    const Complex some[2] = {{3, 4}, {0, 0}};
    EXPECT_TRUE(std::isnan(shrinkGroup(again, some, 2, 1, 0.0f)));
    EXPECT_EQ(again[0][0], 2.0f);
    EXPECT_TRUE(std::isnan(again[1][0]));
}

TEST(Aggregation, ClipsValuesButCountsEveryWeight)
{
    // One 2 x 2 block at (0, 0) of a 2 x 2 image, window non-symmetric.
    Fixture f(params(2, 2, 2, 0, 1));
    float* block = reinterpret_cast<float*>(f.ws.transforms.noisyGroup.get());
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float v[4] = {2.0f, 0.5f, -1.0f, nan}; // pixels (0,0) (0,1) (1,0) (1,1)
    std::copy(v, v + 4, block);
    f.ws.matchPositions[0] = 0;
    const double window[4] = {1.0, 2.0, 3.0, 4.0}; // storage entry r * P + c weights pixel (r, c)
    Reference ref;
    aggregateGroup(f.ws, ref, 1, 0.5f, window); // groupWeight 2

    const float* e = f.estimate.data();
    const float* w = f.ws.weightSum;
    // Image element i + j * M for pixel (i, j).
    EXPECT_EQ(w[0], 2.0f);
    EXPECT_EQ(w[2], 4.0f);
    EXPECT_EQ(w[1], 6.0f);
    EXPECT_EQ(w[3], 8.0f);
    EXPECT_EQ(e[0], 2.0f); // above 1 counts as 1
    EXPECT_EQ(e[2], 2.0f); // 0.5 * 4
    EXPECT_EQ(e[1], 0.0f); // negative adds nothing
    EXPECT_EQ(e[3], 0.0f); // NaN adds nothing

    normalizeEstimate(f.estimate.data(), f.ws.weightSum, 4);
    EXPECT_EQ(e[0], 1.0f);
    EXPECT_EQ(e[2], 0.5f);
    EXPECT_EQ(e[1], 0.0f);
}

TEST(Aggregation, RingIndexMapsBackAcrossTheWrap)
{
    // R = 2 (five slots), 1-column grid: currentSlot 4 and a member in slot 0
    // lie one row below the reference; currentSlot 0 and slot 4 one row above.
    Fixture f(params(12, 2, 2, 2, 2));
    ASSERT_EQ(f.ws.g.blockCols, 1);
    float* blocks = reinterpret_cast<float*>(f.ws.transforms.noisyGroup.get());
    std::fill(blocks, blocks + 8, 1.0f);
    const double window[4] = {1, 1, 1, 1};
    struct Case { int n, currentSlot, memberSlot, memberRow; };
    for (const Case c : {Case{4, 4, 0, 5}, Case{5, 0, 4, 4}, Case{6, 1, 3, 8}, Case{6, 1, 4, 4}}) {
        std::fill(f.ws.weightSum, f.ws.weightSum + 24, 0.0f);
        Reference ref;
        ref.n = c.n;
        ref.currentSlot = c.currentSlot;
        f.ws.matchPositions[1] = c.currentSlot;
        f.ws.matchPositions[0] = c.memberSlot;
        aggregateGroup(f.ws, ref, 2, 1.0f, window);
        std::vector<float> expected(12, 0.0f);
        for (int row : {c.n, c.n + 1, c.memberRow, c.memberRow + 1})
            expected[row] += 1.0f;
        EXPECT_EQ(std::vector<float>(f.ws.weightSum, f.ws.weightSum + 12), expected)
            << "n=" << c.n << " member slot " << c.memberSlot;
    }
}

} // namespace
} // namespace sorvik::detail
