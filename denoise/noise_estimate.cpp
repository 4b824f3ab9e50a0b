// Noise level from weak-texture patches.
//
// Pure white noise of variance s^2 gives patches whose covariance is s^2 I, so
// its smallest eigenvalue is s^2. Image structure adds to the covariance, and
// on a textured photograph it fills every direction, which is why estimates
// from all patches (or from the finest wavelet coefficients) run high. The
// patches are therefore restricted to those whose gradient energy pure noise
// of the current estimate could produce, and the estimate is recomputed from
// them until the selection stops shrinking.
#include <sorvik/denoise.h>
#include <sorvik/noise_chunks.h>

#include "noise_model.h"
#include "tasks.h"

#include "filter/fftw_owner.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace sorvik {

namespace detail {

// Large requests are whole huge pages, aligned to one, so that all of the
// values can be backed by them (fftw::adviseHugePages).
void* allocateLarge(std::size_t bytes)
{
    constexpr std::size_t hugePage = std::size_t(2) << 20;
    void* p = nullptr;
    if (bytes >= 2 * hugePage && bytes <= std::size_t(-1) - hugePage) {
        const std::size_t rounded = (bytes + hugePage - 1) / hugePage * hugePage;
        p = std::aligned_alloc(hugePage, rounded);
        fftw::adviseHugePages(p, rounded);
    } else {
        p = std::malloc(bytes > 0 ? bytes : 1);
    }
    if (p == nullptr)
        throw std::bad_alloc();
    return p;
}

void freeLarge(void* p) noexcept { std::free(p); }

} // namespace detail

namespace {

constexpr int P = noisePatchSize;
constexpr int D = P * P; // patch dimension

// Patch positions beyond this are subsampled on a regular grid: the estimate
// needs many patches, not all of them, and time and memory stay bounded.
constexpr std::int64_t maxPatches = 65536;
// Cumulative sums are kept every this many patches of the sorted order, so
// that any prefix's covariance costs at most one chunk.
constexpr std::size_t chunk = 1024;
constexpr int maxIterations = 10;
// Probability that a patch of pure noise passes the texture threshold.
constexpr double keepProbabilityZ = 2.3263478740408408; // standard normal quantile of 0.99

using Patch = NoiseEstimator::Patch;

bool before(const Patch& a, const Patch& b)
{
    if (a.texture != b.texture)
        return a.texture < b.texture;
    if (a.channel != b.channel)
        return a.channel < b.channel;
    if (a.col != b.col)
        return a.col < b.col;
    return a.row < b.row;
}

// Gradient energy of a patch (its values column by column): the sum of
// squared differences of horizontally and vertically adjacent pixels inside
// it, i.e. x' L x with L the Laplacian of the 7 x 7 grid. The values are
// scaled by a power of two first (see valueScale), which changes no bits but
// the exponent.
double textureOf(const double* x, double scale = 1.0)
{
    double sum = 0.0;
    for (int c = 0; c < P; ++c) {
        const double* column = x + std::size_t(c) * P;
        for (int r = 0; r + 1 < P; ++r) {
            const double d = column[r + 1] * scale - column[r] * scale;
            sum += d * d;
        }
        if (c + 1 < P) {
            const double* next = column + P;
            for (int r = 0; r < P; ++r) {
                const double d = next[r] * scale - column[r] * scale;
                sum += d * d;
            }
        }
    }
    return sum;
}

// A power of two that brings data of these extremes near 1. Squares of
// values from about 1e77 up (and the squares of their covariances, in the
// eigenvalue's bisection) overflow, and those of values below about 1e-77
// underflow, which made such data read as noiseless; a power of two scales
// every sum and product exactly, so the estimate is the same bits scaled.
// Data nearer 1 is left as it is.
double valueScale(double low, double high)
{
    const double largest = std::max(std::fabs(low), std::fabs(high));
    if (largest == 0.0 || (largest < 0x1p64 && largest > 0x1p-64))
        return 1.0;
    return std::ldexp(1.0, -std::ilogb(largest));
}

bool touches(const double* x, double low, double high)
{
    for (int a = 0; a < D; ++a)
        if (x[a] == low || x[a] == high)
            return true;
    return false;
}

// Texture threshold over sigma^2: the 0.99 quantile of x' L x for x ~ N(0, I),
// from a gamma law with the quadratic form's mean tr(L) and variance
// 2 tr(L^2), and the Wilson-Hilferty approximation of its quantile.
double textureThresholdFactor()
{
    std::array<double, D * D> laplacian{};
    const auto link = [&laplacian](int a, int b) {
        laplacian[std::size_t(a) * D + a] += 1.0;
        laplacian[std::size_t(b) * D + b] += 1.0;
        laplacian[std::size_t(a) * D + b] -= 1.0;
        laplacian[std::size_t(b) * D + a] -= 1.0;
    };
    for (int c = 0; c < P; ++c)
        for (int r = 0; r < P; ++r) {
            if (r + 1 < P)
                link(c * P + r, c * P + r + 1);
            if (c + 1 < P)
                link(c * P + r, (c + 1) * P + r);
        }
    double trace = 0.0, traceOfSquare = 0.0;
    for (int a = 0; a < D; ++a) {
        trace += laplacian[std::size_t(a) * D + a];
        for (int b = 0; b < D; ++b)
            traceOfSquare += laplacian[std::size_t(a) * D + b] * laplacian[std::size_t(a) * D + b];
    }
    const double mean = trace;
    const double scale = 2.0 * traceOfSquare / trace;
    const double shape = mean / scale;
    const double h = 1.0 / (9.0 * shape);
    const double cube = 1.0 - h + keepProbabilityZ * std::sqrt(h);
    return mean * cube * cube * cube;
}

// Smallest eigenvalue of a symmetric matrix (full storage, overwritten):
// Householder reduction to tridiagonal form, then bisection on Sturm counts,
// which is accurate to a small multiple of the rounding of the matrix's norm.
double smallestEigenvalue(std::vector<double>& a, int n)
{
    const auto at = [&a, n](int i, int j) -> double& { return a[std::size_t(i) * n + j]; };
    std::vector<double> v(static_cast<std::size_t>(n)), w(static_cast<std::size_t>(n));
    std::vector<double> off(static_cast<std::size_t>(n), 0.0);
    for (int k = 0; k + 2 < n; ++k) {
        double norm = 0.0;
        for (int i = k + 1; i < n; ++i)
            norm += at(i, k) * at(i, k);
        norm = std::sqrt(norm);
        if (norm == 0.0)
            continue;
        const double alpha = at(k + 1, k) > 0.0 ? -norm : norm;
        double vnorm = 0.0;
        for (int i = k + 1; i < n; ++i) {
            v[i] = at(i, k) - (i == k + 1 ? alpha : 0.0);
            vnorm += v[i] * v[i];
        }
        vnorm = std::sqrt(vnorm);
        if (vnorm == 0.0)
            continue;
        for (int i = k + 1; i < n; ++i)
            v[i] /= vnorm;
        // A <- H A H with H = I - 2 v v': A - v w' - w v', w = 2 (p - (v'p) v), p = A v.
        double vp = 0.0;
        for (int i = k + 1; i < n; ++i) {
            double p = 0.0;
            for (int j = k + 1; j < n; ++j)
                p += at(i, j) * v[j];
            w[i] = p;
            vp += v[i] * p;
        }
        for (int i = k + 1; i < n; ++i)
            w[i] = 2.0 * (w[i] - vp * v[i]);
        for (int i = k + 1; i < n; ++i)
            for (int j = k + 1; j < n; ++j)
                at(i, j) -= v[i] * w[j] + w[i] * v[j];
        at(k + 1, k) = alpha;
        at(k, k + 1) = alpha;
    }
    for (int i = 0; i + 1 < n; ++i)
        off[i] = at(i + 1, i);

    // Gershgorin bounds, then bisection for the point where the count of
    // eigenvalues below it becomes 1.
    double low = at(0, 0), high = at(0, 0);
    for (int i = 0; i < n; ++i) {
        const double radius = (i > 0 ? std::fabs(off[i - 1]) : 0.0) + std::fabs(off[i]);
        low = std::min(low, at(i, i) - radius);
        high = std::max(high, at(i, i) + radius);
    }
    const double tiny = 1e-300;
    const auto below = [&](double x) {
        int count = 0;
        double q = at(0, 0) - x;
        for (int i = 0;; ++i) {
            if (q < 0.0)
                ++count;
            if (i + 1 == n)
                return count;
            if (q == 0.0)
                q = tiny;
            q = at(i + 1, i + 1) - x - off[i] * off[i] / q;
        }
    };
    for (int iteration = 0; iteration < 200 && low < high; ++iteration) {
        const double middle = 0.5 * (low + high);
        if (middle <= low || middle >= high)
            break;
        if (below(middle) >= 1)
            high = middle;
        else
            low = middle;
    }
    return 0.5 * (low + high);
}

// First and second moments of patches, summed (upper triangle of the second).
struct Moments {
    std::vector<double> sum = std::vector<double>(D, 0.0);
    std::vector<double> product = std::vector<double>(std::size_t(D) * D, 0.0);
};

class PatchCovariance {
public:
    PatchCovariance(const double* values, double shift, double scale,
                    const std::vector<Patch>& patches)
        : values_(values), shift_(shift * scale), scale_(scale), patches_(patches)
    {
        checkpoints_.reserve(patches_.size() / chunk + 1);
        Moments running;
        checkpoints_.push_back(running);
        for (std::size_t k = 0; k + chunk <= patches_.size(); k += chunk) {
            addRange(running, k, k + chunk);
            checkpoints_.push_back(running);
        }
    }

    // Smallest eigenvalue of the covariance of the first `count` patches.
    double smallestEigenvalueOfFirst(std::size_t count) const
    {
        Moments m = checkpoints_[count / chunk];
        addRange(m, count / chunk * chunk, count);
        std::vector<double> covariance(std::size_t(D) * D);
        const double n = double(count);
        for (int a = 0; a < D; ++a)
            for (int b = a; b < D; ++b) {
                const double v = (m.product[std::size_t(a) * D + b] - m.sum[a] * m.sum[b] / n) /
                                 (n - 1.0);
                covariance[std::size_t(a) * D + b] = v;
                covariance[std::size_t(b) * D + a] = v;
            }
        return smallestEigenvalue(covariance, D);
    }

private:
    // Adds patches [begin, end) in order. Four patches go through the upper
    // triangle at once, each entry taking their products one after the
    // other: the sums one patch at a time would make, with a quarter of the
    // loads and stores of the triangle, which bound the time.
    void addRange(Moments& m, std::size_t begin, std::size_t end) const
    {
        std::size_t k = begin;
        for (; k + 4 <= end; k += 4)
            add<4>(m, k);
        for (; k < end; ++k)
            add<1>(m, k);
    }

    template <int n>
    void add(Moments& m, std::size_t first) const
    {
        std::array<std::array<double, D>, n> x;
        for (int i = 0; i < n; ++i) {
            const double* values = values_ + patches_[first + std::size_t(i)].values;
            for (int a = 0; a < D; ++a)
                x[i][a] = values[a] * scale_ - shift_;
        }
        for (int a = 0; a < D; ++a) {
            for (int i = 0; i < n; ++i)
                m.sum[a] += x[i][a];
            double* row = m.product.data() + std::size_t(a) * D;
            for (int b = a; b < D; ++b) {
                double v = row[b];
                for (int i = 0; i < n; ++i)
                    v += x[i][a] * x[i][b];
                row[b] = v;
            }
        }
    }

    const double* values_;
    double shift_; // scaled
    double scale_;
    const std::vector<Patch>& patches_;
    std::vector<Moments> checkpoints_;
};

std::int64_t along(std::int64_t positions, std::int32_t stride)
{
    return (positions + stride - 1) / stride;
}

// The patch positions sampled: every stride-th row and column of the top-left
// corners, a function of the image's shape alone, so that any part of the
// image knows which of its patches the estimate reads.
struct PatchGrid {
    std::int64_t positionRows = 0, positionCols = 0;
    std::int32_t stride = 1;
    std::size_t count = 0;
};

PatchGrid patchGrid(std::int32_t rows, std::int32_t cols, int channels)
{
    if (channels < 1)
        throw std::invalid_argument("the image needs at least 1 channel, not " +
                                    std::to_string(channels));
    PatchGrid grid;
    grid.positionRows = std::int64_t(rows) - P + 1;
    grid.positionCols = std::int64_t(cols) - P + 1;
    if (rows < P || cols < P ||
        grid.positionRows * grid.positionCols * channels < noiseEstimateMinPatches)
        throw std::invalid_argument(
            "the image (" + std::to_string(rows) + " x " + std::to_string(cols) +
            ") is too small to estimate its noise level from; give sigma");
    // With more channels than maxPatches, one patch a channel is the least there is.
    const std::int64_t widest = std::max(grid.positionRows, grid.positionCols);
    while (grid.stride < widest && along(grid.positionRows, grid.stride) *
                                           along(grid.positionCols, grid.stride) * channels >
                                       maxPatches)
        ++grid.stride;
    grid.count = std::size_t(along(grid.positionRows, grid.stride) *
                             along(grid.positionCols, grid.stride) * channels);
    return grid;
}

} // namespace

namespace detail {

double dataScale(double low, double high) { return valueScale(low, high); }

} // namespace detail

namespace {

// The estimate from every patch of the grid (values: D a patch, indexed by
// the patches) and the extremes of the whole image: the one place it is
// made, whether the image came whole, by bands or by chunks.
double estimateFromPatches(const std::vector<Patch>& all, const double* values, double low,
                           double high)
{
    if (low == high)
        return 0.0;
    // Moments about the middle of the range, so that data far from zero keeps
    // its precision; unlike the mean, it does not depend on the order the
    // values were summed in, so bands give the bits the whole image gives.
    const double shift = 0.5 * low + 0.5 * high;
    const double scale = valueScale(low, high);

    // Data saturated at its extremes (an 8-bit file of a bright sky) holds flat
    // patches with no noise left in them, which the texture threshold would
    // favour: 10-20% low at sigma 5 to 50 on a photograph with such regions.
    // Patches that touch the extremes are left out unless too few remain.
    std::vector<Patch> patches;
    patches.reserve(all.size());
    for (const Patch& p : all)
        if (!touches(values + p.values, low, high))
            patches.push_back(p);
    if (patches.size() < std::size_t(noiseEstimateMinPatches))
        patches = all;
    if (scale != 1.0)
        for (Patch& p : patches)
            p.texture = textureOf(values + p.values, scale);
    // Ties fall back on the scan order, so the result depends neither on the
    // sort nor on the order the patches arrived in.
    std::sort(patches.begin(), patches.end(), before);

    const PatchCovariance covariance(values, shift, scale, patches);
    const double factor = textureThresholdFactor();
    // The smallest eigenvalue of a sample covariance of n patches of white
    // noise lies near the lower edge of the Marchenko-Pastur law,
    // s^2 (1 - sqrt(D / n))^2, not at s^2: 3% low in sigma with 65536 patches,
    // a third low with a few hundred.
    const auto noiseVariance = [&covariance](std::size_t n) {
        const double edge = 1.0 - std::sqrt(double(D) / double(n));
        return std::max(0.0, covariance.smallestEigenvalueOfFirst(n)) / (edge * edge);
    };

    std::size_t selected = patches.size();
    double variance = noiseVariance(selected);
    for (int iteration = 0; iteration < maxIterations; ++iteration) {
        const double threshold = variance * factor;
        const auto end = std::lower_bound(
            patches.begin(), patches.begin() + std::ptrdiff_t(selected), threshold,
            [](const Patch& p, double t) { return p.texture < t; });
        // Fewer patches say little about the smallest eigenvalue, so the
        // weakest of them are kept even where the threshold would drop them.
        const std::size_t next = std::max(std::size_t(end - patches.begin()),
                                          std::min(selected, std::size_t(noiseEstimateMinPatches)));
        if (next == selected)
            break;
        selected = next;
        variance = noiseVariance(selected);
    }
    return std::sqrt(variance) / scale;
}

} // namespace

double detail::whiteNoiseGrowth(const std::vector<Patch>& all, const double* values, double low,
                                double high)
{
    std::vector<std::pair<double, std::size_t>> byLevel;
    byLevel.reserve(all.size());
    for (std::size_t k = 0; k < all.size(); ++k) {
        const double* x = values + all[k].values;
        double sum = 0.0;
        for (int a = 0; a < D; ++a)
            sum += x[a];
        byLevel.emplace_back(sum, k);
    }
    // Ties by place in the grid, so that any order of arrival gives the same thirds.
    std::sort(byLevel.begin(), byLevel.end(), [&all](const auto& a, const auto& b) {
        return a.first != b.first ? a.first < b.first : before(all[a.second], all[b.second]);
    });
    const std::size_t third = byLevel.size() / 3;
    if (third < std::size_t(noiseEstimateMinPatches))
        return 0.0;
    std::vector<Patch> dark, bright;
    for (std::size_t k = 0; k < third; ++k) {
        dark.push_back(all[byLevel[k].second]);
        bright.push_back(all[byLevel[byLevel.size() - 1 - k].second]);
    }
    const double darkSigma = estimateFromPatches(dark, values, low, high);
    const double brightSigma = estimateFromPatches(bright, values, low, high);
    if (!(darkSigma > 0.0))
        return brightSigma > 0.0 ? std::numeric_limits<double>::infinity() : 0.0;
    return (brightSigma / darkSigma) * (brightSigma / darkSigma);
}

namespace {

template <typename T>
double estimateInMemory(const T* image, std::int32_t rows, std::int32_t cols, int channels)
{
    if (image == nullptr)
        throw std::invalid_argument("the image is null");
    NoiseEstimator estimator(rows, cols, channels);
    estimator.add(image, 0, rows);
    return estimator.estimate();
}

} // namespace

NoiseEstimator::NoiseEstimator(std::int32_t rows, std::int32_t cols, int channels)
    : rows_(rows), cols_(cols), channels_(channels)
{
    const PatchGrid grid = patchGrid(rows, cols, channels);
    positionRows_ = grid.positionRows;
    positionCols_ = grid.positionCols;
    stride_ = grid.stride;
    patches_.reserve(grid.count);
    values_.reserve(grid.count * D);
}

std::size_t NoiseEstimator::memoryBound(std::int32_t rows, std::int32_t cols, int channels)
{
    if (rows < P || cols < P || channels < 1 ||
        (std::int64_t(rows) - P + 1) * (std::int64_t(cols) - P + 1) * channels <
            noiseEstimateMinPatches)
        return 0;
    const std::size_t count = patchGrid(rows, cols, channels).count;
    // The patches and their values, the selection sorted apart from them, and
    // the covariance's checkpoints.
    // The values may end in a huge page of their own (detail::allocateLarge).
    return count * (2 * sizeof(Patch) + D * sizeof(double)) + (std::size_t(2) << 20) +
           (count / chunk + 2) * (std::size_t(D) * (D + 1) * sizeof(double) + sizeof(Moments));
}

std::int32_t NoiseEstimator::nextRow() const
{
    if (nextGridRow_ >= positionRows_)
        return std::int32_t(scanned_);
    return std::int32_t(std::min(scanned_, nextGridRow_));
}

void NoiseEstimator::add(const float* band, std::int32_t firstRow, std::int32_t bandRows)
{
    addBand(band, firstRow, bandRows);
}

void NoiseEstimator::add(const double* band, std::int32_t firstRow, std::int32_t bandRows)
{
    addBand(band, firstRow, bandRows);
}

template <typename T>
void NoiseEstimator::addBand(const T* band, std::int32_t firstRow, std::int32_t bandRows)
{
    if (band == nullptr)
        throw std::invalid_argument("the band is null");
    const std::int64_t end = std::int64_t(firstRow) + bandRows;
    if (firstRow < 0 || bandRows < 1 || firstRow > nextRow() || end > rows_)
        throw std::invalid_argument("rows " + std::to_string(firstRow) + " to " +
                                    std::to_string(end) +
                                    " do not continue the bands so far (next row " +
                                    std::to_string(nextRow()) + " of " + std::to_string(rows_) +
                                    ")");
    const std::size_t M = std::size_t(bandRows);
    const std::size_t plane = M * std::size_t(cols_);
    // Extremes and finiteness over the rows not seen before; a value that is
    // not finite would also break the order the patches are sorted in.
    if (scanned_ < end) {
        try {
            checkFinite(band, bandRows, cols_, channels_);
        } catch (const NonFiniteValue& e) {
            throw NonFiniteValue(e.row + firstRow, e.col, e.channel);
        }
        const std::size_t fresh = std::size_t(std::max<std::int64_t>(scanned_ - firstRow, 0));
        for (int k = 0; k < channels_; ++k)
            for (std::int32_t j = 0; j < cols_; ++j) {
                const T* column = band + std::size_t(k) * plane + std::size_t(j) * M;
                for (std::size_t i = fresh; i < M; ++i) {
                    const double v = double(column[i]);
                    if (!seen_) {
                        low_ = high_ = v;
                        seen_ = true;
                    }
                    low_ = std::min(low_, v);
                    high_ = std::max(high_, v);
                }
            }
        scanned_ = end;
    }
    for (; nextGridRow_ < positionRows_ && nextGridRow_ + P <= end; nextGridRow_ += stride_) {
        const std::size_t i = std::size_t(nextGridRow_ - firstRow);
        for (int k = 0; k < channels_; ++k)
            for (std::int32_t j = 0; j < positionCols_; j += stride_) {
                const Patch patch{0.0, k, std::int32_t(nextGridRow_), j, values_.size()};
                for (int c = 0; c < P; ++c) {
                    const T* column = band + std::size_t(k) * plane + std::size_t(j + c) * M + i;
                    for (int r = 0; r < P; ++r)
                        values_.push_back(double(column[r]));
                }
                patches_.push_back(patch);
                patches_.back().texture = textureOf(values_.data() + patch.values);
            }
    }
}

double NoiseEstimator::estimate() const
{
    if (scanned_ < rows_ || nextGridRow_ < positionRows_)
        throw std::logic_error("the noise estimate needs every row of the image");
    return estimateFromPatches(patches_, values_.data(), low_, high_);
}

NoiseModel NoiseEstimator::estimateModel(NoiseChoice choice, std::optional<double> gain,
                                         std::optional<double> readNoise,
                                         std::optional<double> offset, int threads,
                                         const std::function<void()>& beside) const
{
    if (choice == NoiseChoice::gaussian) {
        NoiseModel model;
        if (beside)
            detail::runTasks(threads, {[&] { model.sigma = estimate(); }, beside});
        else
            model.sigma = estimate();
        model.readNoise = model.sigma;
        return model;
    }
    if (scanned_ < rows_ || nextGridRow_ < positionRows_)
        throw std::logic_error("the noise estimate needs every row of the image");
    // Three measurements of the same patches, none reading another's result.
    double sigma = 0.0;
    detail::NoiseLevels levels;
    double growth = 0.0;
    std::vector<std::function<void()>> tasks{
        [&] { sigma = estimateFromPatches(patches_, values_.data(), low_, high_); },
        [&] { levels = detail::measureNoiseLevels(patches_, values_.data(), low_, high_); }};
    if (choice == NoiseChoice::automatic)
        tasks.push_back([&] { growth = detail::whiteNoiseGrowth(patches_, values_.data(), low_, high_); });
    if (beside)
        tasks.push_back(beside);
    detail::runTasks(threads, tasks);
    levels.whiteGrowth = growth;
    return detail::chooseNoiseModel(levels, sigma, choice,
                                    detail::KnownNoise{gain, readNoise, offset});
}

template <typename T>
NoiseModel modelInMemory(const T* image, std::int32_t rows, std::int32_t cols, int channels)
{
    if (image == nullptr)
        throw std::invalid_argument("the image is null");
    NoiseEstimator estimator(rows, cols, channels);
    estimator.add(image, 0, rows);
    return detail::whiteOrCorrelated([&] { return estimator.estimateModel(); },
                                     estimator.low() == estimator.high(), [&] {
                                         const std::size_t count = std::size_t(rows) *
                                                                   std::size_t(cols) *
                                                                   std::size_t(channels);
                                         std::vector<double> pixels(image, image + count);
                                         DenoiseInput in;
                                         in.rows = rows;
                                         in.cols = cols;
                                         in.channels = channels;
                                         in.pixels = pixels.data();
                                         return detail::correlatedModel(in);
                                     });
}

NoiseModel estimateNoiseModel(const float* image, std::int32_t rows, std::int32_t cols,
                              int channels)
{
    return modelInMemory(image, rows, cols, channels);
}

NoiseModel estimateNoiseModel(const double* image, std::int32_t rows, std::int32_t cols,
                              int channels)
{
    return modelInMemory(image, rows, cols, channels);
}

double estimateNoiseSigma(const float* image, std::int32_t rows, std::int32_t cols, int channels)
{
    return estimateInMemory(image, rows, cols, channels);
}

double estimateNoiseSigma(const double* image, std::int32_t rows, std::int32_t cols, int channels)
{
    return estimateInMemory(image, rows, cols, channels);
}

namespace {

std::string spanText(Span span)
{
    return std::to_string(span.begin) + " to " + std::to_string(span.end);
}

// The first grid position at or after `begin`.
std::int64_t firstOnGrid(std::int64_t begin, std::int32_t stride)
{
    return (begin + stride - 1) / stride * stride;
}

void checkChunkSpans(const char* axis, std::int32_t length, Span chunk, Span own)
{
    const std::string name(axis);
    if (chunk.begin < 0 || chunk.end > length || chunk.begin >= chunk.end)
        throw std::invalid_argument("the chunk's " + name + " " + spanText(chunk) +
                                    " are not a part of the image's " + std::to_string(length));
    if (own.begin < chunk.begin || own.end > chunk.end || own.begin >= own.end)
        throw std::invalid_argument("the chunk's own " + name + " " + spanText(own) +
                                    " are not a part of its " + name + " " + spanText(chunk));
    // Its patches reach P - 1 past their top-left pixel.
    const std::int64_t reach = std::min<std::int64_t>(std::int64_t(own.end) + P - 1, length);
    if (chunk.end < reach)
        throw std::invalid_argument("the chunk's " + name + " " + spanText(chunk) +
                                    " must reach " + std::to_string(reach) +
                                    ", the patches of its own " + name + " " + spanText(own) +
                                    " reach that far");
}

// `channels` of the image's `allChannels`, from `firstChannel` on.
template <typename T>
NoisePatches chunkPatches(const T* chunk, std::int32_t rows, std::int32_t cols, int channels,
                          Span chunkRows, Span chunkCols, Span ownRows, Span ownCols,
                          int firstChannel, int allChannels)
{
    const PatchGrid grid = patchGrid(rows, cols, allChannels);
    if (chunk == nullptr)
        throw std::invalid_argument("the chunk is null");
    checkChunkSpans("rows", rows, chunkRows, ownRows);
    checkChunkSpans("columns", cols, chunkCols, ownCols);
    const std::size_t M = std::size_t(chunkRows.size());
    const std::size_t plane = M * std::size_t(chunkCols.size());
    // Everything the patches read must be finite, or their order is lost.
    try {
        checkFinite(chunk, chunkRows.size(), chunkCols.size(), channels);
    } catch (const NonFiniteValue& e) {
        throw NonFiniteValue(e.row + chunkRows.begin, e.col + chunkCols.begin, e.channel);
    }

    NoisePatches out;
    for (int k = 0; k < channels; ++k)
        for (std::int32_t j = ownCols.begin; j < ownCols.end; ++j) {
            const T* column = chunk + std::size_t(k) * plane + std::size_t(j - chunkCols.begin) * M;
            for (std::int32_t i = ownRows.begin; i < ownRows.end; ++i) {
                const double v = double(column[i - chunkRows.begin]);
                out.low = std::min(out.low, v);
                out.high = std::max(out.high, v);
            }
        }

    const std::int64_t rowEnd = std::min<std::int64_t>(ownRows.end, grid.positionRows);
    const std::int64_t colEnd = std::min<std::int64_t>(ownCols.end, grid.positionCols);
    for (std::int64_t r = firstOnGrid(ownRows.begin, grid.stride); r < rowEnd; r += grid.stride)
        for (int k = 0; k < channels; ++k)
            for (std::int64_t j = firstOnGrid(ownCols.begin, grid.stride); j < colEnd;
                 j += grid.stride) {
                const Patch patch{0.0, firstChannel + k, std::int32_t(r), std::int32_t(j),
                                  out.values.size()};
                for (int c = 0; c < P; ++c) {
                    const T* column = chunk + std::size_t(k) * plane +
                                      std::size_t(j + c - chunkCols.begin) * M +
                                      std::size_t(r - chunkRows.begin);
                    for (int i = 0; i < P; ++i)
                        out.values.push_back(double(column[i]));
                }
                out.patches.push_back(patch);
                out.patches.back().texture = textureOf(out.values.data() + patch.values);
            }
    return out;
}

} // namespace

NoisePatches noiseChunkPatches(const float* chunk, std::int32_t rows, std::int32_t cols,
                               int channels, Span chunkRows, Span chunkCols, Span ownRows,
                               Span ownCols)
{
    return chunkPatches(chunk, rows, cols, channels, chunkRows, chunkCols, ownRows, ownCols, 0,
                        channels);
}

NoisePatches noiseChunkPatches(const double* chunk, std::int32_t rows, std::int32_t cols,
                               int channels, Span chunkRows, Span chunkCols, Span ownRows,
                               Span ownCols)
{
    return chunkPatches(chunk, rows, cols, channels, chunkRows, chunkCols, ownRows, ownCols, 0,
                        channels);
}

NoisePatches noiseFramePatches(const double* frame, std::int32_t rows, std::int32_t cols,
                               int channels, std::int32_t frames, std::int32_t index)
{
    if (frames < 1 || index < 0 || index >= frames)
        throw std::invalid_argument("frame " + std::to_string(index) + " is not one of the stack's " +
                                    std::to_string(frames));
    if (channels < 1 || std::int64_t(channels) * frames > std::numeric_limits<int>::max())
        throw std::invalid_argument("a stack of " + std::to_string(frames) + " frames of " +
                                    std::to_string(channels) + " channels has too many planes");
    const Span all{0, rows}, across{0, cols};
    return chunkPatches(frame, rows, cols, channels, all, across, all, across, index * channels,
                        channels * frames);
}

void mergeNoisePatches(NoisePatches& into, const NoisePatches& part)
{
    const std::size_t offset = into.values.size();
    into.values.insert(into.values.end(), part.values.begin(), part.values.end());
    into.patches.reserve(into.patches.size() + part.patches.size());
    for (Patch p : part.patches) {
        p.values += offset;
        into.patches.push_back(p);
    }
    into.low = std::min(into.low, part.low);
    into.high = std::max(into.high, part.high);
}

namespace {

// The patches of the grid, checked and with their textures, from the chunks'.
std::vector<Patch> gridPatches(std::int32_t rows, std::int32_t cols, int channels,
                               const NoisePatches& patches)
{
    const PatchGrid grid = patchGrid(rows, cols, channels);
    // A chunk lost or counted twice would change the estimate without a
    // sign, so the patches must be the grid's, each once.
    if (patches.patches.size() != grid.count)
        throw std::invalid_argument("the patches number " + std::to_string(patches.patches.size()) +
                                    ", not the " + std::to_string(grid.count) +
                                    " of the image's grid: a chunk is missing or repeated");
    if (!(std::isfinite(patches.low) && std::isfinite(patches.high) &&
          patches.low <= patches.high))
        throw std::invalid_argument(
            "the extremes of the patches' image are not finite and in order");
    const std::int64_t across = along(grid.positionCols, grid.stride);
    const std::int64_t down = along(grid.positionRows, grid.stride);
    std::vector<bool> seen(grid.count, false);
    std::vector<Patch> all = patches.patches;
    for (Patch& p : all) {
        if (p.channel < 0 || p.channel >= channels || p.row < 0 || p.row >= grid.positionRows ||
            p.col < 0 || p.col >= grid.positionCols || p.row % grid.stride != 0 ||
            p.col % grid.stride != 0)
            throw std::invalid_argument("the patch at row " + std::to_string(p.row) + ", column " +
                                        std::to_string(p.col) + ", channel " +
                                        std::to_string(p.channel) +
                                        " is not on the image's grid");
        const std::size_t index = std::size_t((p.channel * across + p.col / grid.stride) * down +
                                              p.row / grid.stride);
        if (seen[index])
            throw std::invalid_argument("the patch at row " + std::to_string(p.row) + ", column " +
                                        std::to_string(p.col) + ", channel " +
                                        std::to_string(p.channel) + " comes twice");
        seen[index] = true;
        if (p.values > patches.values.size() || patches.values.size() - p.values < std::size_t(D))
            throw std::invalid_argument("the values of a patch lie outside the values given");
        const double* x = patches.values.data() + p.values;
        for (int a = 0; a < D; ++a)
            if (!(x[a] >= patches.low && x[a] <= patches.high))
                throw std::invalid_argument("a patch holds a value outside the extremes given, or "
                                            "one that is not finite");
        p.texture = textureOf(x);
    }
    return all;
}

} // namespace

double estimateNoiseSigma(std::int32_t rows, std::int32_t cols, int channels,
                          const NoisePatches& patches)
{
    const std::vector<Patch> all = gridPatches(rows, cols, channels, patches);
    return estimateFromPatches(all, patches.values.data(), patches.low, patches.high);
}

NoiseModel estimateNoiseModel(std::int32_t rows, std::int32_t cols, int channels,
                              const NoisePatches& patches, NoiseChoice choice,
                              std::optional<double> gain, std::optional<double> readNoise,
                              std::optional<double> offset)
{
    const std::vector<Patch> all = gridPatches(rows, cols, channels, patches);
    const double sigma = estimateFromPatches(all, patches.values.data(), patches.low, patches.high);
    if (choice == NoiseChoice::gaussian) {
        NoiseModel model;
        model.sigma = sigma;
        model.readNoise = sigma;
        return model;
    }
    detail::NoiseLevels levels =
        detail::measureNoiseLevels(all, patches.values.data(), patches.low, patches.high);
    if (choice == NoiseChoice::automatic)
        levels.whiteGrowth =
            detail::whiteNoiseGrowth(all, patches.values.data(), patches.low, patches.high);
    return detail::chooseNoiseModel(levels, sigma, choice,
                                    detail::KnownNoise{gain, readNoise, offset});
}

PlannedNoise planNoiseFromPatches(const DenoiseInput& input, const NoisePatches& patches)
{
    DenoiseInput whole = input;
    whole.pixels = nullptr;
    whole.extremes = DataRange{patches.low, patches.high};
    const detail::NoisePlan plan = detail::planNoise(
        whole, [&](NoiseChoice choice, const detail::KnownNoise& known) {
            return estimateNoiseModel(input.rows, input.cols, input.channels, patches, choice,
                                      known.gain, known.readNoise, known.offset);
        });
    return PlannedNoise{plan.model, plan.estimated};
}

} // namespace sorvik
