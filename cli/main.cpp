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

// Under AddressSanitizer's leak check: the image library's PNG reader leaks a
// message string each time the codec jumps out of a damaged file. The leak is
// the library's, one string per refused file; without this every refused PNG
// would end an instrumented tool with the leak checker's status instead of 1.
// Full stacks let the suppression see the uninstrumented library's frame.
#if defined(__SANITIZE_ADDRESS__)
#define SORVIK_LEAK_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SORVIK_LEAK_CHECKED 1
#endif
#endif
#ifdef SORVIK_LEAK_CHECKED
extern "C" const char* __lsan_default_suppressions() { return "leak:libOpenImageIO.so\n"; }
extern "C" const char* __lsan_default_options() { return "print_suppressions=0"; }
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }
#endif

namespace {

using namespace sorvik;
using namespace sorvik::cli;

constexpr const char* denoiseFooter = R"(
Images: grey PNG or TIFF of 8 or 16 bits, read on a 0..1 scale, or float
TIFF taken as it is (see Limits). Colour images are refused; grey saved as
RGB (equal channels everywhere) and opaque alpha channels are accepted. The
output format follows the output's extension; the output keeps the noisy
image's depth where the format allows unless --depth says otherwise (PNG has
no float samples and gets 16 bits, with --depth float too). Formats that
cannot hold the image are refused before any work. The output file is
replaced only once it is complete, keeps the mode of the file it replaces,
and is written through a symbolic link.

Pilot: without --pilot, sorvik first makes a basic estimate itself: every
8x8 block of the noisy image goes through an orthonormal 2-D DCT, the
coefficients below 2.7 sigma are set to zero (the DC term is kept), and the
overlapping filtered blocks are averaged.

Window: kaiser:BETA, BETA from 0 to 40, is the outer product of two Kaiser
windows of the block size; a FILE holds block-size x block-size finite
weights > 0, separated by white space or commas, one block row after the
other ('#' starts a comment).

Step: without --step, min(3, block size), so that --block-size 2 works alone.

Limits: images over --max-pixels pixels (default 134217728, 2^27) are
refused before their pixels are read; 0 leaves only sorvik's own limit of
2147483647. Float images must hold values on the 0..1 scale (the noisy image
may pass it by 8 sigma); images on other scales are refused for now.

Exit status: 0 success; 1 bad input or failure (a file that cannot be read
or written, an image or value sorvik refuses, not enough memory); 2 usage (an
unknown or missing option, or a value that is not of the option's kind, such
as '3.5' for --step or '' for --sigma).)";

constexpr const char* demoFooter = R"(
Adds Gaussian noise from a fixed seed to a clean grey photograph, makes the
basic estimate, filters with it as pilot, writes noisy.png, noisy.tif (the
exact noisy input, in float), pilot.png, estimate.png and comparison.png
(clean | noisy | pilot | estimate) into the output directory, and prints
the PSNR of each image against the clean one. The five files replace
earlier ones only once all five are written.

Exit status: 0 success; 1 bad input or failure; 2 usage.)";

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

    // Values are taken as text and read by the tool itself, so that every
    // malformed value is a usage error naming its option, and every value
    // out of range a plain error.
    DenoiseOptions denoise;
    denoise.threads = defaultThreads();
    std::string depth, sigma, step, blockSize, maxGroupSize, searchRadius, matchThreshold, threads,
        maxPixels;
    CLI::App* denoiseCommand = app.add_subcommand("denoise", "Denoise a grey image");
    denoiseCommand->footer(denoiseFooter);
    denoiseCommand->add_option("NOISY", denoise.noisyPath, "Noisy grey image")->required();
    CLI::Option* pilotOption =
        denoiseCommand->add_option("--pilot", denoise.pilotPath,
                                   "Pilot image of the same size (an estimate of the clean image); "
                                   "default: the built-in basic estimate");
    denoiseCommand
        ->add_option("--sigma", sigma,
                     "Noise standard deviation on the 0..255 scale, whatever the file's depth")
        ->type_name("FLOAT")
        ->required();
    denoiseCommand->add_option("-o,--output", denoise.outputPath, "Output image")->required();
    denoiseCommand
        ->add_option("--step", step,
                     "Spacing of the reference blocks, 1 to the block size; default min(3, block size)")
        ->type_name("INT")
        ->default_str(std::to_string(defaultStep));
    denoiseCommand->add_option("--block-size", blockSize, "Block side in pixels")
        ->type_name("INT")
        ->default_str(std::to_string(defaultBlockSize));
    denoiseCommand
        ->add_option("--max-group-size", maxGroupSize,
                     "Most blocks in a group, the reference included")
        ->type_name("INT")
        ->default_str(std::to_string(defaultMaxGroupSize));
    denoiseCommand
        ->add_option("--search-radius", searchRadius,
                     "Block positions searched on each side of the reference")
        ->type_name("INT")
        ->default_str(std::to_string(defaultSearchRadius));
    denoiseCommand
        ->add_option("--match-threshold", matchThreshold,
                     "Largest pilot spectral distance of a matched block")
        ->type_name("FLOAT")
        ->default_str(formatNumber(defaultMatchThreshold));
    denoiseCommand
        ->add_option("--window", denoise.window,
                     "Aggregation window: kaiser:BETA (BETA 0 to 40) or FILE")
        ->capture_default_str();
    denoiseCommand
        ->add_option("--depth", depth,
                     "Output samples: 8, 16 or float (default: as the input); PNG stores float "
                     "as 16 bits")
        ->check(CLI::IsMember({"8", "16", "float"}));
    denoiseCommand
        ->add_option("--threads", threads,
                     "Worker threads (default: one per processor); the result is the same "
                     "for any number")
        ->type_name("INT");
    denoiseCommand
        ->add_option("--max-pixels", maxPixels,
                     "Largest image read, in pixels; 0: no limit but sorvik's own")
        ->type_name("INT")
        ->default_str(std::to_string(defaultMaxPixels));
    denoiseCommand->add_flag("-q,--quiet", denoise.quiet, "No progress bar");

    DemoOptions demo;
    demo.imagePath = std::string(SORVIK_DATA_DIR) + "/camera.png";
    demo.threads = defaultThreads();
    std::string demoSigma, seed, demoThreads, demoMaxPixels;
    CLI::App* demoCommand =
        app.add_subcommand("demo", "Add noise to a bundled photograph, denoise it, report PSNRs");
    demoCommand->footer(demoFooter);
    demoCommand->add_option("--output-dir", demo.outputDir, "Directory for the images")
        ->capture_default_str();
    demoCommand->add_option("--image", demo.imagePath, "Clean grey image")->capture_default_str();
    demoCommand->add_option("--sigma", demoSigma, "Noise level on the 0..255 scale")
        ->type_name("FLOAT")
        ->default_str(formatNumber(demo.sigma255));
    demoCommand->add_option("--seed", seed, "Seed of the noise, 0 to 2^64 - 1")
        ->type_name("INT")
        ->default_str(std::to_string(demo.seed));
    demoCommand->add_option("--threads", demoThreads, "Worker threads (default: one per processor)")
        ->type_name("INT");
    demoCommand
        ->add_option("--max-pixels", demoMaxPixels,
                     "Largest image read, in pixels; 0: no limit but sorvik's own")
        ->type_name("INT")
        ->default_str(std::to_string(defaultMaxPixels));
    demoCommand->add_flag("-q,--quiet", demo.quiet, "No progress bar");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int status = app.exit(e);
        return status == 0 ? 0 : 2;
    }

    const auto fail = [](const char* what, int status) {
        std::fprintf(stderr, "sorvik: error: %s\n", what);
        return status;
    };
    // Usage: every value is read before any file is touched.
    try {
        if (*denoiseCommand) {
            const bool pilotGiven = pilotOption->count() > 0;
            if (denoise.noisyPath.empty())
                throw UsageError("NOISY: the file name is empty");
            if (pilotGiven && denoise.pilotPath.empty())
                throw UsageError("--pilot: the file name is empty; leave --pilot out for the "
                                 "built-in basic estimate");
            if (denoise.outputPath.empty())
                throw UsageError("--output: the file name is empty");
            if (denoise.window.empty())
                throw UsageError("--window: the value is empty");
            if (denoise.window.rfind("kaiser:", 0) == 0)
                parseReal(denoise.window.substr(7), "--window kaiser:BETA");
            denoise.sigma255 = parseReal(sigma, "--sigma");
            if (denoiseCommand->get_option("--step")->count() > 0)
                denoise.step = parseWhole(step, "--step");
            if (denoiseCommand->get_option("--block-size")->count() > 0)
                denoise.wiener.blockSize = parseWhole(blockSize, "--block-size");
            if (denoiseCommand->get_option("--max-group-size")->count() > 0)
                denoise.wiener.maxGroupSize = parseWhole(maxGroupSize, "--max-group-size");
            if (denoiseCommand->get_option("--search-radius")->count() > 0)
                denoise.wiener.searchRadius = parseWhole(searchRadius, "--search-radius");
            if (denoiseCommand->get_option("--match-threshold")->count() > 0)
                denoise.wiener.matchThreshold = parseReal(matchThreshold, "--match-threshold");
            if (denoiseCommand->get_option("--threads")->count() > 0)
                denoise.threads = parseWhole(threads, "--threads");
            if (denoiseCommand->get_option("--max-pixels")->count() > 0)
                denoise.maxPixels = parseCount(maxPixels, "--max-pixels");
            if (depth == "8")
                denoise.depth = PixelDepth::uint8;
            else if (depth == "16")
                denoise.depth = PixelDepth::uint16;
            else if (depth == "float")
                denoise.depth = PixelDepth::float32;
        } else {
            if (demo.imagePath.empty())
                throw UsageError("--image: the file name is empty");
            if (demo.outputDir.empty())
                throw UsageError("--output-dir: the directory name is empty");
            if (demoCommand->get_option("--sigma")->count() > 0)
                demo.sigma255 = parseReal(demoSigma, "--sigma");
            if (demoCommand->get_option("--seed")->count() > 0)
                demo.seed = parseCount(seed, "--seed");
            if (demoCommand->get_option("--threads")->count() > 0)
                demo.threads = parseWhole(demoThreads, "--threads");
            if (demoCommand->get_option("--max-pixels")->count() > 0)
                demo.maxPixels = parseCount(demoMaxPixels, "--max-pixels");
        }
    } catch (const UsageError& e) {
        fail(e.what(), 2);
        std::fprintf(stderr, "Run with --help for more information.\n");
        return 2;
    } catch (const UserError& e) {
        return fail(e.what(), 1);
    }

    installInterruptCleanup();
    try {
        if (*denoiseCommand)
            runDenoise(denoise);
        else
            runDemo(demo);
    } catch (const UsageError& e) {
        return fail(e.what(), 2);
    } catch (const std::bad_alloc&) {
        return fail("not enough memory", 1);
    } catch (const std::exception& e) {
        return fail(e.what(), 1);
    }
    return 0;
}
