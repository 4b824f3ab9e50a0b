// The options every front end offers, in one table: each row names an option
// as the tool, Python and Octave/MATLAB spell it, with its kind, default,
// bounds and help. The tool's options, the MEX name-value parser and the
// Python defaults are all read from it, and one Request, filled by whichever
// front end, is checked once by walking it.
//
// Adding an option: a field in Request and a row in parameters.cpp. The
// front ends then parse, bound, document and report it with nothing more;
// only the code that uses the value needs to learn of it.
#ifndef SORVIK_FRONTEND_PARAMETERS_H
#define SORVIK_FRONTEND_PARAMETERS_H

#include "frontend/settings.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace sorvik {

enum class FrontEnd { tool, python, dask, octave };

enum class ParameterKind {
    whole,      // an integer
    real,       // a finite number
    noiseLevel, // sigma: a number > 0 in the data's units; unset: estimated
    rangePair,  // (low, high) of float data
    window,     // kaiser:BETA or a file (tool), a block_size x block_size matrix
    size,       // bytes, with K, M, G or T (tool)
    count,      // a whole number of 0 or more
    choice,     // one of `choices`
    positive,   // a finite number > 0 in the data's units; unset: estimated
    level,      // a finite number in the data's units; unset: estimated
};

// The values of one call, as the user gave them; unset means the default.
struct Request {
    std::optional<double> sigma; // in the data's units
    // The noise model: "auto", "gaussian" or "poisson-gaussian"; unset: auto.
    std::optional<std::string> noise;
    std::optional<double> gain;      // data units per photon
    std::optional<double> readNoise; // in the data's units
    std::optional<double> offset;    // the data's value at no signal
    // A point on the quality-time curve: "fast", "default" or "quality";
    // unset: the default one. It fills only the values left unset here.
    std::optional<std::string> profile;
    std::int64_t blockSize = defaultBlockSize;
    std::optional<std::int64_t> step; // unset: the profile's, else min(defaultStep, block size)
    std::optional<std::int64_t> maxGroupSize; // unset: the profile's, else defaultMaxGroupSize
    std::optional<std::int64_t> searchRadius; // unset: the profile's, else defaultSearchRadius
    std::optional<double> matchThreshold; // unset: the profile's, else defaultMatchThreshold
    // Row by row, block_size^2 weights; empty: the Kaiser window of the
    // default beta (the tool reads its own kaiser:BETA or file later).
    std::vector<double> window;
    std::optional<std::int64_t> threads; // unset: every processor (Dask: 1)
    std::optional<std::pair<double, double>> range;
    std::optional<std::uint64_t> memory;    // the tool's peak; unset: 256M
    std::optional<std::uint64_t> maxPixels; // the tool's largest image; 0: no limit
    std::optional<std::string> depth;       // the tool's output samples
    // The first stage, whose result is the Wiener stage's pilot: "grouped"
    // or "dct"; unset: grouped. Its parameters unset follow sigma.
    std::optional<std::string> firstStage;
    std::optional<std::int64_t> firstBlockSize;
    std::optional<std::int64_t> firstStep; // unset: by sigma, at most the first block size
    std::optional<std::int64_t> firstMaxGroupSize;
    std::optional<std::int64_t> firstSearchRadius;
    std::optional<double> firstLambda;
    std::optional<double> firstMatchThreshold;
    // Stacks of frames denoised together: the frames on each side that lend
    // a frame blocks, and how far around its predicted place a block is
    // looked for in each (the defaults of <sorvik/stack.h>).
    std::int64_t temporalRadius = 3;
    std::int64_t predictiveRadius = 4;

    // The step, resolved.
    std::int32_t stepOrDefault() const;
    // The Wiener stage's settings (sigma left at 0), unset values at the
    // Wiener stage's own defaults; only after validate.
    WienerSettings wiener() const;
    // The one call's request: every value left unset that the profile
    // (named, else the default one) sets, set from it. The Wiener stage
    // alone takes no profile. Only after validate. `frames`: a stack's call,
    // whose groups draw on the frames around (a temporal radius above 0):
    // its search areas left unset are the narrower ones of stacks.
    // `colour`: an image of several channels, which takes the profile's
    // colour point.
    Request withProfile(bool frames = false, bool colour = false) const;
};

// One point of the one call's parameters on the quality-time curve; a value
// it leaves unset follows sigma or the defaults.
struct ProfilePoint {
    std::int64_t step, searchRadius, maxGroupSize; // the Wiener stage
    std::optional<double> matchThreshold;
    const char* firstStage; // "grouped" or "dct"
    std::optional<std::int64_t> firstStep, firstSearchRadius, firstMaxGroupSize;
};

// A named place on the quality-time curve (bench/curve.py), one point for
// grey images and one for colour: a colour group costs three channels'
// transforms for one search, so the two curves reach a given time at
// different parameters.
struct Profile {
    const char* name;
    ProfilePoint grey, colour;
};

const std::vector<Profile>& profiles();

// What a field of Request a row reads.
using RequestField =
    std::variant<std::int64_t Request::*, std::optional<std::int64_t> Request::*, double Request::*,
                 std::optional<double> Request::*, std::vector<double> Request::*,
                 std::optional<std::pair<double, double>> Request::*, std::optional<std::uint64_t> Request::*,
                 std::optional<std::string> Request::*>;

// A bound that another value sets besides the row's own.
enum class LinkedBound { none, blockSize, imageSide, firstBlockSize };

struct Parameter {
    const char* name;    // in prose: "block size"
    const char* flag;    // the tool's, or nullptr where it has none
    const char* keyword; // Python's, or nullptr
    const char* octave;  // the Octave/MATLAB name, or nullptr
    ParameterKind kind;
    double defaultValue; // whole and real rows; others: 0
    const char* defaultText;
    double low, high; // whole, real and count rows
    LinkedBound linked;
    const char* help;
    // Where a front end takes it otherwise on purpose, and why; else nullptr.
    const char* differs;
    RequestField field;
    std::vector<const char*> choices = {};

    // The name as `frontEnd` spells it ("--block-size", "block_size",
    // "'BlockSize'"), or nullptr where that front end has no such option.
    const char* spelling(FrontEnd frontEnd) const;
};

const std::vector<Parameter>& parameters();

// The row an Octave/MATLAB name (any case), a Python keyword or a tool flag
// names; nullptr for none.
const Parameter* findParameter(FrontEnd frontEnd, const std::string& name);

// The front end's spelling in quotes for messages: "--block-size",
// "block_size", "'BlockSize'".
std::string quotedName(const Parameter& row, FrontEnd frontEnd);

// What the checks know of the image; a zero side is unknown yet.
struct Subject {
    std::int32_t rows = 0;
    std::int32_t cols = 0;
    bool integerData = false; // uint8 / uint16: the type gives the range
};

// An offset above the data's maximum leaves no signal to stabilise; the
// front ends check it once they hold the data. Throws std::invalid_argument
// naming the option as `frontEnd` spells it.
void checkOffset(const Request& request, FrontEnd frontEnd, double dataMaximum);

// The denoiser's advice on a noise model it cannot fit ("give its gain and
// read noise, or the gaussian model with a sigma") in the front end's own
// spelling; other messages come back as they are.
std::string noiseAdvice(const std::string& message, FrontEnd frontEnd);

// Checks every value the request holds against its row, in the table's
// order, before any work: bounds (the block size also by the image's
// smaller side), a step within the block, a sigma > 0, a range of finite
// ends with low < high and only for float data, a window of block_size^2
// weights that single precision holds as normal numbers > 0, a gain and
// read noise > 0, no poisson-gaussian parameter beside sigma or the
// gaussian model, and the first stage's parameters only with the grouped
// first stage. Throws
// std::invalid_argument naming the option as `frontEnd` spells it and
// quoting the value as given.
void validate(const Request& request, FrontEnd frontEnd, const Subject& subject = {});

// The thread count a front end uses when none is given.
int defaultThreads(FrontEnd frontEnd);

} // namespace sorvik

#endif
