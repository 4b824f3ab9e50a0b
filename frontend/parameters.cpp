#include "frontend/parameters.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>

namespace sorvik {

namespace {

// Bounds by sense: beyond them a value is a slip of the keyboard, and would
// otherwise be bounded only by the memory it asks for (a block of 10000
// pixels a side plans gigabytes before anything says no). A block needs
// 64^2 coefficients a group in every thread's scratch already; a group of
// 4096 blocks and a radius of 4096 positions are far past any gain.
constexpr double maxBlockSide = 64;
constexpr double maxGroup = 4096;
constexpr double maxRadius = 4096;
constexpr double maxThreads = 1024;
// The grouped first stage's block side at every sigma (GroupedSettings).
constexpr std::int64_t defaultFirstBlockSize = 6;
// A threshold of 1000 sigma already zeroes all but the DC.
constexpr double maxLambda = 1000;
constexpr double wholeTop = double(std::numeric_limits<std::int64_t>::max());

std::vector<Parameter> makeTable()
{
    using K = ParameterKind;
    using L = LinkedBound;
    return {
        {"sigma", "--sigma", "sigma", nullptr, K::noiseLevel, 0.0, "estimated", 0.0, 0.0, L::none,
         "Noise standard deviation in the data's units (levels of 8- or 16-bit data, values of "
         "float data); default: estimated",
         "Octave and MATLAB take it as the second argument, not by name, as their "
         "image functions do",
         &Request::sigma},
        {"noise model", "--noise", "noise_model", "NoiseModel", K::choice, 0.0, "auto", 0.0, 0.0, L::none,
         "Noise model: auto (chosen from the image), gaussian (one level, sigma), "
         "correlated (one level, not white: camera JPEGs; its spectrum measured) or "
         "poisson-gaussian (photon counts: gain, read noise, offset)",
         nullptr, &Request::noise, {"auto", "gaussian", "correlated", "poisson-gaussian"}},
        {"gain", "--gain", "gain", "Gain", K::positive, 0.0, "estimated", 0.0, 0.0, L::none,
         "Poisson-gaussian noise: data units per photon; default: estimated", nullptr, &Request::gain},
        {"read noise", "--read-noise", "read_noise", "ReadNoise", K::positive, 0.0, "estimated", 0.0, 0.0,
         L::none, "Poisson-gaussian noise: the signal-free noise's standard deviation in the data's units; "
         "default: estimated",
         nullptr, &Request::readNoise},
        {"offset", "--offset", "offset", "Offset", K::level, 0.0, "estimated", 0.0, 0.0, L::none,
         "Poisson-gaussian noise: the data's value at no signal (black level); default: estimated",
         nullptr, &Request::offset},
        {"profile", "--profile", "profile", "Profile", K::choice, 0.0, "default", 0.0, 0.0, L::none,
         "Where on the quality-time curve the one call sits: fast (about NL-means' time), default, or "
         "quality (slower, a little better); any step, search radius, group size or first-stage value "
         "given as well replaces the profile's",
         "The Wiener stage alone (a given pilot) takes no profile: it has its own defaults",
         &Request::profile, {"fast", "default", "quality"}},
        {"block size", "--block-size", "block_size", "BlockSize", K::whole, defaultBlockSize, "8", 2,
         maxBlockSide, L::imageSide, "Block side in pixels", nullptr, &Request::blockSize},
        {"step", "--step", "step", "Step", K::whole, 0.0, "4, or the profile's; at most the block size", 1,
         maxBlockSide, L::blockSize,
         "Spacing of the reference blocks", nullptr,
         &Request::step},
        {"maximum group size", "--max-group-size", "max_group_size", "MaxGroupSize", K::whole, 0.0,
         "32, or the profile's", 1, maxGroup, L::none,
         "Most blocks in a group, the reference included", nullptr, &Request::maxGroupSize},
        {"search radius", "--search-radius", "search_radius", "SearchRadius", K::whole, 0.0,
         "16, or the profile's; 8 in stacks", 0, maxRadius, L::none,
         "Block positions searched on each side of the reference", nullptr, &Request::searchRadius},
        {"match threshold", "--match-threshold", "match_threshold", "MatchThreshold", K::real,
         defaultMatchThreshold, "0.19685, or the profile's", 0, double(maxMatchThreshold), L::none,
         "Largest pilot spectral distance of a matched block", nullptr, &Request::matchThreshold},
        {"window", "--window", "window", "Window", K::window, 0.0, "kaiser:2", 0.0, 0.0, L::none,
         "Aggregation window: kaiser:BETA (BETA 0 to 40) or FILE",
         "The tool reads kaiser:BETA or a file of weights; Python and Octave take a block_size x "
         "block_size matrix (Python's kaiser_window makes one), as their users hold windows",
         &Request::window},
        {"threads", "--threads", "threads", "Threads", K::whole, 0.0, "every processor", 1, maxThreads,
         L::none, "Worker threads (default: one per processor); the same result for any number",
         "Dask takes threads per task and defaults to 1: its scheduler already runs a task on every "
         "processor, and more threads a task would only contend with them",
         &Request::threads},
        {"data range", "--range", "data_range", "Range", K::rangePair, 0.0,
         "0,1 when every value lies in it, else the data's minimum and maximum", 0.0, 0.0, L::none,
         "Span of a float file's values, mapped onto 0..1 (default: 0,1 when every value lies in it, "
         "else the data's minimum and maximum)",
         nullptr, &Request::range},
        {"memory", "--memory", nullptr, nullptr, K::size, 0.0, "256M", 1, 0.0, L::none,
         "Peak memory; a larger image is streamed in bands (K, M, G, T: powers of 1024)",
         "The tool alone: Python and Octave hold the whole image in memory already, and Dask's "
         "tiles bound its tasks",
         &Request::memory},
        {"max pixels", "--max-pixels", nullptr, nullptr, K::count, 0.0, "134217728", 0, wholeTop, L::none,
         "Largest image read, in pixels; 0: no limit but sorvik's own",
         "The tool alone: it reads files, whose headers may claim any size; the other front "
         "ends get arrays the caller already holds",
         &Request::maxPixels},
        {"depth", "--depth", nullptr, nullptr, K::choice, 0.0, "as the input", 0.0, 0.0, L::none,
         "Output samples: 8, 16 or float (default: as the input); PNG stores float as 16 bits",
         "The tool alone: Python and Octave return the caller's own array type",
         &Request::depth, {"8", "16", "float"}},
        {"first stage", "--first-stage", "first_stage", "FirstStage", K::choice, 0.0, "grouped, or the profile's", 0.0, 0.0,
         L::none,
         "How the Wiener stage's pilot is made: grouped (matched blocks thresholded together) or dct "
         "(each 8 x 8 block alone: faster, rougher)",
         nullptr, &Request::firstStage, {"grouped", "dct"}},
        {"first stage's block size", "--first-block-size", "first_block_size", "FirstBlockSize", K::whole,
         0.0, "6", 2, maxBlockSide, L::imageSide, "The grouped first stage's block side in pixels", nullptr,
         &Request::firstBlockSize},
        {"first stage's step", "--first-step", "first_step", "FirstStep", K::whole, 0.0,
         "4, or the profile's (quality: 3, 4 above sigma 40 of 255); at most the first block size", 1, maxBlockSide, L::firstBlockSize,
         "The grouped first stage's spacing of reference blocks", nullptr, &Request::firstStep},
        {"first stage's maximum group size", "--first-max-group-size", "first_max_group_size",
         "FirstMaxGroupSize", K::whole, 0.0, "16, or the profile's (quality: 32 above sigma 40 of 255)", 1, maxGroup, L::none,
         "The grouped first stage's most blocks in a group", nullptr, &Request::firstMaxGroupSize},
        {"first stage's search radius", "--first-search-radius", "first_search_radius", "FirstSearchRadius",
         K::whole, 0.0, "12, or the profile's; 8 in stacks", 0, maxRadius, L::none,
         "The grouped first stage's block positions searched on each side of the reference", nullptr,
         &Request::firstSearchRadius},
        {"first stage's threshold", "--first-lambda", "first_lambda", "FirstLambda", K::real, 0.0,
         "2.5", 0, maxLambda, L::none,
         "The grouped first stage's hard threshold, in multiples of sigma", nullptr, &Request::firstLambda},
        {"first stage's match threshold", "--first-match-threshold", "first_match_threshold",
         "FirstMatchThreshold", K::real, 0.0, "max(0.2, 260 sigma^2), sigma on 0..1", 0,
         double(maxMatchThreshold), L::none,
         "The grouped first stage's largest spectral distance of a matched block, on the noisy image",
         nullptr, &Request::firstMatchThreshold},
        {"temporal radius", "--temporal-radius", "temporal_radius", "TemporalRadius", K::whole, 3, "3", 0, 16,
         L::none,
         "Stacks (--frames, frame_axis, 'Frames'): frames on each side of a frame whose blocks join "
         "its groups; 0 denoises each frame alone",
         nullptr, &Request::temporalRadius},
        {"predictive search radius", "--predictive-radius", "predictive_radius", "PredictiveRadius", K::whole, 4,
         "4", 0, 64, L::none,
         "Stacks: block positions searched in each neighbouring frame around where the frame "
         "next to it found its best match",
         nullptr, &Request::predictiveRadius},
    };
}

bool sameLetters(const std::string& a, const char* b)
{
    std::size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return i == a.size() && b[i] == '\0';
}

std::string whole(double v) { return formatNumber(v); }

[[noreturn]] void refuse(const std::string& message) { throw std::invalid_argument(message); }

// The Wiener stage's sigma, the tool's sizes and the window have checks of
// their own beside the bounds.
void checkWhole(const Parameter& row, FrontEnd fe, std::int64_t value, const Request& r, const Subject& s)
{
    const std::string name = quotedName(row, fe);
    if (double(value) < row.low)
        refuse(name + " must be at least " + whole(row.low) + ", not " + std::to_string(value));
    if (double(value) > row.high)
        refuse(name + " must be at most " + whole(row.high) + ", not " + std::to_string(value));
    if (row.linked == LinkedBound::blockSize && value > r.blockSize)
        refuse(name + " must lie between " + whole(row.low) + " and the block size (" +
               std::to_string(r.blockSize) + "), not " + std::to_string(value));
    const std::int64_t firstBlock = r.firstBlockSize.value_or(defaultFirstBlockSize);
    if (row.linked == LinkedBound::firstBlockSize && value > firstBlock)
        refuse(name + " must lie between " + whole(row.low) + " and the first stage's block size (" +
               std::to_string(firstBlock) + "), not " + std::to_string(value));
    if (row.linked == LinkedBound::imageSide && s.rows > 0 && s.cols > 0 &&
        (value > s.rows || value > s.cols))
        refuse(name + " " + std::to_string(value) + " is larger than the image (" + std::to_string(s.rows) +
               " x " + std::to_string(s.cols) + "): it is smaller than one " + std::to_string(value) + " x " +
               std::to_string(value) + " block");
}

void checkRow(const Parameter& row, FrontEnd fe, const Request& r, const Subject& s)
{
    const std::string name = quotedName(row, fe);
    switch (row.kind) {
    case ParameterKind::whole:
    case ParameterKind::count:
        if (auto p = std::get_if<std::int64_t Request::*>(&row.field))
            checkWhole(row, fe, r.*(*p), r, s);
        else if (auto q = std::get_if<std::optional<std::int64_t> Request::*>(&row.field); q && (r.*(*q)))
            checkWhole(row, fe, *(r.*(*q)), r, s);
        else if (auto c = std::get_if<std::optional<std::uint64_t> Request::*>(&row.field);
                 c && (r.*(*c)) && double(*(r.*(*c))) > row.high)
            refuse(name + " must be at most " + whole(row.high) + ", not " + std::to_string(*(r.*(*c))));
        break;
    case ParameterKind::real:
    {
        std::optional<double> v;
        if (auto p = std::get_if<double Request::*>(&row.field))
            v = r.*(*p);
        else if (auto q = std::get_if<std::optional<double> Request::*>(&row.field))
            v = r.*(*q);
        if (v && (!std::isfinite(*v) || *v < row.low || *v > row.high))
            refuse(name + " must be a finite number from " + formatNumber(row.low) + " to " +
                   formatNumber(row.high) + ", not " + formatNumber(*v));
        break;
    }
    case ParameterKind::noiseLevel: {
        const auto& sigma = r.*std::get<std::optional<double> Request::*>(row.field);
        if (sigma && (!std::isfinite(*sigma) || !(*sigma > 0.0)))
            refuse(name + " must be a finite number > 0, in the data's units, not " + formatNumber(*sigma));
        break;
    }
    case ParameterKind::positive:
    case ParameterKind::level: {
        const auto& v = r.*std::get<std::optional<double> Request::*>(row.field);
        if (v && !std::isfinite(*v))
            refuse(name + " must be a finite number, in the data's units, not " + formatNumber(*v));
        if (v && row.kind == ParameterKind::positive && !(*v > 0.0))
            refuse(name + " must be a finite number > 0, in the data's units, not " + formatNumber(*v));
        break;
    }
    case ParameterKind::rangePair: {
        const auto& range = r.*std::get<std::optional<std::pair<double, double>> Request::*>(row.field);
        if (!range)
            break;
        if (s.integerData)
            refuse(name + " applies to float images; integer images use their type's range");
        if (!std::isfinite(range->first) || !std::isfinite(range->second) || !(range->first < range->second) ||
            !std::isfinite(range->second - range->first))
            refuse(name + " needs finite ends with low < high, not [" + formatNumber(range->first) + ", " +
                   formatNumber(range->second) + "]");
        break;
    }
    case ParameterKind::window: {
        const auto& weights = r.*std::get<std::vector<double> Request::*>(row.field);
        if (weights.empty())
            break;
        try {
            checkWindow(weights, std::int32_t(r.blockSize));
        } catch (const std::invalid_argument& e) {
            refuse(name + ": " + e.what());
        }
        break;
    }
    case ParameterKind::size: {
        const auto& bytes = r.*std::get<std::optional<std::uint64_t> Request::*>(row.field);
        if (bytes && double(*bytes) < row.low)
            refuse(name + " must be more than 0 bytes");
        break;
    }
    case ParameterKind::choice: {
        const auto& text = r.*std::get<std::optional<std::string> Request::*>(row.field);
        if (text && std::none_of(row.choices.begin(), row.choices.end(),
                                 [&](const char* c) { return *text == c; })) {
            std::string list;
            for (const char* c : row.choices)
                list += std::string(list.empty() ? "" : ", ") + c;
            refuse(name + " must be one of " + list + ", not '" + *text + "'");
        }
        break;
    }
    }
}

} // namespace

const char* Parameter::spelling(FrontEnd frontEnd) const
{
    switch (frontEnd) {
    case FrontEnd::tool:
        return flag;
    case FrontEnd::python:
    case FrontEnd::dask:
        return keyword;
    case FrontEnd::octave:
        // Sigma is Input 2 there; it is still named in messages.
        return octave != nullptr ? octave : (kind == ParameterKind::noiseLevel ? "sigma" : nullptr);
    }
    return nullptr;
}

std::string quotedName(const Parameter& row, FrontEnd frontEnd)
{
    const char* spelt = row.spelling(frontEnd);
    const std::string name = spelt != nullptr ? spelt : row.name;
    if (frontEnd == FrontEnd::octave)
        return row.kind == ParameterKind::noiseLevel ? "Input 2 (sigma)" : "'" + name + "'";
    return name;
}

const std::vector<Parameter>& parameters()
{
    static const std::vector<Parameter> table = makeTable();
    return table;
}

const Parameter* findParameter(FrontEnd frontEnd, const std::string& name)
{
    for (const Parameter& row : parameters()) {
        const char* spelt = row.spelling(frontEnd);
        if (spelt == nullptr)
            continue;
        if (frontEnd == FrontEnd::octave ? sameLetters(name, spelt) : name == spelt)
            return &row;
    }
    return nullptr;
}

std::int32_t Request::stepOrDefault() const
{
    return std::int32_t(step ? *step : std::min<std::int64_t>(defaultStep, blockSize));
}

WienerSettings Request::wiener() const
{
    WienerSettings w;
    w.blockSize = std::int32_t(blockSize);
    w.step = stepOrDefault();
    w.maxGroupSize = std::int32_t(maxGroupSize.value_or(defaultMaxGroupSize));
    w.searchRadius = std::int32_t(searchRadius.value_or(defaultSearchRadius));
    w.matchThreshold = matchThreshold.value_or(defaultMatchThreshold);
    w.window = window;
    return w;
}

const std::vector<Profile>& profiles()
{
    // Chosen on bench/curve.py's curve (docs/performance.md, "The quality-time
    // curve"); the measurement behind each is recorded there. Colour's curve
    // is flat from OpenCV's time on (within 0.1 dB up to the quality point),
    // so its points sit lower on it.
    static const std::vector<Profile> table = {
        {"fast", {4, 10, 16, 0.3, "dct", std::nullopt, std::nullopt, std::nullopt},
         {6, 10, 16, std::nullopt, "dct", std::nullopt, std::nullopt, std::nullopt}},
        {"default", {4, 16, 32, std::nullopt, "grouped", 4, 12, 16},
         {5, 12, 32, std::nullopt, "grouped", 4, 12, 16}},
        // The default before profiles, with its bits, for both.
        {"quality",
         {defaultStep, defaultSearchRadius, defaultMaxGroupSize, std::nullopt, "grouped", std::nullopt,
          std::nullopt, std::nullopt},
         {defaultStep, defaultSearchRadius, defaultMaxGroupSize, std::nullopt, "grouped", std::nullopt,
          std::nullopt, std::nullopt}},
    };
    return table;
}

// A stack's groups find most of their blocks in the frames around, each
// searched near where its neighbour found the best match, so a frame's own
// search area can be narrow; what that saves pays for a third frame on each
// side (bench/stack_bench.py, docs/stacks.md).
constexpr std::int64_t framesSearchRadius = 8;
constexpr std::int64_t framesFirstSearchRadius = 8;

Request Request::withProfile(bool frames, bool colour) const
{
    const bool together = frames && temporalRadius > 0;
    const std::string name = profile.value_or("default");
    const auto found = std::find_if(profiles().begin(), profiles().end(),
                                    [&](const Profile& p) { return name == p.name; });
    if (found == profiles().end())
        throw std::invalid_argument("no profile '" + name + "'");
    const ProfilePoint& p = colour ? found->colour : found->grey;
    Request r = *this;
    // A step past the block would not be a step; the profile's is kept
    // within the block as the default one is.
    if (!r.step)
        r.step = std::min(p.step, r.blockSize);
    if (!r.maxGroupSize)
        r.maxGroupSize = p.maxGroupSize;
    if (!r.searchRadius)
        r.searchRadius = together ? std::min(p.searchRadius, framesSearchRadius) : p.searchRadius;
    if (!r.matchThreshold)
        r.matchThreshold = p.matchThreshold;
    // A grouped-stage value given means the grouped stage, whatever the
    // profile's first stage.
    const bool groupedGiven = r.firstBlockSize || r.firstStep || r.firstMaxGroupSize || r.firstSearchRadius ||
                              r.firstLambda || r.firstMatchThreshold;
    if (!r.firstStage && !groupedGiven)
        r.firstStage = std::string(p.firstStage);
    if (r.firstStage && *r.firstStage == "dct")
        return r;
    if (!r.firstStep && p.firstStep)
        r.firstStep = std::min(*p.firstStep, r.firstBlockSize.value_or(defaultFirstBlockSize));
    if (!r.firstSearchRadius)
        r.firstSearchRadius = together ? std::optional<std::int64_t>(framesFirstSearchRadius) : p.firstSearchRadius;
    if (!r.firstMaxGroupSize)
        r.firstMaxGroupSize = p.firstMaxGroupSize;
    return r;
}

namespace {

// Whether a row sets the grouped first stage (and so means nothing to the
// other one).
bool setsGroupedStage(const Parameter& row, const Request& r)
{
    using W = std::optional<std::int64_t> Request::*;
    using D = std::optional<double> Request::*;
    for (W f : {&Request::firstBlockSize, &Request::firstStep, &Request::firstMaxGroupSize,
                &Request::firstSearchRadius})
        if (row.field == RequestField(f))
            return bool(r.*f);
    for (D f : {&Request::firstLambda, &Request::firstMatchThreshold})
        if (row.field == RequestField(f))
            return bool(r.*f);
    return false;
}

const Parameter& rowOf(const std::string& toolFlag) { return *findParameter(FrontEnd::tool, toolFlag); }

// Rows that only make sense together: sigma is white noise's alone.
void checkNoiseModel(const Request& r, FrontEnd fe)
{
    const std::string sigma = quotedName(rowOf("--sigma"), fe);
    const std::string model = quotedName(rowOf("--noise"), fe);
    if (r.sigma && r.noise == std::optional<std::string>("poisson-gaussian"))
        refuse(model + " poisson-gaussian cannot be given with " + sigma +
               " (its noise follows the signal); give " + quotedName(rowOf("--gain"), fe) + " and " +
               quotedName(rowOf("--read-noise"), fe) + " instead, or leave " + model + " out");
    for (const char* flag : {"--gain", "--read-noise", "--offset"}) {
        const Parameter& row = rowOf(flag);
        if (!(r.*std::get<std::optional<double> Request::*>(row.field)))
            continue;
        if (r.sigma)
            refuse(quotedName(row, fe) + " belongs to the poisson-gaussian noise model and " + sigma +
                   " to white noise: give one or the other");
        for (const char* other : {"gaussian", "correlated"})
            if (r.noise == std::optional<std::string>(other))
                refuse(quotedName(row, fe) + " belongs to the poisson-gaussian noise model, not " +
                       model + " " + other);
    }
}

} // namespace

void checkOffset(const Request& request, FrontEnd frontEnd, double dataMaximum)
{
    if (request.offset && *request.offset > dataMaximum)
        refuse(quotedName(rowOf("--offset"), frontEnd) + " " + formatNumber(*request.offset) +
               " lies above the data's maximum " + formatNumber(dataMaximum) + ": no signal would remain");
}

std::string noiseAdvice(const std::string& message, FrontEnd frontEnd)
{
    const std::string neutral = "give its gain and read noise, or the gaussian model with a sigma";
    const std::size_t at = message.find(neutral);
    if (at == std::string::npos)
        return message;
    const auto name = [&](const char* flag) { return quotedName(rowOf(flag), frontEnd); };
    const std::string model = name("--noise");
    const std::string gaussian = frontEnd == FrontEnd::tool     ? model + " gaussian --sigma S"
                                 : frontEnd == FrontEnd::octave ? model + " 'gaussian' with sigma"
                                                                : model + "='gaussian' with sigma";
    return message.substr(0, at) + "give " + name("--gain") + " and " + name("--read-noise") + ", or " + gaussian +
           message.substr(at + neutral.size());
}

void validate(const Request& request, FrontEnd frontEnd, const Subject& subject)
{
    for (const Parameter& row : parameters())
        checkRow(row, frontEnd, request, subject);
    checkNoiseModel(request, frontEnd);
    // A value the call would ignore is more likely a slip than a wish.
    if (!request.firstStage || *request.firstStage != "dct")
        return;
    const Parameter* stage = nullptr;
    for (const Parameter& row : parameters())
        if (row.field == RequestField(&Request::firstStage))
            stage = &row;
    for (const Parameter& row : parameters())
        if (setsGroupedStage(row, request))
            refuse(quotedName(row, frontEnd) + " sets the grouped first stage, but " +
                   quotedName(*stage, frontEnd) + " is dct");
}

int defaultThreads(FrontEnd frontEnd)
{
    if (frontEnd == FrontEnd::dask)
        return 1;
    const unsigned n = std::thread::hardware_concurrency();
    return int(std::clamp<unsigned>(n, 1, unsigned(maxThreads)));
}

} // namespace sorvik
