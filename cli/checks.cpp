#include "cli/checks.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace sorvik::cli {

namespace {

// A bound quoted as "about": two digits say it.
std::string roughly(double bound)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2g", bound);
    return text;
}

} // namespace

// `given` as the user typed it, `unit` the same on the filter's 0..1 scale.
void checkSigma(double given, double unit)
{
    if (!std::isfinite(given) || !(given > 0.0))
        throw UserError("--sigma must be a finite number > 0, not " + formatNumber(given));
    const float sigma = float(unit);
    if (!(sigma * sigma > 0.0f) || !std::isfinite(sigma * sigma))
        throw UserError("--sigma " + formatNumber(given) +
                        " is outside the range sorvik computes with: about " +
                        roughly(given / unit * minSigma) + " to " + roughly(given / unit * maxSigma) +
                        " in the file's units");
}

void checkThreadCount(int threads)
{
    try {
        checkThreads(threads);
    } catch (const std::invalid_argument& e) {
        throw UserError(std::string("--") + e.what());
    }
}

// Float files carry no scale, and values far outside 0..1 were meant for

FilterSetup prepare(const WienerSettings& settings, std::int32_t rows, std::int32_t cols)
{
    try {
        return prepareFilter(settings, rows, cols);
    } catch (const std::invalid_argument& e) {
        throw UserError(e.what());
    }
}

void checkBlockFits(const Picture& page, std::int32_t blockSize, const std::string& what)
{
    if (page.rows >= blockSize && page.cols >= blockSize)
        return;
    const std::string side = std::to_string(blockSize);
    throw UserError(what + " is " + std::to_string(page.cols) + " x " + std::to_string(page.rows) +
                    " pixels (width x height), smaller than one " + side + " x " + side +
                    " block; --block-size must be at most its smaller side");
}

// The unit a sigma of this depth is quoted in.
std::string noiseNote(const NoiseModel& model, double sigma, PixelDepth depth)
{
    char text[160];
    if (model.kind == NoiseKind::gaussian)
        std::snprintf(text, sizeof text, "estimated sigma: %.4g", sigma);
    else if (model.kind == NoiseKind::correlated)
        std::snprintf(text, sizeof text, "noise: correlated, sigma %.4g, flatness %.2g", sigma,
                      model.spectrum.flatness);
    else
        std::snprintf(text, sizeof text, "noise: poisson-gaussian, gain %.4g, read noise %.4g, offset %.4g",
                      model.gain, model.readNoise, model.offset);
    return std::string(text) + " (" + unitsOf(depth) + ")";
}

std::string unitsOf(PixelDepth depth)
{
    switch (depth) {
    case PixelDepth::uint8:
        return "levels of 255";
    case PixelDepth::uint16:
        return "levels of 65535";
    case PixelDepth::int8:
    case PixelDepth::int16:
    case PixelDepth::int32:
    case PixelDepth::uint32:
        return "levels of the file's " + depthName(depth) + " samples";
    default:
        break;
    }
    return "in the data's units";
}

void checkUserSigma(const std::optional<double>& sigma)
{
    if (sigma && (!std::isfinite(*sigma) || !(*sigma > 0.0)))
        throw UserError("--sigma must be a finite number > 0 (in the units of the file: levels of "
                        "an 8- or 16-bit file, values of a float file), not " +
                        formatNumber(*sigma));
}

std::string nonFiniteMessage(const std::string& what, const NonFiniteValue& e, bool colour)
{
    return what + " has a value that is not a finite number at row " + std::to_string(e.row) +
           ", column " + std::to_string(e.col) +
           (colour ? ", channel " + std::to_string(e.channel) : std::string());
}

DataRange integerRange(PixelDepth depth)
{
    switch (depth) {
    case PixelDepth::uint8:
        return uint8Range;
    case PixelDepth::uint16:
        return uint16Range;
    case PixelDepth::int8:
        return int8Range;
    case PixelDepth::int16:
        return int16Range;
    case PixelDepth::int32:
        return int32Range;
    case PixelDepth::uint32:
        return uint32Range;
    default:
        break;
    }
    throw std::logic_error("a float depth has no integer range");
}

void checkAlpha(double v, bool integerOutput, const std::string& what, std::int64_t row,
                std::int64_t col)
{
    const std::string at = " at row " + std::to_string(row) + ", column " + std::to_string(col);
    if (!std::isfinite(v))
        throw UserError(what + " has an alpha value that is not a finite number" + at);
    if (integerOutput && (v < 0.0 || v > 1.0))
        throw UserError(what + " has the alpha value " + formatNumber(v) + at +
                        ", outside 0..1, which integer samples cannot hold; write a float TIFF "
                        "(.tif) instead");
}

} // namespace sorvik::cli
