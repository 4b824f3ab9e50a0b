#include "cli/image_io.h"

#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <limits>
#include <type_traits>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sorvik::cli {

namespace fs = std::filesystem;

namespace {

std::string quoted(const std::string& path) { return "'" + path + "'"; }

std::string lowerExtension(const std::string& path)
{
    std::string ext = fs::path(path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return ext;
}

std::string oiioError()
{
    std::string message = OIIO::geterror();
    while (!message.empty() && std::isspace(static_cast<unsigned char>(message.back())))
        message.pop_back();
    return message;
}

// The one temporary file being written, for the signal handler. Only one
// output is ever in progress at a time.
char pendingPath[PATH_MAX + 1];
volatile std::sig_atomic_t pendingSet = 0;

extern "C" void removePendingAndReraise(int signal)
{
    if (pendingSet)
        ::unlink(pendingPath);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// A hidden file next to the target, with the target's extension so that the
// image library picks the same format. Removed unless committed.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::string& target)
    {
        const fs::path t(target);
        const std::string ext = t.extension().string();
        fs::path dir = t.parent_path();
        std::string pattern =
            (dir.empty() ? fs::path(".") : dir) / ("." + t.filename().string() + ".XXXXXX" + ext);
        if (pattern.size() > PATH_MAX)
            throw UserError("output path " + quoted(target) + " is too long");
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        const int fd = ::mkstemps(name.data(), int(ext.size()));
        if (fd < 0)
            throw UserError("cannot create a file in the directory of " + quoted(target) + ": " +
                            std::strerror(errno));
        path_ = name.data();
        // mkstemps makes the file private; give it the mode a new file would get.
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(fd, 0666 & ~mask);
        ::close(fd);
        std::memcpy(pendingPath, path_.c_str(), path_.size() + 1);
        pendingSet = 1;
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile()
    {
        pendingSet = 0;
        if (!path_.empty())
            ::unlink(path_.c_str());
    }

    const std::string& path() const { return path_; }

    // Flushes the finished file to disk before it takes the target's name, so
    // that a crash cannot leave a renamed but empty file.
    void commitTo(const std::string& target)
    {
        const int fd = ::open(path_.c_str(), O_RDONLY);
        if (fd < 0 || ::fsync(fd) != 0) {
            const int err = errno;
            if (fd >= 0)
                ::close(fd);
            throw UserError("cannot flush " + quoted(target) + ": " + std::strerror(err));
        }
        ::close(fd);
        if (::rename(path_.c_str(), target.c_str()) != 0)
            throw UserError("cannot write " + quoted(target) + ": " + std::strerror(errno));
        pendingSet = 0;
        path_.clear();
    }

private:
    std::string path_;
};

template <typename T>
void writeImage(const std::string& path, std::int32_t rows, std::int32_t cols, const T* pixels,
                PixelDepth depth)
{
    checkOutputPath(path);
    if (rows < 1 || cols < 1)
        throw UserError("cannot write " + quoted(path) + ": the image is empty");
    const std::size_t M = std::size_t(rows);
    const std::size_t N = std::size_t(cols);

    // Row-major samples of the target type; integer depths clip and round.
    std::vector<unsigned char> bytes;
    OIIO::TypeDesc type;
    auto fill = [&](auto sample, double levels) {
        using S = decltype(sample);
        std::vector<S> data(M * N);
        for (std::size_t i = 0; i < M; ++i)
            for (std::size_t j = 0; j < N; ++j) {
                const double v = double(pixels[i + j * M]);
                if (levels == 0.0)
                    data[i * N + j] = S(v);
                else
                    data[i * N + j] = S(std::floor(std::clamp(v, 0.0, 1.0) * levels + 0.5));
            }
        bytes.resize(data.size() * sizeof(S));
        std::memcpy(bytes.data(), data.data(), bytes.size());
    };
    switch (depth) {
    case PixelDepth::uint8:
        type = OIIO::TypeDesc::UINT8;
        fill(std::uint8_t{}, 255.0);
        break;
    case PixelDepth::uint16:
        type = OIIO::TypeDesc::UINT16;
        fill(std::uint16_t{}, 65535.0);
        break;
    case PixelDepth::float32:
        type = OIIO::TypeDesc::FLOAT;
        fill(float{}, 0.0);
        break;
    }

    TemporaryFile temporary(path);
    auto out = OIIO::ImageOutput::create(temporary.path());
    if (!out)
        throw UserError("cannot write " + quoted(path) + ": " + oiioError());
    const OIIO::ImageSpec layout(cols, rows, 1, type);
    if (!out->open(temporary.path(), layout) || !out->write_image(type, bytes.data()) ||
        !out->close())
        throw UserError("cannot write " + quoted(path) + ": " + out->geterror());
    out.reset();
    temporary.commitTo(path);
}

} // namespace

GreyImage readGreyImage(const std::string& path, const std::string& role)
{
    const std::string what = role + " image " + quoted(path);
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        throw UserError(what + ": " + std::strerror(errno));
    if (S_ISDIR(st.st_mode))
        throw UserError(what + " is a directory");
    if (::access(path.c_str(), R_OK) != 0)
        throw UserError(what + ": " + std::strerror(errno));

    auto in = OIIO::ImageInput::open(path);
    if (!in) {
        const std::string detail = oiioError();
        throw UserError(what + " is not in an image format sorvik can read" +
                        (detail.empty() ? std::string() : " (" + detail + ")"));
    }
    const OIIO::ImageSpec& header = in->spec();
    if (header.deep || header.depth > 1)
        throw UserError(what + " is not a flat 2-D image");
    if (header.width < 1 || header.height < 1)
        throw UserError(what + " is empty");
    const int channels = header.nchannels;
    const int alpha = header.alpha_channel >= 0 && header.alpha_channel < channels ? 1 : 0;
    const int colours = channels - alpha;
    if (colours != 1 && colours != 3)
        throw UserError(what + " has " + std::to_string(channels) +
                        " channels; sorvik reads grey images (one channel, or red, green and "
                        "blue that are equal everywhere)");

    const std::size_t M = std::size_t(header.height);
    const std::size_t N = std::size_t(header.width);
    GreyImage image;
    image.rows = header.height;
    image.cols = header.width;
    image.pixels.resize(M * N);
    // Whole levels are divided by their maximum here, correctly rounded, so
    // that level q of an 8-bit file is exactly q / 255 whatever conversion the
    // image library would apply.
    auto load = [&](auto sample, OIIO::TypeDesc type, double scale) {
        using S = decltype(sample);
        std::vector<S> samples(M * N * std::size_t(channels));
        if (!in->read_image(0, 0, 0, channels, type, samples.data()))
            throw UserError(what + " could not be read: " + in->geterror());
        // Colour is refused rather than converted: any weighting of the
        // channels changes the noise level the caller measured. Grey saved as
        // colour, and an alpha channel that hides nothing, lose nothing.
        std::vector<int> colour;
        for (int c = 0; c < channels; ++c)
            if (!alpha || c != header.alpha_channel)
                colour.push_back(c);
        const S opaque = std::is_integral_v<S> ? std::numeric_limits<S>::max() : S(1);
        for (std::size_t i = 0; i < M; ++i)
            for (std::size_t j = 0; j < N; ++j) {
                const S* pixel = samples.data() + (i * N + j) * std::size_t(channels);
                const S grey = pixel[colour[0]];
                if (colours == 3) {
                    if (pixel[colour[1]] != grey || pixel[colour[2]] != grey)
                        throw UserError(what + " is in colour (row " + std::to_string(i) +
                                        ", column " + std::to_string(j) +
                                        " is not grey); sorvik filters grey images only. "
                                        "Convert it to grey first, choosing the conversion "
                                        "that suits its noise.");
                }
                if (alpha && pixel[header.alpha_channel] != opaque)
                    throw UserError(what + " is transparent at row " + std::to_string(i) +
                                    ", column " + std::to_string(j) +
                                    "; sorvik reads opaque images only");
                image.pixels[i + j * M] = double(grey) / scale;
            }
    };
    switch (header.format.basetype) {
    case OIIO::TypeDesc::UINT8:
        load(std::uint8_t{}, OIIO::TypeDesc::UINT8, 255.0);
        image.depth = PixelDepth::uint8;
        break;
    case OIIO::TypeDesc::UINT16:
        load(std::uint16_t{}, OIIO::TypeDesc::UINT16, 65535.0);
        image.depth = PixelDepth::uint16;
        break;
    default:
        // Float samples as they are; other integer types by the library's
        // own normalisation.
        load(double{}, OIIO::TypeDesc::DOUBLE, 1.0);
        image.depth = PixelDepth::float32;
        break;
    }
    return image;
}

void checkOutputPath(const std::string& path)
{
    const std::string what = "output " + quoted(path);
    if (fs::path(path).extension().empty())
        throw UserError(what + " has no extension to name its format (.png, .tif, ...)");
    {
        auto out = OIIO::ImageOutput::create(path);
        if (!out)
            throw UserError(what + ": no image format is known for the extension " +
                            quoted(fs::path(path).extension().string()));
    }
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        throw UserError(what + " is a directory");
    const fs::path parent = fs::path(path).parent_path();
    const std::string dir = parent.empty() ? "." : parent.string();
    if (::stat(dir.c_str(), &st) != 0)
        throw UserError(what + ": directory " + quoted(dir) + ": " + std::strerror(errno));
    if (!S_ISDIR(st.st_mode))
        throw UserError(what + ": " + quoted(dir) + " is not a directory");
    if (::access(dir.c_str(), W_OK | X_OK) != 0)
        throw UserError(what + ": directory " + quoted(dir) + ": " + std::strerror(errno));
}

PixelDepth outputDepth(const std::string& path, PixelDepth wanted)
{
    const std::string ext = lowerExtension(path);
    if (ext == ".png" && wanted == PixelDepth::float32)
        return PixelDepth::uint16;
    if (ext == ".jpg" || ext == ".jpeg")
        return PixelDepth::uint8;
    return wanted;
}

void writeGreyImage(const std::string& path, std::int32_t rows, std::int32_t cols,
                    const float* pixels, PixelDepth depth)
{
    writeImage(path, rows, cols, pixels, depth);
}

void writeGreyImage(const std::string& path, std::int32_t rows, std::int32_t cols,
                    const double* pixels, PixelDepth depth)
{
    writeImage(path, rows, cols, pixels, depth);
}

void installInterruptCleanup()
{
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        // A signal the caller chose to ignore (nohup, a background job) stays ignored.
        struct sigaction previous {};
        if (::sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN)
            continue;
        struct sigaction action {};
        action.sa_handler = removePendingAndReraise;
        sigemptyset(&action.sa_mask);
        ::sigaction(signal, &action, nullptr);
    }
}

} // namespace sorvik::cli
