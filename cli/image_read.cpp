#include "cli/image_read.h"

#include "cli/codec.h"
#include "sorvik/denoise.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace sorvik::cli {

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

// Colour spaces the library would convert to RGB on reading: the noise the
// user measured is in the file's channels, and the output would come back
// in another colour space without a word.
void checkColourSpace(const OIIO::ImageSpec& header, const std::string& what)
{
    const int photometric = header.get_int_attribute("tiff:PhotometricInterpretation", -1);
    std::string space;
    if (photometric == 5)
        space = "CMYK";
    else if (photometric == 8 || photometric == 9 || photometric == 10)
        space = "CIELab";
    else if (photometric == 6)
        space = "YCbCr";
    const std::string jpeg = header.get_string_attribute("jpeg:ColorSpace");
    if (jpeg == "CMYK" || jpeg == "YCCK")
        space = "CMYK";
    if (!space.empty())
        throw UserError(what + " is in the " + space +
                        " colour space; sorvik reads grey and RGB images only, and converting "
                        "it would change the noise. Convert it to RGB first.");
}

} // namespace

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
        checkColourSpace(header, what);
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
        // Other integer types (64 bits) come as the library's 0..1 floats.
        if (!depthOf(header.format, picture.depth))
            picture.depth = PixelDepth::float32;
        picture.orientation = std::clamp(header.get_int_attribute("Orientation", 1), 1, 8);
        // Asked to keep colours as stored, the TIFF reader marks the files
        // whose alpha is unassociated; colours in the others are
        // premultiplied, as they always are in OpenEXR. Other formats hold
        // unassociated alpha, whether or not their readers say so.
        const std::string format = in->format_name();
        picture.associatedAlpha =
            picture.alpha >= 0 &&
            (format == "openexr" ||
             (format == "tiff" && header.get_int_attribute("oiio:UnassociatedAlpha", 0) == 0));
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
    case PixelDepth::int8:
        load(std::int8_t{}, OIIO::TypeDesc::INT8);
        break;
    case PixelDepth::int16:
        load(std::int16_t{}, OIIO::TypeDesc::INT16);
        break;
    case PixelDepth::int32:
        load(std::int32_t{}, OIIO::TypeDesc::INT32);
        break;
    case PixelDepth::uint32:
        load(std::uint32_t{}, OIIO::TypeDesc::UINT32);
        break;
    case PixelDepth::float16:
    case PixelDepth::float32:
    case PixelDepth::float64:
        // Float samples as they are (every half and float is a double);
        // 64-bit integer types by the library's own normalisation.
        load(double{}, OIIO::TypeDesc::DOUBLE);
        break;
    }
}

Picture readPicture(const std::string& path, const Picture& header, int index)
{
    Picture picture = header;
    const std::size_t M = std::size_t(picture.rows);
    const std::size_t N = std::size_t(picture.cols);
    const std::size_t channels = std::size_t(picture.channels);
    const std::size_t plane = M * N;
    PictureRows rows(path, picture, index);
    // Rows arrive a strip at a time into a buffer that grows with them, so
    // a header that promises more than the file holds costs only what it holds.
    std::vector<double> interleaved, strip;
    const std::size_t stripRows = std::clamp<std::size_t>((std::size_t(1) << 20) / (N * channels), 1, M);
    for (std::size_t top = 0; top < M; top += stripRows) {
        const std::size_t count = std::min(stripRows, M - top);
        rows.read(std::int32_t(top), std::int32_t(count), strip);
        if (interleaved.size() + strip.size() > interleaved.capacity())
            interleaved.reserve(std::max(2 * interleaved.capacity(), interleaved.size() + strip.size()));
        interleaved.insert(interleaved.end(), strip.begin(), strip.end());
    }
    picture.pixels.resize(plane * channels);
    for (std::size_t i = 0; i < M; ++i)
        for (std::size_t j = 0; j < N; ++j)
            for (std::size_t c = 0; c < channels; ++c)
                picture.pixels[c * plane + i + j * M] = interleaved[(i * N + j) * channels + c];
    return picture;
}

std::vector<Picture> readPictures(const std::string& path, const std::string& role,
                                  std::uint64_t maxPixels, const std::string& shownAs)
{
    std::vector<Picture> pages = readPictureHeaders(path, role, maxPixels, shownAs);
    for (std::size_t k = 0; k < pages.size(); ++k)
        pages[k] = readPicture(path, pages[k], int(k));
    return pages;
}

std::vector<double> greyPlane(const Picture& page, const std::string& what)
{
    const int colours = page.colours();
    if (colours != 1 && colours != 3)
        throw UserError(what + " has " + std::to_string(page.channels) +
                        " channels; sorvik reads grey images (one channel, or red, green and "
                        "blue that are equal everywhere)");
    std::vector<int> colour;
    for (int c = 0; c < page.channels; ++c)
        if (c != page.alpha)
            colour.push_back(c);
    const std::size_t M = std::size_t(page.rows), plane = page.plane();
    const double opaque = isFloat(page.depth) ? 1.0 : depthScale(page.depth);
    // Whole levels are divided by their maximum here, correctly rounded, so
    // that level q of an 8-bit file is exactly q / 255 whatever conversion the
    // image library would apply.
    const double scale = isFloat(page.depth) ? 1.0 : depthScale(page.depth);
    std::vector<double> grey(plane);
    // In file order, so that the first offending pixel is the one named.
    for (std::size_t i = 0; i < M; ++i)
        for (std::size_t j = 0; j < std::size_t(page.cols); ++j) {
            const std::size_t p = i + j * M;
            const double v = page.pixels[std::size_t(colour[0]) * plane + p];
            if (colours == 3 && (page.pixels[std::size_t(colour[1]) * plane + p] != v ||
                                 page.pixels[std::size_t(colour[2]) * plane + p] != v))
                throw UserError(what + " is in colour (row " + std::to_string(i) + ", column " +
                                std::to_string(j) +
                                " is not grey); sorvik filters grey images only. "
                                "Convert it to grey first, choosing the conversion "
                                "that suits its noise.");
            if (page.alpha >= 0 && page.pixels[std::size_t(page.alpha) * plane + p] != opaque)
                throw UserError(what + " is transparent at row " + std::to_string(i) +
                                ", column " + std::to_string(j) + "; sorvik reads opaque images only");
            grey[p] = v / scale;
        }
    return grey;
}

} // namespace sorvik::cli
