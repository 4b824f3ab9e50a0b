#include "cli/image_io.h"

#include "frontend/settings.h"
#include "sorvik/denoise.h"

#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <limits>
#include <sys/stat.h>
#include <type_traits>
#include <unistd.h>

namespace sorvik::cli {

namespace fs = std::filesystem;

namespace {

std::string inQuotes(const std::string& path) { return "'" + path + "'"; }

std::string lowerExtension(const std::string& path)
{
    std::string ext = fs::path(path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return ext;
}

// The image library's messages come as several lines that repeat one cause
// ("Read error: hit end of file", then the same wrapped twice); the first line
// says it.
std::string firstLine(std::string message)
{
    message = message.substr(0, message.find('\n'));
    while (!message.empty() && std::isspace(static_cast<unsigned char>(message.back())))
        message.pop_back();
    return message;
}

std::string withDetail(const std::string& text, const std::string& detail)
{
    return detail.empty() ? text : text + " (" + detail + ")";
}

// Colour samples exactly as the file holds them: without this the library
// multiplies them by alpha on reading (and divides on writing), which
// loses the colour under transparent pixels and rounds the rest.
const OIIO::ImageSpec& unassociatedAlpha()
{
    static const OIIO::ImageSpec config = [] {
        OIIO::ImageSpec layout;
        layout.attribute("oiio:UnassociatedAlpha", 1);
        return layout;
    }();
    return config;
}

// Codec libraries underneath the image library print their own copy of an
// error to standard error; the tool prints one message of its own instead.
class QuietStderr {
public:
    QuietStderr()
    {
        std::fflush(stderr);
        saved_ = ::dup(STDERR_FILENO);
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ >= 0 && null >= 0)
            ::dup2(null, STDERR_FILENO);
        if (null >= 0)
            ::close(null);
    }
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;
    ~QuietStderr()
    {
        if (saved_ < 0)
            return;
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
    }

private:
    int saved_ = -1;
};

// The temporary files being written, for the signal handler: fixed storage,
// since a handler may not allocate. A slot's path is complete before its flag
// is set.
constexpr int pendingSlots = 16;
char pendingPaths[pendingSlots][PATH_MAX + 1];
volatile std::sig_atomic_t pendingUsed[pendingSlots];

extern "C" void removePendingAndReraise(int signal)
{
    for (int i = 0; i < pendingSlots; ++i)
        if (pendingUsed[i] == 1)
            ::unlink(pendingPaths[i]);
    // Scratch folders go once the files in them are gone.
    for (int i = 0; i < pendingSlots; ++i)
        if (pendingUsed[i] == 2)
            ::rmdir(pendingPaths[i]);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// Signals whose default action ends the process; each would otherwise leave
// a temporary file behind.
constexpr int fatalSignals[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT,   SIGUSR1, SIGUSR2,
                                SIGALRM, SIGPIPE, SIGXFSZ, SIGVTALRM, SIGPROF, SIGXCPU};

// Holds the fatal signals off while a temporary file is made and recorded, so
// that none can arrive between the two.
class SignalsHeld {
public:
    SignalsHeld()
    {
        sigset_t set;
        sigemptyset(&set);
        for (int s : fatalSignals)
            sigaddset(&set, s);
        ::sigprocmask(SIG_BLOCK, &set, &previous_);
    }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;
    ~SignalsHeld() { ::sigprocmask(SIG_SETMASK, &previous_, nullptr); }

private:
    sigset_t previous_;
};

int freePendingSlot()
{
    for (int i = 0; i < pendingSlots; ++i)
        if (!pendingUsed[i])
            return i;
    throw std::logic_error("more temporary files at once than the signal handler can track");
}

// Follows symbolic links to the file a write through `path` would reach,
// whether or not that file exists yet, so that the link itself survives.
std::string finalTarget(const std::string& path)
{
    std::string current = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return current;
        std::vector<char> link(PATH_MAX + 1);
        const ssize_t n = ::readlink(current.c_str(), link.data(), PATH_MAX);
        if (n < 0)
            throw UserError("output " + inQuotes(path) + ": " + std::strerror(errno));
        const fs::path next(std::string(link.data(), std::size_t(n)));
        current = next.is_absolute() ? next.string() : (fs::path(current).parent_path() / next).string();
    }
    throw UserError("output " + inQuotes(path) + ": too many levels of symbolic links");
}

std::string directoryOf(const std::string& path)
{
    const fs::path parent = fs::path(path).parent_path();
    return parent.empty() ? "." : parent.string();
}

// Short, so that any legal target name leaves room for it: a long target
// name with a suffix added would exceed the file system's name limit. The
// target's extension is kept so that the image library picks its format.
const std::string temporaryPrefix = ".sorvik-XXXXXX";

std::size_t nameMax(const std::string& directory)
{
    const long n = ::pathconf(directory.c_str(), _PC_NAME_MAX);
    return n > 0 ? std::size_t(n) : std::size_t(NAME_MAX);
}

// A hidden file in `directory`, recorded for the signal handler and removed
// unless committed. It gets the mode the target has, or else the one a new
// file would get.
class TemporaryFile {
public:
    TemporaryFile(const std::string& directory, const std::string& extension,
                  const std::string& target)
    {
        const std::string pattern = (fs::path(directory) / (temporaryPrefix + extension)).string();
        if (pattern.size() > PATH_MAX || temporaryPrefix.size() + extension.size() > nameMax(directory))
            throw UserError("output " + inQuotes(target) + ": the path is too long");
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        const SignalsHeld held;
        slot_ = freeSlot();
        const int fd = ::mkstemps(name.data(), int(extension.size()));
        if (fd < 0)
            throw UserError("cannot create a file in the directory of " + inQuotes(target) + ": " +
                            std::strerror(errno));
        path_ = name.data();
        std::memcpy(pendingPaths[slot_], path_.c_str(), path_.size() + 1);
        pendingUsed[slot_] = 1;

        struct stat st;
        if (::stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            // Owner and group are kept where the user may set them; a failure
            // leaves the new file the user's own, as any new file would be.
            const int kept = ::fchown(fd, st.st_uid, st.st_gid);
            static_cast<void>(kept);
            ::fchmod(fd, st.st_mode & 07777);
        } else {
            const mode_t mask = ::umask(0);
            ::umask(mask);
            ::fchmod(fd, 0666 & ~mask);
        }
        ::close(fd);
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile()
    {
        if (path_.empty())
            return;
        ::unlink(path_.c_str());
        pendingUsed[slot_] = 0;
    }

    const std::string& path() const { return path_; }

    // Flushes the finished file to disk, so that a crash after the rename
    // cannot leave a renamed but empty file.
    void flush(const std::string& target)
    {
        const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || ::fsync(fd) != 0) {
            const int err = errno;
            if (fd >= 0)
                ::close(fd);
            throw UserError("cannot flush " + inQuotes(target) + ": " + std::strerror(err));
        }
        ::close(fd);
    }

    // False, with errno set, when the rename failed.
    bool renameTo(const std::string& target)
    {
        if (::rename(path_.c_str(), target.c_str()) != 0)
            return false;
        pendingUsed[slot_] = 0;
        path_.clear();
        return true;
    }

private:
    static int freeSlot() { return freePendingSlot(); }

    std::string path_;
    int slot_ = 0;
};

OIIO::TypeDesc sampleType(PixelDepth depth)
{
    switch (depth) {
    case PixelDepth::uint8:
        return OIIO::TypeDesc::UINT8;
    case PixelDepth::uint16:
        return OIIO::TypeDesc::UINT16;
    case PixelDepth::float32:
        break;
    }
    return OIIO::TypeDesc::FLOAT;
}

// Formats the image library opens for writing but that write no file, or no
// grey one.
bool writesNoGreyFile(const std::string& format)
{
    return format == "null" || format == "term" || format == "heif";
}

// Row-major samples of the target type; integer depths clip and round.
template <typename T>
std::vector<unsigned char> samplesFor(std::int32_t rows, std::int32_t cols, const T* pixels,
                                      PixelDepth depth)
{
    const std::size_t M = std::size_t(rows);
    const std::size_t N = std::size_t(cols);
    std::vector<unsigned char> bytes;
    auto fill = [&](auto sample, double levels) {
        using S = decltype(sample);
        bytes.resize(M * N * sizeof(S));
        for (std::size_t i = 0; i < M; ++i)
            for (std::size_t j = 0; j < N; ++j) {
                const double v = double(pixels[i + j * M]);
                const S s = levels == 0.0 ? S(v) : S(std::floor(std::clamp(v, 0.0, 1.0) * levels + 0.5));
                std::memcpy(bytes.data() + (i * N + j) * sizeof(S), &s, sizeof(S));
            }
    };
    switch (depth) {
    case PixelDepth::uint8:
        fill(std::uint8_t{}, 255.0);
        break;
    case PixelDepth::uint16:
        fill(std::uint16_t{}, 65535.0);
        break;
    case PixelDepth::float32:
        fill(float{}, 0.0);
        break;
    }
    return bytes;
}

// Some writers (PNG's among them) report success after a short write, when
// the disk is full or a file-size limit is reached; reading the finished
// file back, every page to its last row, is what tells a whole file from a
// truncated one before it replaces anything.
void checkReadsBack(const std::string& file, const std::string& path, std::size_t pages)
{
    const std::string failure = "cannot write " + inQuotes(path) + ": the written file is incomplete";
    auto in = OIIO::ImageInput::open(file, &unassociatedAlpha());
    if (!in)
        throw UserError(withDetail(failure, firstLine(OIIO::geterror())));
    std::vector<unsigned char> strip;
    for (std::size_t page = 0; page < pages; ++page) {
        if (!in->seek_subimage(int(page), 0))
            throw UserError(failure + " (" + std::to_string(page) + " of " + std::to_string(pages) +
                            " pages)");
        const OIIO::ImageSpec layout = in->spec();
        const int rowsAtOnce = 64;
        strip.resize(std::size_t(layout.width) * std::size_t(layout.nchannels) * rowsAtOnce);
        for (int top = 0; top < layout.height; top += rowsAtOnce) {
            const int end = std::min(layout.height, top + rowsAtOnce);
            if (!in->read_scanlines(int(page), 0, top, end, 0, 0, layout.nchannels,
                                    OIIO::TypeDesc::UINT8, strip.data()) ||
                in->has_error())
                throw UserError(withDetail(failure, firstLine(in->geterror())));
        }
    }
}

} // namespace

struct OutputSet::Pending {
    std::string path;   // as the user named it
    std::string target; // the file it reaches through links
    TemporaryFile file;

    Pending(const std::string& p, const std::string& t)
        : path(p), target(t), file(directoryOf(t), fs::path(p).extension().string(), t)
    {
    }
};

namespace {

// Regular, readable files only: probing a device or a FIFO for its format
// waits for data that may never come, or never end.
void checkReadable(const std::string& path, const std::string& what)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        throw UserError(what + ": " + std::strerror(errno));
    if (S_ISDIR(st.st_mode))
        throw UserError(what + " is a directory");
    if (!S_ISREG(st.st_mode))
        throw UserError(what + " is not a regular file (a device, FIFO or socket)");
    if (::access(path.c_str(), R_OK) != 0)
        throw UserError(what + ": " + std::strerror(errno));
}

// What every reader asks of a page's header before a pixel is stored: a flat
// image that is not empty...
void checkFlat(const OIIO::ImageSpec& header, const std::string& what)
{
    if (header.deep || header.depth > 1)
        throw UserError(what + " is not a flat 2-D image");
    if (header.width < 1 || header.height < 1)
        throw UserError(what + " is empty");
}

// ... of a size the filter can take and within the caller's pixel budget
// (`pixelsSoFar` counts the earlier pages of a stack, `pageIndex` says which
// this is).
void checkSize(const OIIO::ImageSpec& header, const std::string& what, std::uint64_t maxPixels,
               std::uint64_t& pixelsSoFar, int pageIndex)
{
    const std::uint64_t W = std::uint64_t(header.width);
    const std::uint64_t H = std::uint64_t(header.height);
    const std::string size = std::to_string(W) + " x " + std::to_string(H) + " pixels";
    if (W * H > std::uint64_t(maxImagePixels))
        throw UserError(what + " is too large: " + size + ", more than the " +
                        std::to_string(maxImagePixels) + " sorvik can filter");
    pixelsSoFar += W * H;
    if (maxPixels != 0 && pixelsSoFar > maxPixels)
        throw UserError(what + " is too large: " +
                        (pageIndex == 0 ? size
                                        : std::to_string(pixelsSoFar) + " pixels in " +
                                              std::to_string(pageIndex + 1) + " pages") +
                        ", more than the limit of " + std::to_string(maxPixels) +
                        " (--max-pixels raises it)");
}

std::string pageName(const std::string& file, bool several, int page)
{
    return several ? file + ", page " + std::to_string(page + 1) : file;
}

} // namespace

GreyImage readGreyImage(const std::string& path, const std::string& role, std::uint64_t maxPixels)
{
    const std::string what = role + " image " + inQuotes(path);
    checkReadable(path, what);
    const QuietStderr quiet;
    auto in = OIIO::ImageInput::open(path);
    if (!in)
        throw UserError(withDetail(what + " is not in an image format sorvik can read",
                                   firstLine(OIIO::geterror())));
    const OIIO::ImageSpec& header = in->spec();
    checkFlat(header, what);
    const int channels = header.nchannels;
    const int alpha = header.alpha_channel >= 0 && header.alpha_channel < channels ? 1 : 0;
    const int colours = channels - alpha;
    if (colours != 1 && colours != 3)
        throw UserError(what + " has " + std::to_string(channels) +
                        " channels; sorvik reads grey images (one channel, or red, green and "
                        "blue that are equal everywhere)");

    // The header alone says how much the pixels would take; nothing is
    // stored before it passes.
    std::uint64_t pixels = 0;
    checkSize(header, what, maxPixels, pixels, 0);

    const std::size_t M = std::size_t(header.height);
    const std::size_t N = std::size_t(header.width);
    GreyImage image;
    image.rows = header.height;
    image.cols = header.width;
    image.lowest = std::numeric_limits<double>::infinity();
    image.highest = -std::numeric_limits<double>::infinity();
    std::vector<int> colour;
    for (int c = 0; c < channels; ++c)
        if (!alpha || c != header.alpha_channel)
            colour.push_back(c);

    // Rows arrive a strip at a time into a buffer that grows with them, so a
    // header that promises more than the file holds costs only what it holds.
    std::vector<double> rowMajor;
    // Whole levels are divided by their maximum here, correctly rounded, so
    // that level q of an 8-bit file is exactly q / 255 whatever conversion the
    // image library would apply.
    Picture layout;
    layout.rows = header.height;
    layout.cols = header.width;
    layout.channels = channels;
    layout.tileHeight = header.tile_width > 0 ? std::max(header.tile_height, 1) : 0;
    layout.name = what;
    double scale = 1.0, opaque = 1.0;
    switch (header.format.basetype) {
    case OIIO::TypeDesc::UINT8:
        layout.depth = PixelDepth::uint8;
        scale = opaque = 255.0;
        break;
    case OIIO::TypeDesc::UINT16:
        layout.depth = PixelDepth::uint16;
        scale = opaque = 65535.0;
        break;
    default:
        // Float samples as they are; other integer types by the library's
        // own normalisation.
        layout.depth = PixelDepth::float32;
        break;
    }
    image.depth = layout.depth;
    const int alphaChannel = header.alpha_channel;
    in->close();
    in.reset();

    PictureRows source(path, layout, 0);
    const std::size_t rowSamples = N * std::size_t(channels);
    const std::size_t stripRows = std::clamp<std::size_t>((std::size_t(1) << 20) / rowSamples, 1, M);
    std::vector<double> strip;
    for (std::size_t top = 0; top < M; top += stripRows) {
        const std::size_t count = std::min(stripRows, M - top);
        source.read(std::int32_t(top), std::int32_t(count), strip);
        if (rowMajor.size() + count * N > rowMajor.capacity())
            rowMajor.reserve(std::max(2 * rowMajor.capacity(), rowMajor.size() + count * N));
        for (std::size_t r = 0; r < count; ++r)
            for (std::size_t j = 0; j < N; ++j) {
                const double* pixel = strip.data() + (r * N + j) * std::size_t(channels);
                const double grey = pixel[colour[0]];
                // Colour is refused rather than converted: any weighting of
                // the channels changes the noise level the caller measured.
                // Grey saved as colour, and an alpha channel that hides
                // nothing, lose nothing.
                if (colours == 3 && (pixel[colour[1]] != grey || pixel[colour[2]] != grey))
                    throw UserError(what + " is in colour (row " + std::to_string(top + r) +
                                    ", column " + std::to_string(j) +
                                    " is not grey); sorvik filters grey images only. "
                                    "Convert it to grey first, choosing the conversion "
                                    "that suits its noise.");
                if (alpha && pixel[alphaChannel] != opaque)
                    throw UserError(what + " is transparent at row " + std::to_string(top + r) +
                                    ", column " + std::to_string(j) +
                                    "; sorvik reads opaque images only");
                const double v = grey / scale;
                if (std::isfinite(v)) {
                    image.lowest = std::min(image.lowest, v);
                    image.highest = std::max(image.highest, v);
                }
                rowMajor.push_back(v);
            }
    }

    image.pixels.resize(M * N);
    for (std::size_t i = 0; i < M; ++i)
        for (std::size_t j = 0; j < N; ++j)
            image.pixels[i + j * M] = rowMajor[i * N + j];
    return image;
}

double depthScale(PixelDepth depth)
{
    switch (depth) {
    case PixelDepth::uint8:
        return 255.0;
    case PixelDepth::uint16:
        return 65535.0;
    case PixelDepth::float32:
        break;
    }
    return 1.0;
}

std::vector<Picture> readPictureHeaders(const std::string& path, const std::string& role,
                                        std::uint64_t maxPixels, const std::string& shownAs)
{
    const std::string file = role + " image " + inQuotes(shownAs.empty() ? path : shownAs);
    checkReadable(path, file);
    const QuietStderr quiet;
    auto in = OIIO::ImageInput::open(path, &unassociatedAlpha());
    if (!in)
        throw UserError(withDetail(file + " is not in an image format sorvik can read",
                                   firstLine(OIIO::geterror())));
    std::vector<Picture> pages;
    std::uint64_t totalPixels = 0;
    const bool several = in->seek_subimage(1, 0);
    // A failed seek leaves an error behind that the first read would report.
    static_cast<void>(in->geterror());
    for (int page = 0; in->seek_subimage(page, 0); ++page) {
        const std::string what = pageName(file, several, page);
        const OIIO::ImageSpec header = in->spec();
        const int channels = header.nchannels;
        checkFlat(header, what);
        if (channels < 1 || channels > 4)
            throw UserError(what + " has " + std::to_string(channels) +
                            " channels; sorvik reads 1 (grey), 2 (grey and alpha), 3 (RGB) or 4 "
                            "(RGB and alpha)");
        checkSize(header, what, maxPixels, totalPixels, page);

        Picture picture;
        picture.rows = header.height;
        picture.cols = header.width;
        picture.channels = channels;
        picture.tileHeight = header.tile_width > 0 ? std::max(header.tile_height, 1) : 0;
        if (channels == 2 || channels == 4)
            picture.alpha = header.alpha_channel >= 0 && header.alpha_channel < channels
                                ? header.alpha_channel
                                : channels - 1;
        switch (header.format.basetype) {
        case OIIO::TypeDesc::UINT8:
            picture.depth = PixelDepth::uint8;
            break;
        case OIIO::TypeDesc::UINT16:
            picture.depth = PixelDepth::uint16;
            break;
        default:
            picture.depth = PixelDepth::float32;
            break;
        }
        pages.push_back(std::move(picture));
    }
    static_cast<void>(in->geterror());
    in->close();
    if (pages.empty())
        throw UserError(file + " holds no image");
    for (std::size_t k = 0; k < pages.size(); ++k)
        pages[k].name = pageName(file, several, int(k));
    return pages;
}

struct PictureRows::Source {
    std::unique_ptr<OIIO::ImageInput> in;
    // A tiled file is read a row of tiles at a time (the library's reading of
    // scanlines from tiles fails on some files); the last row of tiles read
    // is kept for the rows that follow.
    std::vector<unsigned char> tiles;
    std::int32_t tilesTop = 0, tilesRows = 0;
};

PictureRows::PictureRows(const std::string& path, const Picture& page, int index)
    : page_(page), index_(index), source_(std::make_unique<Source>())
{
    const QuietStderr quiet;
    source_->in = OIIO::ImageInput::open(path, &unassociatedAlpha());
    if (!source_->in)
        throw UserError(withDetail(page.name + " cannot be read again",
                                   firstLine(OIIO::geterror())));
}

PictureRows::~PictureRows() = default;

void PictureRows::read(std::int32_t top, std::int32_t count, std::vector<double>& rowMajor)
{
    const std::size_t rowSamples = std::size_t(page_.cols) * std::size_t(page_.channels);
    const std::size_t samples = std::size_t(count) * rowSamples;
    rowMajor.resize(samples);
    OIIO::ImageInput& in = *source_->in;
    const auto damaged = [&](std::int32_t row) {
        return UserError(withDetail(page_.name + " is truncated or damaged: rows from " +
                                        std::to_string(row) + " could not be read",
                                    firstLine(in.geterror())));
    };
    auto load = [&](auto sample, OIIO::TypeDesc type) {
        using S = decltype(sample);
        const auto convert = [&](const unsigned char* from, std::size_t n, double* to) {
            for (std::size_t i = 0; i < n; ++i) {
                S v;
                std::memcpy(&v, from + i * sizeof(S), sizeof(S));
                to[i] = double(v);
            }
        };
        if (page_.tileHeight == 0) {
            strip_.resize(samples * sizeof(S));
            const QuietStderr quiet;
            // The library reports some damage only through its error state,
            // with the call itself claiming success.
            const bool ok = in.read_scanlines(index_, 0, top, top + count, 0, 0, page_.channels,
                                              type, strip_.data());
            if (!ok || in.has_error())
                throw damaged(top);
            convert(strip_.data(), samples, rowMajor.data());
            return;
        }
        Source& s = *source_;
        for (std::int32_t row = top; row < top + count; ++row) {
            if (row < s.tilesTop || row >= s.tilesTop + s.tilesRows) {
                s.tilesTop = row / page_.tileHeight * page_.tileHeight;
                s.tilesRows = std::min(page_.tileHeight, page_.rows - s.tilesTop);
                s.tiles.resize(std::size_t(s.tilesRows) * rowSamples * sizeof(S));
                const QuietStderr quiet;
                const bool ok = in.read_tiles(index_, 0, 0, page_.cols, s.tilesTop,
                                              s.tilesTop + s.tilesRows, 0, 1, 0, page_.channels,
                                              type, s.tiles.data());
                if (!ok || in.has_error()) {
                    s.tilesRows = 0;
                    throw damaged(s.tilesTop);
                }
            }
            convert(s.tiles.data() + std::size_t(row - s.tilesTop) * rowSamples * sizeof(S),
                    rowSamples, rowMajor.data() + std::size_t(row - top) * rowSamples);
        }
    };
    switch (page_.depth) {
    case PixelDepth::uint8:
        load(std::uint8_t{}, OIIO::TypeDesc::UINT8);
        break;
    case PixelDepth::uint16:
        load(std::uint16_t{}, OIIO::TypeDesc::UINT16);
        break;
    case PixelDepth::float32:
        // Float samples as they are; other integer types by the library's
        // own normalisation.
        load(double{}, OIIO::TypeDesc::DOUBLE);
        break;
    }
}

std::vector<Picture> readPictures(const std::string& path, const std::string& role,
                                  std::uint64_t maxPixels, const std::string& shownAs)
{
    std::vector<Picture> pages = readPictureHeaders(path, role, maxPixels, shownAs);
    for (std::size_t k = 0; k < pages.size(); ++k) {
        Picture& picture = pages[k];
        const std::size_t M = std::size_t(picture.rows);
        const std::size_t N = std::size_t(picture.cols);
        const std::size_t channels = std::size_t(picture.channels);
        const std::size_t plane = M * N;
        PictureRows rows(path, picture, int(k));
        // Rows arrive a strip at a time into a buffer that grows with them, so
        // a header that promises more than the file holds costs only what it holds.
        std::vector<double> interleaved, strip;
        const std::size_t stripRows =
            std::clamp<std::size_t>((std::size_t(1) << 20) / (N * channels), 1, M);
        for (std::size_t top = 0; top < M; top += stripRows) {
            const std::size_t count = std::min(stripRows, M - top);
            rows.read(std::int32_t(top), std::int32_t(count), strip);
            if (interleaved.size() + strip.size() > interleaved.capacity())
                interleaved.reserve(
                    std::max(2 * interleaved.capacity(), interleaved.size() + strip.size()));
            interleaved.insert(interleaved.end(), strip.begin(), strip.end());
        }
        picture.pixels.resize(plane * channels);
        for (std::size_t i = 0; i < M; ++i)
            for (std::size_t j = 0; j < N; ++j)
                for (std::size_t c = 0; c < channels; ++c)
                    picture.pixels[c * plane + i + j * M] = interleaved[(i * N + j) * channels + c];
    }
    return pages;
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

namespace {

std::string kindOf(int channels)
{
    switch (channels) {
    case 1:
        return "grey";
    case 2:
        return "grey and alpha";
    case 3:
        return "RGB";
    default:
        return "RGB and alpha";
    }
}

void checkLayout(const std::string& path, std::int32_t rows, std::int32_t cols, int channels,
                 int alpha, std::size_t pages, PixelDepth depth);

} // namespace

void checkOutput(const std::string& path, std::int32_t rows, std::int32_t cols, PixelDepth depth)
{
    checkLayout(path, rows, cols, 1, -1, 1, depth);
}

void checkPictureOutput(const std::string& path, const Picture& first, std::size_t pages,
                        PixelDepth depth)
{
    checkLayout(path, first.rows, first.cols, first.channels, first.alpha, pages, depth);
}

namespace {

void checkLayout(const std::string& path, std::int32_t rows, std::int32_t cols, int channels,
                 int alpha, std::size_t pages, PixelDepth depth)
{
    const std::string what = "output " + inQuotes(path);
    const std::string extension = fs::path(path).extension().string();
    if (extension.empty())
        throw UserError(what + " has no extension to name its format (.png, .tif, ...)");
    std::string format;
    {
        const QuietStderr quiet;
        auto out = OIIO::ImageOutput::create(path);
        if (!out)
            throw UserError(what + ": no image format is known for the extension " +
                            inQuotes(extension));
        format = out->format_name();
    }
    if (writesNoGreyFile(format))
        throw UserError(what + ": the " + format + " format does not write a grey image file");
    if (pages > 1) {
        const QuietStderr quiet;
        auto out = OIIO::ImageOutput::create(path);
        if (!out || !out->supports("multiimage"))
            throw UserError(what + ": the " + format + " format holds one page, and the input has " +
                            std::to_string(pages) + "; write them to a .tif");
    }

    const std::string target = finalTarget(path);
    struct stat st;
    if (::stat(target.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            throw UserError(what + " is a directory");
        if (!S_ISREG(st.st_mode))
            throw UserError(what + " is not a regular file; sorvik replaces files only");
    }
    const std::string dir = directoryOf(target);
    if (::stat(dir.c_str(), &st) != 0)
        throw UserError(what + ": directory " + inQuotes(dir) + ": " + std::strerror(errno));
    if (!S_ISDIR(st.st_mode))
        throw UserError(what + ": " + inQuotes(dir) + " is not a directory");
    if (::access(dir.c_str(), W_OK | X_OK) != 0)
        throw UserError(what + ": directory " + inQuotes(dir) + ": " + std::strerror(errno));

    // Whether the format holds a grey image of this size is known only to
    // the format's writer, which says so when it opens.
    const TemporaryFile probe(dir, extension, target);
    const QuietStderr quiet;
    auto out = OIIO::ImageOutput::create(probe.path());
    OIIO::ImageSpec layout(cols, rows, channels, sampleType(depth));
    layout.alpha_channel = alpha;
    if (!out || !out->open(probe.path(), layout))
        throw UserError(withDetail(what + ": the " + format + " format cannot hold this " +
                                       std::to_string(cols) + " x " + std::to_string(rows) + " " +
                                       kindOf(channels) + " image",
                                   firstLine(out ? out->geterror() : OIIO::geterror())));
}

} // namespace

InterruptCleanup::InterruptCleanup(const std::string& path, bool directory)
{
    if (path.size() > PATH_MAX)
        throw UserError("the temporary path '" + path + "' is too long");
    const SignalsHeld held;
    slot_ = freePendingSlot();
    std::memcpy(pendingPaths[slot_], path.c_str(), path.size() + 1);
    pendingUsed[slot_] = directory ? 2 : 1;
}

InterruptCleanup::~InterruptCleanup() { pendingUsed[slot_] = 0; }

OutputSet::OutputSet() = default;
OutputSet::~OutputSet() = default;

template <typename T>
void addImage(std::vector<std::unique_ptr<OutputSet::Pending>>& pending, const std::string& path,
              std::int32_t rows, std::int32_t cols, const T* pixels, PixelDepth depth);

void OutputSet::add(const std::string& path, std::int32_t rows, std::int32_t cols,
                    const float* pixels, PixelDepth depth)
{
    addImage(pending_, path, rows, cols, pixels, depth);
}

void OutputSet::add(const std::string& path, std::int32_t rows, std::int32_t cols,
                    const double* pixels, PixelDepth depth)
{
    addImage(pending_, path, rows, cols, pixels, depth);
}

template <typename T>
void addImage(std::vector<std::unique_ptr<OutputSet::Pending>>& pending, const std::string& path,
              std::int32_t rows, std::int32_t cols, const T* pixels, PixelDepth depth)
{
    // The callers ran checkOutput before their work; the format's own
    // refusal, should anything have changed since, still ends up below.
    const std::vector<unsigned char> bytes = samplesFor(rows, cols, pixels, depth);
    auto entry = std::make_unique<OutputSet::Pending>(path, finalTarget(path));
    const std::string& file = entry->file.path();
    const QuietStderr quiet;
    auto out = OIIO::ImageOutput::create(file);
    if (!out)
        throw UserError(withDetail("cannot write " + inQuotes(path), firstLine(OIIO::geterror())));
    const OIIO::TypeDesc type = sampleType(depth);
    const OIIO::ImageSpec layout(cols, rows, 1, type);
    if (!out->open(file, layout) || !out->write_image(type, bytes.data()) || !out->close())
        throw UserError(withDetail("cannot write " + inQuotes(path), firstLine(out->geterror())));
    out.reset();
    checkReadsBack(file, path, 1);
    pending.push_back(std::move(entry));
}

namespace {

// Interleaved row-major samples at the output's depth of `rows` rows of a
// page, planar and column-major in `pixels`.
std::vector<unsigned char> pictureSamples(const Picture& page, std::int32_t rows,
                                          const double* pixels, PixelDepth depth)
{
    const std::size_t M = std::size_t(rows), N = std::size_t(page.cols);
    const std::size_t C = std::size_t(page.channels), plane = M * N;
    const double toUnit = 1.0 / depthScale(page.depth);
    const bool same = page.depth == depth;
    std::vector<unsigned char> bytes;
    auto fill = [&](auto sample, auto convert) {
        using S = decltype(sample);
        bytes.resize(M * N * C * sizeof(S));
        for (std::size_t i = 0; i < M; ++i)
            for (std::size_t j = 0; j < N; ++j)
                for (std::size_t c = 0; c < C; ++c) {
                    const S s = convert(pixels[c * plane + i + j * M]);
                    std::memcpy(bytes.data() + ((i * N + j) * C + c) * sizeof(S), &s, sizeof(S));
                }
    };
    // Values at their own depth are rounded once; a change of depth goes
    // through the 0..1 scale, so that level 255 of 8 bits is 65535 of 16.
    switch (depth) {
    case PixelDepth::uint8:
        fill(std::uint8_t{}, [&](double v) { return toUint8(same ? v : v * toUnit * 255.0); });
        break;
    case PixelDepth::uint16:
        fill(std::uint16_t{}, [&](double v) { return toUint16(same ? v : v * toUnit * 65535.0); });
        break;
    case PixelDepth::float32:
        fill(float{}, [&](double v) { return float(same ? v : v * toUnit); });
        break;
    }
    return bytes;
}

} // namespace

void OutputSet::addPictures(const std::string& path, const std::vector<Picture>& pages,
                            std::optional<PixelDepth> depth)
{
    addPictureRows(path, pages, depth, [&pages](std::size_t k, const RowWriter& write) {
        write(0, pages[k].rows, pages[k].pixels);
    });
}

void OutputSet::addPictureRows(
    const std::string& path, const std::vector<Picture>& pages, std::optional<PixelDepth> depth,
    const std::function<void(std::size_t page, const RowWriter& write)>& produce)
{
    if (pages.empty())
        throw std::logic_error("no pages to write");
    auto entry = std::make_unique<OutputSet::Pending>(path, finalTarget(path));
    const std::string& file = entry->file.path();
    std::unique_ptr<OIIO::ImageOutput> out;
    {
        const QuietStderr quiet;
        out = OIIO::ImageOutput::create(file);
    }
    if (!out)
        throw UserError(withDetail("cannot write " + inQuotes(path), firstLine(OIIO::geterror())));
    std::vector<PixelDepth> depths;
    std::vector<OIIO::ImageSpec> layouts;
    for (const Picture& page : pages) {
        depths.push_back(outputDepth(path, depth.value_or(page.depth)));
        layouts.emplace_back(page.cols, page.rows, page.channels, sampleType(depths.back()));
        layouts.back().alpha_channel = page.alpha;
        layouts.back().attribute("oiio:UnassociatedAlpha", 1);
    }
    const auto failed = [&] {
        return UserError(withDetail("cannot write " + inQuotes(path), firstLine(out->geterror())));
    };
    // The codecs' own messages are kept off standard error only while they
    // run: the progress bar and notes go there between bands.
    const auto quietly = [](auto call) {
        const QuietStderr quiet;
        return call();
    };
    if (!quietly([&] {
            return pages.size() == 1 ? out->open(file, layouts[0])
                                     : out->open(file, int(layouts.size()), layouts.data());
        }))
        throw failed();
    for (std::size_t k = 0; k < pages.size(); ++k) {
        if (k > 0 &&
            !quietly([&] { return out->open(file, layouts[k], OIIO::ImageOutput::AppendSubimage); }))
            throw failed();
        std::int32_t next = 0;
        const RowWriter write = [&](std::int32_t top, std::int32_t count,
                                    const std::vector<double>& band) {
            if (top != next || count < 1 || count > pages[k].rows - top ||
                band.size() != std::size_t(count) * std::size_t(pages[k].cols) *
                                   std::size_t(pages[k].channels))
                throw std::logic_error("bands of rows out of order");
            const std::vector<unsigned char> bytes =
                pictureSamples(pages[k], count, band.data(), depths[k]);
            if (!quietly([&] {
                    return out->write_scanlines(top, top + count, 0, sampleType(depths[k]),
                                                bytes.data());
                }))
                throw failed();
            next = top + count;
        };
        produce(k, write);
        if (next != pages[k].rows)
            throw std::logic_error("a page was not written to its last row");
    }
    if (!quietly([&] { return out->close(); }))
        throw failed();
    out.reset();
    {
        const QuietStderr quiet;
        checkReadsBack(file, path, pages.size());
    }
    pending_.push_back(std::move(entry));
}

void OutputSet::commit()
{
    for (auto& p : pending_)
        p->file.flush(p->path);
    std::vector<std::string> replaced;
    for (std::size_t i = 0; i < pending_.size(); ++i) {
        if (pending_[i]->file.renameTo(pending_[i]->target)) {
            replaced.push_back(pending_[i]->path);
            continue;
        }
        std::string message = "cannot write " + inQuotes(pending_[i]->path) + ": " + std::strerror(errno);
        if (!replaced.empty()) {
            std::string stale;
            for (std::size_t k = i; k < pending_.size(); ++k)
                stale += (stale.empty() ? "" : ", ") + inQuotes(pending_[k]->path);
            std::string fresh;
            for (const auto& r : replaced)
                fresh += (fresh.empty() ? "" : ", ") + inQuotes(r);
            message += ". Written: " + fresh + "; not replaced, from an earlier run if present: " + stale;
        }
        throw UserError(message);
    }
    pending_.clear();
}

void writeGreyImage(const std::string& path, std::int32_t rows, std::int32_t cols,
                    const float* pixels, PixelDepth depth)
{
    OutputSet set;
    set.add(path, rows, cols, pixels, depth);
    set.commit();
}

void installInterruptCleanup()
{
    for (int signal : fatalSignals) {
        // A signal the caller chose to ignore (nohup, a background job) stays ignored.
        struct sigaction previous {};
        if (::sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN)
            continue;
        struct sigaction action {};
        action.sa_handler = removePendingAndReraise;
        sigemptyset(&action.sa_mask);
        for (int s : fatalSignals)
            sigaddset(&action.sa_mask, s);
        ::sigaction(signal, &action, nullptr);
    }
}

} // namespace sorvik::cli
