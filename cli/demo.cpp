#include "cli/commands.h"

#include "cli/checks.h"
#include "cli/image_read.h"
#include "cli/image_write.h"
#include "frontend/first_stage.h"
#include "frontend/noise.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>

namespace sorvik::cli {

namespace fs = std::filesystem;

namespace {

template <typename T>
double meanSquaredError(const std::vector<double>& reference, const T* image)
{
    double sum = 0.0;
    for (std::size_t i = 0; i < reference.size(); ++i) {
        const double d = double(image[i]) - reference[i];
        sum += d * d;
    }
    return sum / double(reference.size());
}

} // namespace

std::string dataDirectory(const std::string& buildTimeDir)
{
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        const fs::path installed = exe.parent_path().parent_path() / "share" / "sorvik" / "data";
        if (fs::is_directory(installed, ec))
            return installed.string();
    }
    return buildTimeDir;
}

double psnr(const std::vector<double>& reference, const float* image)
{
    return 10.0 * std::log10(1.0 / meanSquaredError(reference, image));
}

double psnr(const std::vector<double>& reference, const double* image)
{
    return 10.0 * std::log10(1.0 / meanSquaredError(reference, image));
}

void runDemo(const DemoOptions& o)
{
    checkSigma(o.sigma255, o.sigma255 / 255.0);
    checkThreadCount(o.threads);
    Picture clean = readPictures(o.imagePath, "demo", o.maxPixels).front();
    const std::string what = "demo image '" + o.imagePath + "'";
    if (clean.alpha >= 0)
        throw UserError(what + " has an alpha channel; the demo takes grey or RGB images");
    const std::int32_t M = clean.rows;
    const std::int32_t N = clean.cols;
    const std::size_t count = clean.pixels.size();
    if (!isFloat(clean.depth) && clean.depth != PixelDepth::uint8 && clean.depth != PixelDepth::uint16)
        throw UserError(what + " holds " + depthName(clean.depth) +
                        " samples; the demo takes 8- and 16-bit and float images");
    const double scale = depthScale(clean.depth);
    const std::int64_t bad = firstNonFinite(clean.pixels.data(), count);
    if (bad >= 0)
        throw UserError(what + " has a pixel that is not a finite number");
    if (isFloat(clean.depth) &&
        !std::all_of(clean.pixels.begin(), clean.pixels.end(),
                     [](double v) { return v >= 0.0 && v <= 1.0; }))
        throw UserError(what + " holds float values outside 0..1; the demo takes clean images "
                               "on that scale");

    // The noisy image is what a user's file would hold: integer images are
    // rounded and saturated to their levels, so noisy.png is exactly what was
    // denoised.
    const double sigma = o.sigma255 / 255.0 * scale;
    const std::vector<double> noise = gaussianNoise(count, o.seed);
    Picture noisy = clean;
    for (std::size_t i = 0; i < count; ++i) {
        const double v = clean.pixels[i] + sigma * noise[i];
        noisy.pixels[i] = clean.depth == PixelDepth::uint8    ? double(toUint8(v))
                          : clean.depth == PixelDepth::uint16 ? double(toUint16(v))
                                                              : double(float(v));
    }

    std::error_code ec;
    fs::create_directories(o.outputDir, ec);
    if (ec)
        throw UserError("cannot create the output directory '" + o.outputDir + "': " + ec.message());
    const auto out = [&](const char* name) { return (fs::path(o.outputDir) / name).string(); };
    const std::int32_t gap = 8;
    const std::int32_t wide = 3 * N + 2 * gap;
    if (std::int64_t(wide) * M > maxImagePixels || wide < N)
        throw UserError(what + " is too wide for the side-by-side comparison");
    Picture comparison;
    comparison.rows = M;
    comparison.cols = wide;
    comparison.channels = clean.channels;
    comparison.depth = PixelDepth::float32;
    const PixelDepth fileDepth = outputDepth(out("noisy.png"), clean.depth);
    for (const char* name : {"noisy.png", "estimate.png"})
        checkPictureOutput(out(name), clean, 1, fileDepth);
    checkPictureOutput(out("comparison.png"), comparison, 1, PixelDepth::uint8);

    ProgressBar bar("denoise ", !o.quiet && (o.progress || progressWanted(false)));
    bar.setUnit("%");
    RunProgress progress{&bar};
    progress.colours = clean.channels;
    // The default profile, as `sorvik denoise` takes it: denoising noisy.png
    // again gives estimate.png.
    const Request standard = Request{}.withProfile(false, clean.channels > 1);
    sorvik::DenoiseOptions options;
    options.wiener = standard.wiener();
    applyFirstStage(standard, options);
    options.threads = o.threads;
    options.progress = [&progress](DenoiseStage stage, int channel, std::int32_t done,
                                   std::int32_t total) { progress.report(stage, channel, done, total); };
    DenoiseInput input;
    input.rows = M;
    input.cols = N;
    input.channels = clean.channels;
    input.pixels = noisy.pixels.data();
    input.range = isFloat(clean.depth)
                      ? floatDataRange(noisy.pixels.data(), M, N, clean.channels)
                      : DataRange{0.0, scale};
    input.sigma = sigma;
    DenoiseResult result;
    try {
        result = denoise(input, options);
    } catch (const std::invalid_argument& e) {
        throw UserError(what + ": " + e.what());
    }
    bar.update(RunProgress::total, RunProgress::total);
    bar.finish();
    // The estimate is shown for comparison only: the denoise used the true
    // sigma, so an image too small to estimate from is no failure.
    std::string estimated;
    try {
        char text[64];
        std::snprintf(text, sizeof text, "%.2f of 255",
                      estimateNoiseSigma(noisy.pixels.data(), M, N, clean.channels) / scale * 255.0);
        estimated = text;
    } catch (const std::invalid_argument& e) {
        estimated = std::string("not measured: ") + e.what();
        const std::size_t give = estimated.find("; give sigma");
        if (give != std::string::npos)
            estimated.erase(give);
    }

    Picture estimate = clean;
    for (std::size_t i = 0; i < count; ++i)
        estimate.pixels[i] = clean.depth == PixelDepth::uint8    ? double(toUint8(result.pixels[i]))
                             : clean.depth == PixelDepth::uint16 ? double(toUint16(result.pixels[i]))
                                                                 : result.pixels[i];

    // Clean, noisy and estimate side by side on the 0..1 scale, parted by
    // white strips.
    const std::size_t plane = clean.plane();
    const std::size_t widePlane = std::size_t(M) * std::size_t(wide);
    comparison.pixels.assign(widePlane * std::size_t(clean.channels), 1.0);
    const Picture* panels[] = {&clean, &noisy, &estimate};
    for (int panel = 0; panel < 3; ++panel)
        for (int c = 0; c < clean.channels; ++c)
            for (std::int32_t j = 0; j < N; ++j)
                for (std::int32_t i = 0; i < M; ++i)
                    comparison.pixels[std::size_t(c) * widePlane + std::size_t(i) +
                                      std::size_t(panel * (N + gap) + j) * std::size_t(M)] =
                        panels[panel]->pixels[std::size_t(c) * plane + std::size_t(i) +
                                              std::size_t(j) * std::size_t(M)] /
                        scale;

    // All three are written before any replaces its target, so that a full
    // disk cannot leave this run's noisy image beside an earlier run's
    // estimate.
    OutputSet outputs;
    outputs.addPictures(out("noisy.png"), {noisy}, fileDepth);
    outputs.addPictures(out("estimate.png"), {estimate}, fileDepth);
    outputs.addPictures(out("comparison.png"), {comparison}, PixelDepth::uint8);
    outputs.commit();

    const auto psnrOf = [&](const Picture& image) {
        double sum = 0.0;
        for (std::size_t i = 0; i < count; ++i) {
            const double d = (image.pixels[i] - clean.pixels[i]) / scale;
            sum += d * d;
        }
        return 10.0 * std::log10(double(count) / sum);
    };
    std::printf("image     %s (%d x %d, %s), noise sigma %g of 255, seed %llu\n",
                o.imagePath.c_str(), int(N), int(M), clean.channels == 3 ? "RGB" : "grey",
                o.sigma255, static_cast<unsigned long long>(o.seed));
    std::printf("estimated sigma %s (the denoise used the true one)\n", estimated.c_str());
    std::printf("PSNR against the clean image:\n");
    std::printf("  noisy     %6.2f dB\n", psnrOf(noisy));
    std::printf("  estimate  %6.2f dB  (sorvik denoise, no pilot given)\n", psnrOf(estimate));
    std::printf("wrote noisy.png (the exact denoiser input), estimate.png and comparison.png\n"
                "(clean | noisy | estimate) to %s\n",
                o.outputDir.c_str());
}

} // namespace sorvik::cli
