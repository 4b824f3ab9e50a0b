// The sub-commands of the sorvik tool, apart from option parsing.
#ifndef SORVIK_CLI_COMMANDS_H
#define SORVIK_CLI_COMMANDS_H

#include "cli/image_io.h"
#include "frontend/settings.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sorvik::cli {

struct DenoiseOptions {
    std::string noisyPath;
    std::string pilotPath;  // empty: make the basic estimate
    std::string outputPath;
    double sigma255 = 0.0;  // noise level on the 0..255 scale
    WienerSettings wiener;  // sigma is filled in from sigma255, the step from `step`
    std::optional<std::int32_t> step; // unset: min(defaultStep, block size)
    std::string window = "kaiser:2";
    int threads = 1;
    bool quiet = false;
    std::optional<PixelDepth> depth; // unset: follow the noisy image
    std::uint64_t maxPixels = defaultMaxPixels;
};

struct DemoOptions {
    std::string imagePath; // clean grey photograph
    std::string outputDir = "sorvik-demo";
    double sigma255 = 25.0;
    std::uint64_t seed = 1;
    int threads = 1;
    bool quiet = false;
    std::uint64_t maxPixels = defaultMaxPixels;
};

// Both throw UserError for anything the user can fix.
void runDenoise(const DenoiseOptions& options);
void runDemo(const DemoOptions& options);

// Option values as typed. A value that is not of the option's kind (empty,
// "abc" for a number, "3.5" for a whole number) throws UsageError; a value of
// the right kind outside what the option takes throws UserError. `option`
// names the option in messages. Numbers too small for a double's normal range
// (1e-320) are numbers, and are left to the option's range check.
double parseReal(const std::string& text, const std::string& option);
std::int32_t parseWhole(const std::string& text, const std::string& option);
std::uint64_t parseCount(const std::string& text, const std::string& option);

// "kaiser:BETA" (or "kaiser" for the default beta), else the name of a text
// file holding blockSize^2 numbers separated by white space or commas, row
// after row of the block; '#' starts a comment. Reading stops at the first
// number too many, so the file's size never matters.
std::vector<double> loadWindow(const std::string& source, std::int32_t blockSize);

// Peak signal-to-noise ratio in dB of an image against a reference, both on
// the 0..1 scale.
double psnr(const std::vector<double>& reference, const float* image);
double psnr(const std::vector<double>& reference, const double* image);

} // namespace sorvik::cli

#endif
