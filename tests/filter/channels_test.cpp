// Channels that share their groups: matched once, on channel 0's pilot, each
// channel shrunk with its own pilot and sigma and aggregated on its own. The
// several-channel entry against runFilter and the plain oracle, bit for bit,
// for any thread count; a clean channel beside a noisy one; and bad calls and
// resource failures.
#include "filter/fault_injection.h"
#include <sorvik/sorvik.h>
#include "tests/filter/plain_filter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace sorvik {
namespace {

enum class Content { waves, texture, tiles };

double cleanPixel(Content content, int i, int j, unsigned seed)
{
    switch (content) {
    case Content::waves:
        return 0.5 + 0.3 * std::sin(0.21 * i + 0.05 * j + seed) * std::cos(0.13 * j - 0.02 * i);
    case Content::texture: {
        // Fine detail that a shrinkage on the wrong sigma would wipe out.
        std::uint32_t h = std::uint32_t(i) * 73856093u ^ std::uint32_t(j) * 19349663u ^ seed;
        h = (h ^ (h >> 13)) * 1274126177u;
        return 0.2 + 0.6 * double(h >> 8) / double(1u << 24);
    }
    case Content::tiles: return double((i / 5 + 2 * (j / 7) + int(seed)) % 4) * 0.25;
    }
    return 0.0;
}

struct Plane {
    std::vector<double> clean, noisy;
    std::vector<float> pilot;
    float sigma = 0.0f;
};

// The pilot is the clean image, as a good first estimate would be close to it.
Plane makePlane(int rows, int cols, Content content, float sigma, unsigned seed)
{
    Plane p;
    p.sigma = sigma;
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0.0, double(sigma));
    for (int j = 0; j < cols; ++j)
        for (int i = 0; i < rows; ++i) {
            const double v = cleanPixel(content, i, j, seed);
            p.clean.push_back(v);
            p.pilot.push_back(float(v));
            p.noisy.push_back(v + noise(rng));
        }
    return p;
}

struct Call {
    FilterParams params;
    std::vector<Plane> planes;
    std::vector<double> window;

    Call(int rows, int cols, int P, int R, int K, int step, float threshold)
    {
        params.rows = rows;
        params.cols = cols;
        params.blockSize = P;
        params.searchRadius = R;
        params.maxGroupSize = K;
        params.step = step;
        params.matchThreshold = threshold;
        for (int r = 0; r < P; ++r)
            for (int c = 0; c < P; ++c)
                window.push_back(1.0 - 0.005 * double(r * r + c * c) + 0.01 * c);
    }
    std::size_t pixels() const { return std::size_t(params.rows) * std::size_t(params.cols); }

    // Every channel's estimate, one after the other; outputs start as -1 so
    // that an unwritten pixel shows.
    FilterStatus run(int threads, std::vector<float>& out) const
    {
        std::vector<Channel> channels = describe(out);
        FilterOptions options;
        options.threads = threads;
        return runFilterChannels(params, channels.data(), int(channels.size()), window.data(),
                                 options);
    }
    std::vector<float> plain() const
    {
        std::vector<float> out;
        std::vector<Channel> channels = describe(out);
        EXPECT_EQ(plain::runFilterChannels(params, channels.data(), int(channels.size()),
                                           window.data()),
                  FilterStatus::ok);
        return out;
    }

private:
    std::vector<Channel> describe(std::vector<float>& out) const
    {
        out.assign(pixels() * planes.size(), -1.0f);
        std::vector<Channel> channels;
        for (std::size_t c = 0; c < planes.size(); ++c)
            channels.push_back(Channel{planes[c].noisy.data(), planes[c].pilot.data(),
                                       planes[c].sigma, out.data() + c * pixels()});
        return channels;
    }
};

bool sameBits(const std::vector<float>& a, const std::vector<float>& b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

std::vector<Call> sampleCalls()
{
    std::vector<Call> calls;
    calls.emplace_back(64, 57, 8, 19, 32, 3, 0.19685f);
    calls.emplace_back(40, 41, 4, 5, 16, 2, 0.05f);
    calls.emplace_back(31, 22, 3, 2, 7, 1, 0.5f);
    calls.emplace_back(30, 31, 8, 1, 1, 2, 0.2f); // groups of the reference alone
    calls.emplace_back(6, 30, 8, 19, 32, 3, 0.2f); // no block fits
    return calls;
}

TEST(Channels, OneChannelGivesRunFiltersBits)
{
    const Content contents[] = {Content::waves, Content::texture, Content::tiles};
    int index = 0;
    for (Call call : sampleCalls()) {
        const Content content = contents[index % 3];
        call.planes.push_back(
            makePlane(call.params.rows, call.params.cols, content, 0.1f, unsigned(index)));
        call.params.sigma = 0.1f;
        std::vector<float> expected(call.pixels(), -1.0f);
        const Plane& p = call.planes[0];
        ASSERT_EQ(runFilter(call.params, p.noisy.data(), p.pilot.data(), call.window.data(),
                            expected.data()),
                  FilterStatus::ok);
        for (const int threads : {1, 2, 3}) {
            std::vector<float> got;
            ASSERT_EQ(call.run(threads, got), FilterStatus::ok);
            EXPECT_TRUE(sameBits(got, expected)) << "call " << index << ", " << threads << " threads";
        }
        ++index;
    }
}

// Channel 0's content differs from the others', so groups matched on any
// pilot but channel 0's would show.
TEST(Channels, ThreeChannelsMatchThePlainFilterForAnyThreadCount)
{
    int index = 0;
    for (Call call : sampleCalls()) {
        const int rows = call.params.rows, cols = call.params.cols;
        call.planes.push_back(makePlane(rows, cols, Content::waves, 0.1f, 11u + index));
        call.planes.push_back(makePlane(rows, cols, Content::tiles, 0.03f, 12u + index));
        call.planes.push_back(makePlane(rows, cols, Content::texture, 0.2f, 13u + index));
        call.params.sigma = -5.0f; // must not be read
        const std::vector<float> expected = call.plain();
        for (const int threads : {1, 2, 3}) {
            std::vector<float> got;
            ASSERT_EQ(call.run(threads, got), FilterStatus::ok);
            EXPECT_TRUE(sameBits(got, expected)) << "call " << index << ", " << threads << " threads";
        }
        ++index;
    }
}

// A noiseless channel (noisy = pilot = clean texture, tiny sigma) in the
// groups of a noisy channel 0 of other content: its Wiener coefficients are
// all but 1, so it comes back as it went in. Shrunk with channel 0's pilot
// or sigma, its texture would be smoothed away.
TEST(Channels, NoiselessChannelKeepsItsDetailInSharedGroups)
{
    Call call(60, 64, 8, 10, 16, 3, 0.19685f);
    call.planes.push_back(makePlane(60, 64, Content::waves, 0.15f, 21u));
    call.planes.push_back(makePlane(60, 64, Content::texture, 0.0f, 22u));
    call.planes[1].sigma = 1e-5f;
    for (const int threads : {1, 2}) {
        std::vector<float> out;
        ASSERT_EQ(call.run(threads, out), FilterStatus::ok);
        double worst = 0.0, noisyError = 0.0, denoisedError = 0.0;
        for (std::size_t i = 0; i < call.pixels(); ++i) {
            worst = std::max(worst, std::abs(double(out[call.pixels() + i]) - call.planes[1].clean[i]));
            const double clean0 = call.planes[0].clean[i];
            noisyError += std::pow(call.planes[0].noisy[i] - clean0, 2);
            denoisedError += std::pow(double(out[i]) - clean0, 2);
        }
        EXPECT_LT(worst, 1e-4) << threads << " threads";
        // ... while channel 0 is still denoised.
        EXPECT_LT(denoisedError, 0.25 * noisyError) << threads << " threads";
    }
}

TEST(Channels, BadCallsAreRefused)
{
    Call call(30, 30, 4, 3, 8, 2, 0.1f);
    call.planes.push_back(makePlane(30, 30, Content::waves, 0.1f, 1u));
    call.planes.push_back(makePlane(30, 30, Content::tiles, 0.1f, 2u));
    std::vector<float> out(2 * call.pixels());
    const Plane& a = call.planes[0];
    const Plane& b = call.planes[1];
    const Channel good[2] = {{a.noisy.data(), a.pilot.data(), 0.1f, out.data()},
                             {b.noisy.data(), b.pilot.data(), 0.1f, out.data() + call.pixels()}};
    const double* window = call.window.data();
    EXPECT_EQ(runFilterChannels(call.params, good, 2, window), FilterStatus::ok);
    EXPECT_EQ(runFilterChannels(call.params, good, 0, window), FilterStatus::invalidParameters);
    EXPECT_EQ(runFilterChannels(call.params, good, -1, window), FilterStatus::invalidParameters);
    EXPECT_EQ(runFilterChannels(call.params, nullptr, 2, window), FilterStatus::invalidParameters);
    EXPECT_EQ(runFilterChannels(call.params, good, 2, nullptr), FilterStatus::invalidParameters);
    for (int field = 0; field < 3; ++field) {
        Channel bad[2] = {good[0], good[1]};
        if (field == 0)
            bad[1].noisy = nullptr;
        else if (field == 1)
            bad[1].pilot = nullptr;
        else
            bad[1].estimate = nullptr;
        EXPECT_EQ(runFilterChannels(call.params, bad, 2, window), FilterStatus::invalidParameters)
            << "field " << field;
    }
    FilterParams wrong = call.params;
    wrong.blockSize = 1;
    EXPECT_EQ(runFilterChannels(wrong, good, 2, window), FilterStatus::invalidParameters);
}

// Every allocation and every plan of a several-channel call fails in turn:
// the call reports outOfMemory or planFailed, or, where a helper's share was
// all it lost, gives the same bits.
TEST(Channels, ResourceFailuresAreClean)
{
    Call call(40, 36, 4, 6, 16, 2, 0.1f);
    for (unsigned c = 0; c < 3; ++c)
        call.planes.push_back(makePlane(40, 36, Content(c), 0.05f + 0.05f * float(c), 30u + c));
    std::vector<float> expected;
    ASSERT_EQ(call.run(1, expected), FilterStatus::ok);
    for (const bool plans : {false, true})
        for (const int threads : {1, 3}) {
            for (int failures = 0;; ++failures) {
                ASSERT_LT(failures, 2000);
                if (plans)
                    testing::failPlanAfter(failures);
                else
                    testing::failAllocationAfter(failures);
                std::vector<float> out;
                const FilterStatus status = call.run(threads, out);
                const bool fired = testing::injectedFailureFired();
                testing::clearInjectedFailures();
                const std::string where = std::string(plans ? "plan" : "allocation") + " failure " +
                                          std::to_string(failures) + ", " +
                                          std::to_string(threads) + " threads";
                if (status == FilterStatus::ok)
                    EXPECT_TRUE(sameBits(out, expected)) << where;
                else
                    EXPECT_EQ(status, plans ? FilterStatus::planFailed : FilterStatus::outOfMemory)
                        << where;
                if (!fired)
                    break;
            }
        }
}

} // namespace
} // namespace sorvik
