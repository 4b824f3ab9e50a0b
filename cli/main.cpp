// sorvik: denoise grey and colour images from the command line.
#include "cli/commands.h"
#include "cli/streaming.h"
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
Sigma: the noise standard deviation in the units of the file as you hold it:
levels of an 8-bit (0..255) or 16-bit (0..65535) file, values of a float
file. (Earlier versions took 0..255 whatever the depth; that rule is gone.)
Without --sigma it is estimated from the image, one value per page for all
channels, and printed on standard error, e.g. 'estimated sigma: 20.3 (levels
of 255)', unless --quiet.

Images: PNG, TIFF or JPEG, grey or RGB; 2 channels are grey and alpha, 4 are
RGB and alpha, and alpha passes through unchanged; more than 4 channels are
refused. 8- and 16-bit data is scaled by its type's range. Float data within
[0, 1] is taken as it is; other float data is mapped onto [0, 1] from its
minimum and maximum (or from --range LOW,HIGH), sigma with it, and mapped
back. The output has the input's channels, units and, where the format
allows, depth (PNG has no float samples and gets 16 bits, JPEG 8): integers
rounded and saturated, floats never clipped (float data outside 0..1 goes
to float outputs only). Every page of a multi-page TIFF
is denoised on its own (pages may differ in size and kind) and written, in
order, to a multi-page output, which must be a TIFF.

Files: IN... -o DIR/ (a trailing slash, or an existing directory, or more
than one input) denoises each file into DIR under its own name, one after
another with all threads. A file that fails is reported and the others go
on; the exit status is then 1. A missing or unwritable DIR and two inputs of
the same name are refused before any work. '-' reads standard input or
writes standard output; --format png|tiff|jpg names the format where no
extension can (required for -o -). Each output is replaced only once it is
complete, keeps the mode of the file it replaces, and is written through a
symbolic link.

Pilot: with --pilot, the Wiener stage alone runs on a grey noisy image with
that pilot; --sigma is then required (same units rule). Without it, sorvik
makes its own basic estimate (8x8 DCT hard thresholding at 2.7 sigma).

Window: kaiser:BETA, BETA from 0 to 40, is the outer product of two Kaiser
windows of the block size; a FILE holds block-size x block-size finite
weights > 0, separated by white space or commas, one block row after the
other ('#' starts a comment).

Step: without --step, min(3, block size), so that --block-size 2 works alone.

Limits: images over --max-pixels pixels (default 134217728, 2^27; for a
stack, all pages together) are refused before their pixels are read; 0
leaves only sorvik's own limit of 2147483647 a page.

Memory: --memory SIZE (default 256M; bytes, or K, M, G, T) bounds the
process's peak, the program itself included. A file that would need more in
memory is streamed: read a band of rows at a time (pages one by one), each
band filtered in tiles with the context they need and written as it is done,
with the same result, bit for bit. A budget too small even for that is
refused (exit status 2) with the least that works; nothing is written. The
noise estimate then takes one more pass over the file.

Exit status: 0 success; 1 bad input or failure (a file that cannot be read
or written, an image or value sorvik refuses, a constant image without
--sigma, a failed file of a batch, not enough memory); 2 usage (an unknown or
missing option, a value that is not of the option's kind, such as '3.5'
for --step or '' for --sigma, or a --memory too small for the image).)";

constexpr const char* demoFooter = R"(
Adds Gaussian noise from a fixed seed to a clean photograph (by default the
colour astronaut.png found in <prefix>/share/sorvik/data beside the installed
tool, else in the source tree), rounds it to the image's levels as a file
would hold it, denoises it as 'sorvik denoise' does with the true sigma,
writes noisy.png (the exact input), estimate.png and comparison.png (clean |
noisy | estimate) into the output directory, and prints the noise estimate
and the PSNR of each image against the clean one. The three files replace
earlier ones only once all three are written.

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
                 ": collaborative Wiener denoising of grey and colour images (block matching\n"
                 "on the spectra of a pilot estimate, group transform, Wiener shrinkage, aggregation)",
                 "sorvik"};
    app.set_version_flag("--version", std::string("sorvik ") + SORVIK_VERSION);
    app.require_subcommand(1);

    // Values are taken as text and read by the tool itself, so that every
    // malformed value is a usage error naming its option, and every value
    // out of range a plain error.
    DenoiseOptions denoise;
    denoise.threads = defaultThreads();
    std::string depth, sigma, range, step, blockSize, maxGroupSize, searchRadius, matchThreshold, threads,
        maxPixels, memory;
    CLI::App* denoiseCommand = app.add_subcommand("denoise", "Denoise grey or colour images");
    denoiseCommand->footer(denoiseFooter);
    denoiseCommand->add_option("IN", denoise.inputs, "Noisy images ('-': standard input)")
        ->required();
    CLI::Option* pilotOption =
        denoiseCommand->add_option("--pilot", denoise.pilotPath,
                                   "Pilot image of the same size (an estimate of the clean image); "
                                   "default: the built-in basic estimate");
    denoiseCommand
        ->add_option("--sigma", sigma,
                     "Noise standard deviation in the file's units (levels of an 8- or 16-bit "
                     "file, values of a float file); default: estimated")
        ->type_name("FLOAT");
    denoiseCommand
        ->add_option("--range", range,
                     "Span of a float file's values, mapped onto 0..1 (default: 0,1 when every "
                     "value lies in it, else the data's minimum and maximum)")
        ->type_name("LOW,HIGH");
    denoiseCommand
        ->add_option("-o,--output", denoise.outputPath,
                     "Output image, '-' for standard output, or a folder (DIR/) for several inputs")
        ->required();
    denoiseCommand
        ->add_option("--format", denoise.format, "Format of '-' (standard input or output)")
        ->check(CLI::IsMember({"png", "tiff", "tif", "jpg", "jpeg"}));
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
    denoiseCommand
        ->add_option("--memory", memory,
                     "Peak memory; a larger image is streamed in bands (K, M, G, T: powers of 1024)")
        ->type_name("SIZE")
        ->default_str("256M");
    denoiseCommand->add_flag("-q,--quiet", denoise.quiet,
                             "No progress bar and no printed noise estimate");
    denoiseCommand->add_flag("--progress", denoise.progress,
                             "Progress bar even when standard error is not a terminal");

    DemoOptions demo;
    demo.imagePath = dataDirectory(SORVIK_DATA_DIR) + "/astronaut.png";
    demo.threads = defaultThreads();
    std::string demoSigma, seed, demoThreads, demoMaxPixels;
    CLI::App* demoCommand =
        app.add_subcommand("demo", "Add noise to a bundled photograph, denoise it, report PSNRs");
    demoCommand->footer(demoFooter);
    demoCommand->add_option("--output-dir", demo.outputDir, "Directory for the images")
        ->capture_default_str();
    demoCommand->add_option("--image", demo.imagePath, "Clean grey or RGB image")
        ->capture_default_str();
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
    demoCommand->add_flag("--progress", demo.progress,
                          "Progress bar even when standard error is not a terminal");

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
            for (const std::string& input : denoise.inputs)
                if (input.empty())
                    throw UsageError("IN: a file name is empty");
            if (pilotGiven && denoise.pilotPath.empty())
                throw UsageError("--pilot: the file name is empty; leave --pilot out for the "
                                 "built-in basic estimate");
            if (denoise.outputPath.empty())
                throw UsageError("--output: the file name is empty");
            if (denoise.window.empty())
                throw UsageError("--window: the value is empty");
            if (denoise.window.rfind("kaiser:", 0) == 0)
                parseReal(denoise.window.substr(7), "--window kaiser:BETA");
            if (denoiseCommand->get_option("--sigma")->count() > 0)
                denoise.sigma = parseReal(sigma, "--sigma");
            if (denoiseCommand->get_option("--range")->count() > 0) {
                const std::size_t comma = range.find(',');
                if (comma == std::string::npos)
                    throw UsageError("--range: " + range + " is not LOW,HIGH");
                denoise.rangeLow = parseReal(range.substr(0, comma), "--range LOW");
                denoise.rangeHigh = parseReal(range.substr(comma + 1), "--range HIGH");
            }
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
            if (denoiseCommand->get_option("--memory")->count() > 0)
                denoise.memory = parseMemory(memory, "--memory");
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
            return runDenoise(denoise);
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
