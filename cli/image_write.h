// Writing image files in the format the file name's extension names, never
// leaving a half-written file or a mixed set of files behind.
#ifndef SORVIK_CLI_IMAGE_WRITE_H
#define SORVIK_CLI_IMAGE_WRITE_H

#include "cli/image.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sorvik::cli {

// The depth an output file gets: the depth asked for when the format stores
// it, else the nearest one it does (PNG has no float samples and gets 16 bits;
// JPEG has 8 bits only). Signed and 32-bit integers, which neither holds,
// stay as they are, for checkPictureOutput to refuse.
PixelDepth outputDepth(const std::string& path, PixelDepth wanted);

// Fails unless pages like `first` (`pages` of them) can be written at `path`
// with samples of `depth`: an extension whose format can hold them (tried by
// opening the format on a temporary file; more than one page needs a format
// that holds several, such as TIFF), a writable directory, a target that is
// not a directory, a device or a file the user may not write, and a
// temporary name the file system can take. Lets the tool refuse before a
// long computation rather than after it. What the format holds only in part
// (a float depth it stores in fewer bits, an orientation it has no place
// for) is said on standard error unless `quiet`.
void checkPictureOutput(const std::string& path, const Picture& first, std::size_t pages,
                        PixelDepth depth, bool quiet = true);

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

} // namespace sorvik::cli

#endif
