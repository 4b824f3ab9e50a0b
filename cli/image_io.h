// Grey image files for the command-line tool: reading on a 0..1 scale and
// writing in the format the file name's extension names, never leaving a
// half-written file behind.
#ifndef SORVIK_CLI_IMAGE_IO_H
#define SORVIK_CLI_IMAGE_IO_H

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

enum class PixelDepth { uint8, uint16, float32 };

struct GreyImage {
    std::int32_t rows = 0;
    std::int32_t cols = 0;
    std::vector<double> pixels; // column-major: pixel (i, j) at i + j * rows
    PixelDepth depth = PixelDepth::float32; // closest depth to what the file stores
};

// Reads the first image of a file. Integer samples are scaled to 0..1 by
// their maximum (255 for 8 bits, 65535 for 16 bits); float samples are taken
// as they are. Grey images are accepted with one channel, or with three that
// are equal in every pixel (grey saved as colour), and an alpha channel if it
// is opaque everywhere. Colour is refused rather than converted, since any
// conversion changes the noise level the caller measured. `role` names the
// image in messages ("noisy", "pilot").
GreyImage readGreyImage(const std::string& path, const std::string& role);

// Fails unless a file can be written at `path`: an extension some image
// format writes, an existing directory, and not a directory itself. Lets the
// tool refuse before a long computation rather than after it.
void checkOutputPath(const std::string& path);

// The depth an output file gets by default: the input's depth when the
// format stores it, else the nearest one it does (PNG has no float samples
// and gets 16 bits).
PixelDepth outputDepth(const std::string& path, PixelDepth wanted);

// Writes a rows x cols column-major image. Integer depths clip to 0..1 and
// round to the nearest level. The file is written under a temporary name in
// the same directory and renamed into place, so `path` either keeps its old
// contents or gets the whole new image.
void writeGreyImage(const std::string& path, std::int32_t rows, std::int32_t cols,
                    const float* pixels, PixelDepth depth);
void writeGreyImage(const std::string& path, std::int32_t rows, std::int32_t cols,
                    const double* pixels, PixelDepth depth);

// Deletes a temporary output file if SIGINT, SIGTERM or SIGHUP arrives while
// it is being written, then lets the signal take its usual course.
void installInterruptCleanup();

} // namespace sorvik::cli

#endif
