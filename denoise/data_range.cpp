// One rule for the data's units in every front end: integers scaled by their
// type's range, floats in [0, 1] as they are, other floats by their extremes.
#include <sorvik/denoise.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstddef>
#include <limits>
#include <stdexcept>
#include <string>

namespace sorvik {
namespace {

template <typename T>
void findNonFinite(const T* data, std::int32_t rows, std::int32_t cols, int channels)
{
    if (data == nullptr)
        throw std::invalid_argument("the image is null");
    if (rows < 0 || cols < 0 || channels < 0)
        throw std::invalid_argument("the image's sizes must not be negative (" +
                                    std::to_string(rows) + " x " + std::to_string(cols) + " x " +
                                    std::to_string(channels) + ")");
    const std::size_t plane = std::size_t(rows) * std::size_t(cols);
    const std::size_t count = plane * std::size_t(channels);
    for (std::size_t i = 0; i < count; ++i)
        if (!std::isfinite(data[i])) {
            const std::size_t inPlane = i % plane;
            throw NonFiniteValue(std::int32_t(inPlane % std::size_t(rows)),
                                 std::int32_t(inPlane / std::size_t(rows)), int(i / plane));
        }
}

template <typename T>
DataRange rangeOf(const T* data, std::int32_t rows, std::int32_t cols, int channels)
{
    findNonFinite(data, rows, cols, channels);
    const std::size_t count = std::size_t(rows) * std::size_t(cols) * std::size_t(channels);
    if (count == 0)
        return {};
    double low = double(data[0]), high = double(data[0]);
    for (std::size_t i = 1; i < count; ++i) {
        low = std::min(low, double(data[i]));
        high = std::max(high, double(data[i]));
    }
    if (low >= 0.0 && high <= 1.0)
        return {};
    // Constant data maps to 0 and back exactly; the width only has to exist.
    if (low == high)
        return {low, low + std::max(1.0, std::fabs(low))};
    if (!std::isfinite(high - low))
        throw std::invalid_argument("the image's values span more than double precision can hold");
    return {low, high};
}

template <typename Int>
Int roundSaturated(double value)
{
    constexpr double top = double(std::numeric_limits<Int>::max());
    if (!(value > 0.0))
        return 0; // negative values and NaN
    if (value >= top)
        return std::numeric_limits<Int>::max();
    return Int(std::floor(value + 0.5));
}

} // namespace

NonFiniteValue::NonFiniteValue(std::int32_t row_, std::int32_t col_, int channel_)
    : std::invalid_argument("the image has a value that is not a finite number at row " +
                            std::to_string(row_) + ", column " + std::to_string(col_) +
                            ", channel " + std::to_string(channel_) + " (counting from 0)"),
      row(row_), col(col_), channel(channel_)
{
}

void checkFinite(const float* data, std::int32_t rows, std::int32_t cols, int channels)
{
    findNonFinite(data, rows, cols, channels);
}

void checkFinite(const double* data, std::int32_t rows, std::int32_t cols, int channels)
{
    findNonFinite(data, rows, cols, channels);
}

DataRange floatDataRange(const float* data, std::int32_t rows, std::int32_t cols, int channels)
{
    return rangeOf(data, rows, cols, channels);
}

DataRange floatDataRange(const double* data, std::int32_t rows, std::int32_t cols, int channels)
{
    return rangeOf(data, rows, cols, channels);
}

DataRange userDataRange(double low, double high)
{
    if (!std::isfinite(low) || !std::isfinite(high) || !(low < high))
        throw std::invalid_argument("the data range needs finite ends with low < high, not [" +
                                    formatNumber(low) + ", " + formatNumber(high) + "]");
    // A width that overflows would map every value to 0.
    if (!std::isfinite(high - low))
        throw std::invalid_argument("the data range [" + formatNumber(low) + ", " + formatNumber(high) +
                                    "] is wider than double precision can hold");
    return {low, high};
}

std::uint8_t toUint8(double value) { return roundSaturated<std::uint8_t>(value); }
std::uint16_t toUint16(double value) { return roundSaturated<std::uint16_t>(value); }

} // namespace sorvik
