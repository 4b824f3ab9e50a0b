// What the tool's readers and writers share about the image library: its
// messages cut to one line, its codecs kept quiet, and the sample types.
#ifndef SORVIK_CLI_CODEC_H
#define SORVIK_CLI_CODEC_H

#include "cli/image.h"

#include <OpenImageIO/imageio.h>

#include <string>

namespace sorvik::cli {

std::string lowerExtension(const std::string& path);

// The image library's messages come as several lines that repeat one cause
// ("Read error: hit end of file", then the same wrapped twice); the first line
// says it.
std::string firstLine(std::string message);

std::string withDetail(const std::string& text, const std::string& detail);

// Colour samples exactly as the file holds them: without this the library
// multiplies them by alpha on reading (and divides on writing), which
// loses the colour under transparent pixels and rounds the rest.
const OIIO::ImageSpec& unassociatedAlpha();

OIIO::TypeDesc sampleType(PixelDepth depth);

// The depth a file's samples are read in: their own type. False for types
// the tool does not read (64-bit integers).
bool depthOf(OIIO::TypeDesc type, PixelDepth& depth);

// Codec libraries underneath the image library print their own copy of an
// error to standard error; the tool prints one message of its own instead.
class QuietStderr {
public:
    QuietStderr();
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;
    ~QuietStderr();

private:
    int saved_ = -1;
};

} // namespace sorvik::cli

#endif
