#include "pilot/basic_estimate.h"

#include "filter/fftw_owner.h"

#include <fftw3.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

namespace sorvik {
namespace {

constexpr int B = basicBlockSize;

// The same method written the slow, obvious way in double precision: an
// explicit orthonormal DCT matrix per block and a running count per pixel.
std::vector<double> referenceEstimate(std::int32_t M, std::int32_t N, const std::vector<double>& x,
                                      double sigma, double factor)
{
    const double pi = 3.14159265358979323846;
    double C[B][B];
    for (int k = 0; k < B; ++k)
        for (int n = 0; n < B; ++n)
            C[k][n] = std::sqrt((k == 0 ? 1.0 : 2.0) / B) * std::cos(pi * (n + 0.5) * k / B);
    std::vector<double> sum(x.size(), 0.0), count(x.size(), 0.0);
    for (std::int32_t i = 0; i + B <= M; ++i)
        for (std::int32_t j = 0; j + B <= N; ++j) {
            double block[B][B], coef[B][B] = {}, back[B][B] = {};
            for (int a = 0; a < B; ++a)
                for (int b = 0; b < B; ++b)
                    block[a][b] = double(float(x[(i + a) + std::size_t(j + b) * M]));
            for (int u = 0; u < B; ++u)
                for (int v = 0; v < B; ++v) {
                    for (int a = 0; a < B; ++a)
                        for (int b = 0; b < B; ++b)
                            coef[u][v] += C[u][a] * C[v][b] * block[a][b];
                    if ((u || v) && std::fabs(coef[u][v]) < factor * sigma)
                        coef[u][v] = 0.0;
                }
            for (int a = 0; a < B; ++a)
                for (int b = 0; b < B; ++b) {
                    for (int u = 0; u < B; ++u)
                        for (int v = 0; v < B; ++v)
                            back[a][b] += C[u][a] * C[v][b] * coef[u][v];
                    const std::size_t p = (i + a) + std::size_t(j + b) * M;
                    sum[p] += back[a][b];
                    count[p] += 1.0;
                }
        }
    for (std::size_t p = 0; p < sum.size(); ++p)
        sum[p] /= count[p];
    return sum;
}

std::vector<double> noisyRamp(std::int32_t M, std::int32_t N, double sigma, unsigned seed)
{
    std::mt19937 engine(seed);
    std::normal_distribution<double> noise(0.0, sigma);
    std::vector<double> x(std::size_t(M) * N);
    for (std::int32_t j = 0; j < N; ++j)
        for (std::int32_t i = 0; i < M; ++i)
            x[i + std::size_t(j) * M] = 0.3 + 0.4 * (i % 11 < 5) + 0.01 * j + noise(engine);
    return x;
}

// The basic estimate as it was first written: a whole 8 x 8 DCT of every
// block through FFTW, threshold, inverse, and a double sum per pixel. Faster
// versions must give its bits exactly, as the one-call denoise's output
// depends on them.
std::vector<float> frozenEstimate(std::int32_t M, std::int32_t N, const std::vector<double>& x,
                                  double lambda)
{
    constexpr int area = B * B;
    const std::int32_t blockRows = M - B + 1, blockCols = N - B + 1;
    const fftw::Buffer<float> row = fftw::allocate<float>(std::size_t(blockCols) * area);
    const int n[2] = {B, B};
    const fftwf_r2r_kind forwardKinds[2] = {FFTW_REDFT10, FFTW_REDFT10};
    const fftwf_r2r_kind inverseKinds[2] = {FFTW_REDFT01, FFTW_REDFT01};
    const fftw::Plan forward(fftwf_plan_many_r2r(2, n, blockCols, row.get(), nullptr, 1, area,
                                                 row.get(), nullptr, 1, area, forwardKinds,
                                                 FFTW_ESTIMATE));
    const fftw::Plan inverse(fftwf_plan_many_r2r(2, n, blockCols, row.get(), nullptr, 1, area,
                                                 row.get(), nullptr, 1, area, inverseKinds,
                                                 FFTW_ESTIMATE));
    const double dc = 1.0 / (2.0 * std::sqrt(double(B))), ac = 1.0 / std::sqrt(2.0 * B);
    float threshold[area];
    for (int u = 0; u < B; ++u)
        for (int v = 0; v < B; ++v)
            threshold[u * B + v] = float(lambda / ((u == 0 ? dc : ac) * (v == 0 ? dc : ac)));
    std::vector<double> sum(x.size(), 0.0);
    for (std::int32_t i = 0; i < blockRows; ++i) {
        for (std::int32_t j = 0; j < blockCols; ++j)
            for (int a = 0; a < B; ++a)
                for (int b = 0; b < B; ++b)
                    row[std::size_t(j) * area + a * B + b] =
                        float(x[std::size_t(i + a) + std::size_t(j + b) * M]);
        forward.execute();
        for (std::size_t e = 0; e < std::size_t(blockCols) * area; ++e)
            if (e % area != 0 && std::fabs(row[e]) < threshold[e % area])
                row[e] = 0.0f;
        inverse.execute();
        for (std::int32_t j = 0; j < blockCols; ++j)
            for (int b = 0; b < B; ++b)
                for (int a = 0; a < B; ++a)
                    sum[std::size_t(i + a) + std::size_t(j + b) * M] +=
                        row[std::size_t(j) * area + a * B + b];
    }
    const auto coverage = [](std::int32_t p, std::int32_t length) {
        return double(std::min(p, length - B) - std::max(p - (B - 1), 0) + 1);
    };
    std::vector<float> out(x.size());
    for (std::int32_t j = 0; j < N; ++j)
        for (std::int32_t i = 0; i < M; ++i) {
            const std::size_t p = std::size_t(i) + std::size_t(j) * M;
            out[p] = float(sum[p] / (4.0 * B * B * coverage(i, M) * coverage(j, N)));
        }
    return out;
}

TEST(BasicEstimate, AgreesWithADirectDctReference)
{
    const std::int32_t M = 21, N = 30; // not square, not a multiple of the block
    for (const double sigma : {0.0, 0.05, 0.2, 5.0}) {
        const std::vector<double> x = noisyRamp(M, N, 0.1, 7);
        std::vector<float> fast(x.size());
        basicEstimate(M, N, x.data(), sigma, fast.data());
        const std::vector<double> slow = referenceEstimate(M, N, x, sigma, defaultThresholdFactor);
        for (std::size_t p = 0; p < x.size(); ++p)
            ASSERT_NEAR(fast[p], slow[p], 2e-6) << "sigma " << sigma << " pixel " << p;
    }
}

TEST(BasicEstimate, SameBitsAsFirstWritten)
{
    struct Size {
        std::int32_t M, N;
    };
    // One block, one block row or column, odd sizes, a wide and a tall image,
    // and one large enough for every path of a faster version.
    for (const Size size : {Size{8, 8}, Size{8, 23}, Size{19, 8}, Size{21, 30}, Size{9, 77},
                            Size{70, 13}, Size{131, 97}}) {
        const std::vector<double> x = noisyRamp(size.M, size.N, 0.1, unsigned(size.M * size.N));
        for (const double sigma : {0.0, 0.02, 0.1, 1.0}) {
            std::vector<float> got(x.size());
            basicEstimate(size.M, size.N, x.data(), sigma, got.data());
            const std::vector<float> expected =
                frozenEstimate(size.M, size.N, x, defaultThresholdFactor * sigma);
            ASSERT_EQ(std::memcmp(got.data(), expected.data(), got.size() * sizeof(float)), 0)
                << size.M << " x " << size.N << ", sigma " << sigma;
        }
    }
}

// Bands on several threads: the first band's last rows and the next band's
// first rows meet in the pixel rows both reach, whose sums must take the
// blocks in the one-thread order. Sums of floats in double are mostly exact,
// whatever their order; a few pixels 2^60 larger than the rest make the
// blocks that hold them round the others away, and the order show. Sizes
// give bands of 16 rows (the least), of uneven lengths, a thread count above
// what the image can use, and bands long enough to run at the same time.
TEST(BasicEstimate, SameBitsOnAnyThreadCount)
{
    struct Size {
        std::int32_t M, N;
    };
    for (const Size size : {Size{70, 13}, Size{131, 97}, Size{47, 200}, Size{90, 1500}}) {
        std::vector<double> x = noisyRamp(size.M, size.N, 0.1, unsigned(size.M + size.N));
        std::mt19937 engine(unsigned(size.M));
        for (double& v : x)
            v = engine() % 61 == 0 ? std::ldexp(v, 60) : v;
        std::vector<float> one(x.size());
        basicEstimate(size.M, size.N, x.data(), 0.1, one.data());
        for (const int threads : {2, 3, 7, 64}) {
            BasicEstimateOptions options;
            options.threads = threads;
            std::vector<float> got(x.size());
            basicEstimate(size.M, size.N, x.data(), 0.1, got.data(), options);
            ASSERT_EQ(std::memcmp(got.data(), one.data(), got.size() * sizeof(float)), 0)
                << size.M << " x " << size.N << ", " << threads << " threads";
        }
    }
}

TEST(BasicEstimate, ThresholdFactorScalesTheThreshold)
{
    const std::int32_t M = 16, N = 16;
    const std::vector<double> x = noisyRamp(M, N, 0.1, 3);
    std::vector<float> a(x.size()), b(x.size());
    BasicEstimateOptions options;
    options.thresholdFactor = 5.4;
    basicEstimate(M, N, x.data(), 0.05, a.data(), options);
    basicEstimate(M, N, x.data(), 0.1, b.data());
    EXPECT_EQ(a, b);
}

TEST(BasicEstimate, RejectsWhatItCannotFilter)
{
    std::vector<double> x(64 * 7, 0.5);
    std::vector<float> out(x.size());
    EXPECT_THROW(basicEstimate(7, 64, x.data(), 0.1, out.data()), std::invalid_argument);
    EXPECT_THROW(basicEstimate(64, 7, x.data(), 0.1, out.data()), std::invalid_argument);
    std::vector<double> y(64, 0.5);
    EXPECT_THROW(basicEstimate(8, 8, y.data(), -0.1, out.data()), std::invalid_argument);
    EXPECT_THROW(basicEstimate(8, 8, y.data(), std::nan(""), out.data()), std::invalid_argument);
    BasicEstimateOptions options;
    options.thresholdFactor = -1.0;
    EXPECT_THROW(basicEstimate(8, 8, y.data(), 0.1, out.data(), options), std::invalid_argument);
}

TEST(BasicEstimate, ConcurrentCallsGiveTheSameResult)
{
    const std::int32_t M = 48, N = 40;
    const std::vector<double> x = noisyRamp(M, N, 0.1, 11);
    std::vector<float> expected(x.size());
    basicEstimate(M, N, x.data(), 0.1, expected.data());
    std::vector<std::vector<float>> results(4, std::vector<float>(x.size()));
    std::vector<std::thread> threads;
    for (auto& r : results)
        threads.emplace_back([&] {
            for (int repeat = 0; repeat < 20; ++repeat)
                basicEstimate(M, N, x.data(), 0.1, r.data());
        });
    for (auto& t : threads)
        t.join();
    for (const auto& r : results)
        EXPECT_EQ(r, expected);
}

} // namespace
} // namespace sorvik
