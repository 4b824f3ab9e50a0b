// The library's fast paths against the plain oracle, bit for bit: real and
// synthetic images, block sizes from 2 to 16, radii from 0 past the grid,
// group capacities from 1 to 48, thresholds that admit nothing, some or
// everything, ties, NaN and infinite pixels, and every thread count.
#include "filter/match_scan.h"
#include "filter/profile.h"
#include <sorvik/sorvik.h>
#include "tests/filter/plain_filter.h"

#ifdef SORVIK_TEST_PHOTO
#include "bench/workload.h"
#endif

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace sorvik {
namespace {

enum class Scene {
    smooth,    // slow waves: many close matches, groups fill up
    flatTiles, // piecewise constant: many blocks at distance exactly 0 (ties)
    noise,     // independent pixels: few matches, most candidates rejected early
    spikes,    // smooth, with NaN, infinite and out-of-range pixels
    photo,     // a crop of the standard photograph
};

struct Case {
    std::string name;
    Scene scene;
    int rows, cols, P, R, K, step;
    float threshold, sigma;
    bool asymmetricWindow = false;
};

struct Inputs {
    FilterParams params;
    std::vector<double> noisy;
    std::vector<float> pilot;
    std::vector<double> window;
};

Inputs makeInputs(const Case& c, unsigned seed)
{
    Inputs in;
    in.params.rows = c.rows;
    in.params.cols = c.cols;
    in.params.blockSize = c.P;
    in.params.searchRadius = c.R;
    in.params.maxGroupSize = c.K;
    in.params.step = c.step;
    in.params.matchThreshold = c.threshold;
    in.params.sigma = c.sigma;

    const std::size_t pixels = std::size_t(c.rows) * c.cols;
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> clean(pixels);
#ifdef SORVIK_TEST_PHOTO
    if (c.scene == Scene::photo) {
        static const bench::GreyImage photo = bench::readPng(SORVIK_TEST_PHOTO);
        // A crop away from the centre, so that cases see different content.
        const bench::GreyImage square = bench::deriveSquare(photo, 512 - 2 * int(seed % 50));
        for (int j = 0; j < c.cols; ++j)
            for (int i = 0; i < c.rows; ++i)
                clean[std::size_t(i) + std::size_t(j) * c.rows] =
                    square.pixels[std::size_t(i) + std::size_t(j) * square.rows];
    }
#endif
    for (int j = 0; j < c.cols; ++j)
        for (int i = 0; i < c.rows; ++i) {
            double& v = clean[std::size_t(i) + std::size_t(j) * c.rows];
            switch (c.scene) {
            case Scene::smooth:
            case Scene::spikes:
                v = 0.5 + 0.3 * std::sin(0.21 * i + 0.05 * j) * std::cos(0.13 * j - 0.02 * i);
                break;
            case Scene::flatTiles: v = double((i / 5 + 2 * (j / 7)) % 4) * 0.25; break;
            case Scene::noise: v = unit(rng); break;
            case Scene::photo: break;
            }
        }
    std::normal_distribution<double> noise(0.0, c.sigma == 0.0f ? 0.05 : double(c.sigma));
    for (std::size_t i = 0; i < pixels; ++i) {
        in.pilot.push_back(float(clean[i]));
        in.noisy.push_back(clean[i] + noise(rng));
    }
    if (c.scene == Scene::spikes) {
        const double inf = std::numeric_limits<double>::infinity();
        const double specials[] = {std::nan(""), inf, -inf, 7.0, -3.0, 1e300};
        for (std::size_t s = 0; s < 6; ++s) {
            in.noisy[(s * 7919 + seed) % pixels] = specials[s];
            in.pilot[(s * 104729 + seed) % pixels] = float(specials[s]);
        }
    }
    const std::size_t area = std::size_t(c.P) * c.P;
    for (std::size_t i = 0; i < area; ++i) {
        const std::size_t r = i / c.P, col = i % c.P;
        in.window.push_back(c.asymmetricWindow ? unit(rng) - 0.1
                                               : 1.0 - 0.02 * double(r * r + col * col));
    }
    return in;
}

std::vector<float> runFast(const Inputs& in, int threads)
{
    std::vector<float> out(in.noisy.size(), -1.0f);
    FilterOptions options;
    options.threads = threads;
    EXPECT_EQ(runFilter(in.params, in.noisy.data(), in.pilot.data(), in.window.data(), out.data(),
                        options),
              FilterStatus::ok);
    return out;
}

std::vector<float> runPlain(const Inputs& in)
{
    std::vector<float> out(in.noisy.size(), -1.0f);
    EXPECT_EQ(plain::runFilter(in.params, in.noisy.data(), in.pilot.data(), in.window.data(),
                               out.data()),
              FilterStatus::ok);
    return out;
}

// Index of the first pixel whose bits differ, or -1.
long firstDifference(const std::vector<float>& a, const std::vector<float>& b)
{
    if (a.size() != b.size())
        return 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::memcmp(&a[i], &b[i], sizeof(float)) != 0)
            return long(i);
    return -1;
}

void expectSameBits(const Case& c, unsigned seed, std::initializer_list<int> threadCounts)
{
    SCOPED_TRACE(c.name + " seed " + std::to_string(seed));
    const Inputs in = makeInputs(c, seed);
    ASSERT_EQ(checkParams(in.params), FilterStatus::ok);
    const std::vector<float> expected = runPlain(in);
    for (const int threads : threadCounts) {
        const std::vector<float> got = runFast(in, threads);
        const long at = firstDifference(got, expected);
        EXPECT_EQ(at, -1) << threads << " thread(s): pixel " << at << " is "
                          << (at >= 0 ? got[std::size_t(at)] : 0.0f) << ", plain path gives "
                          << (at >= 0 ? expected[std::size_t(at)] : 0.0f);
    }
}

const float standardThreshold = 0.19685f;
const float standardSigma = 25.0f / 255.0f;

TEST(Exactness, StandardParametersOnManyScenes)
{
    const std::vector<Case> cases = {
        {"smooth 64x64", Scene::smooth, 64, 64, 8, 19, 32, 3, standardThreshold, standardSigma},
        {"tiles 61x70", Scene::flatTiles, 61, 70, 8, 19, 32, 3, standardThreshold, standardSigma},
        {"noise 57x43", Scene::noise, 57, 43, 8, 19, 32, 3, standardThreshold, standardSigma},
        {"spikes 50x66", Scene::spikes, 50, 66, 8, 19, 32, 3, standardThreshold, standardSigma},
#ifdef SORVIK_TEST_PHOTO
        {"photo 96x120", Scene::photo, 96, 120, 8, 19, 32, 3, standardThreshold, standardSigma},
        {"photo 45x200", Scene::photo, 45, 200, 8, 19, 32, 3, standardThreshold, standardSigma},
#endif
    };
    for (const Case& c : cases)
        for (unsigned seed : {1u, 2u})
            expectSameBits(c, seed, {1, 2});
}

TEST(Exactness, BlockSizesRadiiAndCapacities)
{
    const std::vector<Case> cases = {
        {"P2 R3 K5", Scene::smooth, 23, 29, 2, 3, 5, 1, 0.01f, 0.05f},
        {"P3 R2 K7", Scene::noise, 30, 17, 3, 2, 7, 2, 0.5f, 0.1f},
        {"P4 R5 K16", Scene::flatTiles, 40, 41, 4, 5, 16, 2, 0.05f, 0.1f, true},
        {"P5 R4 K9", Scene::spikes, 33, 35, 5, 4, 9, 3, 0.2f, 0.08f},
        {"P6 R7 K48", Scene::smooth, 38, 44, 6, 7, 48, 4, 1.0f, 0.1f},
        {"P7 R6 K13", Scene::smooth, 35, 37, 7, 6, 13, 5, 0.3f, 0.1f, true},
        {"P16 R4 K8", Scene::smooth, 40, 47, 16, 4, 8, 6, 2.0f, 0.1f},
        {"P8 R0 K4", Scene::smooth, 30, 31, 8, 0, 4, 3, standardThreshold, standardSigma},
        {"P8 R1 K1", Scene::smooth, 30, 31, 8, 1, 1, 2, standardThreshold, standardSigma},
        {"P8 R2 K2", Scene::flatTiles, 30, 31, 8, 2, 2, 2, standardThreshold, standardSigma},
        {"P8 R99 K32", Scene::noise, 21, 25, 8, 99, 32, 2, 0.5f, standardSigma},
        {"P8 step 11", Scene::smooth, 45, 39, 8, 5, 8, 11, standardThreshold, standardSigma},
        {"P8 step 1", Scene::smooth, 24, 26, 8, 5, 8, 1, standardThreshold, standardSigma},
        {"P4 R1 step 9", Scene::noise, 40, 37, 4, 1, 4, 9, 0.5f, 0.1f},
        {"P3 R0 step 5", Scene::smooth, 31, 22, 3, 0, 3, 5, 0.5f, 0.1f},
        {"P8 one row", Scene::smooth, 8, 60, 8, 19, 32, 3, standardThreshold, standardSigma},
        {"P8 one column", Scene::smooth, 60, 8, 8, 19, 32, 3, standardThreshold, standardSigma},
    };
    for (const Case& c : cases)
        expectSameBits(c, 3, {1, 3});
}

TEST(Exactness, ThresholdsAndSigmas)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<Case> cases = {
        {"admits nothing", Scene::smooth, 40, 40, 8, 6, 16, 3, 0.0f, standardSigma},
        {"NaN threshold", Scene::smooth, 40, 40, 8, 6, 16, 3, nan, standardSigma},
        {"admits everything", Scene::noise, 40, 40, 8, 6, 16, 3, inf, standardSigma},
        {"ties at zero", Scene::flatTiles, 40, 40, 8, 6, 16, 2, 1e-9f, standardSigma},
        {"sigma 0", Scene::smooth, 40, 40, 8, 6, 16, 3, standardThreshold, 0.0f},
        {"sigma 0 on tiles", Scene::flatTiles, 40, 40, 4, 6, 16, 3, 0.1f, 0.0f},
        {"negative sigma", Scene::smooth, 40, 40, 8, 6, 16, 3, standardThreshold, -0.1f},
        {"huge sigma", Scene::photo, 40, 40, 8, 6, 16, 3, standardThreshold, 1e20f},
    };
    for (const Case& c : cases)
        expectSameBits(c, 4, {1, 2});
}

TEST(Exactness, OutputIsTheSameForEveryThreadCount)
{
    const Case c{"photo 150x97", Scene::photo, 150, 97, 8, 19, 32, 3, standardThreshold,
                 standardSigma, true};
    // One, two and three slices of the aggregation.
    expectSameBits(c, 5, {1, 2, 3, 4, 7, 10});
    const Case small{"more threads than rows", Scene::smooth, 12, 30, 8, 3, 8, 2, 0.5f, 0.1f};
    expectSameBits(small, 6, {1, 2, 3, 4, 16});
}

// The profiled call keeps the bits, and its account of each thread's waiting
// and of the serial parts stays within the walk it measures.
TEST(Exactness, ProfiledThreadsKeepTheBitsAndAccountTheirIdleTime)
{
    const Case c{"photo 150x97", Scene::photo, 150, 97, 8, 19, 32, 3, standardThreshold,
                 standardSigma, true};
    const Inputs in = makeInputs(c, 5);
    const std::vector<float> single = runFast(in, 1);
    for (const int threads : {1, 3}) {
        std::vector<float> out(in.noisy.size(), -1.0f);
        FilterOptions options;
        options.threads = threads;
        detail::CallProfile profile;
        ASSERT_EQ(detail::runFilterProfiled(in.params, in.noisy.data(), in.pilot.data(), in.window.data(),
                                            out.data(), options, &profile),
                  FilterStatus::ok);
        EXPECT_EQ(firstDifference(out, single), -1) << threads;
        ASSERT_EQ(profile.idleSeconds.size(), std::size_t(threads));
        EXPECT_GT(profile.walkSeconds, 0.0);
        // The calling thread waits only inside the walk; helpers may also
        // wait a moment before it starts and after it ends.
        EXPECT_LE(profile.idleSeconds[0], profile.walkSeconds);
        EXPECT_GT(profile.aggregateSeconds, 0.0);
        EXPECT_LE(profile.aggregateSeconds + profile.bringSeconds, profile.walkSeconds * threads);
    }
}

// With several threads the rings hold the next reference row's spectra too,
// computed while the current row is matched: a step past the rows held ahead,
// a step of one (a piece of spectra for every row), a one-row search, and an
// image so narrow that every reference row is one batch, so that the batches
// of many rows are in flight at once.
TEST(Exactness, SpectraComputedAheadGiveTheSameBits)
{
    const std::vector<Case> cases = {
        {"step 10, past the rows ahead", Scene::photo, 120, 40, 4, 5, 8, 10, 0.5f, 0.1f},
        {"step 1", Scene::noise, 50, 44, 4, 4, 8, 1, 0.3f, 0.1f},
        {"R0 step 2", Scene::smooth, 60, 60, 3, 0, 4, 2, 0.5f, 0.1f},
        {"one batch a row", Scene::photo, 220, 12, 4, 3, 8, 1, 0.5f, 0.1f, true},
    };
    for (const Case& c : cases)
        expectSameBits(c, 10, {1, 2, 3, 4});
}

// A capacity and radius cut only to the block grid: group lengths past those
// planned with the set are planned on first use, by whichever thread meets
// them first, and give the same bits.
TEST(Exactness, GroupLengthsPlannedOnFirstUse)
{
    const int most = std::numeric_limits<std::int32_t>::max();
    const std::vector<Case> cases = {
        {"smooth P4, full groups", Scene::smooth, 30, 28, 4, most, most, 3, 0.5f, 0.1f},
        {"noise P3, groups of every size", Scene::noise, 26, 31, 3, most, most, 2, 0.12f, 0.1f},
        {"tiles P2, ties", Scene::flatTiles, 25, 22, 2, most, most, 4, 0.05f, 0.1f, true},
    };
    for (const Case& c : cases)
        expectSameBits(c, 8, {1, 2, 3});
}

// Progress comes from the walk, on the calling thread, the same reports for
// every thread count.
TEST(Exactness, EveryThreadCountReportsEveryRowOnceInOrder)
{
    struct Report {
        std::int32_t done, total;
        bool callingThread;
        bool operator==(const Report& o) const
        {
            return done == o.done && total == o.total && callingThread == o.callingThread;
        }
    };
    struct Recorder {
        std::thread::id caller = std::this_thread::get_id();
        std::vector<Report> seen;
    };
    for (const int step : {3, 11}) {
        Case c{"progress", Scene::smooth, 40, 30, 4, 2, 6, step, 0.5f, 0.1f};
        const Inputs in = makeInputs(c, 9);
        std::vector<Report> single;
        for (const int threads : {1, 2, 3}) {
            Recorder recorder;
            FilterOptions options;
            options.threads = threads;
            options.progressContext = &recorder;
            options.progress = [](void* context, std::int32_t done, std::int32_t total) {
                auto* r = static_cast<Recorder*>(context);
                r->seen.push_back({done, total, std::this_thread::get_id() == r->caller});
            };
            std::vector<float> out(in.noisy.size());
            ASSERT_EQ(runFilter(in.params, in.noisy.data(), in.pilot.data(), in.window.data(),
                                out.data(), options),
                      FilterStatus::ok);
            const std::vector<Report>& seen = recorder.seen;
            ASSERT_EQ(seen.size(), 37u) << "step " << step;
            for (std::size_t i = 0; i < seen.size(); ++i) {
                EXPECT_EQ(seen[i].done, std::int32_t(i + 1));
                EXPECT_EQ(seen[i].total, 37);
                EXPECT_TRUE(seen[i].callingThread);
            }
            if (threads == 1)
                single = seen;
            EXPECT_TRUE(seen == single) << threads << " threads, step " << step;
        }
    }
}

// Every kernel level against the plain filter, the widest last; restores the
// default (no cap) on the way out, whatever the outcome.
void expectKernelMatchesPlain(detail::KernelLevel level)
{
    struct Restore {
        ~Restore() { detail::capKernelLevel(detail::KernelLevel::avx512); }
    } restore;
    const std::vector<Case> cases = {
        {"photo 70x90", Scene::photo, 70, 90, 8, 19, 32, 3, standardThreshold, standardSigma},
        {"tiles P4", Scene::flatTiles, 41, 37, 4, 6, 12, 2, 0.05f, 0.1f},
        {"noise P3", Scene::noise, 33, 39, 3, 5, 9, 1, 0.3f, 0.1f},
        {"spikes P2", Scene::spikes, 30, 35, 2, 9, 20, 1, 0.02f, 0.1f},
        // Rows narrower than one sixteen-lane vector, and search areas that
        // straddle two tiles of the ring.
        {"narrow P5", Scene::smooth, 47, 19, 5, 7, 16, 1, 0.4f, 0.1f},
        {"tiles P3 wide", Scene::flatTiles, 29, 61, 3, 11, 24, 2, 0.05f, 0.1f},
        // The smallest list, and the first one too long for a kernel that
        // holds lists of up to 32 entries in registers; equal distances on
        // the tiles test the order of ties.
        {"tiles K2", Scene::flatTiles, 31, 40, 4, 6, 2, 1, 0.05f, 0.1f},
        {"tiles K33", Scene::flatTiles, 40, 44, 4, 8, 33, 1, 0.05f, 0.1f},
        {"photo K33", Scene::photo, 50, 60, 6, 9, 33, 2, standardThreshold, standardSigma},
    };
    detail::capKernelLevel(level);
    ASSERT_EQ(detail::chosenKernelLevel(), level);
    for (const Case& c : cases)
        expectSameBits(c, 7 + unsigned(level), {1, 2});
}

TEST(Exactness, EveryMatchingKernelThisProcessorRuns)
{
    using detail::KernelLevel;
    const KernelLevel widest = detail::chosenKernelLevel();
    for (const KernelLevel level : {KernelLevel::portable, KernelLevel::sse2, KernelLevel::avx2}) {
        if (level > widest)
            continue;
        expectKernelMatchesPlain(level);
    }
}

TEST(Exactness, Avx512MatchingKernel)
{
    if (detail::chosenKernelLevel() < detail::KernelLevel::avx512)
        GTEST_SKIP() << "this processor or build has no AVX-512 kernel";
    expectKernelMatchesPlain(detail::KernelLevel::avx512);
}

} // namespace
} // namespace sorvik
