// Denoising an image larger than memory: rows come from a source, go through
// the denoiser tile by tile, and leave through a sink, with the bits that
// denoise() gives the whole image in memory. The denoiser plans the bands and
// tiles within a memory budget (the filter's own buffer sizes, read from
// filterMemoryBound, and the pipeline's); the front ends supply the source
// and the sink (a file reader and writer, say) and nothing else.
//
// Bands are planar and column-major within the band, as NoiseEstimator::add
// takes them: in a band of `count` rows from row `top`, channel k's pixel at
// image row top + i, column j is at (k * cols + j) * count + i.
#ifndef SORVIK_STREAM_H
#define SORVIK_STREAM_H

#include <sorvik/denoise.h>
#include <sorvik/tiling.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>

namespace sorvik {

// The rows of an image, handed out a band at a time. The image is read in
// passes from the top: the first finds the data's extremes and its noise
// level, the second filters. Within a pass, bands come in order and never
// overlap; rewind() starts a pass.
class RowSource {
public:
    virtual ~RowSource() = default;
    virtual void rewind() = 0;
    // Fills `band` with rows top .. top + count - 1 of every channel (the
    // denoised ones, then the kept ones). May throw whatever the caller of
    // the stream is prepared to catch.
    virtual void read(std::int32_t top, std::int32_t count, double* band) = 0;
};

// Receives the result, a band at a time, top to bottom, each row once.
class RowSink {
public:
    virtual ~RowSink() = default;
    virtual void write(std::int32_t top, std::int32_t count, const double* band) = 0;
};

struct StreamInput {
    std::int32_t rows = 0;
    std::int32_t cols = 0;
    int channels = 1;     // denoised: 1 (grey) or 3 (RGB)
    int keptChannels = 0; // after them, passed to the sink unchanged (an alpha channel)
    // The data's units; absent: floatDataRange of the data's extremes, found
    // in the first pass. Every value must lie within it.
    std::optional<DataRange> range;
    std::optional<double> sigma; // in the data's units; absent: estimated in the first pass
    // The noise model, as DenoiseInput takes it; what is absent is estimated
    // in the first pass.
    NoiseChoice noise = NoiseChoice::automatic;
    std::optional<double> gain, readNoise, offset;
};

// What the source and the sink hold beyond the bands they hand over: bytes a
// row of a band read or written, and bytes throughout (a file's row of tiles).
struct StreamCost {
    std::uint64_t perRowRead = 0;
    std::uint64_t perRowWritten = 0;
    std::uint64_t fixed = 0;
};

// Bands of coreRows rows, each cut into tiles of coreCols columns (the last
// band and tile take what remains), each tile filtered with its context.
struct StreamPlan {
    std::int32_t coreRows = 0;
    std::int32_t coreCols = 0;
    std::int32_t readRows = 0; // rows asked of the source at once
    std::uint64_t bytes = 0;   // the stream's peak, the source's and sink's costs included
    double overhead = 0.0;     // tile area filtered per core area, less 1
};

// A budget too small for cores of one pixel; `least` is the smallest that
// streams the image.
class StreamBudgetError : public std::invalid_argument {
public:
    StreamBudgetError(std::uint64_t least, const std::string& message);
    std::uint64_t least;
};

// Bytes that denoise() allocates at its peak on a rows x cols image of
// `channels` channels, beyond its input: the pipeline's planes, the basic
// estimate, the filter (filterMemoryBound), and the noise estimate when
// `estimate`. The parameters are the options' (their sigma is not read).
std::uint64_t denoiseMemoryBound(std::int32_t rows, std::int32_t cols, int channels,
                                 const DenoiseOptions& options, bool estimate);

// The plan with the least recomputed context whose peak fits in `budget`
// bytes; among those as good, the one with the largest cores. Where the
// model may be the correlated one, the peak counts its spectra's passes. Throws
// StreamBudgetError for a budget too small, std::invalid_argument for a bad
// input or parameters.
StreamPlan planStream(const StreamInput& input, const DenoiseOptions& options,
                      std::uint64_t budget, const StreamCost& cost = {});

// The first pass's findings: the data's range and the noise level.
struct StreamScan {
    DataRange range;
    double low = 0.0, high = 0.0; // the extremes of the denoised channels
    double sigma = 0.0;           // the input's, or estimated
    bool sigmaEstimated = false;  // sigma or any of the model's parameters
    NoiseModel noise;             // the model the second pass filters under
};

// The first pass. Where the choice may be the correlated model (asked for,
// or automatic with nothing given) it scores the blocks of the data's noise
// spectrum too, and a second pass measures the selected ones when the
// choice asks for the spectrum, as denoise() does. Throws NonFiniteValue (at its place in the image) for a
// value that is not finite, std::invalid_argument for a value outside the
// given range, a constant image or one without measurable noise (when sigma
// is to be estimated), with denoise()'s messages. A given sigma is checked
// as denoise() checks it, on filterStream's first tile, before any row is
// written.
StreamScan scanStream(RowSource& source, const StreamInput& input, const StreamPlan& plan);

// Called after each tile with the tiles done and their total.
using StreamProgress = std::function<void(std::int64_t done, std::int64_t total)>;

// The second pass: every band's tiles denoised, then the band written. Under
// the correlated model, two passes before it measure the spectra of the
// planes the stages filter (NoiseShapes), which every tile then takes. Throws
// as denoise() does; nothing is written before the first tile is done.
void filterStream(RowSource& source, RowSink& sink, const StreamInput& input,
                  const StreamScan& scan, const StreamPlan& plan, const DenoiseOptions& options,
                  const StreamProgress& progress = {});

// Plans, scans and filters: the one call for a front end with nothing to do
// between the passes.
StreamScan denoiseStream(RowSource& source, RowSink& sink, const StreamInput& input,
                         const DenoiseOptions& options, std::uint64_t budget,
                         const StreamCost& cost = {});

} // namespace sorvik

#endif
