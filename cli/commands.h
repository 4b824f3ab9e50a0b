// The sub-commands of the sorvik tool, apart from option parsing: `denoise`
// (batch.cpp, which hands each file to denoise_file.cpp or pilot_mode.cpp)
// and `demo` (demo.cpp).
#ifndef SORVIK_CLI_COMMANDS_H
#define SORVIK_CLI_COMMANDS_H

#include "cli/image_io.h"
#include "cli/parsing.h"
#include "frontend/parameters.h"
#include "frontend/settings.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sorvik::cli {

// `sorvik denoise` as the user gave it: the files, and the options read and
// checked against the parameter table. The library's own call takes a
// sorvik::DenoiseOptions, made from this.
struct DenoiseCommand {
    // One file, or several going to the folder outputPath; "-" is standard
    // input (one file only).
    std::vector<std::string> inputs;
    std::string pilotPath;  // empty: the one-call denoiser, without a pilot
    std::string outputPath; // a file, "-" for standard output, or a folder
    std::optional<double> sigma; // in the input's units; unset: estimated
    std::optional<double> rangeLow, rangeHigh; // float data's units, given by the user
    std::string format; // "png", "tiff" or "jpg": the format of "-"
    WienerSettings wiener;  // sigma is filled in per page, the step from `step`
    std::optional<std::int32_t> step; // unset: min(defaultStep, block size)
    std::string window = "kaiser:2";
    int threads = 1;
    bool quiet = false;
    bool progress = false; // the bar even when standard error is not a terminal
    // The pages of each file are the frames of one sequence (denoise_stack.h).
    bool frames = false;
    std::optional<PixelDepth> depth; // unset: follow each input page
    std::uint64_t maxPixels = defaultMaxPixels;
    // The peak the process may reach; a file that would need more in memory
    // is streamed a band of rows at a time.
    std::uint64_t memory = std::uint64_t(256) << 20;
    std::string memoryText; // --memory as the user wrote it, for messages; empty: not given
    // Every value as read and checked against the parameter table; the
    // fields above are filled from it.
    Request request;
    // The same, resolved for a stack of several frames (Request::withProfile).
    Request framesRequest;
    // Both resolved for colour files, which take the profile's colour point
    // (forColour).
    Request colourRequest, colourFramesRequest;
};

// The command as it applies to a file of `colours` channels: for colour, the
// profile's colour point in the requests and in `settings` (whose window and
// sigma stay). A given pilot takes no profile, so nothing changes then.
DenoiseCommand forColour(const DenoiseCommand& o, WienerSettings& settings, int colours);

struct DemoOptions {
    std::string imagePath; // clean grey or RGB photograph
    std::string outputDir = "sorvik-demo";
    double sigma255 = 25.0; // of 255 levels, whatever the image's depth
    std::uint64_t seed = 1;
    int threads = 1;
    bool quiet = false;
    bool progress = false;
    std::uint64_t maxPixels = defaultMaxPixels;
};

// Where the tool's photographs are: share/sorvik/data beside the installed
// executable's bin/ when that folder exists, else `buildTimeDir`.
std::string dataDirectory(const std::string& buildTimeDir);

// runDenoise returns the exit status: 0, or 1 when a file of a batch failed
// (each failure is reported on standard error as it happens). Both throw
// UserError for anything the user can fix that stops the whole run.
int runDenoise(const DenoiseCommand& options);
void runDemo(const DemoOptions& options);

// Peak signal-to-noise ratio in dB of an image against a reference, both on
// the 0..1 scale.
double psnr(const std::vector<double>& reference, const float* image);
double psnr(const std::vector<double>& reference, const double* image);

} // namespace sorvik::cli

#endif
