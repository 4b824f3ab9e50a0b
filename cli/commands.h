// The sub-commands of the sorvik tool, apart from option parsing.
#ifndef SORVIK_CLI_COMMANDS_H
#define SORVIK_CLI_COMMANDS_H

#include "cli/image_io.h"
#include "cli/settings.h"

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
    WienerSettings wiener;  // sigma is filled in from sigma255
    std::string window = "kaiser:2";
    int threads = 1;
    bool quiet = false;
    std::optional<PixelDepth> depth; // unset: follow the noisy image
};

struct DemoOptions {
    std::string imagePath; // clean grey photograph
    std::string outputDir = "sorvik-demo";
    double sigma255 = 25.0;
    std::uint64_t seed = 1;
    int threads = 1;
    bool quiet = false;
};

// Both throw UserError for anything the user can fix.
void runDenoise(const DenoiseOptions& options);
void runDemo(const DemoOptions& options);

// "kaiser:BETA" (or "kaiser" for the default beta), else the name of a text
// file holding blockSize^2 numbers separated by white space or commas, row
// after row of the block; '#' starts a comment.
std::vector<double> loadWindow(const std::string& source, std::int32_t blockSize);

// Peak signal-to-noise ratio in dB of an image against a reference, both on
// the 0..1 scale.
double psnr(const std::vector<double>& reference, const float* image);
double psnr(const std::vector<double>& reference, const double* image);

// Gaussian white noise of standard deviation 1, the same sequence on every
// platform for a given seed.
std::vector<double> gaussianNoise(std::size_t count, std::uint64_t seed);

} // namespace sorvik::cli

#endif
