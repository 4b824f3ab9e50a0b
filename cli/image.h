// The tool's one image model: the pages of a file in the file's own units,
// whatever the path (in memory, streamed, pilot, demo) that reads or writes
// them, and the errors every part of the tool reports with.
#ifndef SORVIK_CLI_IMAGE_H
#define SORVIK_CLI_IMAGE_H

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace sorvik::cli {

// An error meant for the user: its message says what went wrong and with
// which file, and the tool exits with status 1.
struct UserError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A command line that cannot be parsed: an unknown option, a missing one, or
// a value that is not of the option's kind ("3.5" for a whole number, "" for
// a number). The tool exits with status 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The sample type a file stores, which its values are read in and, where the
// output format holds it, written back in. --depth names the first three.
enum class PixelDepth { uint8, uint16, float32, int8, int16, int32, uint32, float16, float64 };

bool isFloat(PixelDepth depth);
bool isSigned(PixelDepth depth);
// "8-bit", "signed 16-bit", "float32", ... for messages.
std::string depthName(PixelDepth depth);

// The levels that one unit of the 0..1 scale spans (255, 65535, ...; the
// largest level of a signed type), or 1 for float: a change of depth goes
// through that scale, so that level 255 of 8 bits is 65535 of 16.
double depthScale(PixelDepth depth);

// An integer sample of this depth: rounded to nearest (halves away from
// zero) and saturated to the type's range; NaN gives 0. Float depths take
// the value as it is.
double toLevel(PixelDepth depth, double value);

// Pixels a file may hold unless --max-pixels says otherwise: 2^27, a little
// over 11585 x 11585. The tool needs about 24 bytes a pixel, so this keeps a
// hostile header from costing more than a few gigabytes.
constexpr std::uint64_t defaultMaxPixels = std::uint64_t(1) << 27;

// One page of an image file in the file's own units: levels of an integer
// file, values of a float file. Planar and column-major: channel k holds
// pixel (i, j) at k * rows * cols + i + j * rows.
struct Picture {
    std::int32_t rows = 0;
    std::int32_t cols = 0;
    int channels = 1; // 1 grey, 2 grey + alpha, 3 RGB, 4 RGB + alpha
    int alpha = -1;   // the alpha channel's index, or -1
    PixelDepth depth = PixelDepth::float32;
    std::vector<double> pixels;
    std::string name; // the page as messages name it ("noisy image 'a.tif', page 2")
    std::int32_t tileHeight = 0; // rows of a row of tiles; 0: stored in scanlines
    // What the file says about the pixels beyond their values, written back
    // where the output format holds it.
    int orientation = 1;           // TIFF/EXIF orientation, 1..8
    bool associatedAlpha = false;  // colours premultiplied by alpha in the file

    std::size_t plane() const { return std::size_t(rows) * std::size_t(cols); }
    int colours() const { return alpha >= 0 ? channels - 1 : channels; }
};

// Message helpers shared by the tool's parts.
inline std::string inQuotes(const std::string& path) { return "'" + path + "'"; }

} // namespace sorvik::cli

#endif
