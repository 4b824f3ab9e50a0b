#include "cli/commands.h"

#include "cli/progress.h"
#include "pilot/basic_estimate.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace sorvik::cli {

namespace fs = std::filesystem;

namespace {

double parseNumber(const std::string& text, const std::string& what)
{
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || errno == ERANGE)
        throw UserError(what + ": '" + text + "' is not a number");
    return value;
}

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

void checkFinite(const GreyImage& image, const std::string& role, const std::string& path)
{
    const std::int64_t bad = firstNonFinite(image.pixels.data(), image.pixels.size());
    if (bad >= 0) {
        const std::int64_t rows = image.rows;
        throw UserError(role + " image '" + path + "' has a pixel that is not a finite number (row " +
                        std::to_string(bad % rows) + ", column " + std::to_string(bad / rows) + ")");
    }
}

FilterSetup prepare(const WienerSettings& settings, std::int32_t rows, std::int32_t cols)
{
    try {
        return prepareFilter(settings, rows, cols);
    } catch (const std::invalid_argument& e) {
        throw UserError(e.what());
    }
}

std::vector<float> makeBasicEstimate(const GreyImage& noisy, double sigma, bool quiet)
{
    std::vector<float> pilot(noisy.pixels.size());
    ProgressBar bar("pilot   ", progressWanted(quiet));
    BasicEstimateOptions options;
    options.progress = &ProgressBar::report;
    options.progressContext = &bar;
    try {
        basicEstimate(noisy.rows, noisy.cols, noisy.pixels.data(), sigma, pilot.data(), options);
    } catch (const std::invalid_argument& e) {
        throw UserError(std::string("basic estimate: ") + e.what());
    }
    return pilot;
}

std::vector<float> wienerFilter(const FilterSetup& setup, const double* noisy, const float* pilot,
                                int threads, bool quiet)
{
    std::vector<float> estimate(std::size_t(setup.params.rows) * std::size_t(setup.params.cols));
    ProgressBar bar("wiener  ", progressWanted(quiet));
    FilterOptions options;
    options.threads = threads;
    options.progress = &ProgressBar::report;
    options.progressContext = &bar;
    const FilterStatus status =
        runFilter(setup.params, noisy, pilot, setup.window.data(), estimate.data(), options);
    bar.finish();
    if (status != FilterStatus::ok)
        throw UserError(std::string("the filter failed: ") + statusMessage(status));
    try {
        checkEstimateFinite(estimate.data(), estimate.size(), setup.params.rows);
    } catch (const std::runtime_error& e) {
        throw UserError(std::string(e.what()) + ". Nothing was written.");
    }
    return estimate;
}

} // namespace

std::vector<double> loadWindow(const std::string& source, std::int32_t blockSize)
{
    const std::string prefix = "kaiser";
    if (source == prefix)
        return kaiserWindow2d(blockSize, defaultKaiserBeta);
    if (source.rfind(prefix + ":", 0) == 0) {
        const double beta = parseNumber(source.substr(prefix.size() + 1), "--window kaiser:BETA");
        try {
            return kaiserWindow2d(blockSize, beta);
        } catch (const std::invalid_argument& e) {
            throw UserError(std::string("--window: ") + e.what());
        }
    }

    std::ifstream file(source);
    if (!file)
        throw UserError("window file '" + source + "': " + std::strerror(errno));
    std::vector<double> window;
    std::string line;
    for (int lineNumber = 1; std::getline(file, line); ++lineNumber) {
        line = line.substr(0, line.find('#'));
        std::replace(line.begin(), line.end(), ',', ' ');
        std::istringstream words(line);
        std::string word;
        while (words >> word)
            window.push_back(
                parseNumber(word, "window file '" + source + "', line " + std::to_string(lineNumber)));
    }
    if (file.bad())
        throw UserError("window file '" + source + "' could not be read");
    return window;
}

double psnr(const std::vector<double>& reference, const float* image)
{
    return 10.0 * std::log10(1.0 / meanSquaredError(reference, image));
}

double psnr(const std::vector<double>& reference, const double* image)
{
    return 10.0 * std::log10(1.0 / meanSquaredError(reference, image));
}

std::vector<double> gaussianNoise(std::size_t count, std::uint64_t seed)
{
    // std::normal_distribution differs between standard libraries; the
    // Mersenne Twister's output does not, and Box-Muller on top of it is
    // written out here.
    std::mt19937_64 engine(seed);
    const double twoPi = 6.283185307179586;
    auto uniform = [&engine] { return (double(engine() >> 11) + 1.0) * 0x1.0p-53; }; // (0, 1]
    std::vector<double> noise(count);
    for (std::size_t i = 0; i < count; i += 2) {
        const double radius = std::sqrt(-2.0 * std::log(uniform()));
        const double angle = twoPi * uniform();
        noise[i] = radius * std::cos(angle);
        if (i + 1 < count)
            noise[i + 1] = radius * std::sin(angle);
    }
    return noise;
}

void runDenoise(const DenoiseOptions& o)
{
    checkOutputPath(o.outputPath);
    const GreyImage noisy = readGreyImage(o.noisyPath, "noisy");
    checkFinite(noisy, "noisy", o.noisyPath);

    GreyImage pilotImage;
    if (!o.pilotPath.empty()) {
        pilotImage = readGreyImage(o.pilotPath, "pilot");
        if (pilotImage.rows != noisy.rows || pilotImage.cols != noisy.cols)
            throw UserError("the pilot image '" + o.pilotPath + "' is " +
                            std::to_string(pilotImage.cols) + " x " + std::to_string(pilotImage.rows) +
                            " pixels but the noisy image '" + o.noisyPath + "' is " +
                            std::to_string(noisy.cols) + " x " + std::to_string(noisy.rows) +
                            " (width x height); they must be the same size");
        checkFinite(pilotImage, "pilot", o.pilotPath);
    }

    WienerSettings settings = o.wiener;
    if (!std::isfinite(o.sigma255) || o.sigma255 <= 0.0)
        throw UserError("--sigma must be a finite number > 0 (on the 0..255 scale)");
    settings.sigma = o.sigma255 / 255.0;
    // A block size the filter cannot take is reported as such, not as a
    // window that cannot be made.
    if (settings.blockSize >= 2)
        settings.window = loadWindow(o.window, settings.blockSize);
    const FilterSetup setup = prepare(settings, noisy.rows, noisy.cols);
    if (o.threads < 1)
        throw UserError("--threads must be at least 1");

    std::vector<float> pilot;
    if (o.pilotPath.empty()) {
        pilot = makeBasicEstimate(noisy, settings.sigma, o.quiet);
    } else {
        // Pilot images go to the filter in single precision.
        pilot.assign(pilotImage.pixels.begin(), pilotImage.pixels.end());
    }
    const std::vector<float> estimate =
        wienerFilter(setup, noisy.pixels.data(), pilot.data(), o.threads, o.quiet);
    const PixelDepth depth = o.depth ? *o.depth : outputDepth(o.outputPath, noisy.depth);
    writeGreyImage(o.outputPath, noisy.rows, noisy.cols, estimate.data(), depth);
}

void runDemo(const DemoOptions& o)
{
    if (!std::isfinite(o.sigma255) || o.sigma255 <= 0.0)
        throw UserError("--sigma must be a finite number > 0 (on the 0..255 scale)");
    if (o.threads < 1)
        throw UserError("--threads must be at least 1");
    const GreyImage clean = readGreyImage(o.imagePath, "demo");
    checkFinite(clean, "demo", o.imagePath);
    const std::int32_t M = clean.rows;
    const std::int32_t N = clean.cols;

    // The noisy image is kept in single precision so that its float TIFF is
    // exactly what was filtered.
    const double sigma = o.sigma255 / 255.0;
    const std::vector<double> noise = gaussianNoise(clean.pixels.size(), o.seed);
    std::vector<double> noisy(clean.pixels.size());
    for (std::size_t i = 0; i < noisy.size(); ++i)
        noisy[i] = double(float(clean.pixels[i] + sigma * noise[i]));

    WienerSettings settings;
    settings.sigma = sigma;
    const FilterSetup setup = prepare(settings, M, N);

    std::error_code ec;
    fs::create_directories(o.outputDir, ec);
    if (ec)
        throw UserError("cannot create the output directory '" + o.outputDir + "': " + ec.message());
    const auto out = [&](const char* name) { return (fs::path(o.outputDir) / name).string(); };
    for (const char* name : {"noisy.png", "noisy.tif", "pilot.png", "estimate.png", "comparison.png"})
        checkOutputPath(out(name));

    GreyImage noisyImage;
    noisyImage.rows = M;
    noisyImage.cols = N;
    noisyImage.pixels = noisy;
    const std::vector<float> pilot = makeBasicEstimate(noisyImage, sigma, o.quiet);
    const std::vector<float> estimate = wienerFilter(setup, noisy.data(), pilot.data(), o.threads, o.quiet);

    // Clean, noisy, pilot and estimate side by side, parted by white strips.
    const std::int32_t gap = 8;
    const std::int32_t wide = 4 * N + 3 * gap;
    std::vector<float> comparison(std::size_t(M) * std::size_t(wide), 1.0f);
    const std::size_t rows = std::size_t(M);
    for (int panel = 0; panel < 4; ++panel)
        for (std::int32_t j = 0; j < N; ++j)
            for (std::int32_t i = 0; i < M; ++i) {
                const std::size_t p = std::size_t(i) + std::size_t(j) * rows;
                const float v = panel == 0   ? float(clean.pixels[p])
                                : panel == 1 ? float(noisy[p])
                                : panel == 2 ? pilot[p]
                                             : estimate[p];
                comparison[std::size_t(i) + std::size_t(panel * (N + gap) + j) * rows] = v;
            }

    writeGreyImage(out("noisy.png"), M, N, noisy.data(), PixelDepth::uint8);
    writeGreyImage(out("noisy.tif"), M, N, noisy.data(), PixelDepth::float32);
    writeGreyImage(out("pilot.png"), M, N, pilot.data(), PixelDepth::uint8);
    writeGreyImage(out("estimate.png"), M, N, estimate.data(), PixelDepth::uint8);
    writeGreyImage(out("comparison.png"), M, wide, comparison.data(), PixelDepth::uint8);

    std::printf("image     %s (%d x %d), noise sigma %g of 255, seed %llu\n", o.imagePath.c_str(),
                int(N), int(M), o.sigma255, static_cast<unsigned long long>(o.seed));
    std::printf("PSNR against the clean image:\n");
    std::printf("  noisy     %6.2f dB\n", psnr(clean.pixels, noisy.data()));
    std::printf("  pilot     %6.2f dB  (basic estimate: 8x8 DCT hard thresholding)\n",
                psnr(clean.pixels, pilot.data()));
    std::printf("  estimate  %6.2f dB  (Wiener filter with that pilot)\n",
                psnr(clean.pixels, estimate.data()));
    std::printf("wrote noisy.png, noisy.tif (the exact filter input), pilot.png, estimate.png and\n"
                "comparison.png (clean | noisy | pilot | estimate) to %s\n",
                o.outputDir.c_str());
}

} // namespace sorvik::cli
