// sorvik: denoise grey images from the command line.
#include "cli/commands.h"
#include "cli/image_io.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <thread>

#ifndef SORVIK_VERSION
#error "SORVIK_VERSION must be defined by the build"
#endif
#ifndef SORVIK_DATA_DIR
#error "SORVIK_DATA_DIR must be defined by the build"
#endif

namespace {

using namespace sorvik;
using namespace sorvik::cli;

constexpr const char* denoiseFooter = R"(
Images: grey PNG or TIFF of 8 or 16 bits, read on a 0..1 scale, or float
TIFF taken as it is. Colour images are refused; grey saved as RGB (equal
channels everywhere) and opaque alpha channels are accepted. The output format
follows the output's extension; the output keeps the noisy image's depth
where the format allows (PNG has no float samples and gets 16 bits) unless
--depth says otherwise. The output file is replaced only once it is complete.

Pilot: without --pilot, sorvik first makes a basic estimate itself: every
8x8 block of the noisy image goes through an orthonormal 2-D DCT, the
coefficients below 2.7 sigma are set to zero (the DC term is kept), and the
overlapping filtered blocks are averaged.

Window: kaiser:BETA is the outer product of two Kaiser windows of the block
size; a FILE holds block-size x block-size finite weights > 0, separated by
white space or commas, one block row after the other ('#' starts a comment).)";

constexpr const char* demoFooter = R"(
Adds Gaussian noise from a fixed seed to a clean grey photograph, makes the
basic estimate, filters with it as pilot, writes noisy.png, noisy.tif (the
exact noisy input, in float), pilot.png, estimate.png and comparison.png
(clean | noisy | pilot | estimate) into the output directory, and prints
the PSNR of each image against the clean one.)";

int defaultThreads()
{
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : int(n);
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"sorvik " SORVIK_VERSION
                 ": collaborative Wiener denoising of grey images (block matching on the\n"
                 "spectra of a pilot estimate, group transform, Wiener shrinkage, aggregation)",
                 "sorvik"};
    app.set_version_flag("--version", std::string("sorvik ") + SORVIK_VERSION);
    app.require_subcommand(1);

    DenoiseOptions denoise;
    denoise.threads = defaultThreads();
    std::string depth;
    CLI::App* denoiseCommand = app.add_subcommand("denoise", "Denoise a grey image");
    denoiseCommand->footer(denoiseFooter);
    denoiseCommand->add_option("NOISY", denoise.noisyPath, "Noisy grey image")->required();
    denoiseCommand->add_option("--pilot", denoise.pilotPath,
                               "Pilot image of the same size (an estimate of the clean image); "
                               "default: the built-in basic estimate");
    denoiseCommand
        ->add_option("--sigma", denoise.sigma255,
                     "Noise standard deviation on the 0..255 scale, whatever the file's depth")
        ->required();
    denoiseCommand->add_option("-o,--output", denoise.outputPath, "Output image")->required();
    denoiseCommand
        ->add_option("--step", denoise.wiener.step,
                     "Spacing of the reference blocks, 1 to the block size")
        ->capture_default_str();
    denoiseCommand->add_option("--block-size", denoise.wiener.blockSize, "Block side in pixels")
        ->capture_default_str();
    denoiseCommand
        ->add_option("--max-group-size", denoise.wiener.maxGroupSize,
                     "Most blocks in a group, the reference included")
        ->capture_default_str();
    denoiseCommand
        ->add_option("--search-radius", denoise.wiener.searchRadius,
                     "Block positions searched on each side of the reference")
        ->capture_default_str();
    denoiseCommand
        ->add_option("--match-threshold", denoise.wiener.matchThreshold,
                     "Largest pilot spectral distance of a matched block")
        ->capture_default_str();
    denoiseCommand
        ->add_option("--window", denoise.window, "Aggregation window: kaiser:BETA or FILE")
        ->capture_default_str();
    denoiseCommand
        ->add_option("--depth", depth, "Output samples: 8, 16 or float (default: as the input)")
        ->check(CLI::IsMember({"8", "16", "float"}));
    denoiseCommand
        ->add_option("--threads", denoise.threads,
                     "Worker threads (default: one per processor); the result is the same "
                     "for any number");
    denoiseCommand->add_flag("-q,--quiet", denoise.quiet, "No progress bar");

    DemoOptions demo;
    demo.imagePath = std::string(SORVIK_DATA_DIR) + "/camera.png";
    demo.threads = defaultThreads();
    CLI::App* demoCommand =
        app.add_subcommand("demo", "Add noise to a bundled photograph, denoise it, report PSNRs");
    demoCommand->footer(demoFooter);
    demoCommand->add_option("--output-dir", demo.outputDir, "Directory for the images")
        ->capture_default_str();
    demoCommand->add_option("--image", demo.imagePath, "Clean grey image")->capture_default_str();
    demoCommand->add_option("--sigma", demo.sigma255, "Noise level on the 0..255 scale")
        ->capture_default_str();
    demoCommand->add_option("--seed", demo.seed, "Seed of the noise")->capture_default_str();
    demoCommand->add_option("--threads", demo.threads, "Worker threads (default: one per processor)");
    demoCommand->add_flag("-q,--quiet", demo.quiet, "No progress bar");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int status = app.exit(e);
        return status == 0 ? 0 : 2;
    }

    installInterruptCleanup();
    try {
        if (*denoiseCommand) {
            if (depth == "8")
                denoise.depth = PixelDepth::uint8;
            else if (depth == "16")
                denoise.depth = PixelDepth::uint16;
            else if (depth == "float")
                denoise.depth = PixelDepth::float32;
            runDenoise(denoise);
        } else {
            runDemo(demo);
        }
    } catch (const UserError& e) {
        std::fprintf(stderr, "sorvik: error: %s\n", e.what());
        return 1;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "sorvik: error: not enough memory\n");
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "sorvik: error: %s\n", e.what());
        return 1;
    }
    return 0;
}
