#include "cli/settings.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace sorvik {

namespace {

// Modified Bessel function of the first kind, order 0, by its power series;
// the terms fall fast for the betas a window uses.
double besselI0(double x)
{
    const double q = x * x / 4.0;
    double term = 1.0;
    double sum = 1.0;
    for (int k = 1; k < 500; ++k) {
        term *= q / (double(k) * double(k));
        sum += term;
        if (term < sum * 1e-17)
            break;
    }
    return sum;
}

[[noreturn]] void reject(const std::string& message) { throw std::invalid_argument(message); }

std::string str(double v)
{
    std::string s = std::to_string(v);
    // to_string prints six decimals; trim the zeros that carry nothing.
    if (s.find('.') != std::string::npos) {
        s.erase(s.find_last_not_of('0') + 1);
        if (s.back() == '.')
            s.pop_back();
    }
    return s;
}

void checkWindow(const std::vector<double>& window, std::int32_t P)
{
    const std::size_t expected = std::size_t(P) * std::size_t(P);
    if (window.size() != expected)
        reject("the window has " + std::to_string(window.size()) + " weights; a block size of " +
               std::to_string(P) + " needs " + std::to_string(expected));
    // A weight of zero leaves pixels that only that block position covers (the
    // image's corners, at least) with a weight sum of zero.
    for (std::size_t i = 0; i < window.size(); ++i) {
        const double w = window[i];
        if (!std::isfinite(w) || !(w > 0.0))
            reject("window weight " + std::to_string(i) + " (row " + std::to_string(i / P) +
                   ", column " + std::to_string(i % P) + ") is " + str(w) +
                   "; weights must be finite and > 0");
    }
}

} // namespace

std::vector<double> kaiserWindow(std::int32_t length, double beta)
{
    if (length < 1)
        reject("a window needs a length of at least 1");
    if (!std::isfinite(beta) || beta < 0.0)
        reject("the Kaiser beta must be a finite number >= 0, not " + str(beta));
    std::vector<double> w(std::size_t(length), 1.0);
    if (length == 1)
        return w;
    const double norm = besselI0(beta);
    for (std::int32_t n = 0; n < length; ++n) {
        const double x = 2.0 * n / double(length - 1) - 1.0;
        w[std::size_t(n)] = besselI0(beta * std::sqrt(std::max(0.0, 1.0 - x * x))) / norm;
    }
    return w;
}

std::vector<double> kaiserWindow2d(std::int32_t size, double beta)
{
    const std::vector<double> k = kaiserWindow(size, beta);
    std::vector<double> w(k.size() * k.size());
    for (std::size_t r = 0; r < k.size(); ++r)
        for (std::size_t c = 0; c < k.size(); ++c)
            w[r * k.size() + c] = k[r] * k[c];
    return w;
}

FilterSetup prepareFilter(const WienerSettings& s, std::int32_t rows, std::int32_t cols)
{
    if (s.blockSize < 2)
        reject("the block size must be at least 2, not " + std::to_string(s.blockSize));
    if (s.maxGroupSize < 1)
        reject("the maximum group size must be at least 1, not " + std::to_string(s.maxGroupSize));
    if (s.searchRadius < 0)
        reject("the search radius must be at least 0, not " + std::to_string(s.searchRadius));
    // Reference blocks further apart than a block leave pixels between them
    // that only matched blocks may reach, and where none does, no weight.
    if (s.step < 1 || s.step > s.blockSize)
        reject("the step must lie between 1 and the block size (" + std::to_string(s.blockSize) +
               "), not " + std::to_string(s.step));
    if (!std::isfinite(s.matchThreshold) || s.matchThreshold > maxMatchThreshold)
        reject("the match threshold must be a finite number <= 1048576, not " +
               str(s.matchThreshold));
    // The Wiener coefficient is |p|^2 / (|p|^2 + sigma^2) in single precision:
    // with sigma^2 zero, a zero pilot coefficient gives 0 / 0, and with sigma^2
    // infinite every coefficient is 0 and the group's weight 1 / 0.
    if (!std::isfinite(s.sigma) || s.sigma <= 0.0)
        reject("sigma must be a finite number > 0, not " + str(s.sigma));
    const float sigma = float(s.sigma);
    const float sigma2 = sigma * sigma;
    if (!(sigma2 > 0.0f) || !std::isfinite(sigma2))
        reject("sigma " + str(s.sigma) + " is outside the range single precision can square");
    if (rows < s.blockSize || cols < s.blockSize)
        reject("the image (" + std::to_string(rows) + " x " + std::to_string(cols) +
               ") is smaller than one " + std::to_string(s.blockSize) + " x " +
               std::to_string(s.blockSize) + " block");

    FilterSetup setup;
    setup.window = s.window.empty() ? kaiserWindow2d(s.blockSize, defaultKaiserBeta) : s.window;
    checkWindow(setup.window, s.blockSize);

    FilterParams& p = setup.params;
    p.rows = rows;
    p.cols = cols;
    p.blockSize = s.blockSize;
    p.searchRadius = s.searchRadius;
    p.maxGroupSize = s.maxGroupSize;
    p.step = s.step;
    p.matchThreshold = float(s.matchThreshold);
    p.sigma = sigma;
    if (checkParams(p) != FilterStatus::ok)
        reject("the image and these parameters need more memory than the filter can address");
    return setup;
}

void checkEstimateFinite(const float* estimate, std::size_t count, std::int32_t rows)
{
    const std::int64_t first = firstNonFinite(estimate, count);
    if (first < 0)
        return;
    std::size_t bad = 0;
    for (std::size_t i = 0; i < count; ++i)
        bad += std::isfinite(estimate[i]) ? 0 : 1;
    throw std::runtime_error(
        "the filter produced " + std::to_string(bad) + " pixel" + (bad == 1 ? "" : "s") +
        " that are not finite numbers (the first at row " + std::to_string(first % rows) +
        ", column " + std::to_string(first / rows) +
        "); the pilot's values may be too large for the Wiener coefficients' single precision");
}

} // namespace sorvik
