#include "cli/options.h"

#include "cli/streaming.h"
#include "frontend/parameters.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <map>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace sorvik::cli {

namespace {

constexpr const char* denoiseFooter = R"(
Sigma: the noise standard deviation in the units of the file as you hold it:
levels of an 8-bit (0..255) or 16-bit (0..65535) file, values of a float
file. (Earlier versions took 0..255 whatever the depth; that rule is gone.)
Without --sigma it is estimated from the image, one value per page for all
channels, and printed on standard error, e.g. 'estimated sigma: 20.3 (levels
of 255)', unless --quiet.

Noise model (--noise, default auto): without --sigma the noise is measured
against the signal and the model chosen. Photon counts, whose noise grows
with the signal, are 'poisson-gaussian': offset + gain x Poisson(photons) +
N(0, read noise^2), printed e.g. 'noise: poisson-gaussian, gain 4.02, read
noise 5.9, offset 200 (levels of 65535)', and stabilised, filtered and
mapped back by an exact unbiased inverse. --gain, --read-noise and --offset
(in the file's units) fix any of the three; the rest is estimated.

Images: PNG, TIFF or JPEG, grey or RGB; 2 channels are grey and alpha, 4 are
RGB and alpha, and alpha passes through unchanged; more than 4 channels are
refused, and so are CMYK and Lab, which would come out as RGB. Integer data
(8, 16 or 32 bits, signed or not) is in its own levels and scaled by its
type's range; the orientation tag and associated alpha are written back
where the format has them. Float data within [0, 1] is taken as it is;
other float data is mapped onto [0, 1] from its minimum and maximum (or
from --range LOW,HIGH), sigma with it, and mapped back. The output has the input's channels, units and, where the format
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

Pilot: with --pilot, the Wiener stage alone runs on a grey noisy image of
one page with that pilot; --sigma is then required (same units rule).
Without it, sorvik makes its own pilot, the grouped estimate: blocks matched
on the noisy image, each group hard-thresholded as a whole.

Window: kaiser:BETA, BETA from 0 to 40, is the outer product of two Kaiser
windows of the block size; a FILE holds block-size x block-size finite
weights > 0, separated by white space or commas, one block row after the
other ('#' starts a comment).

Profiles: --profile fast|default|quality sets --step, --search-radius,
--max-group-size and the first stage's values (default: step 4, radius 16,
groups of 32; first stage step 4, radius 12, groups of 16); any of them given
replaces the profile's. A step never exceeds the block size, so that
--block-size 2 works alone. With --pilot no profile applies: step min(3,
block size), radius 19, groups of 32.

Bounds: as each option says, and the same in Python and Octave.

Limits: images over --max-pixels pixels (default 134217728, 2^27; for a
stack, all pages together) are refused before their pixels are read; 0
leaves only sorvik's own limit of 2147483647 a page.

Memory: --memory SIZE (default 256M; bytes, or K, M, G, T) bounds the
process's peak, the program itself included. A file that would need more in
memory is streamed: read a band of rows at a time (pages one by one), each
band filtered in tiles with the context they need and written as it is done,
with the same result, bit for bit. A budget too small even for that is
refused (exit status 2) with the least that works; nothing is written. The
noise estimate then takes one more pass over the file. A --frames stack is
held in memory, not streamed: one that needs more than --memory is refused
the same way.

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

const char* typeName(ParameterKind kind)
{
    switch (kind) {
    case ParameterKind::whole:
    case ParameterKind::count:
        return "INT";
    case ParameterKind::real:
    case ParameterKind::noiseLevel:
    case ParameterKind::positive:
    case ParameterKind::level:
        return "FLOAT";
    case ParameterKind::rangePair:
        return "LOW,HIGH";
    case ParameterKind::window:
        return "kaiser:BETA|FILE";
    case ParameterKind::size:
        return "SIZE";
    case ParameterKind::choice:
        break;
    }
    return "TEXT";
}

// The text each option was given, kept as typed: every malformed value is
// then a usage error naming its option, and every value out of range a plain
// error, in the tool's words rather than the parser's.
using Texts = std::map<const Parameter*, std::string>;

// `rows` filters the table: the demo takes a few of denoise's options.
void addOptions(CLI::App& command, Texts& texts, bool (*wanted)(const Parameter&))
{
    for (const Parameter& row : parameters()) {
        if (row.flag == nullptr || !wanted(row))
            continue;
        std::string help = row.help;
        if (row.kind == ParameterKind::whole || row.kind == ParameterKind::real) {
            help += "; " + formatNumber(row.low) + " to " +
                    (row.linked == LinkedBound::blockSize        ? std::string("the block size")
                     : row.linked == LinkedBound::firstBlockSize ? std::string("its block size")
                                                                 : formatNumber(row.high));
            if (row.linked == LinkedBound::imageSide)
                help += ", at most the image's side";
            // Defaults that follow sigma have no one number to show: their rule.
            if (row.defaultValue == 0 && row.field != RequestField(&Request::threads))
                help += std::string(" (default: ") + row.defaultText + ")";
        }
        CLI::Option* option = command.add_option(row.flag, texts[&row], help);
        if (row.kind == ParameterKind::choice) {
            option->check(CLI::IsMember(std::vector<std::string>(row.choices.begin(), row.choices.end())));
            for (const char* c : row.choices)
                if (std::string(c) == row.defaultText)
                    option->default_str(row.defaultText);
        } else
            option->type_name(typeName(row.kind));
        // Numbers show their standard value (the step's, for the standard
        // block); sizes and counts their text; the rest say theirs in the help.
        if ((row.kind == ParameterKind::whole || row.kind == ParameterKind::real) && row.defaultValue > 0)
            option->default_str(formatNumber(row.defaultValue));
        else if (row.kind == ParameterKind::size || row.kind == ParameterKind::count)
            option->default_str(row.defaultText);
    }
}

// One value into the request's field for its row, by the field's type.
void readValue(const Parameter& row, const std::string& text, Request& r)
{
    const std::string flag = row.flag;
    std::visit(
        [&](auto member) {
            auto& field = r.*member;
            using Field = std::decay_t<decltype(field)>;
            if constexpr (std::is_same_v<Field, std::int64_t> || std::is_same_v<Field, std::optional<std::int64_t>>) {
                field = parseWhole(text, flag);
            } else if constexpr (std::is_same_v<Field, double> || std::is_same_v<Field, std::optional<double>>) {
                field = parseReal(text, flag);
            } else if constexpr (std::is_same_v<Field, std::optional<std::pair<double, double>>>) {
                const std::size_t comma = text.find(',');
                if (comma == std::string::npos)
                    throw UsageError(flag + ": " + text + " is not LOW,HIGH");
                field = std::make_pair(parseReal(text.substr(0, comma), flag + " LOW"),
                                       parseReal(text.substr(comma + 1), flag + " HIGH"));
            } else if constexpr (std::is_same_v<Field, std::optional<std::uint64_t>>) {
                field = row.kind == ParameterKind::size ? parseMemory(text, flag) : parseCount(text, flag);
            } else if constexpr (std::is_same_v<Field, std::optional<std::string>>) {
                field = text;
            } else {
                // The window: read once the block size is known, by the command.
                static_assert(std::is_same_v<Field, std::vector<double>>);
            }
        },
        row.field);
}

Request readRequest(const CLI::App& command, const Texts& texts)
{
    Request request;
    for (const auto& [row, text] : texts)
        if (command.get_option(row->flag)->count() > 0)
            readValue(*row, text, request);
    try {
        validate(request, FrontEnd::tool);
    } catch (const std::invalid_argument& e) {
        throw UserError(e.what());
    }
    return request;
}

void fillDenoise(const CLI::App& command, const Request& r, DenoiseCommand& o)
{
    const bool pilotGiven = command.get_option("--pilot")->count() > 0;
    for (const std::string& input : o.inputs)
        if (input.empty())
            throw UsageError("IN: a file name is empty");
    if (pilotGiven && o.pilotPath.empty())
        throw UsageError("--pilot: the file name is empty; leave --pilot out for the built-in pilot");
    if (o.outputPath.empty())
        throw UsageError("--output: the file name is empty");
    if (o.outputPath == "-" && o.format.empty())
        throw UsageError("-o -: name the format of standard output with --format png, tiff or jpg");
    if (o.window.empty())
        throw UsageError("--window: the value is empty");
    if (o.window.rfind("kaiser:", 0) == 0)
        parseReal(o.window.substr(7), "--window kaiser:BETA");
    if (pilotGiven && o.frames)
        throw UsageError("--frames: --pilot filters one image with its pilot, not a sequence");
    if (pilotGiven)
        for (const Parameter& row : parameters())
            if (std::string(row.name).rfind("first stage", 0) == 0 && command.get_option(row.flag)->count() > 0)
                throw UsageError(std::string(row.flag) + ": --pilot gives the pilot, so no first stage runs");
    if (pilotGiven && r.profile)
        throw UsageError("--profile: --pilot gives the pilot, so the one call's profiles do not apply; give "
                         "the Wiener stage's --step, --search-radius and --max-group-size instead");
    // A given pilot leaves the Wiener stage alone, at its own defaults.
    o.request = pilotGiven ? r : r.withProfile();
    o.framesRequest = pilotGiven ? r : r.withProfile(true);
    o.colourRequest = pilotGiven ? r : r.withProfile(false, true);
    o.colourFramesRequest = pilotGiven ? r : r.withProfile(true, true);
    o.sigma = r.sigma;
    if (r.range) {
        o.rangeLow = r.range->first;
        o.rangeHigh = r.range->second;
    }
    if (o.request.step)
        o.step = std::int32_t(*o.request.step);
    o.wiener = o.request.wiener();
    o.threads = r.threads ? int(*r.threads) : defaultThreads(FrontEnd::tool);
    if (r.maxPixels)
        o.maxPixels = *r.maxPixels;
    if (r.memory) {
        o.memory = *r.memory;
        o.memoryText = command.get_option("--memory")->as<std::string>();
    }
    if (r.depth == std::optional<std::string>("8"))
        o.depth = PixelDepth::uint8;
    else if (r.depth == std::optional<std::string>("16"))
        o.depth = PixelDepth::uint16;
    else if (r.depth == std::optional<std::string>("float"))
        o.depth = PixelDepth::float32;
}

int usage(const std::string& message)
{
    std::fprintf(stderr, "sorvik: error: %s\nRun with --help for more information.\n", message.c_str());
    return 2;
}

} // namespace

int parseCommandLine(int argc, char** argv, const std::string& version, const std::string& dataDir,
                     CommandLine& line)
{
    CLI::App app{"sorvik " + version +
                     ": collaborative Wiener denoising of grey and colour images (block matching\n"
                     "on the spectra of a pilot estimate, group transform, Wiener shrinkage, aggregation)",
                 "sorvik"};
    app.set_version_flag("--version", "sorvik " + version);
    app.require_subcommand(1);

    DenoiseCommand& denoise = line.denoiseOptions;
    Texts denoiseTexts;
    CLI::App* denoiseCommand = app.add_subcommand("denoise", "Denoise grey or colour images");
    denoiseCommand->footer(denoiseFooter);
    denoiseCommand->add_option("IN", denoise.inputs, "Noisy images ('-': standard input)")->required();
    denoiseCommand->add_option("--pilot", denoise.pilotPath,
                               "Pilot image of the same size (an estimate of the clean image); "
                               "default: the built-in grouped estimate");
    denoiseCommand
        ->add_option("-o,--output", denoise.outputPath,
                     "Output image, '-' for standard output, or a folder (DIR/) for several inputs")
        ->required();
    denoiseCommand->add_option("--format", denoise.format, "Format of '-' (standard input or output)")
        ->check(CLI::IsMember({"png", "tiff", "tif", "jpg", "jpeg"}));
    addOptions(*denoiseCommand, denoiseTexts, [](const Parameter&) { return true; });
    // The window's text is the tool's own kind of value (kaiser:BETA or a
    // file), read by the command once it knows the block size.
    const Parameter* windowRow = findParameter(FrontEnd::tool, "--window");
    denoiseCommand->remove_option(denoiseCommand->get_option("--window"));
    denoiseTexts.erase(windowRow);
    denoiseCommand->add_option("--window", denoise.window, windowRow->help)->capture_default_str();
    denoiseCommand->add_flag("-q,--quiet", denoise.quiet, "No progress bar and no printed noise estimate");
    denoiseCommand->add_flag("--progress", denoise.progress,
                             "Progress bar even when standard error is not a terminal");
    denoiseCommand->add_flag("--frames", denoise.frames,
                             "The pages of a multi-page TIFF are the frames of one sequence, "
                             "denoised together in memory (within --memory); a file of one page is denoised as "
                             "without it");

    DemoOptions& demo = line.demoOptions;
    demo.imagePath = dataDirectory(dataDir) + "/astronaut.png";
    Texts demoTexts;
    std::string demoSigma, seed;
    CLI::App* demoCommand =
        app.add_subcommand("demo", "Add noise to a bundled photograph, denoise it, report PSNRs");
    demoCommand->footer(demoFooter);
    demoCommand->add_option("--output-dir", demo.outputDir, "Directory for the images")->capture_default_str();
    demoCommand->add_option("--image", demo.imagePath, "Clean grey or RGB image")->capture_default_str();
    demoCommand->add_option("--sigma", demoSigma, "Noise level on the 0..255 scale")
        ->type_name("FLOAT")
        ->default_str(formatNumber(demo.sigma255));
    demoCommand->add_option("--seed", seed, "Seed of the noise, 0 to 2^64 - 1")
        ->type_name("INT")
        ->default_str(std::to_string(demo.seed));
    addOptions(*demoCommand, demoTexts, [](const Parameter& row) {
        return row.field == RequestField(&Request::threads) || row.field == RequestField(&Request::maxPixels);
    });
    demoCommand->add_flag("-q,--quiet", demo.quiet, "No progress bar");
    demoCommand->add_flag("--progress", demo.progress, "Progress bar even when standard error is not a terminal");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0)
            return app.exit(e);
        // A first word that is no option and no command: name it, where the
        // parser would only say that a command is missing.
        if (argc > 1 && argv[1][0] != '-' && app.get_subcommands().empty())
            return usage(std::string("unknown command '") + argv[1] + "'; the commands are denoise and demo");
        return usage(e.what());
    }

    // Usage: every value is read before any file is touched.
    try {
        line.denoise = bool(*denoiseCommand);
        if (line.denoise) {
            fillDenoise(*denoiseCommand, readRequest(*denoiseCommand, denoiseTexts), denoise);
        } else {
            if (demo.imagePath.empty())
                throw UsageError("--image: the file name is empty");
            if (demo.outputDir.empty())
                throw UsageError("--output-dir: the directory name is empty");
            if (demoCommand->get_option("--sigma")->count() > 0)
                demo.sigma255 = parseReal(demoSigma, "--sigma");
            if (demoCommand->get_option("--seed")->count() > 0)
                demo.seed = parseCount(seed, "--seed");
            const Request r = readRequest(*demoCommand, demoTexts);
            demo.threads = r.threads ? int(*r.threads) : defaultThreads(FrontEnd::tool);
            if (r.maxPixels)
                demo.maxPixels = *r.maxPixels;
        }
    } catch (const UsageError& e) {
        return usage(e.what());
    } catch (const UserError& e) {
        std::fprintf(stderr, "sorvik: error: %s\n", e.what());
        return 1;
    }
    return -1;
}

DenoiseCommand forColour(const DenoiseCommand& o, WienerSettings& settings, int colours)
{
    if (colours < 2 || !o.pilotPath.empty())
        return o;
    DenoiseCommand c = o;
    c.request = o.colourRequest;
    c.framesRequest = o.colourFramesRequest;
    const WienerSettings point = c.request.wiener();
    c.step = point.step;
    settings.step = point.step;
    settings.maxGroupSize = point.maxGroupSize;
    settings.searchRadius = point.searchRadius;
    settings.matchThreshold = point.matchThreshold;
    return c;
}

} // namespace sorvik::cli
