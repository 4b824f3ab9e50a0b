// The streamed denoiser: a first pass for the range and the noise level, a
// second that filters bands of exact tiles (<sorvik/tiling.h>), and the
// memory plan both fit in.
#include <sorvik/stream.h>

#include "noise_model.h"
#include "noise_power.h"

#include <pilot/basic_estimate.h>
#include <sorvik/sorvik.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace sorvik {
namespace {

constexpr std::uint64_t MiB = std::uint64_t(1) << 20;
constexpr std::uint64_t unbounded = std::numeric_limits<std::uint64_t>::max();

std::uint64_t add(std::uint64_t a, std::uint64_t b) { return a > unbounded - b ? unbounded : a + b; }

std::uint64_t times(std::uint64_t a, std::uint64_t b)
{
    return b != 0 && a > unbounded / b ? unbounded : a * b;
}

void checkShape(const StreamInput& in)
{
    if (in.channels != 1 && in.channels != 3)
        throw std::invalid_argument("a stream denoises 1 (grey) or 3 (RGB) channels, not " +
                                    std::to_string(in.channels));
    if (in.keptChannels < 0 || in.keptChannels > 1)
        throw std::invalid_argument("a stream keeps 0 or 1 channel (alpha) aside, not " +
                                    std::to_string(in.keptChannels));
    if (in.rows < 1 || in.cols < 1)
        throw std::invalid_argument("the image is empty (" + std::to_string(in.rows) + " x " +
                                    std::to_string(in.cols) + ")");
}

// Whether the first pass estimates anything: not when sigma or the whole
// poisson-gaussian model is given.
bool estimates(const StreamInput& in) { return !in.sigma && !(in.gain && in.readNoise); }

// Whether the model may be the correlated one, whose spectrum the passes
// before filtering measure (denoise() asks for it in these cases alone).
bool mayBeCorrelated(const StreamInput& in)
{
    const bool anyParameter = in.gain || in.readNoise || in.offset;
    return in.noise == NoiseChoice::correlated ||
           (in.noise == NoiseChoice::automatic && !in.sigma && !anyParameter);
}

// The grouped stage's block size at a sigma on the 0..1 scale.
std::int32_t groupedBlockOf(const DenoiseOptions& options, double unitSigma)
{
    return options.grouped ? options.grouped->blockSize
                           : groupedSettings(options.choice, unitSigma).blockSize;
}

// The block size the data's own spectrum is measured at (correlatedModel's).
constexpr std::int32_t dataSpectrumBlock = 8;

TileGeometry geometryOf(const DenoiseOptions& options)
{
    TileGeometry g;
    g.blockSize = options.wiener.blockSize;
    g.searchRadius = options.wiener.searchRadius;
    g.step = options.wiener.step;
    g.pilotPerTile = true;
    g.pilot = pilotReach(options);
    return g;
}

// The peaks of both passes for one image, source and sink included.
struct PassCost {
    const StreamInput& in;
    const DenoiseOptions& options;
    const StreamCost& cost;
    TileContext context;
    std::int32_t readRows = 0;

    int allChannels() const { return in.channels + in.keptChannels; }
    std::uint64_t rowBytes() const
    {
        return std::uint64_t(in.cols) * std::uint64_t(allChannels()) * sizeof(double);
    }
    std::int32_t tileSide(std::int32_t core, std::int32_t length) const
    {
        return std::int32_t(
            std::min<std::int64_t>(length, std::int64_t(core) + context.before + context.after));
    }

    // Bands as read; with the estimate, its state and the band it reads
    // patches from (the last noisePatchSize - 1 rows carried over), twice
    // while it is rebuilt.
    std::uint64_t scanning() const
    {
        const std::uint64_t r = std::uint64_t(readRows);
        std::uint64_t bytes = r * rowBytes() + r * cost.perRowRead + cost.fixed;
        if (estimates(in))
            bytes = add(add(bytes, NoiseEstimator::memoryBound(in.rows, in.cols, in.channels)),
                        2 * (r + noisePatchSize) * std::uint64_t(in.cols) *
                            std::uint64_t(in.channels) * sizeof(double));
        if (!mayBeCorrelated(in))
            return bytes;
        // The data's spectrum, a channel at a time, beside the estimate;
        // then, apart from it, those of the planes the two stages filter
        // (the largest block counted for both) with a band of those planes.
        const auto spectrum = [&](std::int32_t P) {
            return detail::BandedSpectrum::memoryBound(in.rows, in.cols, P, readRows);
        };
        const std::uint64_t n = std::uint64_t(in.channels);
        bytes = add(bytes, times(spectrum(dataSpectrumBlock), n));
        const std::int32_t P = std::max(options.wiener.blockSize, groupedBlockOf(options, 0.0));
        std::uint64_t stages = r * rowBytes() + r * cost.perRowRead + cost.fixed;
        stages = add(stages, times(spectrum(P), 2 * n));
        stages = add(stages, r * std::uint64_t(in.cols) * n * sizeof(double));
        return std::max(bytes, stages);
    }

    // The input rows a band's tiles need and a band in transit, the band of
    // output, and one tile at work: its input, the pipeline on it, its core.
    std::uint64_t filtering(std::int32_t coreRows, std::int32_t coreCols) const
    {
        const std::int32_t th = tileSide(coreRows, in.rows), tw = tileSide(coreCols, in.cols);
        const std::uint64_t n = std::uint64_t(in.channels);
        const std::uint64_t r = std::uint64_t(readRows), M = std::uint64_t(coreRows);
        std::uint64_t bytes = (std::uint64_t(th) + r) * rowBytes() + r * cost.perRowRead +
                              cost.fixed + M * (rowBytes() + cost.perRowWritten);
        const std::uint64_t tilePixels = std::uint64_t(th) * std::uint64_t(tw);
        bytes = add(bytes, tilePixels * n * sizeof(double));
        bytes = add(bytes, M * std::uint64_t(coreCols) * n * sizeof(double));
        return add(bytes, denoiseMemoryBound(th, tw, in.channels, options, false));
    }
};

// The context of a streamed tile: a tile starts on the reference grid, up
// to step - 1 rows before the context it needs.
TileContext streamContext(const DenoiseOptions& options)
{
    TileContext c = tileContext(geometryOf(options));
    c.before += std::max(options.wiener.step, 1) - 1;
    return c;
}

// Spectra of the colour planes measured over passes of the source: each
// scored in one pass and measured in the next. Planes of the data as they
// are, or the planes the stages filter.
class SpectrumPasses {
public:
    struct Job {
        detail::BandedSpectrum spectrum;
        int channel;
        bool filterPlanes;
        bool scored = false, measured = false;
    };

    SpectrumPasses(const StreamInput& in, std::int32_t readRows) : in_(in), readRows_(readRows) {}

    // Adds a job; returns its index.
    std::size_t add(int channel, std::int32_t blockSize, bool filterPlanes)
    {
        jobs_.push_back(std::make_unique<Job>(
            Job{detail::BandedSpectrum(in_.rows, in_.cols, blockSize), channel, filterPlanes}));
        return jobs_.size() - 1;
    }
    Job& operator[](std::size_t k) { return *jobs_[k]; }

    // Each unfinished job's next phase, on one band of every plane.
    void band(const double* band, std::int32_t top, std::int32_t count)
    {
        const std::size_t W = std::size_t(in_.cols), h = std::size_t(count);
        const std::size_t plane = W * h, n = std::size_t(in_.channels);
        bool mapped = false;
        for (auto& job : jobs_) {
            if (job->measured)
                continue;
            const double* values = band;
            if (job->filterPlanes) {
                if (!mapped) {
                    planes_.assign(band, band + plane * n);
                    detail::toFilterPlanes(planes_.data(), plane, in_.channels, *range_);
                    mapped = true;
                }
                values = planes_.data();
            }
            values += std::size_t(job->channel) * plane;
            if (job->scored)
                job->spectrum.measure(values, top, count);
            else
                job->spectrum.score(values, top, count);
        }
    }

    // One pass of the source through every unfinished job.
    void pass(RowSource& source, const DataRange& range)
    {
        range_ = &range;
        const std::size_t all = std::size_t(in_.channels + in_.keptChannels);
        std::vector<double> rows;
        source.rewind();
        for (std::int32_t top = 0; top < in_.rows; top += readRows_) {
            const std::int32_t count = std::min(readRows_, in_.rows - top);
            rows.resize(std::size_t(count) * std::size_t(in_.cols) * all);
            source.read(top, count, rows.data());
            band(rows.data(), top, count);
        }
        endPass();
        planes_ = std::vector<double>();
    }

    // Jobs scored this pass select their blocks; those measured are done.
    void endPass()
    {
        for (auto& job : jobs_) {
            if (job->measured)
                continue;
            if (job->scored) {
                job->measured = true;
            } else {
                job->spectrum.select();
                job->scored = true;
            }
        }
    }

private:
    const StreamInput& in_;
    std::int32_t readRows_;
    std::vector<std::unique_ptr<Job>> jobs_;
    std::vector<double> planes_;
    const DataRange* range_ = nullptr;
};

// The extremes and, when it is to be estimated, the noise level, from one
// band of the first pass; the passes the correlated model needs follow it.
class Scanner {
public:
    Scanner(const StreamInput& in, std::int32_t readRows) : in_(in), spectra_(in, readRows)
    {
        if (estimates(in))
            estimator_ = std::make_unique<NoiseEstimator>(in.rows, in.cols, in.channels);
        if (mayBeCorrelated(in)) {
            // An image too small for the spectrum is white to the automatic
            // choice, and refused by the correlated model when asked for it.
            try {
                for (int k = 0; k < in.channels; ++k)
                    data_.push_back(spectra_.add(k, dataSpectrumBlock, false));
            } catch (const std::invalid_argument& e) {
                data_.clear();
                spectrumError_ = e.what();
            }
        }
    }

    void add(const double* band, std::int32_t top, std::int32_t count)
    {
        const std::size_t W = std::size_t(in_.cols), n = std::size_t(in_.channels);
        const std::size_t h = std::size_t(count);
        // Row by row, as the data arrives, so that the first bad value named
        // is the first in reading order.
        for (std::size_t i = 0; i < h; ++i)
            for (std::size_t j = 0; j < W; ++j)
                for (std::size_t k = 0; k < n; ++k) {
                    const double v = band[(k * W + j) * h + i];
                    if (!std::isfinite(v))
                        throw NonFiniteValue(top + std::int32_t(i), std::int32_t(j), int(k));
                    if (in_.range && (v < in_.range->low || v > in_.range->high))
                        throw std::invalid_argument(
                            "the value " + formatNumber(v) + " at row " +
                            std::to_string(top + std::int32_t(i)) + ", column " +
                            std::to_string(j) + ", channel " + std::to_string(k) +
                            " lies outside the data range [" + formatNumber(in_.range->low) +
                            ", " + formatNumber(in_.range->high) + "]");
                    low_ = std::min(low_, v);
                    high_ = std::max(high_, v);
                    sum_ += v;
                }
        if (!data_.empty())
            spectra_.band(band, top, count);
        if (!estimator_)
            return;
        // The estimate's next band: the rows of the last one that its
        // patches still reach, then the new rows.
        const std::int32_t first = estimator_->nextRow();
        const std::size_t kept = std::size_t(top - first), height = kept + h;
        const std::size_t lastHeight = std::size_t(bandRows_);
        next_.resize(height * W * n);
        for (std::size_t k = 0; k < n; ++k)
            for (std::size_t j = 0; j < W; ++j) {
                double* to = next_.data() + (k * W + j) * height;
                const double* from = band_.data() + (k * W + j) * lastHeight + std::size_t(first - bandTop_);
                std::copy(from, from + kept, to);
                std::copy(band + (k * W + j) * h, band + (k * W + j + 1) * h, to + kept);
            }
        estimator_->add(next_.data(), first, std::int32_t(height));
        band_.swap(next_);
        bandTop_ = first;
        bandRows_ = std::int32_t(height);
    }

    StreamScan finish(RowSource& source)
    {
        if (!data_.empty())
            spectra_.endPass();
        StreamScan scan;
        scan.low = low_;
        scan.high = high_;
        const double extremes[2] = {low_, high_};
        scan.range = in_.range ? *in_.range : floatDataRange(extremes, 1, 2, 1);
        // The in-memory call's own plan, on the extremes and the estimate
        // of the whole image, so that both choose the same model.
        DenoiseInput whole;
        whole.rows = in_.rows;
        whole.cols = in_.cols;
        whole.channels = in_.channels;
        whole.range = scan.range;
        whole.sigma = in_.sigma;
        whole.noise = in_.noise;
        whole.gain = in_.gain;
        whole.readNoise = in_.readNoise;
        whole.offset = in_.offset;
        whole.extremes = DataRange{low_, high_};
        const NoiseEstimator* estimator = estimator_.get();
        const auto white = [estimator](NoiseChoice choice, const detail::KnownNoise& known) {
            return estimator->estimateModel(choice, known.gain, known.readNoise, known.offset);
        };
        const detail::NoisePlan plan =
            detail::planNoise(whole, white, [&] { return dataSpectrum(source, scan.range); });
        scan.noise = plan.model;
        scan.sigma = plan.model.sigma;
        // As denoise() reports it: a sigma given is not estimated, though
        // the correlated model's spectrum is.
        scan.sigmaEstimated = plan.estimated && !in_.sigma;
        if (plan.model.kind == NoiseKind::poissonGaussian) {
            // As the in-memory call reports it: the noise at the mean level.
            const NoiseModel& m = plan.model;
            const double mean = sum_ / (double(in_.rows) * double(in_.cols) * double(in_.channels));
            scan.sigma = std::sqrt(std::max(m.gain * (mean - m.offset) + m.readNoise * m.readNoise, 0.0));
            scan.noise.sigma = scan.sigma;
        }
        if (!in_.sigma && plan.model.kind == NoiseKind::gaussian && !(scan.sigma > 0.0))
            throw std::invalid_argument(
                "no noise could be measured in the image (it is exactly smooth); give sigma");
        return scan;
    }

private:
    // The second pass: the data's spectrum measured.
    NoiseModel dataSpectrum(RowSource& source, const DataRange& range)
    {
        if (!spectrumError_.empty())
            throw std::invalid_argument(spectrumError_);
        spectra_.pass(source, range);
        std::vector<NoiseSpectrum> each;
        for (const std::size_t k : data_)
            each.push_back(spectra_[k].spectrum.finish());
        return detail::correlatedFromSpectrum(detail::meanSpectrum(each));
    }

    const StreamInput& in_;
    SpectrumPasses spectra_;
    std::vector<std::size_t> data_;
    std::string spectrumError_;
    std::unique_ptr<NoiseEstimator> estimator_;
    std::vector<double> band_, next_;
    std::int32_t bandTop_ = 0, bandRows_ = 0;
    double low_ = std::numeric_limits<double>::infinity();
    double high_ = -std::numeric_limits<double>::infinity();
    double sum_ = 0.0;
};

// The input rows the current band's tiles need, every channel, row-major
// within a channel so that rows leave at the top and join at the bottom.
class RowWindow {
public:
    RowWindow(RowSource& source, const StreamInput& in, std::int32_t readRows)
        : source_(source), W_(std::size_t(in.cols)), readRows_(readRows),
          planes_(std::size_t(in.channels + in.keptChannels))
    {
        source_.rewind();
    }

    // Holds rows [span.begin, span.end) afterwards; spans only move down.
    void hold(Span span)
    {
        if (span.begin > top_) {
            const std::size_t drop = std::size_t(std::min(span.begin - top_, count_));
            for (auto& plane : planes_)
                plane.erase(plane.begin(), plane.begin() + std::ptrdiff_t(drop * W_));
            top_ += std::int32_t(drop);
            count_ -= std::int32_t(drop);
        }
        while (top_ + count_ < span.end) {
            const std::int32_t from = top_ + count_;
            const std::int32_t count = std::min(readRows_, span.end - from);
            const std::size_t h = std::size_t(count);
            read_.resize(h * W_ * planes_.size());
            source_.read(from, count, read_.data());
            for (std::size_t k = 0; k < planes_.size(); ++k) {
                auto& plane = planes_[k];
                const std::size_t at = plane.size();
                plane.resize(at + h * W_);
                for (std::size_t j = 0; j < W_; ++j)
                    for (std::size_t i = 0; i < h; ++i)
                        plane[at + i * W_ + j] = read_[(k * W_ + j) * h + i];
            }
            count_ += count;
        }
    }

    // Channel k at image row `row`, from column `col`.
    const double* at(std::size_t k, std::int32_t row, std::int32_t col) const
    {
        return planes_[k].data() + std::size_t(row - top_) * W_ + std::size_t(col);
    }
    std::size_t width() const { return W_; }

private:
    RowSource& source_;
    std::size_t W_;
    std::int32_t readRows_;
    std::vector<std::vector<double>> planes_;
    std::vector<double> read_;
    std::int32_t top_ = 0, count_ = 0;
};

} // namespace

StreamBudgetError::StreamBudgetError(std::uint64_t leastBytes, const std::string& message)
    : std::invalid_argument(message), least(leastBytes)
{
}

std::uint64_t denoiseMemoryBound(std::int32_t rows, std::int32_t cols, int channels,
                                 const DenoiseOptions& options, bool estimate)
{
    if (rows < 0 || cols < 0 || channels < 1)
        return unbounded;
    const std::uint64_t plane = std::uint64_t(rows) * std::uint64_t(cols);
    const std::uint64_t n = std::uint64_t(channels);
    FilterParams params;
    params.rows = rows;
    params.cols = cols;
    params.blockSize = options.wiener.blockSize;
    params.searchRadius = options.wiener.searchRadius;
    params.maxGroupSize = options.wiener.maxGroupSize;
    params.step = options.wiener.step;
    // The data in the filter's units, the pilot and the filter's estimate in
    // single precision, the result; then the first stage and the Wiener
    // stage, one after the other.
    std::uint64_t bytes = times(plane, (8 + 4 + 4 + 8) * n);
    std::uint64_t stages = filterMemoryBound(params, channels, options.threads);
    if (options.pilot == PilotKind::dct) {
        stages = std::max(stages, basicEstimateMemoryBound(rows, cols, options.threads));
    } else {
        // The grouped stage runs on the same engine with its own shape; its
        // groups grow with sigma, so both ends of the noise are counted.
        for (double unitSigma : {0.0, 1.0}) {
            const GroupedSettings g = options.grouped ? *options.grouped
                                                      : groupedSettings(options.choice, unitSigma);
            FilterParams first = params;
            first.blockSize = g.blockSize;
            first.searchRadius = g.searchRadius;
            first.maxGroupSize = g.maxGroupSize;
            first.step = g.step;
            stages = std::max(stages, filterMemoryBound(first, channels, options.threads));
        }
    }
    bytes = add(bytes, stages);
    if (estimate)
        bytes = add(bytes, NoiseEstimator::memoryBound(rows, cols, channels));
    return bytes;
}

StreamPlan planStream(const StreamInput& in, const DenoiseOptions& options, std::uint64_t budget,
                      const StreamCost& cost)
{
    checkShape(in);
    PassCost pass{in, options, cost, streamContext(options)};
    pass.readRows = std::int32_t(std::clamp<std::uint64_t>(MiB / pass.rowBytes(), 8, 256));
    pass.readRows = std::min(pass.readRows, in.rows);
    const std::uint64_t scanning = pass.scanning();

    // Full width, every width of k equal tiles up to 256 of them, and powers
    // of two below: the least context is near one of them.
    std::set<std::int32_t> widths{in.cols};
    for (std::int32_t k = 2; k <= 256 && k <= in.cols; ++k)
        widths.insert((in.cols + k - 1) / k);
    for (std::int32_t w = 1; w < in.cols; w *= 2)
        widths.insert(w);

    StreamPlan best;
    bool found = false;
    if (scanning <= budget)
        for (const std::int32_t cw : widths) {
            if (pass.filtering(1, cw) > budget)
                continue;
            std::int32_t low = 1, high = in.rows;
            while (low < high) {
                const std::int32_t mid = low + (high - low + 1) / 2;
                if (pass.filtering(mid, cw) <= budget)
                    low = mid;
                else
                    high = mid - 1;
            }
            const double overhead = double(pass.tileSide(low, in.rows)) *
                                        double(pass.tileSide(cw, in.cols)) /
                                        (double(low) * double(cw)) -
                                    1.0;
            if (!found || overhead < best.overhead - 1e-9 ||
                (overhead <= best.overhead + 1e-9 &&
                 double(low) * cw > double(best.coreRows) * best.coreCols)) {
                best.coreRows = low;
                best.coreCols = cw;
                best.overhead = overhead;
                found = true;
            }
        }
    if (!found) {
        const std::uint64_t least = std::max(scanning, pass.filtering(1, 1));
        throw StreamBudgetError(least, std::to_string(budget) +
                                           " bytes are too few to stream the image; the least "
                                           "that streams it is " +
                                           std::to_string(least));
    }
    best.readRows = pass.readRows;
    best.bytes = std::max(scanning, pass.filtering(best.coreRows, best.coreCols));
    return best;
}

namespace {

// The shapes denoise() filters the whole image's correlated noise with, from
// the planes the stages filter: two more passes, scoring and measuring.
NoiseShapes streamedShapes(RowSource& source, const StreamInput& in, const StreamScan& scan,
                           std::int32_t readRows, const DenoiseOptions& options)
{
    const std::int32_t wienerBlock = options.wiener.blockSize;
    const std::int32_t groupedBlock = groupedBlockOf(options, scan.range.sigmaToUnit(scan.sigma));
    SpectrumPasses spectra(in, readRows);
    std::vector<std::size_t> wiener, grouped;
    for (int k = 0; k < in.channels; ++k) {
        wiener.push_back(spectra.add(k, wienerBlock, true));
        if (groupedBlock != wienerBlock)
            grouped.push_back(spectra.add(k, groupedBlock, true));
    }
    spectra.pass(source, scan.range);
    spectra.pass(source, scan.range);
    std::vector<NoiseSpectrum> wienerSpectra, groupedSpectra;
    for (const std::size_t k : wiener)
        wienerSpectra.push_back(spectra[k].spectrum.finish());
    for (const std::size_t k : grouped)
        groupedSpectra.push_back(spectra[k].spectrum.finish());
    NoiseShapes shapes = detail::colouredFromSpectra(wienerSpectra, groupedSpectra);
    // A sigma given sets the level; the spectrum keeps its shape. Read from
    // the scan, which holds that sigma (or the spectrum's own, a level of
    // exactly 1), so that a caller need not repeat it in `in`.
    const double level = scan.sigma / scan.noise.spectrum.sigma;
    for (double& v : shapes.sigma)
        v *= level;
    return shapes;
}

} // namespace

StreamScan scanStream(RowSource& source, const StreamInput& in, const StreamPlan& plan)
{
    checkShape(in);
    if (plan.readRows < 1)
        throw std::invalid_argument("the plan reads no rows at a time");
    Scanner scanner(in, plan.readRows);
    const std::size_t all = std::size_t(in.channels + in.keptChannels);
    std::vector<double> band;
    source.rewind();
    for (std::int32_t top = 0; top < in.rows; top += plan.readRows) {
        const std::int32_t count = std::min(plan.readRows, in.rows - top);
        band.resize(std::size_t(count) * std::size_t(in.cols) * all);
        source.read(top, count, band.data());
        scanner.add(band.data(), top, count);
    }
    return scanner.finish(source);
}

void filterStream(RowSource& source, RowSink& sink, const StreamInput& in, const StreamScan& scan,
                  const StreamPlan& plan, const DenoiseOptions& options,
                  const StreamProgress& progress)
{
    checkShape(in);
    if (plan.coreRows < 1 || plan.coreCols < 1 || plan.readRows < 1)
        throw std::invalid_argument("the plan's cores and reads must be at least 1 pixel");
    const TileGeometry g = geometryOf(options);
    const std::vector<Span> bands = coreSpans(in.rows, plan.coreRows);
    const std::vector<Span> across = coreSpans(in.cols, plan.coreCols);
    std::vector<Span> columns;
    for (const Span& c : across)
        columns.push_back(tileSpan(g, in.cols, c));
    const std::size_t n = std::size_t(in.channels), all = n + std::size_t(in.keptChannels);
    const std::size_t W = std::size_t(in.cols);

    DenoiseInput input;
    input.channels = in.channels;
    input.range = scan.range;
    input.sigma = scan.sigma;
    // Counts: the tiles' own values are transformed in place and the cores
    // inverted, the steps denoise() takes around the same filter, so that no
    // tile holds a transformed copy beside it.
    std::optional<detail::StabilisedProblem> stabilised;
    if (scan.noise.kind == NoiseKind::poissonGaussian) {
        stabilised = detail::stabilisedProblem(scan.noise, scan.low, scan.high);
        stabilised->gaussianInput(input);
    }
    // Correlated noise: every tile filters with the whole image's shapes.
    if (scan.noise.kind == NoiseKind::correlated) {
        input.noise = NoiseChoice::correlated;
        input.shapes = streamedShapes(source, in, scan, plan.readRows, options);
    }
    RowWindow window(source, in, plan.readRows);
    std::vector<double> tileIn, out;
    const std::int64_t total = std::int64_t(bands.size()) * std::int64_t(across.size());
    std::int64_t done = 0;
    for (const Span& band : bands) {
        const Span rows = tileSpan(g, in.rows, band);
        window.hold(rows);
        const std::size_t M = std::size_t(band.size());
        out.assign(M * W * all, 0.0);
        for (std::size_t k = n; k < all; ++k)
            for (std::size_t i = 0; i < M; ++i) {
                const double* from = window.at(k, band.begin + std::int32_t(i), 0);
                for (std::size_t j = 0; j < W; ++j)
                    out[(k * W + j) * M + i] = from[j];
            }
        for (std::size_t t = 0; t < across.size(); ++t) {
            const Tile tile{rows, columns[t], band, across[t]};
            const std::size_t tr = std::size_t(rows.size()), tc = std::size_t(tile.cols.size());
            tileIn.resize(tr * tc * n);
            for (std::size_t k = 0; k < n; ++k)
                for (std::size_t i = 0; i < tr; ++i) {
                    const double* from = window.at(k, rows.begin + std::int32_t(i), tile.cols.begin);
                    for (std::size_t j = 0; j < tc; ++j)
                        tileIn[(k * tc + j) * tr + i] = from[j];
                }
            if (stabilised)
                for (double& v : tileIn)
                    v = stabilised->stabiliser.forward(v);
            input.rows = rows.size();
            input.cols = tile.cols.size();
            input.pixels = tileIn.data();
            std::vector<double> core = denoiseTile(in.rows, in.cols, tile, input, options);
            if (stabilised)
                for (double& v : core)
                    v = stabilised->stabiliser.inverse(v);
            const std::size_t cc = std::size_t(tile.coreCols.size());
            for (std::size_t k = 0; k < n; ++k)
                std::copy(core.data() + k * cc * M, core.data() + (k + 1) * cc * M,
                          out.data() + (k * W + std::size_t(tile.coreCols.begin)) * M);
            if (progress)
                progress(++done, total);
        }
        sink.write(band.begin, band.size(), out.data());
    }
}

StreamScan denoiseStream(RowSource& source, RowSink& sink, const StreamInput& input,
                         const DenoiseOptions& options, std::uint64_t budget,
                         const StreamCost& cost)
{
    const StreamPlan plan = planStream(input, options, budget, cost);
    const StreamScan scan = scanStream(source, input, plan);
    filterStream(source, sink, input, scan, plan, options);
    return scan;
}

} // namespace sorvik
