#include "pilot/basic_estimate.h"

#include "pilot/planner.h"

#include "filter/fftw_owner.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace sorvik {

namespace {

constexpr int B = basicBlockSize;
constexpr int blockArea = B * B;

using fftw::Plan;

// One plan transforms a whole row of blocks, stored one after the other.
Plan planRow(float* buffer, int blocks, fftwf_r2r_kind kind)
{
    const int n[2] = {B, B};
    const fftwf_r2r_kind kinds[2] = {kind, kind};
    Plan plan(fftwf_plan_many_r2r(2, n, blocks, buffer, nullptr, 1, blockArea, buffer, nullptr, 1,
                                  blockArea, kinds, FFTW_ESTIMATE));
    if (!plan)
        throw std::runtime_error("FFTW could not make a DCT plan");
    return plan;
}

// FFTW makes an 8 x 8 transform of the blocks above as the 1-D transform of
// each block's rows, then of its columns. A block's row is a window of an
// image row, shared by the B blocks above one another that hold it, so the
// forward transform is made the same way from its two halves: each window of
// an image row transformed once (planWindows), then the columns of each block
// (planColumns). The bits are the same as the whole 8 x 8 plan's, which the
// tests hold the estimate to.
Plan checked(fftwf_plan plan)
{
    Plan owned(plan);
    if (!owned)
        throw std::runtime_error("FFTW could not make a DCT plan");
    return owned;
}

// The 1-D REDFT10 of `windows` runs of B floats, one after the other.
Plan planWindows(float* buffer, int windows)
{
    const int n = B;
    const fftwf_r2r_kind kind = FFTW_REDFT10;
    return checked(fftwf_plan_many_r2r(1, &n, windows, buffer, nullptr, 1, B, buffer, nullptr, 1,
                                       B, &kind, FFTW_ESTIMATE));
}

// The 1-D REDFT10 along the columns of a row of blocks (planRow's layout).
Plan planColumns(float* buffer, int blocks)
{
    const fftwf_iodim column = {B, B, B};
    const fftwf_iodim each[2] = {{blocks, blockArea, blockArea}, {B, 1, 1}};
    const fftwf_r2r_kind kind = FFTW_REDFT10;
    return checked(fftwf_plan_guru_r2r(1, &column, 2, each, buffer, buffer, &kind, FFTW_ESTIMATE));
}

// FFTW's REDFT10 is the DCT-II without normalisation: per dimension, the
// orthonormal coefficient is the raw one times 1 / (2 sqrt(n)) for frequency 0
// and 1 / sqrt(2n) otherwise. Comparing raw coefficients with thresholds
// divided by these factors spares scaling every block. The DC coefficient's
// threshold is 0, which no magnitude (nor NaN) is below, so it is always kept
// without a test of its own.
std::vector<float> rawThresholds(double lambda)
{
    const double dc = 1.0 / (2.0 * std::sqrt(double(B)));
    const double ac = 1.0 / std::sqrt(2.0 * B);
    std::vector<float> t(blockArea);
    for (int u = 0; u < B; ++u)
        for (int v = 0; v < B; ++v)
            t[u * B + v] = float(lambda / ((u == 0 ? dc : ac) * (v == 0 ? dc : ac)));
    t[0] = 0.0f;
    return t;
}

// Number of block positions along one axis that cover pixel p.
double coverage(std::int32_t p, std::int32_t length)
{
    const std::int32_t first = std::max(p - (B - 1), std::int32_t{0});
    const std::int32_t last = std::min(p, length - B);
    return double(last - first + 1);
}

} // namespace

void basicEstimate(std::int32_t rows, std::int32_t cols, const double* noisy, double sigma,
                   float* estimate, const BasicEstimateOptions& options)
{
    if (rows < B || cols < B)
        throw std::invalid_argument("the image (" + std::to_string(rows) + " x " +
                                    std::to_string(cols) + ") is smaller than one " +
                                    std::to_string(B) + " x " + std::to_string(B) + " block");
    if (!std::isfinite(sigma) || sigma < 0.0)
        throw std::invalid_argument("sigma must be a finite number >= 0");
    if (!std::isfinite(options.thresholdFactor) || options.thresholdFactor < 0.0)
        throw std::invalid_argument("the threshold factor must be a finite number >= 0");

    const std::int32_t blockRows = rows - B + 1;
    const std::int32_t blockCols = cols - B + 1;
    // FFTW takes counts and distances as int.
    if (blockCols > std::numeric_limits<int>::max() / blockArea)
        throw std::invalid_argument("the image is too wide");
    const std::size_t M = std::size_t(rows);
    const std::size_t pixels = M * std::size_t(cols);
    if (pixels / M != std::size_t(cols) || pixels > std::numeric_limits<std::size_t>::max() / 8)
        throw std::invalid_argument("the image is too large");

    // The DCT and its inverse grow a block's values by at most 16^2 x 15^2,
    // less than 2^16, in single precision: inputs up to 2^107 leave room to
    // spare below 2^128, larger ones would come out as infinities and NaN.
    constexpr double largestValue = 0x1p107;
    for (std::size_t p = 0; p < pixels; ++p) {
        if (!(std::fabs(noisy[p]) <= largestValue)) {
            std::ostringstream message;
            message << "the noisy pixel at row " << p % M << ", column " << p / M
                    << " (counted from 0) is " << noisy[p] << "; the basic estimate takes values "
                    << "of magnitude at most 2^107 (about 1.6e32)";
            throw std::invalid_argument(message.str());
        }
    }

    makeFftwPlannerThreadSafe();
    const std::size_t rowFloats = std::size_t(blockCols) * blockArea;
    const fftw::Buffer<float> row = fftw::allocate<float>(rowFloats);
    if (!row)
        throw std::bad_alloc();
    // The transformed windows of the last B image rows, image row y in line
    // y mod B, each line blockCols runs of B floats.
    const std::size_t lineFloats = std::size_t(blockCols) * B;
    const fftw::Buffer<float> window = fftw::allocate<float>(lineFloats);
    if (!window)
        throw std::bad_alloc();
    std::vector<float> lines(B * lineFloats);
    const Plan windows = planWindows(window.get(), blockCols);
    const Plan columns = planColumns(row.get(), blockCols);
    const Plan inverse = planRow(row.get(), blockCols, FFTW_REDFT01);
    const std::vector<float> threshold = rawThresholds(options.thresholdFactor * sigma);
    std::vector<double> sum(pixels, 0.0);
    // The image in single precision, row-major, so that a block's row is a
    // run of B floats: converted once rather than once per block holding it.
    const std::size_t N = std::size_t(cols);
    std::vector<float> image(pixels);
    for (std::size_t j = 0; j < N; ++j)
        for (std::size_t i = 0; i < M; ++i)
            image[i * N + j] = float(noisy[i + j * M]);

    const auto transformWindows = [&](std::int32_t y) {
        const float* source = image.data() + std::size_t(y) * N;
        for (std::int32_t j = 0; j < blockCols; ++j)
            std::memcpy(window.get() + std::size_t(j) * B, source + j, B * sizeof(float));
        windows.execute();
        std::memcpy(lines.data() + std::size_t(y % B) * lineFloats, window.get(),
                    lineFloats * sizeof(float));
    };
    for (std::int32_t y = 0; y < B - 1; ++y)
        transformWindows(y);

    for (std::int32_t i = 0; i < blockRows; ++i) {
        transformWindows(i + B - 1);
        for (std::int32_t j = 0; j < blockCols; ++j) {
            float* block = row.get() + std::size_t(j) * blockArea;
            for (int a = 0; a < B; ++a)
                std::memcpy(block + a * B,
                            lines.data() + std::size_t((i + a) % B) * lineFloats + std::size_t(j) * B,
                            B * sizeof(float));
        }
        columns.execute();
        for (std::size_t e = 0; e < rowFloats; e += blockArea) {
            float* block = row.get() + e;
            for (int t = 0; t < blockArea; ++t)
                block[t] = std::fabs(block[t]) < threshold[std::size_t(t)] ? 0.0f : block[t];
        }
        inverse.execute();
        // Each pixel's sum takes the blocks that hold it in the order of their
        // rows, then columns, as it always has: the sum's bits depend on it.
        for (std::int32_t j = 0; j < blockCols; ++j) {
            const float* block = row.get() + std::size_t(j) * blockArea;
            for (int b = 0; b < B; ++b) {
                double* column = sum.data() + std::size_t(i) + std::size_t(j + b) * M;
                for (int a = 0; a < B; ++a)
                    column[a] += double(block[a * B + b]);
            }
        }
        if (options.progress != nullptr)
            options.progress(options.progressContext, i + 1, blockRows);
    }

    // REDFT01 after REDFT10 multiplies by 2n per dimension: 256 for 8 x 8.
    constexpr double roundTrip = 4.0 * B * B;
    for (std::int32_t j = 0; j < cols; ++j) {
        const double cc = coverage(j, cols);
        for (std::int32_t i = 0; i < rows; ++i) {
            const std::size_t p = std::size_t(i) + std::size_t(j) * M;
            estimate[p] = float(sum[p] / (roundTrip * coverage(i, rows) * cc));
        }
    }
}

} // namespace sorvik
