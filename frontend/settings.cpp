#include "frontend/settings.h"

#include <cstdio>
#include <cstdlib>

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

std::string str(double v) { return formatNumber(v); }

} // namespace

void checkWindow(const std::vector<double>& window, std::int32_t P)
{
    const std::size_t expected = std::size_t(P) * std::size_t(P);
    if (window.size() != expected)
        reject("the window has " + std::to_string(window.size()) + " weights; a block size of " +
               std::to_string(P) + " needs " + std::to_string(expected));
    // A weight of zero leaves pixels that only that block position covers (the
    // image's corners, at least) with a weight sum of zero. Weights reach the
    // accumulators in single precision, where one beyond its range is infinite.
    const double largest = double(std::numeric_limits<float>::max());
    const double smallest = double(std::numeric_limits<float>::min());
    for (std::size_t i = 0; i < window.size(); ++i) {
        const double w = window[i];
        const std::string where = "window weight " + std::to_string(i) + " (row " +
                                  std::to_string(i / P) + ", column " + std::to_string(i % P) +
                                  ") is " + str(w);
        if (!std::isfinite(w) || !(w > 0.0))
            reject(where + "; weights must be finite and > 0");
        // Below the smallest normal float a weight loses its precision and,
        // times a small group weight, vanishes: the pixels it alone reaches
        // would end with no weight at all, found only after the whole filter.
        if (w < smallest)
            reject(where + ", below the smallest normal single-precision number; weights must be "
                   "at least " + str(smallest));
        if (w > largest)
            reject(where + ", beyond the range of single precision; weights must be at most " +
                   str(largest));
    }
}

std::vector<double> kaiserWindow(std::int32_t length, double beta)
{
    if (length < 1)
        reject("a window needs a length of at least 1");
    if (!std::isfinite(beta) || beta < 0.0 || beta > maxKaiserBeta)
        reject("the Kaiser beta must lie between 0 and " + str(maxKaiserBeta) + ", not " +
               str(beta) + " (larger betas make the edge weights too small to filter with)");
    std::vector<double> w(std::size_t(length), 1.0);
    if (length == 1)
        return w;
    const double norm = besselI0(beta);
    for (std::int32_t n = 0; n < length; ++n) {
        const double x = 2.0 * n / double(length - 1) - 1.0;
        w[std::size_t(n)] = besselI0(beta * std::sqrt(std::max(0.0, 1.0 - x * x))) / norm;
        // The bound on beta keeps this from happening; a window of zeros or
        // NaN must never reach a caller, whatever the bound says.
        if (!std::isfinite(w[std::size_t(n)]) || !(w[std::size_t(n)] > 0.0))
            reject("the Kaiser window of beta " + str(beta) + " has weights that are zero or not "
                   "finite");
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
        reject("sigma " + str(s.sigma) +
               " is outside the range single precision can square (about 5.3e-23 to 9.2e18)");
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
        "); the pilot's values or the window's weights may be too large for the single precision "
        "the filter computes in");
}

void checkThreads(long long threads)
{
    if (threads < 1)
        reject("threads must be at least 1, not " + std::to_string(threads));
}

std::string filterFailure(FilterStatus status) { return statusMessage(status); }

std::string formatNumber(double value)
{
    if (std::isnan(value))
        return "nan";
    if (std::isinf(value))
        return value > 0 ? "inf" : "-inf";
    char text[40];
    int digits = 1;
    for (; digits < 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, value);
        if (std::strtod(text, nullptr) == value)
            break;
    }
    // %g turns to an exponent once it has fewer digits than the integer part
    // ("4e+01" for 40); whole numbers below 10^17 read better in full.
    const int exponent = value == 0.0 ? 0 : int(std::floor(std::log10(std::fabs(value))));
    if (exponent >= digits && exponent < 17)
        digits = exponent + 1;
    std::snprintf(text, sizeof text, "%.*g", digits, value);
    // As people write it: "1e30", "2.5e-7", not printf's "1e+30", "2.5e-07".
    std::string quoted = text;
    const std::size_t e = quoted.find('e');
    if (e != std::string::npos) {
        std::size_t digit = e + 1;
        if (quoted[digit] == '+')
            quoted.erase(digit, 1);
        else if (quoted[digit] == '-')
            ++digit;
        while (digit + 1 < quoted.size() && quoted[digit] == '0')
            quoted.erase(digit, 1);
    }
    return quoted;
}

} // namespace sorvik
