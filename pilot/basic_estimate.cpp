#include "pilot/basic_estimate.h"

#include "pilot/planner.h"

#include "filter/fftw_owner.h"

#include <fftw3.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
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

// Bands of block rows are filtered side by side, each by one thread. A band
// shorter than this is not worth its start-up (B - 1 window rows).
constexpr std::int32_t minBandRows = 16;
static_assert(minBandRows >= B - 1, "a pixel row takes blocks from at most two bands");

// What every band reads, and the sums they add into.
struct Image {
    std::int32_t rows = 0, cols = 0, blockRows = 0, blockCols = 0;
    const float* pixels = nullptr; // row-major
    const float* threshold = nullptr;
    double* sum = nullptr;         // column-major, like the estimate
};

// One band of block rows [first, last) with its own buffers and plans.
//
// Each pixel's sum takes the blocks that hold it in the order of their rows,
// then columns, as it always has: the sum's bits depend on it. A pixel row
// below the first B - 1 rows of a band takes blocks of this band only; a row
// among them also takes blocks of the band above, which come first. So a band
// other than the first keeps back what its blocks add to those rows (its
// first B - 1 block rows hold them) and adds it once the band above is done:
// every pixel gets its additions in the order one thread would make them.
class Band {
public:
    Band(const Image& image, std::int32_t first, std::int32_t last)
        : image_(image), first_(first), last_(last),
          heldBelow_(first == 0 ? 0 : first + B - 1),
          lineFloats_(std::size_t(image.blockCols) * B),
          rowFloats_(std::size_t(image.blockCols) * blockArea),
          row_(allocate(rowFloats_)), window_(allocate(lineFloats_)),
          lines_(allocate(B * lineFloats_)),
          held_(allocate(std::size_t(heldRows()) * rowFloats_)),
          windows_(planWindows(window_.get(), image.blockCols)),
          columns_(planColumns(row_.get(), image.blockCols)),
          inverse_(planRow(row_.get(), image.blockCols, FFTW_REDFT01))
    {
    }

    // Filters the band's block rows; `done` counts the rows of every band.
    // Stops early once `stop` is set.
    template <class AfterRow>
    void run(std::atomic<std::int32_t>& done, const std::atomic<bool>& stop, AfterRow afterRow)
    {
        for (std::int32_t y = first_; y < first_ + B - 1; ++y)
            transformWindows(y);
        for (std::int32_t i = first_; i < last_ && !stop.load(std::memory_order_relaxed); ++i) {
            filterRow(i);
            if (i < first_ + heldRows())
                std::memcpy(held_.get() + std::size_t(i - first_) * rowFloats_, row_.get(),
                            rowFloats_ * sizeof(float));
            addRow(row_.get(), i, std::max(heldBelow_ - i, 0), B);
            done.fetch_add(1, std::memory_order_relaxed);
            afterRow();
        }
    }

    // What was kept back, once the band above has added all of its blocks.
    void addHeld() const
    {
        for (std::int32_t i = first_; i < first_ + heldRows(); ++i)
            addRow(held_.get() + std::size_t(i - first_) * rowFloats_, i, 0, heldBelow_ - i);
    }

private:
    static fftw::Buffer<float> allocate(std::size_t count)
    {
        fftw::Buffer<float> buffer = fftw::allocate<float>(count);
        if (!buffer)
            throw std::bad_alloc();
        return buffer;
    }
    // Block rows that hold pixel rows above heldBelow_: at most B - 1.
    std::int32_t heldRows() const { return std::max(std::min(heldBelow_, last_) - first_, 0); }

    // The windows of image row y, transformed, into line y mod B.
    void transformWindows(std::int32_t y)
    {
        const float* source = image_.pixels + std::size_t(y) * std::size_t(image_.cols);
        for (std::int32_t j = 0; j < image_.blockCols; ++j)
            std::memcpy(window_.get() + std::size_t(j) * B, source + j, B * sizeof(float));
        windows_.execute();
        std::memcpy(lines_.get() + std::size_t(y % B) * lineFloats_, window_.get(),
                    lineFloats_ * sizeof(float));
    }

    // Block row i, thresholded and transformed back, in row_.
    void filterRow(std::int32_t i)
    {
        transformWindows(i + B - 1);
        for (std::int32_t j = 0; j < image_.blockCols; ++j) {
            float* block = row_.get() + std::size_t(j) * blockArea;
            for (int a = 0; a < B; ++a) {
                const float* line = lines_.get() + std::size_t((i + a) % B) * lineFloats_;
                std::memcpy(block + a * B, line + std::size_t(j) * B, B * sizeof(float));
            }
        }
        columns_.execute();
        const float* threshold = image_.threshold;
        for (std::size_t e = 0; e < rowFloats_; e += blockArea) {
            float* block = row_.get() + e;
            for (int t = 0; t < blockArea; ++t)
                block[t] = std::fabs(block[t]) < threshold[std::size_t(t)] ? 0.0f : block[t];
        }
        inverse_.execute();
    }

    // Adds rows aBegin .. aEnd - 1 of block row i's blocks (`blocks`, as row_).
    void addRow(const float* blocks, std::int32_t i, std::int32_t aBegin, std::int32_t aEnd) const
    {
        const std::size_t M = std::size_t(image_.rows);
        for (std::int32_t j = 0; j < image_.blockCols; ++j) {
            const float* block = blocks + std::size_t(j) * blockArea;
            for (int b = 0; b < B; ++b) {
                double* column = image_.sum + std::size_t(i) + std::size_t(j + b) * M;
                for (int a = aBegin; a < aEnd; ++a)
                    column[a] += double(block[a * B + b]);
            }
        }
    }

    const Image& image_;
    const std::int32_t first_, last_;
    const std::int32_t heldBelow_; // pixel rows above this take the band above's blocks too
    const std::size_t lineFloats_, rowFloats_;
    fftw::Buffer<float> row_, window_, lines_, held_;
    Plan windows_, columns_, inverse_;
};

// Helper threads for bands 1 .. n - 1; stopped and joined on every path out,
// an exception from the calling thread's progress report included.
class BandThreads {
public:
    explicit BandThreads(std::atomic<bool>& stop) : stop_(stop) {}
    BandThreads(const BandThreads&) = delete;
    BandThreads& operator=(const BandThreads&) = delete;
    ~BandThreads()
    {
        stop_.store(true);
        join();
    }
    // False when the thread cannot be started: the caller runs that band itself.
    template <class Body>
    bool start(Body body)
    {
        try {
            threads_.emplace_back(body);
            return true;
        } catch (const std::system_error&) {
            return false;
        }
    }
    void join()
    {
        for (std::thread& t : threads_)
            t.join();
        threads_.clear();
    }

private:
    std::atomic<bool>& stop_;
    std::vector<std::thread> threads_;
};

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
    const std::vector<float> threshold = rawThresholds(options.thresholdFactor * sigma);
    std::vector<double> sum(pixels, 0.0);
    // The image in single precision, row-major, so that a block's row is a
    // run of B floats: converted once rather than once per block holding it.
    const std::size_t N = std::size_t(cols);
    std::vector<float> pixelsRowMajor(pixels);
    for (std::size_t j = 0; j < N; ++j)
        for (std::size_t i = 0; i < M; ++i)
            pixelsRowMajor[i * N + j] = float(noisy[i + j * M]);
    const Image image{rows, cols, blockRows, blockCols, pixelsRowMajor.data(), threshold.data(),
                      sum.data()};

    // The bands, planned here: FFTW plans on one thread at a time.
    const std::int32_t count =
        std::clamp(std::min(options.threads, blockRows / minBandRows), 1, 64);
    const auto bandStart = [&](std::int32_t k) {
        return std::int32_t(std::int64_t{blockRows} * k / count);
    };
    std::vector<std::unique_ptr<Band>> bands;
    for (std::int32_t k = 0; k < count; ++k)
        bands.push_back(std::make_unique<Band>(image, bandStart(k), bandStart(k + 1)));

    std::atomic<std::int32_t> done{0};
    std::atomic<bool> stop{false};
    std::int32_t reported = 0;
    const auto report = [&] {
        const std::int32_t now = done.load(std::memory_order_relaxed);
        for (; reported < now && options.progress != nullptr; ++reported)
            options.progress(options.progressContext, reported + 1, blockRows);
    };
    const auto noReport = [] {};
    {
        BandThreads helpers(stop);
        std::vector<Band*> inline_;
        for (std::int32_t k = 1; k < count; ++k) {
            Band* band = bands[std::size_t(k)].get();
            if (!helpers.start([band, &done, &stop, noReport] { band->run(done, stop, noReport); }))
                inline_.push_back(band);
        }
        bands[0]->run(done, stop, report);
        for (Band* band : inline_)
            band->run(done, stop, report);
        helpers.join();
    }
    report();
    for (std::int32_t k = 1; k < count; ++k)
        bands[std::size_t(k)]->addHeld();

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

// Its threads each hold a row of blocks, its windows twice over and B - 1
// rows of blocks kept back, for every column; its sums a double a pixel.
std::uint64_t basicEstimateMemoryBound(std::int32_t rows, std::int32_t cols, int threads)
{
    if (rows < 0 || cols < 0)
        return std::numeric_limits<std::uint64_t>::max();
    const std::uint64_t B = std::uint64_t(basicBlockSize);
    const std::uint64_t perColumn = std::uint64_t(std::clamp(threads, 1, 64)) *
                                    (B * B + B + B * B + (B - 1) * B * B) * sizeof(float);
    const std::uint64_t plane = std::uint64_t(rows) * std::uint64_t(cols);
    if (plane > (std::uint64_t(1) << 58))
        return std::numeric_limits<std::uint64_t>::max();
    return std::uint64_t(cols) * perColumn + plane * sizeof(double);
}

} // namespace sorvik
