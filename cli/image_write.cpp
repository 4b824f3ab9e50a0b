#include "cli/image_write.h"

#include "cli/codec.h"
#include "cli/output_file.h"

#include <OpenImageIO/filesystem.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace sorvik::cli {

namespace fs = std::filesystem;

namespace {

// Formats the image library opens for writing but that write no file, or no
// grey one.
bool writesNoGreyFile(const std::string& format)
{
    return format == "null" || format == "term" || format == "heif";
}


bool isPnm(const std::string& ext)
{
    return ext == ".pgm" || ext == ".ppm" || ext == ".pnm" || ext == ".pbm";
}

// The type samples of `depth` are handed to the writer in: half floats go as
// floats, which the library rounds to half as the file needs.
OIIO::TypeDesc bufferType(PixelDepth depth)
{
    return depth == PixelDepth::float16 ? OIIO::TypeDesc::FLOAT : sampleType(depth);
}

// The layout a page is written with: its samples, its alpha as the file had
// it, and its orientation.
OIIO::ImageSpec layoutOf(const std::string& path, const Picture& page, PixelDepth depth)
{
    OIIO::ImageSpec layout(page.cols, page.rows, page.channels, sampleType(depth));
    layout.alpha_channel = page.alpha;
    layout.attribute("oiio:UnassociatedAlpha", page.associatedAlpha ? 0 : 1);
    if (page.orientation != 1)
        layout.attribute("Orientation", page.orientation);
    // The PNM writer writes 8 bits unless told the sample size.
    if (depth == PixelDepth::uint16 && isPnm(lowerExtension(path)))
        layout.attribute("oiio:BitsPerSample", 16);
    return layout;
}

// An image writer that the codecs may complain from even as it is
// destroyed (closing a file that failed halfway): kept quiet then too.
struct Writer {
    std::unique_ptr<OIIO::ImageOutput> out;
    Writer() = default;
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;
    ~Writer() { reset(); }
    void reset()
    {
        if (!out)
            return;
        const QuietStderr quiet;
        out.reset();
    }
};

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


// A file that the JPEG codec writes through: the codec ends the process
// when a write fails (a full disk), with its message silenced and the
// temporary file left behind. Writes here always report success; the first
// failure is kept, and so is the size the file should reach, for
// checkWhole() once the codec is done.
class LenientFile : public OIIO::Filesystem::IOFile {
public:
    explicit LenientFile(const std::string& file) : IOFile(file, IOProxy::Write) {}

    // A proxy that says it is a file has its stream handed to the codec
    // directly, past these writes.
    const char* proxytype() const override { return "checked file"; }

    size_t write(const void* buf, size_t size) override
    {
        const std::uint64_t at = next_;
        next_ += size;
        return claim(int64_t(at), IOFile::write(buf, size), size);
    }
    size_t pwrite(const void* buf, size_t size, int64_t offset) override
    {
        return claim(offset, IOFile::pwrite(buf, size, offset), size);
    }

    // Closes the file and throws unless every byte reached it.
    void checkWhole(const std::string& file, const std::string& path)
    {
        IOFile::close();
        if (error_ != 0)
            throw UserError("cannot write " + inQuotes(path) + ": " + std::strerror(error_));
        // Buffered bytes that fail only as the file closes show as a short file.
        struct stat st;
        if (::stat(file.c_str(), &st) != 0 || std::uint64_t(st.st_size) != end_)
            throw UserError("cannot write " + inQuotes(path) + ": the written file is incomplete (" +
                            std::to_string(st.st_size) + " of " + std::to_string(end_) + " bytes)");
    }

private:
    size_t claim(int64_t offset, size_t written, size_t size)
    {
        if (written != size && error_ == 0)
            error_ = errno != 0 ? errno : ENOSPC;
        end_ = std::max(end_, std::uint64_t(std::max<int64_t>(offset, 0)) + size);
        return size;
    }

    int error_ = 0;
    std::uint64_t next_ = 0, end_ = 0;
};

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

PixelDepth outputDepth(const std::string& path, PixelDepth wanted)
{
    const std::string ext = lowerExtension(path);
    const bool wholeLevels = wanted == PixelDepth::uint8 || wanted == PixelDepth::uint16;
    if ((ext == ".png" || isPnm(ext)) && isFloat(wanted))
        return PixelDepth::uint16;
    if (ext == ".jpg" || ext == ".jpeg")
        return isFloat(wanted) || wholeLevels ? PixelDepth::uint8 : wanted;
    if (ext == ".exr") {
        // Half floats would lose 16-bit levels; float32 holds both depths.
        if (wholeLevels || wanted == PixelDepth::float64)
            return PixelDepth::float32;
    }
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

} // namespace

void checkPictureOutput(const std::string& path, const Picture& first, std::size_t pages,
                        PixelDepth depth, bool quiet)
{
    const std::int32_t rows = first.rows, cols = first.cols;
    const int channels = first.channels;
    const std::string what = "output " + inQuotes(path);
    const std::string extension = fs::path(path).extension().string();
    if (extension.empty())
        throw UserError(what + " has no extension to name its format (.png, .tif, ...)");
    std::string format;
    {
        const QuietStderr silence;
        auto out = OIIO::ImageOutput::create(path);
        if (!out)
            throw UserError(what + ": no image format is known for the extension " +
                            inQuotes(extension));
        format = out->format_name();
    }
    if (writesNoGreyFile(format))
        throw UserError(what + ": the " + format + " format does not write a grey image file");
    if (pages > 1) {
        const QuietStderr silence;
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

    // A file the user may not write is theirs to free, whatever the
    // format; the probe below would fail on it and blame the format.
    if (::stat(target.c_str(), &st) == 0 && ::access(target.c_str(), W_OK) != 0)
        throw UserError(what + " cannot be written: " + std::strerror(errno));

    // Whether the format holds an image of this size and these samples is
    // known only to the format's writer, which says so when it opens.
    const TemporaryFile probe(dir, extension, target);
    Writer writer;
    {
        const QuietStderr silence;
        writer.out = OIIO::ImageOutput::create(probe.path());
        if (!writer.out || !writer.out->open(probe.path(), layoutOf(path, first, depth)))
            throw UserError(withDetail(what + ": the " + format + " format cannot hold this " +
                                           std::to_string(cols) + " x " + std::to_string(rows) +
                                           " " + kindOf(channels) + " image",
                                       firstLine(writer.out ? writer.out->geterror()
                                                            : OIIO::geterror())));
    }
    // Writers take any sample type and quietly store the one they have.
    PixelDepth stored = depth;
    const bool known = depthOf(writer.out->spec().format, stored);
    if (known && depth == PixelDepth::uint16 && isPnm(lowerExtension(path)))
        stored = depth; // told the sample size above; its header still says 8 bits
    if (!known || stored == depth) {
        // Stored as asked.
    } else if (isFloat(depth) && isFloat(stored) && depthScale(stored) == 1.0 &&
             (depth == PixelDepth::float16 || stored == PixelDepth::float32)) {
        if (!quiet)
            std::fprintf(stderr, "sorvik: note: %s: the %s format has no %s samples; written as %s%s\n",
                         path.c_str(), format.c_str(), depthName(depth).c_str(),
                         depthName(stored).c_str(),
                         depth == PixelDepth::float16 ? ", which holds every value" : "");
    } else {
        throw UserError(what + ": the " + format + " format cannot hold " + depthName(depth) +
                        " samples (it would store them as " + depthName(stored) +
                        "); write a .tif" +
                        ((isFloat(depth) || depth == PixelDepth::uint16) &&
                         (stored == PixelDepth::uint8 || stored == PixelDepth::uint16)
                             ? std::string(", or choose --depth ") +
                                   (stored == PixelDepth::uint8 ? "8" : "16")
                             : std::string()));
    }
    // A float depth chosen for the format (float64 to .exr) keeps fewer bits.
    if (isFloat(first.depth) && isFloat(depth) && depth != first.depth &&
        (first.depth == PixelDepth::float64 || depth == PixelDepth::float16) && !quiet)
        std::fprintf(stderr, "sorvik: note: %s: the %s format has no %s samples; written as %s\n",
                     path.c_str(), format.c_str(), depthName(first.depth).c_str(),
                     depthName(depth).c_str());
    const bool orientationKept = format == "tiff" || format == "jpeg" || format == "openexr";
    if (first.orientation != 1 && !orientationKept && !quiet)
        std::fprintf(stderr,
                     "sorvik: note: %s: the %s format has no orientation tag; the pixels are "
                     "written in the input file's order (orientation %d), so viewers show them "
                     "turned. Write a .tif or .jpg to keep it.\n",
                     path.c_str(), format.c_str(), first.orientation);
}

OutputSet::OutputSet() = default;
OutputSet::~OutputSet() = default;

namespace {

// Interleaved row-major samples at the output's depth of `rows` rows of a
// page, planar and column-major in `pixels`.
std::vector<unsigned char> pictureSamples(const Picture& page, std::int32_t rows,
                                          const double* pixels, PixelDepth depth)
{
    const std::size_t M = std::size_t(rows), N = std::size_t(page.cols);
    const std::size_t C = std::size_t(page.channels), plane = M * N;
    // Values at their own depth, or going between float depths, are rounded
    // once; a change of integer depth goes through the 0..1 scale, so that
    // level 255 of 8 bits is 65535 of 16.
    const bool same = page.depth == depth || (isFloat(page.depth) && isFloat(depth));
    const double toUnit = 1.0 / depthScale(page.depth), levels = depthScale(depth);
    const auto level = [&](double v) { return toLevel(depth, same ? v : v * toUnit * levels); };
    std::vector<unsigned char> bytes;
    auto fill = [&](auto sample) {
        using S = decltype(sample);
        bytes.resize(M * N * C * sizeof(S));
        for (std::size_t i = 0; i < M; ++i)
            for (std::size_t j = 0; j < N; ++j)
                for (std::size_t c = 0; c < C; ++c) {
                    const S s = S(level(pixels[c * plane + i + j * M]));
                    std::memcpy(bytes.data() + ((i * N + j) * C + c) * sizeof(S), &s, sizeof(S));
                }
    };
    switch (depth) {
    case PixelDepth::uint8:
        fill(std::uint8_t{});
        break;
    case PixelDepth::uint16:
        fill(std::uint16_t{});
        break;
    case PixelDepth::int8:
        fill(std::int8_t{});
        break;
    case PixelDepth::int16:
        fill(std::int16_t{});
        break;
    case PixelDepth::int32:
        fill(std::int32_t{});
        break;
    case PixelDepth::uint32:
        fill(std::uint32_t{});
        break;
    case PixelDepth::float16:
    case PixelDepth::float32:
        fill(float{});
        break;
    case PixelDepth::float64:
        fill(double{});
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
    Writer writer;
    {
        const QuietStderr quiet;
        writer.out = OIIO::ImageOutput::create(file);
    }
    OIIO::ImageOutput* const out = writer.out.get();
    if (!out)
        throw UserError(withDetail("cannot write " + inQuotes(path), firstLine(OIIO::geterror())));
    std::vector<PixelDepth> depths;
    std::vector<OIIO::ImageSpec> layouts;
    for (const Picture& page : pages) {
        depths.push_back(outputDepth(path, depth.value_or(page.depth)));
        layouts.push_back(layoutOf(path, page, depths.back()));
    }
    std::unique_ptr<LenientFile> lenient;
    if (std::string(out->format_name()) == "jpeg" && out->supports("ioproxy")) {
        lenient = std::make_unique<LenientFile>(file);
        OIIO::Filesystem::IOProxy* proxy = lenient.get();
        for (OIIO::ImageSpec& layout : layouts)
            layout.attribute("oiio:ioproxy", OIIO::TypeDesc::PTR, &proxy);
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
                    return out->write_scanlines(top, top + count, 0, bufferType(depths[k]),
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
    writer.reset();
    if (lenient)
        lenient->checkWhole(file, path);
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

} // namespace sorvik::cli
