// Reading image files within a pixel budget: every page, grey or colour, in
// the file's own units, whole or a band of rows at a time.
#ifndef SORVIK_CLI_IMAGE_READ_H
#define SORVIK_CLI_IMAGE_READ_H

#include "cli/image.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sorvik::cli {

// Reads every page of a file (a multi-page TIFF holds several). Two channels
// are grey and alpha, four are RGB and alpha (the file's own alpha channel
// wins where it names one); more than four are refused, and so are colour
// spaces other than grey and RGB (CMYK, CIELab), which the library would
// convert. Every page's header is checked against `maxPixels` (0: no limit
// but the filter's 2^31 - 1), and so is the pages' total, before its pixels
// are stored. `role` names the image in messages ("noisy", "pilot"), and
// `shownAs` the file instead of `path` (for a copy of standard input).
//
// Only regular files are opened, so a device or FIFO cannot stall the format
// probe. The pixels are read a strip at a time, so memory follows the data
// that arrives; a truncated or damaged file is an error, never an image with
// missing rows.
std::vector<Picture> readPictures(const std::string& path, const std::string& role,
                                  std::uint64_t maxPixels = defaultMaxPixels,
                                  const std::string& shownAs = "");

// The pages of a file as their headers describe them, checked as
// readPictures checks them, with no pixels read.
std::vector<Picture> readPictureHeaders(const std::string& path, const std::string& role,
                                        std::uint64_t maxPixels = defaultMaxPixels,
                                        const std::string& shownAs = "");

// One page, as readPictureHeaders described it (`header`, page `index`),
// read whole.
Picture readPicture(const std::string& path, const Picture& header, int index);

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

// The grey plane of a page on the 0..1 scale (levels divided by their
// maximum, correctly rounded). A page is grey with one colour channel, or
// with three that are equal in every pixel (grey saved as colour), and an
// alpha channel only where it is opaque everywhere: colour is refused rather
// than converted, since any conversion changes the noise level the caller
// measured. `what` names the page in messages.
std::vector<double> greyPlane(const Picture& page, const std::string& what);

} // namespace sorvik::cli

#endif
