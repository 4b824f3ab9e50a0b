#include "cli/commands.h"

#include "cli/progress.h"
#include "frontend/noise.h"
#include "pilot/basic_estimate.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace sorvik::cli {

namespace fs = std::filesystem;

namespace {

// What a value looked like, for a message: cut short and with control bytes
// shown as '?', since it may come from a binary file.
std::string shown(const std::string& text)
{
    std::string out;
    for (char c : text.substr(0, 32))
        out += std::isprint(static_cast<unsigned char>(c)) ? c : '?';
    return "'" + out + (text.size() > 32 ? "...'" : "'");
}

bool allDigits(const std::string& text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(),
                                        [](unsigned char c) { return std::isdigit(c) != 0; });
}

// True when the whole of `text` is a number; ERANGE is no failure here, since
// 1e-320 and 1e400 are numbers that the range checks speak about.
bool readReal(const std::string& text, double& value)
{
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])))
        return false;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size();
}

// A bound quoted as "about": two digits say it.
std::string roughly(double bound)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2g", bound);
    return text;
}

void checkSigma(double sigma255)
{
    if (!std::isfinite(sigma255) || !(sigma255 > 0.0))
        throw UserError("--sigma must be a finite number > 0 (on the 0..255 scale), not " +
                        formatNumber(sigma255));
    const float sigma = float(sigma255 / 255.0);
    if (!(sigma * sigma > 0.0f) || !std::isfinite(sigma * sigma))
        throw UserError("--sigma " + formatNumber(sigma255) +
                        " is outside the range sorvik computes with: about " + roughly(255.0 * minSigma) +
                        " to " + roughly(255.0 * maxSigma) + " on the 0..255 scale");
}

void checkThreadCount(int threads)
{
    try {
        checkThreads(threads);
    } catch (const std::invalid_argument& e) {
        throw UserError(std::string("--") + e.what());
    }
}

// Float files carry no scale, and values far outside 0..1 were meant for
// another one (0..255, say); filtering them as 0..1 and clipping the result
// silently ruins the image. Noise can carry values past 0..1, by a few sigma.
void checkScale(const GreyImage& image, const std::string& role, const std::string& path,
                double margin)
{
    if (image.depth != PixelDepth::float32 || image.lowest > image.highest)
        return;
    if (image.lowest >= -margin && image.highest <= 1.0 + margin)
        return;
    // Float files hold single precision; quoted as such, 1.01 reads 1.01.
    auto shortest = [](double value) {
        char text[32];
        for (int digits = 1; digits <= 9; ++digits) {
            std::snprintf(text, sizeof text, "%.*g", digits, value);
            if (std::strtof(text, nullptr) == float(value))
                break;
        }
        return formatNumber(std::strtod(text, nullptr));
    };
    throw UserError(role + " image '" + path + "' holds values from " + shortest(image.lowest) +
                    " to " + shortest(image.highest) +
                    "; sorvik reads float images on the 0..1 scale" +
                    (margin > 0.0 ? " (noise may reach " + formatNumber(margin) + " beyond it)" : "") +
                    ". Scale the image to 0..1 first.");
}

// How far past 0..1 noise of this sigma plausibly reaches: eight standard
// deviations, which Gaussian noise passes about once in 10^15 pixels.
double noiseMargin(double sigma) { return 8.0 * sigma; }

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
        throw UserError("the filter failed: " + filterFailure(status));
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
        const double beta = parseReal(source.substr(prefix.size() + 1), "--window kaiser:BETA");
        try {
            return kaiserWindow2d(blockSize, beta);
        } catch (const std::invalid_argument& e) {
            throw UserError(std::string("--window: ") + e.what());
        }
    }

    const std::string what = "window file '" + source + "'";
    // Opened without waiting, then refused unless regular: a FIFO with no
    // writer would block the open, and a device never ends.
    const int fd = ::open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        throw UserError(what + ": " + std::strerror(errno));
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(::fdopen(fd, "r"), &std::fclose);
    if (!file) {
        ::close(fd);
        throw UserError(what + ": " + std::strerror(errno));
    }
    struct stat st;
    if (::fstat(fd, &st) != 0)
        throw UserError(what + ": " + std::strerror(errno));
    if (S_ISDIR(st.st_mode))
        throw UserError(what + " is a directory");
    if (!S_ISREG(st.st_mode))
        throw UserError(what + " is not a regular file (a device, FIFO or socket)");

    const std::size_t wanted = std::size_t(blockSize) * std::size_t(blockSize);
    // No number is longer than this; a longer word is not one, whatever follows.
    constexpr std::size_t longestWord = 64;
    std::vector<double> window;
    std::string word;
    int line = 1;
    bool comment = false;
    auto endWord = [&] {
        if (word.empty())
            return;
        double value = 0.0;
        if (word.size() > longestWord || !readReal(word, value))
            throw UserError(what + ", line " + std::to_string(line) + ": " + shown(word) +
                            " is not a number");
        if (window.size() == wanted)
            throw UserError(what + " has more than " + std::to_string(wanted) +
                            " weights; a block size of " + std::to_string(blockSize) + " needs " +
                            std::to_string(wanted));
        window.push_back(value);
        word.clear();
    };
    for (int c; (c = std::getc(file.get())) != EOF;) {
        if (c == '\n') {
            endWord();
            comment = false;
            ++line;
        } else if (comment) {
            continue;
        } else if (c == '#') {
            endWord();
            comment = true;
        } else if (c == ',' || std::isspace(c)) {
            endWord();
        } else {
            word += char(c);
            if (word.size() > longestWord)
                endWord();
        }
    }
    if (std::ferror(file.get()))
        throw UserError(what + " could not be read: " + std::strerror(errno));
    endWord();
    if (window.empty())
        throw UserError(what + " holds no weights; a block size of " + std::to_string(blockSize) +
                        " needs " + std::to_string(wanted));
    if (window.size() < wanted)
        throw UserError(what + " has " + std::to_string(window.size()) +
                        " weights; a block size of " + std::to_string(blockSize) + " needs " +
                        std::to_string(wanted));
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

double parseReal(const std::string& text, const std::string& option)
{
    if (text.empty())
        throw UsageError(option + ": the value is empty; it must be a number");
    double value = 0.0;
    if (!readReal(text, value))
        throw UsageError(option + ": " + shown(text) + " is not a number");
    return value;
}

std::int32_t parseWhole(const std::string& text, const std::string& option)
{
    if (text.empty())
        throw UsageError(option + ": the value is empty; it must be a whole number");
    const bool sign = text[0] == '-' || text[0] == '+';
    if (!allDigits(text.substr(sign ? 1 : 0)))
        throw UsageError(option + ": " + shown(text) + " is not a whole number");
    errno = 0;
    const long long value = std::strtoll(text.c_str(), nullptr, 10);
    if (errno == ERANGE || value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max())
        throw UserError(option + " " + text + " is out of range (" +
                        std::to_string(std::numeric_limits<std::int32_t>::min()) + " to " +
                        std::to_string(std::numeric_limits<std::int32_t>::max()) + ")");
    return std::int32_t(value);
}

std::uint64_t parseCount(const std::string& text, const std::string& option)
{
    if (text.empty())
        throw UsageError(option + ": the value is empty; it must be a whole number");
    const bool sign = text[0] == '-' || text[0] == '+';
    if (!allDigits(text.substr(sign ? 1 : 0)))
        throw UsageError(option + ": " + shown(text) + " is not a whole number");
    // strtoull takes "-1" as 2^64 - 1; a negative count is out of range.
    const std::string digits = text.substr(sign ? 1 : 0);
    const std::string range =
        " is out of range (0 to " + std::to_string(std::numeric_limits<std::uint64_t>::max()) + ")";
    if (text[0] == '-' && digits.find_first_not_of('0') != std::string::npos)
        throw UserError(option + " " + text + range);
    errno = 0;
    const unsigned long long value = std::strtoull(digits.c_str(), nullptr, 10);
    if (errno == ERANGE)
        throw UserError(option + " " + text + range);
    return std::uint64_t(value);
}

void runDenoise(const DenoiseOptions& o)
{
    checkSigma(o.sigma255);
    checkThreadCount(o.threads);
    const double sigma = o.sigma255 / 255.0;

    const GreyImage noisy = readGreyImage(o.noisyPath, "noisy", o.maxPixels);
    checkFinite(noisy, "noisy", o.noisyPath);
    checkScale(noisy, "noisy", o.noisyPath, noiseMargin(sigma));

    GreyImage pilotImage;
    if (!o.pilotPath.empty()) {
        pilotImage = readGreyImage(o.pilotPath, "pilot", o.maxPixels);
        if (pilotImage.rows != noisy.rows || pilotImage.cols != noisy.cols)
            throw UserError("the pilot image '" + o.pilotPath + "' is " +
                            std::to_string(pilotImage.cols) + " x " + std::to_string(pilotImage.rows) +
                            " pixels but the noisy image '" + o.noisyPath + "' is " +
                            std::to_string(noisy.cols) + " x " + std::to_string(noisy.rows) +
                            " (width x height); they must be the same size");
        checkFinite(pilotImage, "pilot", o.pilotPath);
    }

    WienerSettings settings = o.wiener;
    settings.sigma = sigma;
    settings.step = o.step ? *o.step : std::min(defaultStep, std::max(settings.blockSize, 1));
    // A block size the filter cannot take is reported as such, not as a
    // window that cannot be made.
    if (settings.blockSize >= 2)
        settings.window = loadWindow(o.window, settings.blockSize);
    const FilterSetup setup = prepare(settings, noisy.rows, noisy.cols);

    // Everything that could refuse the output is asked before the work.
    const PixelDepth depth = outputDepth(o.outputPath, o.depth ? *o.depth : noisy.depth);
    checkOutput(o.outputPath, noisy.rows, noisy.cols, depth);

    std::vector<float> pilot;
    if (o.pilotPath.empty()) {
        pilot = makeBasicEstimate(noisy, settings.sigma, o.quiet);
    } else {
        // Pilot images go to the filter in single precision.
        pilot.assign(pilotImage.pixels.begin(), pilotImage.pixels.end());
    }
    const std::vector<float> estimate =
        wienerFilter(setup, noisy.pixels.data(), pilot.data(), o.threads, o.quiet);
    writeGreyImage(o.outputPath, noisy.rows, noisy.cols, estimate.data(), depth);
}

void runDemo(const DemoOptions& o)
{
    checkSigma(o.sigma255);
    checkThreadCount(o.threads);
    const GreyImage clean = readGreyImage(o.imagePath, "demo", o.maxPixels);
    checkFinite(clean, "demo", o.imagePath);
    checkScale(clean, "demo", o.imagePath, 0.0);
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
    const std::int32_t gap = 8;
    const std::int32_t wide = 4 * N + 3 * gap;
    if (std::int64_t(wide) * M > maxImagePixels || wide < N)
        throw UserError("demo image '" + o.imagePath + "' is too wide for the side-by-side comparison");
    for (const char* name : {"noisy.png", "pilot.png", "estimate.png"})
        checkOutput(out(name), M, N, PixelDepth::uint8);
    checkOutput(out("noisy.tif"), M, N, PixelDepth::float32);
    checkOutput(out("comparison.png"), M, wide, PixelDepth::uint8);

    GreyImage noisyImage;
    noisyImage.rows = M;
    noisyImage.cols = N;
    noisyImage.pixels = noisy;
    const std::vector<float> pilot = makeBasicEstimate(noisyImage, sigma, o.quiet);
    const std::vector<float> estimate = wienerFilter(setup, noisy.data(), pilot.data(), o.threads, o.quiet);

    // Clean, noisy, pilot and estimate side by side, parted by white strips.
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

    // All five are written before any replaces its target, so that a full
    // disk cannot leave this run's noisy image beside an earlier run's
    // estimate.
    OutputSet outputs;
    outputs.add(out("noisy.png"), M, N, noisy.data(), PixelDepth::uint8);
    outputs.add(out("noisy.tif"), M, N, noisy.data(), PixelDepth::float32);
    outputs.add(out("pilot.png"), M, N, pilot.data(), PixelDepth::uint8);
    outputs.add(out("estimate.png"), M, N, estimate.data(), PixelDepth::uint8);
    outputs.add(out("comparison.png"), M, wide, comparison.data(), PixelDepth::uint8);
    outputs.commit();

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
