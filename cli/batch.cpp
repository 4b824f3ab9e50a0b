#include "cli/commands.h"

#include "cli/checks.h"
#include "cli/denoise_file.h"
#include "cli/pilot_mode.h"
#include "cli/standard_streams.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace sorvik::cli {

namespace fs = std::filesystem;

namespace {

bool isFolder(const std::string& path)
{
    std::error_code ec;
    return (!path.empty() && path.back() == '/') || fs::is_directory(path, ec);
}

} // namespace

int runDenoise(const DenoiseCommand& o)
{
    checkUserSigma(o.sigma);
    checkThreadCount(o.threads);
    if (o.rangeLow) {
        try {
            userDataRange(*o.rangeLow, *o.rangeHigh);
        } catch (const std::invalid_argument& e) {
            throw UserError("--range: " + std::string(e.what()));
        }
    }

    WienerSettings settings = o.wiener;
    settings.step = o.step ? *o.step : std::min(defaultStep, std::max(settings.blockSize, 1));
    // A block size the filter cannot take is reported as such, not as a
    // window that cannot be made.
    if (settings.blockSize >= 2)
        settings.window = loadWindow(o.window, settings.blockSize);
    {
        // Every setting is checked before any file is read; the image's own
        // size is checked with each page.
        WienerSettings probe = settings;
        probe.sigma = 0.1;
        const std::int32_t side = std::max(probe.blockSize, 1);
        prepare(probe, side, side);
    }

    const bool folder = o.inputs.size() > 1 || (o.outputPath != "-" && isFolder(o.outputPath));
    if (!o.pilotPath.empty()) {
        if (folder || o.inputs[0] == "-" || o.outputPath == "-")
            throw UserError("--pilot takes one noisy file and one output file (not a folder or '-')");
        denoiseWithPilot(o, o.inputs[0], settings);
        return 0;
    }

    const std::string extension = extensionOfFormat(o.format);
    ProgressBar bar("denoise ", !o.quiet && (o.progress || progressWanted(false)));
    bar.setUnit("%");
    RunProgress progress{&bar};

    if (!folder) {
        const std::string& input = o.inputs[0];
        std::unique_ptr<ScratchDir> scratch;
        std::string inputPath = input, outputPath = o.outputPath;
        if (input == "-" || o.outputPath == "-")
            scratch = std::make_unique<ScratchDir>();
        if (input == "-") {
            // 16 bytes a pixel bound any file of 4 float channels within the
            // pixel budget, with room for its header.
            inputPath = scratch->file("stdin" + (extension.empty() ? std::string(".img") : extension));
            saveStandardInput(inputPath,
                              o.maxPixels == 0 ? 0 : o.maxPixels * 16 + (std::uint64_t(1) << 20));
        }
        if (o.outputPath == "-") {
            if (extension.empty())
                throw UserError("-o -: name the format of standard output with --format png, tiff "
                                "or jpg");
            outputPath = scratch->file("stdout" + extension);
        }
        denoiseFile(inputPath, input == "-" ? "standard input" : input, outputPath, o, settings,
                    progress, "");
        bar.update(RunProgress::total, RunProgress::total);
        bar.finish();
        if (o.outputPath == "-")
            copyToStandardOutput(outputPath);
        return 0;
    }

    // A batch: everything that can refuse it is asked before any work.
    const std::string dir = o.outputPath;
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0)
        throw UserError("output folder '" + dir + "': " + std::strerror(errno) +
                        " (sorvik does not create it)");
    if (!S_ISDIR(st.st_mode))
        throw UserError("output folder '" + dir + "' is not a directory");
    if (::access(dir.c_str(), W_OK | X_OK) != 0)
        throw UserError("output folder '" + dir + "' cannot be written: " + std::strerror(errno));
    std::vector<std::string> outputs;
    for (std::size_t k = 0; k < o.inputs.size(); ++k) {
        const std::string& input = o.inputs[k];
        if (input == "-")
            throw UserError("standard input ('-') has no name to keep in the output folder; give "
                            "it alone with -o FILE");
        const std::string name = fs::path(input).filename().string();
        if (name.empty() || name == "." || name == "..")
            throw UserError("input '" + input + "' names no file");
        for (std::size_t m = 0; m < k; ++m)
            if (fs::path(o.inputs[m]).filename().string() == name)
                throw UserError("inputs '" + o.inputs[m] + "' and '" + input +
                                "' have the same name, so both would be written to '" +
                                (fs::path(dir) / name).string() + "'; nothing was denoised");
        const std::string out = (fs::path(dir) / name).string();
        std::error_code ec;
        if (fs::equivalent(input, out, ec))
            throw UserError("input '" + input + "' is in the output folder and would be replaced; "
                            "choose another folder");
        outputs.push_back(out);
    }

    progress.files = int(o.inputs.size());
    int failed = 0;
    for (std::size_t k = 0; k < o.inputs.size(); ++k) {
        progress.file = int(k);
        try {
            denoiseFile(o.inputs[k], o.inputs[k], outputs[k], o, settings, progress,
                        o.inputs[k] + ": ");
        } catch (const std::bad_alloc&) {
            bar.note("sorvik: error: " + o.inputs[k] + ": not enough memory");
            ++failed;
        } catch (const std::exception& e) {
            bar.note(std::string("sorvik: error: ") + e.what());
            ++failed;
        }
    }
    bar.update(RunProgress::total, RunProgress::total);
    bar.finish();
    if (failed > 0) {
        std::fprintf(stderr, "sorvik: %d of %zu files failed; the others were written\n", failed,
                     o.inputs.size());
        return 1;
    }
    return 0;
}

} // namespace sorvik::cli
