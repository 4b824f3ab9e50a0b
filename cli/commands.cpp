#include "cli/commands.h"

#include "cli/progress.h"
#include "cli/streaming.h"
#include "frontend/noise.h"
#include "pilot/basic_estimate.h"
#include "sorvik/denoise.h"
#include "sorvik/tiling.h"

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

// `given` as the user typed it, `unit` the same on the filter's 0..1 scale.
void checkSigma(double given, double unit)
{
    if (!std::isfinite(given) || !(given > 0.0))
        throw UserError("--sigma must be a finite number > 0, not " + formatNumber(given));
    const float sigma = float(unit);
    if (!(sigma * sigma > 0.0f) || !std::isfinite(sigma * sigma))
        throw UserError("--sigma " + formatNumber(given) +
                        " is outside the range sorvik computes with: about " +
                        roughly(given / unit * minSigma) + " to " + roughly(given / unit * maxSigma) +
                        " in the file's units");
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

std::vector<float> wienerFilter(const FilterSetup& setup, const double* noisy, const float* pilot,
                                int threads, bool show)
{
    std::vector<float> estimate(std::size_t(setup.params.rows) * std::size_t(setup.params.cols));
    ProgressBar bar("wiener  ", show);
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

namespace {

// The unit a sigma of this depth is quoted in.
std::string unitsOf(PixelDepth depth)
{
    switch (depth) {
    case PixelDepth::uint8:
        return "levels of 255";
    case PixelDepth::uint16:
        return "levels of 65535";
    case PixelDepth::float32:
        break;
    }
    return "in the data's units";
}

void checkUserSigma(const std::optional<double>& sigma)
{
    if (sigma && (!std::isfinite(*sigma) || !(*sigma > 0.0)))
        throw UserError("--sigma must be a finite number > 0 (in the units of the file: levels of "
                        "an 8- or 16-bit file, values of a float file), not " +
                        formatNumber(*sigma));
}

// The folder, the file name or the stream an output goes to.
std::string extensionOfFormat(const std::string& format)
{
    if (format == "png")
        return ".png";
    if (format == "tiff" || format == "tif")
        return ".tif";
    if (format == "jpg" || format == "jpeg")
        return ".jpg";
    return "";
}

// A private folder under $TMPDIR (or /tmp), removed with everything in it.
class ScratchDir {
public:
    ScratchDir()
    {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/sorvik-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (!::mkdtemp(name.data()))
            throw UserError("cannot make a temporary folder in '" + pattern.substr(0, pattern.size() - 14) +
                            "': " + std::strerror(errno));
        path_ = name.data();
        cleanups_.push_back(std::make_unique<InterruptCleanup>(path_, true));
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    ~ScratchDir()
    {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    // A file in the folder, removed with it, or by a fatal signal.
    std::string file(const std::string& name)
    {
        const std::string path = (fs::path(path_) / name).string();
        cleanups_.push_back(std::make_unique<InterruptCleanup>(path, false));
        return path;
    }

private:
    std::string path_;
    std::vector<std::unique_ptr<InterruptCleanup>> cleanups_;
};

// Copies standard input to `path`, at most `limit` bytes (0: no limit), so
// that the image library can seek in it.
void saveStandardInput(const std::string& path, std::uint64_t limit)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        throw UserError("cannot store standard input: " + std::string(std::strerror(errno)));
    std::unique_ptr<int, void (*)(int*)> closer(new int(fd), [](int* f) {
        ::close(*f);
        delete f;
    });
    std::vector<char> buffer(1 << 16);
    std::uint64_t total = 0;
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, buffer.data(), buffer.size());
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw UserError("standard input could not be read: " + std::string(std::strerror(errno)));
        }
        total += std::uint64_t(n);
        if (limit != 0 && total > limit)
            throw UserError("standard input holds more than " + std::to_string(limit) +
                            " bytes, more than an image within --max-pixels takes");
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(fd, buffer.data() + done, std::size_t(n - done));
            if (w < 0) {
                if (errno == EINTR)
                    continue;
                throw UserError("cannot store standard input: " + std::string(std::strerror(errno)));
            }
            done += w;
        }
    }
    if (total == 0)
        throw UserError("standard input is empty");
}

void copyToStandardOutput(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw UserError("cannot read back the output: " + std::string(std::strerror(errno)));
    std::unique_ptr<int, void (*)(int*)> closer(new int(fd), [](int* f) {
        ::close(*f);
        delete f;
    });
    std::vector<char> buffer(1 << 16);
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw UserError("cannot read back the output: " + std::string(std::strerror(errno)));
        }
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(STDOUT_FILENO, buffer.data() + done, std::size_t(n - done));
            if (w < 0) {
                if (errno == EINTR)
                    continue;
                throw UserError("cannot write to standard output: " +
                                std::string(std::strerror(errno)));
            }
            done += w;
        }
    }
}

// Progress over a whole run: every file an equal share, every page of a file
// an equal share of that, and within a page each basic-estimate channel and
// the Wiener stage an equal share again.
struct RunProgress {
    ProgressBar* bar;
    int files = 1;
    int file = 0;
    std::size_t pages = 1;
    std::size_t page = 0;
    int colours = 1;

    static constexpr std::int32_t total = 100;

    void report(DenoiseStage stage, int channel, std::int32_t done, std::int32_t rows) const
    {
        const double part = rows > 0 ? double(done) / rows : 1.0;
        // The grouped pilot takes every colour at once.
        const double step = stage == DenoiseStage::wiener            ? colours + part
                            : stage == DenoiseStage::groupedEstimate ? colours * part
                                                                     : std::max(channel, 0) + part;
        const double inPage = step / (colours + 1);
        const double inFile = (double(page) + inPage) / double(pages);
        bar->update(std::int32_t(total * (file + inFile) / files), total);
    }

    // A fraction of the current page done.
    void within(double inPage) const
    {
        const double inFile = (double(page) + inPage) / double(pages);
        bar->update(std::int32_t(total * (file + inFile) / files), total);
    }
};

std::string nonFiniteMessage(const std::string& what, const NonFiniteValue& e, bool colour)
{
    return what + " has a value that is not a finite number at row " + std::to_string(e.row) +
           ", column " + std::to_string(e.col) +
           (colour ? ", channel " + std::to_string(e.channel) : std::string());
}

// Denoises one page in place: the colour planes change, alpha stays as it was.
void denoisePage(Picture& page, const std::string& what, const DenoiseOptions& o,
                 const WienerSettings& settings, RunProgress& progress, const std::string& notePrefix)
{
    const int colours = page.colours();
    const std::size_t plane = page.plane();
    std::vector<double> colour;
    colour.reserve(plane * std::size_t(colours));
    for (int c = 0; c < page.channels; ++c)
        if (c != page.alpha)
            colour.insert(colour.end(), page.pixels.begin() + std::ptrdiff_t(c * plane),
                          page.pixels.begin() + std::ptrdiff_t((c + 1) * plane));

    DenoiseInput input;
    input.rows = page.rows;
    input.cols = page.cols;
    input.channels = colours;
    input.pixels = colour.data();
    input.sigma = o.sigma;
    try {
        if (page.depth == PixelDepth::float32) {
            input.range = o.rangeLow ? userDataRange(*o.rangeLow, *o.rangeHigh)
                                     : floatDataRange(colour.data(), page.rows, page.cols, colours);
        } else if (o.rangeLow) {
            throw UserError(what + " holds " + (page.depth == PixelDepth::uint8 ? "8" : "16") +
                            "-bit levels, which are scaled by their type's range; --range is for "
                            "float data");
        } else {
            input.range = page.depth == PixelDepth::uint8 ? uint8Range : uint16Range;
        }
    } catch (const NonFiniteValue& e) {
        throw UserError(nonFiniteMessage(what, e, colours > 1));
    } catch (const std::invalid_argument& e) {
        // Without --range the range came from the data (float values whose
        // span overflows), so the file is what the message names.
        throw UserError((o.rangeLow ? std::string("--range") : what) + ": " + e.what());
    }

    if (o.sigma)
        checkSigma(*o.sigma, input.range.sigmaToUnit(*o.sigma));

    sorvik::DenoiseOptions options;
    options.wiener = settings;
    options.threads = o.threads;
    progress.colours = colours;
    options.progress = [&progress](DenoiseStage stage, int channel, std::int32_t done,
                                   std::int32_t total) { progress.report(stage, channel, done, total); };
    DenoiseResult result;
    try {
        result = denoise(input, options);
    } catch (const NonFiniteValue& e) {
        throw UserError(nonFiniteMessage(what, e, colours > 1));
    } catch (const std::invalid_argument& e) {
        throw UserError(what + ": " + e.what());
    } catch (const std::runtime_error& e) {
        throw UserError(what + ": " + e.what() + ". Nothing was written.");
    }
    if (result.sigmaEstimated && !o.quiet) {
        char text[64];
        std::snprintf(text, sizeof text, "%.4g", result.sigma);
        progress.bar->note(notePrefix + "estimated sigma: " + text + " (" + unitsOf(page.depth) + ")");
    }
    int k = 0;
    for (int c = 0; c < page.channels; ++c)
        if (c != page.alpha) {
            std::copy(result.pixels.begin() + std::ptrdiff_t(std::size_t(k) * plane),
                      result.pixels.begin() + std::ptrdiff_t(std::size_t(k + 1) * plane),
                      page.pixels.begin() + std::ptrdiff_t(std::size_t(c) * plane));
            ++k;
        }
}

// ---------------------------------------------------------------- streaming

// What the first pass over a streamed page finds out: its units and its noise
// level, the whole page's, as the in-memory call would have them.
struct PageScan {
    DataRange range;
    double sigma = 0.0;
    bool estimated = false;
};

std::vector<int> colourChannels(const Picture& page)
{
    std::vector<int> colour;
    for (int c = 0; c < page.channels; ++c)
        if (c != page.alpha)
            colour.push_back(c);
    return colour;
}

// Reads the page once from top to bottom: values that are not finite, values
// outside --range, float values that an integer output cannot hold, the
// extremes, and the noise estimate when no sigma is given (fed the rows as
// they come, with the rows its patches reach back to).
PageScan scanPage(const std::string& path, const Picture& page, int index,
                  const DenoiseOptions& o, const std::string& output, std::int32_t readRows)
{
    const std::string& what = page.name;
    const std::vector<int> colour = colourChannels(page);
    const int n = int(colour.size());
    const std::size_t C = std::size_t(page.channels), W = std::size_t(page.cols);
    if (page.depth != PixelDepth::float32 && o.rangeLow)
        throw UserError(what + " holds " + (page.depth == PixelDepth::uint8 ? "8" : "16") +
                        "-bit levels, which are scaled by their type's range; --range is for "
                        "float data");
    std::optional<DataRange> userRange;
    if (o.rangeLow) {
        try {
            userRange = userDataRange(*o.rangeLow, *o.rangeHigh);
        } catch (const std::invalid_argument& e) {
            throw UserError("--range: " + std::string(e.what()));
        }
    }
    const bool unitOnly = page.depth == PixelDepth::float32 &&
                          outputDepth(output, o.depth ? *o.depth : page.depth) != PixelDepth::float32;
    std::unique_ptr<NoiseEstimator> estimator;
    if (!o.sigma) {
        try {
            estimator = std::make_unique<NoiseEstimator>(page.rows, page.cols, n);
        } catch (const std::invalid_argument& e) {
            throw UserError(what + ": " + e.what());
        }
    }

    PictureRows reader(path, page, index);
    std::vector<double> rows, band, next;
    std::int32_t bandTop = 0;
    double low = std::numeric_limits<double>::infinity(), high = -low;
    for (std::int32_t top = 0; top < page.rows; top += readRows) {
        const std::int32_t count = std::min(readRows, page.rows - top);
        reader.read(top, count, rows);
        for (std::int32_t r = 0; r < count; ++r)
            for (std::size_t j = 0; j < W; ++j)
                for (int k = 0; k < n; ++k) {
                    const double v = rows[(std::size_t(r) * W + j) * C + std::size_t(colour[k])];
                    if (!std::isfinite(v))
                        throw UserError(nonFiniteMessage(
                            what, NonFiniteValue(top + r, std::int32_t(j), k), n > 1));
                    low = std::min(low, v);
                    high = std::max(high, v);
                    if (userRange && (v < userRange->low || v > userRange->high))
                        throw UserError(what + ": the value " + formatNumber(v) + " at row " +
                                        std::to_string(top + r) + ", column " + std::to_string(j) +
                                        ", channel " + std::to_string(k) +
                                        " lies outside the data range [" +
                                        formatNumber(userRange->low) + ", " +
                                        formatNumber(userRange->high) + "]");
                    if (unitOnly && (v < 0.0 || v > 1.0))
                        throw UserError(what + " holds float values outside 0..1 (" +
                                        formatNumber(v) + "), which the integer samples of '" +
                                        output + "' cannot hold; write a float TIFF (.tif) instead");
                }
        if (!estimator)
            continue;
        // The estimate's next band: the rows kept from the last one that its
        // patches still reach, then the new rows, planar as the estimate takes them.
        const std::int32_t first = estimator->nextRow();
        const std::size_t kept = std::size_t(top - first), height = kept + std::size_t(count);
        next.resize(height * W * std::size_t(n));
        for (int k = 0; k < n; ++k)
            for (std::size_t j = 0; j < W; ++j) {
                double* to = next.data() + (std::size_t(k) * W + j) * height;
                const std::size_t lastHeight = band.size() / std::max<std::size_t>(W * std::size_t(n), 1);
                const double* from =
                    band.data() + (std::size_t(k) * W + j) * lastHeight + std::size_t(first - bandTop);
                std::copy(from, from + kept, to);
                for (std::int32_t r = 0; r < count; ++r)
                    to[kept + std::size_t(r)] =
                        rows[(std::size_t(r) * W + j) * C + std::size_t(colour[k])];
            }
        estimator->add(next.data(), first, std::int32_t(height));
        band.swap(next);
        bandTop = first;
    }

    PageScan scan;
    if (page.depth == PixelDepth::float32) {
        try {
            // The range depends on the extremes alone.
            const double extremes[2] = {low, high};
            scan.range = userRange ? *userRange : floatDataRange(extremes, 1, 2, 1);
        } catch (const std::invalid_argument& e) {
            throw UserError(what + ": " + e.what());
        }
    } else {
        scan.range = page.depth == PixelDepth::uint8 ? uint8Range : uint16Range;
    }
    if (o.sigma) {
        checkSigma(*o.sigma, scan.range.sigmaToUnit(*o.sigma));
        scan.sigma = *o.sigma;
        return scan;
    }
    if (low == high)
        throw UserError(what + ": the image is constant: its noise level cannot be estimated; "
                               "give sigma");
    scan.sigma = estimator->estimate();
    scan.estimated = true;
    if (!(scan.sigma > 0.0))
        throw UserError(what + ": no noise could be measured in the image (it is exactly "
                               "smooth); give sigma");
    return scan;
}

// Denoises a page band by band, tile by tile, each tile with its context,
// and hands each band of output rows to `write` as it is done.
void filterPage(const std::string& path, const Picture& page, int index, const PageScan& scan,
                const StreamPlan& plan, const DenoiseOptions& o, const WienerSettings& settings,
                RunProgress& progress, const OutputSet::RowWriter& write)
{
    TileGeometry g;
    g.blockSize = settings.blockSize;
    g.searchRadius = settings.searchRadius;
    g.step = settings.step;
    g.pilotPerTile = true;
    const std::vector<int> colour = colourChannels(page);
    const int n = int(colour.size());
    const std::size_t C = std::size_t(page.channels), W = std::size_t(page.cols);
    const std::string& what = page.name;

    sorvik::DenoiseOptions options;
    options.wiener = settings;
    options.threads = o.threads;
    DenoiseInput input;
    input.channels = n;
    input.range = scan.range;
    input.sigma = scan.sigma;

    PictureRows reader(path, page, index);
    // The input rows the current band's tiles need, row-major as read.
    std::vector<double> window, rows, tileIn, out;
    std::int32_t windowTop = 0, windowRows = 0;
    const std::int64_t tilesAcross = (page.cols + plan.coreCols - 1) / plan.coreCols;
    const std::int64_t tilesDown = (page.rows + plan.coreRows - 1) / plan.coreRows;
    for (std::int32_t c0 = 0; c0 < page.rows; c0 += plan.coreRows) {
        const std::int32_t c1 = std::min(page.rows, c0 + plan.coreRows);
        const std::size_t M = std::size_t(c1 - c0);
        Span tileRows;
        try {
            tileRows = tileSpan(g, page.rows, Span{c0, c1});
        } catch (const std::invalid_argument& e) {
            throw UserError(what + ": " + e.what());
        }
        if (tileRows.begin > windowTop) {
            const std::int32_t drop = std::min(tileRows.begin - windowTop, windowRows);
            window.erase(window.begin(), window.begin() + std::ptrdiff_t(std::size_t(drop) * W * C));
            windowTop += drop;
            windowRows -= drop;
        }
        while (windowTop + windowRows < tileRows.end) {
            const std::int32_t top = windowTop + windowRows;
            const std::int32_t count = std::min(plan.readRows, tileRows.end - top);
            reader.read(top, count, rows);
            window.insert(window.end(), rows.begin(), rows.end());
            windowRows += count;
        }

        out.assign(M * W * C, 0.0);
        if (page.alpha >= 0)
            for (std::size_t i = 0; i < M; ++i)
                for (std::size_t j = 0; j < W; ++j)
                    out[std::size_t(page.alpha) * M * W + i + j * M] =
                        window[((std::size_t(c0 - windowTop) + i) * W + j) * C +
                               std::size_t(page.alpha)];
        for (std::int32_t d0 = 0; d0 < page.cols; d0 += plan.coreCols) {
            const std::int32_t d1 = std::min(page.cols, d0 + plan.coreCols);
            Tile tile;
            tile.rows = tileRows;
            tile.cols = tileSpan(g, page.cols, Span{d0, d1});
            tile.coreRows = Span{c0, c1};
            tile.coreCols = Span{d0, d1};
            const std::size_t tr = std::size_t(tile.rows.size()), tc = std::size_t(tile.cols.size());
            tileIn.resize(tr * tc * std::size_t(n));
            for (int k = 0; k < n; ++k)
                for (std::size_t j = 0; j < tc; ++j) {
                    double* to = tileIn.data() + (std::size_t(k) * tc + j) * tr;
                    const double* from = window.data() +
                                         (std::size_t(tile.rows.begin - windowTop) * W +
                                          std::size_t(tile.cols.begin) + j) * C +
                                         std::size_t(colour[k]);
                    for (std::size_t i = 0; i < tr; ++i)
                        to[i] = from[i * W * C];
                }
            input.rows = tile.rows.size();
            input.cols = tile.cols.size();
            input.pixels = tileIn.data();
            std::vector<double> core;
            try {
                core = denoiseTile(page.rows, page.cols, tile, input, options);
            } catch (const NonFiniteValue& e) {
                throw UserError(nonFiniteMessage(what, e, n > 1));
            } catch (const std::invalid_argument& e) {
                throw UserError(what + ": " + e.what());
            } catch (const std::runtime_error& e) {
                throw UserError(what + ": " + e.what() + ". Nothing was written.");
            }
            const std::size_t cc = std::size_t(d1 - d0);
            for (int k = 0; k < n; ++k)
                for (std::size_t j = 0; j < cc; ++j)
                    std::copy(core.data() + (std::size_t(k) * cc + j) * M,
                              core.data() + (std::size_t(k) * cc + j + 1) * M,
                              out.data() + std::size_t(colour[k]) * M * W +
                                  (std::size_t(d0) + j) * M);
            const std::int64_t done = (c0 / plan.coreRows) * tilesAcross + d0 / plan.coreCols + 1;
            progress.within(double(done) / double(tilesDown * tilesAcross));
        }
        write(c0, c1 - c0, out);
    }
}

// Denoises a file whose pages `headers` describes within the memory budget:
// every page scanned first (so that anything that refuses the file does so
// before any filtering), then filtered band by band into the output.
void denoiseStreamed(const std::string& input, const std::string& output,
                     const std::vector<Picture>& headers, const DenoiseOptions& o,
                     const WienerSettings& settings, RunProgress& progress,
                     const std::string& notePrefix, std::uint64_t resident)
{
    std::vector<StreamPlan> plans;
    for (const Picture& page : headers)
        plans.push_back(planStream(page, settings, o.threads, !o.sigma, o.memory, resident));
    std::vector<PageScan> scans;
    const bool several = headers.size() > 1;
    for (std::size_t k = 0; k < headers.size(); ++k) {
        scans.push_back(scanPage(input, headers[k], int(k), o, output, plans[k].readRows));
        if (scans.back().estimated && !o.quiet) {
            char text[64];
            std::snprintf(text, sizeof text, "%.4g", scans.back().sigma);
            progress.bar->note(notePrefix + (several ? "page " + std::to_string(k + 1) + ": " : "") +
                               "estimated sigma: " + text + " (" + unitsOf(headers[k].depth) + ")");
        }
    }
    if (!o.quiet)
        for (std::size_t k = 0; k < headers.size(); ++k) {
            char text[160];
            std::snprintf(text, sizeof text,
                          "streamed within --memory %s: bands of %d rows, tiles of %d columns, "
                          "%.0f%% filtered again as context",
                          memoryText(o.memory).c_str(), plans[k].coreRows, plans[k].coreCols,
                          100.0 * plans[k].overhead);
            progress.bar->note(notePrefix + (several ? "page " + std::to_string(k + 1) + ": " : "") +
                               text);
        }
    progress.pages = headers.size();
    OutputSet outputs;
    outputs.addPictureRows(output, headers, o.depth,
                           [&](std::size_t k, const OutputSet::RowWriter& write) {
                               progress.page = k;
                               filterPage(input, headers[k], int(k), scans[k], plans[k], o,
                                          settings, progress, write);
                           });
    outputs.commit();
}

// Reads, denoises and writes one file; `output` is a file path (for
// standard output, one in a scratch folder).
void denoiseFile(const std::string& input, const std::string& shownInput, const std::string& output,
                 const DenoiseOptions& o, const WienerSettings& settings, RunProgress& progress,
                 const std::string& notePrefix)
{
    const std::vector<Picture> headers = readPictureHeaders(input, "noisy", o.maxPixels, shownInput);
    checkPictureOutput(output, headers[0], headers.size(),
                       outputDepth(output, o.depth ? *o.depth : headers[0].depth));
    const std::uint64_t resident = residentBytes();
    if (inMemoryBytes(headers, settings, o.threads, !o.sigma) + resident > o.memory) {
        denoiseStreamed(input, output, headers, o, settings, progress, notePrefix, resident);
        return;
    }
    std::vector<Picture> pages = readPictures(input, "noisy", o.maxPixels, shownInput);
    const std::string what = "noisy image '" + shownInput + "'";
    // Float data off the 0..1 scale has no integer levels to go to: written
    // to 8 or 16 bits it would come back saturated, every pixel, as success.
    for (std::size_t k = 0; k < pages.size(); ++k) {
        const Picture& page = pages[k];
        if (page.depth != PixelDepth::float32 ||
            outputDepth(output, o.depth ? *o.depth : page.depth) == PixelDepth::float32)
            continue;
        for (std::size_t i = 0; i < page.pixels.size(); ++i)
            // A value that is not finite is the denoiser's to report, with its position.
            if (int(i / page.plane()) != page.alpha && std::isfinite(page.pixels[i]) &&
                (page.pixels[i] < 0.0 || page.pixels[i] > 1.0))
                throw UserError(what + (pages.size() > 1 ? ", page " + std::to_string(k + 1) : "") +
                                " holds float values outside 0..1 (" + formatNumber(page.pixels[i]) +
                                "), which the integer samples of '" + output +
                                "' cannot hold; write a float TIFF (.tif) instead");
    }
    progress.pages = pages.size();
    for (std::size_t k = 0; k < pages.size(); ++k) {
        progress.page = k;
        const bool several = pages.size() > 1;
        denoisePage(pages[k], several ? what + ", page " + std::to_string(k + 1) : what, o, settings,
                    progress, notePrefix + (several ? "page " + std::to_string(k + 1) + ": " : ""));
    }
    OutputSet outputs;
    outputs.addPictures(output, pages, o.depth);
    outputs.commit();
}

// The Wiener stage alone, with the user's pilot: grey images only.
void denoiseWithPilot(const DenoiseOptions& o, const std::string& noisyPath, WienerSettings settings)
{
    if (!o.sigma)
        throw UserError("--pilot needs --sigma: the noise level is estimated only without a pilot");
    const GreyImage noisy = readGreyImage(noisyPath, "noisy", o.maxPixels);
    checkFinite(noisy, "noisy", noisyPath);
    const double sigma = *o.sigma / depthScale(noisy.depth);
    checkSigma(*o.sigma, sigma);
    checkScale(noisy, "noisy", noisyPath, noiseMargin(sigma));

    GreyImage pilotImage = readGreyImage(o.pilotPath, "pilot", o.maxPixels);
    if (pilotImage.rows != noisy.rows || pilotImage.cols != noisy.cols)
        throw UserError("the pilot image '" + o.pilotPath + "' is " + std::to_string(pilotImage.cols) +
                        " x " + std::to_string(pilotImage.rows) + " pixels but the noisy image '" +
                        noisyPath + "' is " + std::to_string(noisy.cols) + " x " +
                        std::to_string(noisy.rows) + " (width x height); they must be the same size");
    checkFinite(pilotImage, "pilot", o.pilotPath);

    settings.sigma = sigma;
    const FilterSetup setup = prepare(settings, noisy.rows, noisy.cols);
    const PixelDepth depth = outputDepth(o.outputPath, o.depth ? *o.depth : noisy.depth);
    checkOutput(o.outputPath, noisy.rows, noisy.cols, depth);

    // Pilot images go to the filter in single precision.
    const std::vector<float> pilot(pilotImage.pixels.begin(), pilotImage.pixels.end());
    const std::vector<float> estimate =
        wienerFilter(setup, noisy.pixels.data(), pilot.data(), o.threads,
                     !o.quiet && (o.progress || progressWanted(false)));
    writeGreyImage(o.outputPath, noisy.rows, noisy.cols, estimate.data(), depth);
}

bool isFolder(const std::string& path)
{
    std::error_code ec;
    return (!path.empty() && path.back() == '/') || fs::is_directory(path, ec);
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

int runDenoise(const DenoiseOptions& o)
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
    const double scale = depthScale(clean.depth);
    const std::int64_t bad = firstNonFinite(clean.pixels.data(), count);
    if (bad >= 0)
        throw UserError(what + " has a pixel that is not a finite number");
    if (clean.depth == PixelDepth::float32 &&
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
    sorvik::DenoiseOptions options;
    options.threads = o.threads;
    options.progress = [&progress](DenoiseStage stage, int channel, std::int32_t done,
                                   std::int32_t total) { progress.report(stage, channel, done, total); };
    DenoiseInput input;
    input.rows = M;
    input.cols = N;
    input.channels = clean.channels;
    input.pixels = noisy.pixels.data();
    input.range = clean.depth == PixelDepth::float32
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
    const double estimated = estimateNoiseSigma(noisy.pixels.data(), M, N, clean.channels);

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
    std::printf("estimated sigma %.2f of 255 (the denoise used the true one)\n",
                estimated / scale * 255.0);
    std::printf("PSNR against the clean image:\n");
    std::printf("  noisy     %6.2f dB\n", psnrOf(noisy));
    std::printf("  estimate  %6.2f dB  (sorvik denoise, no pilot given)\n", psnrOf(estimate));
    std::printf("wrote noisy.png (the exact denoiser input), estimate.png and comparison.png\n"
                "(clean | noisy | estimate) to %s\n",
                o.outputDir.c_str());
}

} // namespace sorvik::cli
