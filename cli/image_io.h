// Image files for the command-line tool: reading within a pixel budget (grey
// on a 0..1 scale for the pilot path; every page, grey or colour, in the
// file's own units for the denoiser), and writing in the format the file
// name's extension names, never leaving a half-written file or a mixed set of
// files behind.
#ifndef SORVIK_CLI_IMAGE_IO_H
#define SORVIK_CLI_IMAGE_IO_H

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace sorvik::cli {

// An error meant for the user: its message says what went wrong and with
// which file, and the tool exits with status 1.
struct UserError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A command line that cannot be parsed: an unknown option, a missing one, or
// a value that is not of the option's kind ("3.5" for a whole number, "" for
// a number). The tool exits with status 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

enum class PixelDepth { uint8, uint16, float32 };

// Pixels a file may hold unless --max-pixels says otherwise: 2^27, a little
// over 11585 x 11585. The tool needs about 24 bytes a pixel, so this keeps a
// hostile header from costing more than a few gigabytes.
constexpr std::uint64_t defaultMaxPixels = std::uint64_t(1) << 27;

struct GreyImage {
    std::int32_t rows = 0;
    std::int32_t cols = 0;
    std::vector<double> pixels; // column-major: pixel (i, j) at i + j * rows
    PixelDepth depth = PixelDepth::float32; // closest depth to what the file stores
    double lowest = 0.0;  // the smallest and largest finite grey values read
    double highest = 0.0;
};

// Reads the first image of a file. Integer samples are scaled to 0..1 by
// their maximum (255 for 8 bits, 65535 for 16 bits); float samples are taken
// as they are. Grey images are accepted with one channel, or with three that
// are equal in every pixel (grey saved as colour), and an alpha channel if it
// is opaque everywhere. Colour is refused rather than converted, since any
// conversion changes the noise level the caller measured. `role` names the
// image in messages ("noisy", "pilot").
//
// Only regular files are opened, so a device or FIFO cannot stall the format
// probe. The header's size is checked against `maxPixels` (0: no limit but
// the filter's 2^31 - 1) before any pixel is stored, and the pixels are read
// a strip at a time, so memory follows the data that arrives; a truncated or
// damaged file is an error, never an image with missing rows.
GreyImage readGreyImage(const std::string& path, const std::string& role,
                        std::uint64_t maxPixels = defaultMaxPixels);

// One page of an image file in the file's own units: levels of an 8- or
// 16-bit file, values of a float file (other integer types come as the
// image library's 0..1 floats). Planar and column-major: channel k holds
// pixel (i, j) at k * rows * cols + i + j * rows.
struct Picture {
    std::int32_t rows = 0;
    std::int32_t cols = 0;
    int channels = 1; // 1 grey, 2 grey + alpha, 3 RGB, 4 RGB + alpha
    int alpha = -1;   // the alpha channel's index, or -1
    PixelDepth depth = PixelDepth::float32;
    std::vector<double> pixels;
    std::string name; // the page as messages name it ("noisy image 'a.tif', page 2")
    std::int32_t tileHeight = 0; // rows of a row of tiles; 0: stored in scanlines

    std::size_t plane() const { return std::size_t(rows) * std::size_t(cols); }
    int colours() const { return alpha >= 0 ? channels - 1 : channels; }
};

// The levels that one unit of the data's scale spans: 255, 65535, or 1 for float.
double depthScale(PixelDepth depth);

// Reads every page of a file (a multi-page TIFF holds several). Two channels
// are grey and alpha, four are RGB and alpha (the file's own alpha channel
// wins where it names one); more than four are refused. Every page's header
// is checked against `maxPixels` (0: no limit but the filter's 2^31 - 1),
// and so is the pages' total, before its pixels are stored. The same
// safeguards as readGreyImage: regular files only, strips, truncation found.
// `shownAs` names the file in messages instead of `path` (for a copy of
// standard input).
std::vector<Picture> readPictures(const std::string& path, const std::string& role,
                                  std::uint64_t maxPixels = defaultMaxPixels,
                                  const std::string& shownAs = "");

// The pages of a file as their headers describe them, checked as
// readPictures checks them, with no pixels read.
std::vector<Picture> readPictureHeaders(const std::string& path, const std::string& role,
                                        std::uint64_t maxPixels = defaultMaxPixels,
                                        const std::string& shownAs = "");

// The rows of one page (as readPictureHeaders described it), read a band at
// a time, so that an image larger than memory can be streamed. Tiled files
// are read through the same rows.
class PictureRows {
public:
    PictureRows(const std::string& path, const Picture& page, int pageIndex);
    PictureRows(const PictureRows&) = delete;
    PictureRows& operator=(const PictureRows&) = delete;
    ~PictureRows();

    // Rows top .. top + count - 1 in the file's units, row-major with the
    // channels interleaved. A truncated or damaged file throws UserError.
    void read(std::int32_t top, std::int32_t count, std::vector<double>& rowMajor);

private:
    struct Source;
    Picture page_;
    int index_;
    std::unique_ptr<Source> source_;
    std::vector<unsigned char> strip_;
};

// The depth an output file gets: the depth asked for when the format stores
// it, else the nearest one it does (PNG has no float samples and gets 16 bits;
// JPEG has 8 bits only).
PixelDepth outputDepth(const std::string& path, PixelDepth wanted);

// Fails unless a rows x cols grey image of this depth can be written at
// `path`: an extension whose format can hold it (tried by opening the format
// on a temporary file), a writable directory, a target that is not a
// directory or a device, and a temporary name the file system can take. Lets
// the tool refuse before a long computation rather than after it.
void checkOutput(const std::string& path, std::int32_t rows, std::int32_t cols, PixelDepth depth);

// As checkOutput, for pages of `channels` channels each; more than one page
// needs a format that holds several (TIFF).
void checkPictureOutput(const std::string& path, const Picture& first, std::size_t pages,
                        PixelDepth depth);

// A set of output files written under temporary names in their directories
// and renamed into place together at commit(), so that a failure while
// writing any of them leaves every target as it was. A target that is a
// symbolic link is written through it: the link's final target is replaced
// in its own directory, and the link stays. A replaced file keeps its
// permission bits.
class OutputSet {
public:
    OutputSet();
    OutputSet(const OutputSet&) = delete;
    OutputSet& operator=(const OutputSet&) = delete;
    ~OutputSet(); // removes whatever was not committed

    // Writes a rows x cols column-major image to a temporary file for `path`,
    // which checkOutput has accepted. Integer depths clip to 0..1 and round
    // to the nearest level.
    void add(const std::string& path, std::int32_t rows, std::int32_t cols, const float* pixels,
             PixelDepth depth);
    void add(const std::string& path, std::int32_t rows, std::int32_t cols, const double* pixels,
             PixelDepth depth);

    // Writes the pages, in order, to a temporary file for `path`, which
    // checkPictureOutput has accepted. Each page gets outputDepth(path,
    // depth or else its own). Values are in each page's own units; converted
    // to another depth, they go through the 0..1 scale. Integer samples are
    // rounded and saturated, float samples never clipped.
    void addPictures(const std::string& path, const std::vector<Picture>& pages,
                     std::optional<PixelDepth> depth);

    // As addPictures, for pages made a band of rows at a time: `pages` hold
    // the layouts (their pixels are not read), and produce(k, write) is
    // called for each page in order and must call write(top, count, band)
    // for consecutive bands from row 0 to the page's last, each band planar
    // and column-major (count rows of the page's width, every channel).
    using RowWriter =
        std::function<void(std::int32_t top, std::int32_t count, const std::vector<double>& band)>;
    void addPictureRows(const std::string& path, const std::vector<Picture>& pages,
                        std::optional<PixelDepth> depth,
                        const std::function<void(std::size_t page, const RowWriter& write)>& produce);

    // Flushes every file, then renames each into place. Should a rename fail
    // after others succeeded, the error names the files that were replaced
    // and those that still hold an earlier run's contents.
    void commit();

    struct Pending; // one temporary file and the target it replaces

private:
    std::vector<std::unique_ptr<Pending>> pending_;
};

// One output, as OutputSet does it; `path` has passed checkOutput.
void writeGreyImage(const std::string& path, std::int32_t rows, std::int32_t cols,
                    const float* pixels, PixelDepth depth);

// While alive, `path` (a scratch file, or a folder that holds only such
// files) is removed should a fatal signal arrive; installInterruptCleanup
// must have run. Removing it otherwise is the owner's job.
class InterruptCleanup {
public:
    InterruptCleanup(const std::string& path, bool directory);
    InterruptCleanup(const InterruptCleanup&) = delete;
    InterruptCleanup& operator=(const InterruptCleanup&) = delete;
    ~InterruptCleanup();

private:
    int slot_ = 0;
};

// Deletes the temporary output files if a signal whose default action ends
// the process (INT, TERM, HUP, QUIT, USR1, USR2, ALRM, PIPE, XFSZ, ...)
// arrives while they are being written, then lets the signal take its usual
// course.
void installInterruptCleanup();

} // namespace sorvik::cli

#endif
