#include "cli/image.h"

#include "sorvik/denoise.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace sorvik::cli {

bool isFloat(PixelDepth depth)
{
    return depth == PixelDepth::float32 || depth == PixelDepth::float16 ||
           depth == PixelDepth::float64;
}

bool isSigned(PixelDepth depth)
{
    return depth == PixelDepth::int8 || depth == PixelDepth::int16 || depth == PixelDepth::int32;
}

std::string depthName(PixelDepth depth)
{
    switch (depth) {
    case PixelDepth::uint8:
        return "8-bit";
    case PixelDepth::uint16:
        return "16-bit";
    case PixelDepth::int8:
        return "signed 8-bit";
    case PixelDepth::int16:
        return "signed 16-bit";
    case PixelDepth::int32:
        return "signed 32-bit";
    case PixelDepth::uint32:
        return "32-bit";
    case PixelDepth::float16:
        return "float16";
    case PixelDepth::float64:
        return "float64";
    case PixelDepth::float32:
        break;
    }
    return "float32";
}

namespace {

// The smallest and largest level of an integer depth.
void levels(PixelDepth depth, double& low, double& high)
{
    low = 0.0;
    switch (depth) {
    case PixelDepth::uint8:
        high = 255.0;
        return;
    case PixelDepth::uint16:
        high = 65535.0;
        return;
    case PixelDepth::uint32:
        high = 4294967295.0;
        return;
    case PixelDepth::int8:
        low = -128.0;
        high = 127.0;
        return;
    case PixelDepth::int16:
        low = -32768.0;
        high = 32767.0;
        return;
    case PixelDepth::int32:
        low = -2147483648.0;
        high = 2147483647.0;
        return;
    default:
        high = 1.0;
        return;
    }
}

} // namespace

double depthScale(PixelDepth depth)
{
    double low = 0.0, high = 1.0;
    levels(depth, low, high);
    return high;
}

double toLevel(PixelDepth depth, double value)
{
    if (isFloat(depth))
        return value;
    // The two common depths round as the library's front ends do.
    if (depth == PixelDepth::uint8)
        return double(toUint8(value));
    if (depth == PixelDepth::uint16)
        return double(toUint16(value));
    if (std::isnan(value))
        return 0.0;
    double low = 0.0, high = 1.0;
    levels(depth, low, high);
    return std::clamp(std::round(value), low, high);
}

} // namespace sorvik::cli
