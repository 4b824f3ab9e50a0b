// sorvik_denoise: the one-call denoiser as a MEX function.
//
//   J = sorvik_denoise(I)
//   J = sorvik_denoise(I, sigma)
//   [J, sigma, model] = sorvik_denoise(I, [sigma], 'Name', value, ...)
//
// I is what imread gives (uint8 or uint16, M x N or M x N x 3) or single or
// double data; M x N x 2 and M x N x 4 carry an alpha channel, which passes
// through unchanged. sigma is in the units of I. J has I's class and size.
// With 'Frames', true, I is M x N x K grey or M x N x 3 x K RGB frames,
// denoised together (<sorvik/stack.h>).
//
// Error exits leave mexFunction without unwinding (a longjmp in some hosts, an
// exception in others), so all the work runs in denoiseCall, whose locals are
// gone before mexFunction raises: the message is formatted into a buffer of
// mexFunction's own, and the outputs are created only once the work is done.
#include <sorvik/denoise.h>
#include <sorvik/stack.h>
#include <frontend/first_stage.h>
#include <frontend/noise_choice.h>
#include <frontend/parameters.h>
#include "mex.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace {

struct Failure {
    const char* id = nullptr;
    char message[768] = {};
};

__attribute__((format(printf, 3, 4))) bool failWith(Failure& failure, const char* id,
                                                    const char* format, ...)
{
    failure.id = id;
    va_list args;
    va_start(args, format);
    std::vsnprintf(failure.message, sizeof failure.message, format, args);
    va_end(args);
    return false;
}

// The image as the caller holds it.
struct Image {
    mxClassID classID = mxUNKNOWN_CLASS;
    std::int32_t rows = 0, cols = 0;
    int planes = 1;     // as given, alpha included
    int colour = 1;     // planes denoised: 1 or 3
    bool alpha = false; // the last plane is alpha
    const mxArray* array = nullptr;
    bool stack = false;      // 'Frames', true: the last dimension counts frames
    std::int32_t frames = 1;
};

struct Request {
    Image image;
    std::optional<double> sigma;
    std::optional<sorvik::DataRange> range;
    sorvik::DenoiseOptions options;
    sorvik::Request table; // as the parameter table read it
};

bool isRealNumeric(const mxArray* a)
{
    return mxIsNumeric(a) && !mxIsComplex(a) && !mxIsSparse(a);
}

// 'Frames' (any case) names the stack switch, which the table does not hold.
bool isFramesName(const mxArray* a)
{
    char name[8] = {};
    if (!mxIsChar(a) || mxGetNumberOfElements(a) != 6 || mxGetString(a, name, sizeof name) != 0)
        return false;
    for (char& ch : name)
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return std::strcmp(name, "frames") == 0;
}

bool readStack(const mxArray* a, Image& image, Failure& failure);

bool readImage(const mxArray* a, Image& image, Failure& failure)
{
    if (image.stack)
        return readStack(a, image, failure);
    const mxClassID c = mxGetClassID(a);
    if (mxIsSparse(a))
        return failWith(failure, "sorvik:invalidImage",
                        "Input 1 (I) must be a full array; got a sparse %s matrix (full (I) converts it).",
                        mxGetClassName(a));
    if (!isRealNumeric(a) ||
        (c != mxUINT8_CLASS && c != mxUINT16_CLASS && c != mxSINGLE_CLASS && c != mxDOUBLE_CLASS))
        return failWith(failure, "sorvik:invalidImage",
                        "Input 1 (I) must be a real uint8, uint16, single or double array; got %s%s.",
                        mxIsComplex(a) ? "complex " : "", mxGetClassName(a));
    const mwSize dimensions = mxGetNumberOfDimensions(a);
    const mwSize* size = mxGetDimensions(a);
    const auto rows = static_cast<unsigned long long>(size[0]);
    const auto cols = static_cast<unsigned long long>(size[1]);
    const auto planes = dimensions >= 3 ? static_cast<unsigned long long>(size[2]) : 1ULL;
    if (dimensions > 3 || planes < 1 || planes > 4)
        return failWith(failure, "sorvik:invalidImage",
                        "Input 1 (I) must be M x N (grey), M x N x 2 (grey and alpha), M x N x 3 (RGB) "
                        "or M x N x 4 (RGB and alpha); got %d dimensions with %llu planes.",
                        static_cast<int>(dimensions), planes);
    if (rows == 0 || cols == 0)
        return failWith(failure, "sorvik:invalidImage", "Input 1 (I) is empty (%llu x %llu); it needs pixels to denoise.",
                        rows, cols);
    constexpr unsigned long long maxSide = 0x7fffffff;
    if (rows > maxSide || cols > maxSide)
        return failWith(failure, "sorvik:tooLarge", "Input 1 (I) may have at most %llu rows and columns.",
                        maxSide);
    image.classID = c;
    image.rows = static_cast<std::int32_t>(rows);
    image.cols = static_cast<std::int32_t>(cols);
    image.planes = static_cast<int>(planes);
    image.alpha = planes == 2 || planes == 4;
    image.colour = planes >= 3 ? 3 : 1;
    image.array = a;
    return true;
}

// With 'Frames', true: M x N x K grey frames or M x N x 3 x K colour ones
// (M x N is one grey frame), of readImage's classes.
bool readStack(const mxArray* a, Image& image, Failure& failure)
{
    const mxClassID c = mxGetClassID(a);
    if (mxIsSparse(a) || !isRealNumeric(a) ||
        (c != mxUINT8_CLASS && c != mxUINT16_CLASS && c != mxSINGLE_CLASS && c != mxDOUBLE_CLASS))
        return failWith(failure, "sorvik:invalidImage",
                        "Input 1 (I) must be a full real uint8, uint16, single or double array; got %s%s.",
                        mxIsSparse(a) ? "sparse " : mxIsComplex(a) ? "complex " : "", mxGetClassName(a));
    const mwSize dimensions = mxGetNumberOfDimensions(a);
    const mwSize* size = mxGetDimensions(a);
    const bool colour = dimensions == 4;
    if (dimensions > 4 || (colour && size[2] != 3))
        return failWith(failure, "sorvik:invalidImage",
                        "With 'Frames', Input 1 (I) must be M x N x K (grey frames) or M x N x 3 x K (RGB "
                        "frames); got %d dimensions%s.",
                        static_cast<int>(dimensions), colour ? " with other than 3 planes" : "");
    const auto frames = static_cast<unsigned long long>(dimensions >= 3 ? size[dimensions - 1] : 1);
    const auto rows = static_cast<unsigned long long>(size[0]);
    const auto cols = static_cast<unsigned long long>(size[1]);
    constexpr unsigned long long maxSide = 0x7fffffff;
    if (rows == 0 || cols == 0 || frames == 0)
        return failWith(failure, "sorvik:invalidImage", "Input 1 (I) holds no frames to denoise.");
    if (rows > maxSide || cols > maxSide || frames > maxSide)
        return failWith(failure, "sorvik:tooLarge", "Input 1 (I) may have at most %llu rows, columns and frames.",
                        maxSide);
    image.rows = static_cast<std::int32_t>(size[0]);
    image.cols = static_cast<std::int32_t>(size[1]);
    image.frames = static_cast<std::int32_t>(frames);
    image.colour = colour ? 3 : 1;
    image.planes = image.colour;
    image.alpha = false;
    image.classID = c;
    image.array = a;
    return true;
}

bool readSigma(const mxArray* a, std::optional<double>& sigma, Failure& failure)
{
    if (mxIsEmpty(a) && isRealNumeric(a))
        return true; // []: estimate it
    if (!isRealNumeric(a) || mxGetNumberOfElements(a) != 1 || mxIsLogical(a))
        return failWith(failure, "sorvik:invalidSigma",
                        "Input 2 (sigma) must be a real numeric scalar, or [] to estimate it.");
    const double value = mxGetScalar(a);
    if (!std::isfinite(value) || !(value > 0))
        return failWith(failure, "sorvik:invalidSigma",
                        "Input 2 (sigma) must be a finite number above 0, in the units of I; got %g.",
                        value);
    sigma = value;
    return true;
}

// Every name-value pair is read by the row of the parameter table that the
// name picks, by the type of the request's field it fills; bounds are left
// to sorvik::validate, which checks them all once the image is known.
bool readValue(const sorvik::Parameter& row, const mxArray* value, sorvik::Request& r, Failure& failure)
{
    const std::string name = sorvik::quotedName(row, sorvik::FrontEnd::octave);
    // Complex, sparse, logical and text values are refused for every option
    // alike, whatever their contents.
    const bool numeric = isRealNumeric(value) && !mxIsLogical(value);
    const bool scalar = numeric && mxGetNumberOfElements(value) == 1;
    bool ok = true;
    std::visit(
        [&](auto member) {
            auto& field = r.*member;
            using Field = std::decay_t<decltype(field)>;
            if constexpr (std::is_same_v<Field, std::int64_t> || std::is_same_v<Field, std::optional<std::int64_t>>) {
                const double x = scalar ? mxGetScalar(value) : std::nan("");
                // Beyond 2^53 a double holds no odd numbers; the bound refuses it anyway.
                if (!(std::fabs(x) <= 0x1.0p53) || x != std::floor(x)) {
                    ok = failWith(failure, "sorvik:invalidParameter", "%s must be a whole number from %.17g to %.17g.",
                                  name.c_str(), row.low, row.high);
                    return;
                }
                field = static_cast<std::int64_t>(x);
            } else if constexpr (std::is_same_v<Field, double> || std::is_same_v<Field, std::optional<double>>) {
                if (!scalar) {
                    ok = failWith(failure, "sorvik:invalidParameter", "%s must be a number from %.17g to %.17g.",
                                  name.c_str(), row.low, row.high);
                    return;
                }
                field = mxGetScalar(value);
            } else if constexpr (std::is_same_v<Field, std::optional<double>>) {
                // The noise model's levels; bounds are validate's.
                if (!scalar) {
                    ok = failWith(failure, "sorvik:invalidParameter",
                                  "%s must be a real numeric scalar, in the units of I.", name.c_str());
                    return;
                }
                field = mxGetScalar(value);
            } else if constexpr (std::is_same_v<Field, std::optional<std::string>>) {
                char text[32] = {};
                if (row.kind != sorvik::ParameterKind::choice || !mxIsChar(value) ||
                    mxGetString(value, text, sizeof text) != 0) {
                    std::string list;
                    for (const char* c : row.choices)
                        list += std::string(list.empty() ? "'" : ", '") + c + "'";
                    ok = failWith(failure, "sorvik:invalidParameter", "%s must be one of %s.", name.c_str(),
                                  list.c_str());
                    return;
                }
                // Names are taken in any case; their values too.
                for (char* c = text; *c != '\0'; ++c)
                    *c = char(std::tolower(static_cast<unsigned char>(*c)));
                field = std::string(text);
            } else if constexpr (std::is_same_v<Field, std::optional<std::pair<double, double>>>) {
                if (!numeric || mxGetNumberOfElements(value) != 2 || mxGetClassID(value) != mxDOUBLE_CLASS) {
                    ok = failWith(failure, "sorvik:invalidParameter",
                                  "%s must be a double pair [low, high], the values that map to 0 and 1.",
                                  name.c_str());
                    return;
                }
                field = std::make_pair(mxGetPr(value)[0], mxGetPr(value)[1]);
            } else if constexpr (std::is_same_v<Field, std::vector<double>>) {
                if (!numeric || mxGetClassID(value) != mxDOUBLE_CLASS || mxGetNumberOfDimensions(value) != 2 ||
                    mxGetM(value) != mxGetN(value) || mxGetM(value) < 2 || mxGetM(value) > 64) {
                    ok = failWith(failure, "sorvik:invalidParameter",
                                  "%s must be a real square double matrix, BlockSize x BlockSize.", name.c_str());
                    return;
                }
                // Window(r + 1, c + 1) weights block pixel (r, c); the request holds it row by row.
                const std::size_t p = mxGetM(value);
                const double* data = mxGetPr(value);
                field.assign(p * p, 0.0);
                for (std::size_t row = 0; row < p; ++row)
                    for (std::size_t col = 0; col < p; ++col)
                        field[row * p + col] = data[row + col * p];
            } else {
                // Options of the tool alone have no Octave name, so no row
                // of theirs is ever found here.
                ok = failWith(failure, "sorvik:unknownParameter", "%s is not an Octave parameter.", name.c_str());
            }
        },
        row.field);
    return ok;
}

bool unknownParameter(const char* name, Failure& failure)
{
    std::string list;
    std::size_t left = 0;
    for (const sorvik::Parameter& row : sorvik::parameters())
        left += row.octave != nullptr ? 1 : 0;
    for (const sorvik::Parameter& row : sorvik::parameters()) {
        if (row.octave == nullptr)
            continue;
        --left;
        list += (list.empty() ? "'" : left == 0 ? " and '" : ", '") + std::string(row.octave) + "'";
    }
    return failWith(failure, "sorvik:unknownParameter", "Unknown parameter '%s'; the parameters are %s.", name,
                    list.c_str());
}

bool readRequest(int nlhs, int nrhs, const mxArray* prhs[], Request& r, Failure& failure)
{
    if (nlhs > 3)
        return failWith(failure, "sorvik:tooManyOutputs",
                        "sorvik_denoise gives at most 3 outputs (J, sigma and the noise model); %d were "
                        "asked for.",
                        nlhs);
    if (nrhs < 1)
        return failWith(failure, "sorvik:notEnoughInputs", "sorvik_denoise needs the image I.");
    // 'Frames' decides how I reads; its value is checked with the others.
    for (int k = 1; k + 1 < nrhs; ++k)
        if (isFramesName(prhs[k]))
            r.image.stack = mxIsLogical(prhs[k + 1]) || isRealNumeric(prhs[k + 1])
                                ? mxGetNumberOfElements(prhs[k + 1]) == 1 && mxGetScalar(prhs[k + 1]) != 0
                                : false;
    if (!readImage(prhs[0], r.image, failure))
        return false;
    int next = 1;
    if (nrhs > 1 && !mxIsChar(prhs[1])) {
        if (!readSigma(prhs[1], r.sigma, failure))
            return false;
        next = 2;
    }
    sorvik::Request request;
    for (; next < nrhs; next += 2) {
        char name[32] = {};
        if (!mxIsChar(prhs[next]) || mxGetString(prhs[next], name, sizeof name) != 0)
            return failWith(failure, "sorvik:invalidParameter",
                            "Input %d must be a parameter name such as 'BlockSize'.", next + 1);
        if (next + 1 >= nrhs)
            return failWith(failure, "sorvik:invalidParameter", "Parameter '%s' has no value.", name);
        if (isFramesName(prhs[next])) {
            const mxArray* value = prhs[next + 1];
            if (!(mxIsLogical(value) || isRealNumeric(value)) || mxGetNumberOfElements(value) != 1)
                return failWith(failure, "sorvik:invalidParameter",
                                "'Frames' must be true or false (a logical or numeric scalar).");
            continue;
        }
        const sorvik::Parameter* row = sorvik::findParameter(sorvik::FrontEnd::octave, name);
        if (row == nullptr || row->octave == nullptr)
            return unknownParameter(name, failure);
        if (!readValue(*row, prhs[next + 1], request, failure))
            return false;
    }
    request.sigma = r.sigma;
    try {
        sorvik::Subject subject;
        subject.rows = r.image.rows;
        subject.cols = r.image.cols;
        subject.integerData = r.image.classID == mxUINT8_CLASS || r.image.classID == mxUINT16_CLASS;
        sorvik::validate(request, sorvik::FrontEnd::octave, subject);
    } catch (const std::invalid_argument& e) {
        return failWith(failure, "sorvik:invalidParameter", "%s", e.what());
    }
    r.table = request.withProfile(r.image.stack, r.image.colour > 1);
    r.options.wiener = r.table.wiener();
    sorvik::applyFirstStage(r.table, r.options);
    r.options.threads =
        request.threads ? static_cast<int>(*request.threads) : sorvik::defaultThreads(sorvik::FrontEnd::octave);
    if (request.range)
        r.range = sorvik::userDataRange(request.range->first, request.range->second);
    return true;
}

template <class T>
void toPlanar(const T* data, std::size_t count, std::vector<double>& out)
{
    out.resize(count);
    for (std::size_t i = 0; i < count; ++i)
        out[i] = static_cast<double>(data[i]);
}

// I's first `count` values as doubles (`planes` planes), and the range of
// their units: the type's for integers, the data's for floats.
sorvik::DataRange readPixels(const Image& im, std::size_t count, int planes, std::vector<double>& pixels)
{
    const void* data = mxGetData(im.array);
    switch (im.classID) {
    case mxUINT8_CLASS:
        toPlanar(static_cast<const std::uint8_t*>(data), count, pixels);
        return sorvik::uint8Range;
    case mxUINT16_CLASS:
        toPlanar(static_cast<const std::uint16_t*>(data), count, pixels);
        return sorvik::uint16Range;
    case mxSINGLE_CLASS:
        sorvik::checkFinite(static_cast<const float*>(data), im.rows, im.cols, planes);
        toPlanar(static_cast<const float*>(data), count, pixels);
        break;
    default:
        sorvik::checkFinite(static_cast<const double*>(data), im.rows, im.cols, planes);
        toPlanar(static_cast<const double*>(data), count, pixels);
        break;
    }
    return sorvik::floatDataRange(pixels.data(), im.rows, im.cols, planes);
}

// Alpha passes through, but a NaN or an opacity past 0..1 in float data is
// no alpha at all, and every writer of it would have to guess.
template <class T>
std::size_t badAlpha(const T* alpha, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        if (!(alpha[i] >= T(0) && alpha[i] <= T(1)))
            return i;
    return count;
}

bool denoiseStackCall(int nlhs, mxArray* plhs[], const Request& r, Failure& failure);


// The third output: the noise model as a struct.
bool modelOutput(const sorvik::NoiseModel& m, mxArray*& slot, Failure& failure)
{
    const char* fields[] = {"Kind", "Sigma", "Gain", "ReadNoise", "Offset"};
    mxArray* model = mxCreateStructMatrix(1, 1, 5, fields);
    if (model == nullptr)
        return failWith(failure, "sorvik:outOfMemory", "Out of memory creating the output.");
    mxSetField(model, 0, "Kind", mxCreateString(sorvik::noiseKindName(m.kind)));
    mxSetField(model, 0, "Sigma", mxCreateDoubleScalar(m.sigma));
    mxSetField(model, 0, "Gain", mxCreateDoubleScalar(m.gain));
    mxSetField(model, 0, "ReadNoise", mxCreateDoubleScalar(m.readNoise));
    mxSetField(model, 0, "Offset", mxCreateDoubleScalar(m.offset));
    slot = model;
    return true;
}

// Runs the denoiser; fills J (and sigma) only when all went well.
bool denoiseCall(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[], Failure& failure)
{
    Request r;
    if (!readRequest(nlhs, nrhs, prhs, r, failure))
        return false;
    if (r.image.stack)
        return denoiseStackCall(nlhs, plhs, r, failure);
    const Image& im = r.image;
    const std::size_t plane = std::size_t(im.rows) * std::size_t(im.cols);
    const std::size_t colourValues = plane * std::size_t(im.colour);
    try {
        std::vector<double> pixels;
        const void* data = mxGetData(im.array);
        sorvik::DataRange range = readPixels(im, colourValues, im.colour, pixels);
        if (r.range)
            range = *r.range;
        if (im.alpha && (im.classID == mxSINGLE_CLASS || im.classID == mxDOUBLE_CLASS)) {
            const std::size_t bad = im.classID == mxSINGLE_CLASS
                                        ? badAlpha(static_cast<const float*>(data) + colourValues, plane)
                                        : badAlpha(static_cast<const double*>(data) + colourValues, plane);
            if (bad < plane)
                return failWith(failure, "sorvik:invalidImage",
                                "The alpha plane of Input 1 (I) must hold opacities from 0 to 1; the value at "
                                "row %d, column %d is not.",
                                int(bad % std::size_t(im.rows)) + 1, int(bad / std::size_t(im.rows)) + 1);
        }

        sorvik::DenoiseInput input;
        input.rows = im.rows;
        input.cols = im.cols;
        input.channels = im.colour;
        input.pixels = pixels.data();
        input.range = range;
        input.sigma = r.sigma;
        sorvik::applyNoise(r.table, input);
        try {
            sorvik::checkOffset(r.table, sorvik::FrontEnd::octave,
                                *std::max_element(pixels.begin(), pixels.end()));
        } catch (const std::invalid_argument& e) {
            return failWith(failure, "sorvik:invalidParameter", "%s", e.what());
        }
        const sorvik::DenoiseResult result = sorvik::denoise(input, r.options);
        pixels = std::vector<double>();

        // The outputs, once nothing can fail but their own allocation.
        const mwSize* size = mxGetDimensions(im.array);
        mxArray* out = mxCreateNumericArray(mxGetNumberOfDimensions(im.array), size, im.classID, mxREAL);
        if (out == nullptr)
            return failWith(failure, "sorvik:outOfMemory", "Out of memory creating the output.");
        void* o = mxGetData(out);
        switch (im.classID) {
        case mxUINT8_CLASS: {
            auto* q = static_cast<std::uint8_t*>(o);
            for (std::size_t i = 0; i < colourValues; ++i)
                q[i] = sorvik::toUint8(result.pixels[i]);
            break;
        }
        case mxUINT16_CLASS: {
            auto* q = static_cast<std::uint16_t*>(o);
            for (std::size_t i = 0; i < colourValues; ++i)
                q[i] = sorvik::toUint16(result.pixels[i]);
            break;
        }
        case mxSINGLE_CLASS: {
            auto* q = static_cast<float*>(o);
            for (std::size_t i = 0; i < colourValues; ++i)
                q[i] = static_cast<float>(result.pixels[i]);
            break;
        }
        default:
            std::copy(result.pixels.begin(), result.pixels.end(), static_cast<double*>(o));
            break;
        }
        if (im.alpha) {
            const std::size_t bytes = mxGetElementSize(im.array);
            std::memcpy(static_cast<char*>(o) + colourValues * bytes,
                        static_cast<const char*>(data) + colourValues * bytes, plane * bytes);
        }
        plhs[0] = out;
        if (nlhs > 1)
            plhs[1] = mxCreateDoubleScalar(result.sigma);
        return nlhs < 3 || modelOutput(result.noise, plhs[2], failure);
    } catch (const sorvik::NonFiniteValue& e) {
        return failWith(failure, "sorvik:nonFiniteInput",
                        "Input 1 (I) must hold finite values; the value at row %d, column %d, plane %d is not.",
                        e.row + 1, e.col + 1, e.channel + 1);
    } catch (const std::invalid_argument& e) {
        return failWith(failure, "sorvik:invalidInput", "%s",
                        sorvik::noiseAdvice(e.what(), sorvik::FrontEnd::octave).c_str());
    } catch (const std::bad_alloc&) {
        return failWith(failure, "sorvik:outOfMemory", "Out of memory denoising a %d x %d image.", im.rows,
                        im.cols);
    } catch (const std::exception& e) {
        return failWith(failure, "sorvik:failed", "%s", e.what());
    }
}

// 'Frames', true: the frames denoised together (<sorvik/stack.h>), one
// noise model and one range for all of them.
bool denoiseStackCall(int nlhs, mxArray* plhs[], const Request& r, Failure& failure)
{
    const Image& im = r.image;
    const sorvik::Request& t = r.table;
    const std::size_t count = std::size_t(im.rows) * std::size_t(im.cols) * std::size_t(im.colour) *
                              std::size_t(im.frames);
    const int planes = im.colour * im.frames;
    try {
        std::vector<double> pixels;
        sorvik::StackInput input;
        input.range = readPixels(im, count, planes, pixels);
        if (r.range)
            input.range = *r.range;
        input.rows = im.rows;
        input.cols = im.cols;
        input.channels = im.colour;
        input.frames = im.frames;
        input.pixels = pixels.data();
        input.sigma = r.sigma;
        sorvik::applyNoise(t, input);
        try {
            sorvik::checkOffset(t, sorvik::FrontEnd::octave, *std::max_element(pixels.begin(), pixels.end()));
        } catch (const std::invalid_argument& e) {
            return failWith(failure, "sorvik:invalidParameter", "%s", e.what());
        }
        sorvik::StackOptions stack;
        stack.temporalRadius = static_cast<int>(t.temporalRadius);
        stack.predictiveRadius = static_cast<int>(t.predictiveRadius);
        const sorvik::StackResult result = sorvik::denoiseStack(input, r.options, stack);
        pixels = std::vector<double>();

        mxArray* out = mxCreateNumericArray(mxGetNumberOfDimensions(im.array), mxGetDimensions(im.array),
                                            im.classID, mxREAL);
        if (out == nullptr)
            return failWith(failure, "sorvik:outOfMemory", "Out of memory creating the output.");
        void* o = mxGetData(out);
        for (std::size_t i = 0; i < count; ++i) {
            const double v = result.pixels[i];
            if (im.classID == mxUINT8_CLASS)
                static_cast<std::uint8_t*>(o)[i] = sorvik::toUint8(v);
            else if (im.classID == mxUINT16_CLASS)
                static_cast<std::uint16_t*>(o)[i] = sorvik::toUint16(v);
            else if (im.classID == mxSINGLE_CLASS)
                static_cast<float*>(o)[i] = static_cast<float>(v);
            else
                static_cast<double*>(o)[i] = v;
        }
        plhs[0] = out;
        if (nlhs > 1)
            plhs[1] = mxCreateDoubleScalar(result.sigma);
        return nlhs < 3 || modelOutput(result.noise, plhs[2], failure);
    } catch (const sorvik::NonFiniteValue& e) {
        return failWith(failure, "sorvik:nonFiniteInput",
                        "Input 1 (I) must hold finite values; the value at row %d, column %d, plane %d of "
                        "frame %d is not.",
                        e.row + 1, e.col + 1, e.channel % im.colour + 1, e.channel / im.colour + 1);
    } catch (const std::invalid_argument& e) {
        return failWith(failure, "sorvik:invalidInput", "%s",
                        sorvik::noiseAdvice(e.what(), sorvik::FrontEnd::octave).c_str());
    } catch (const std::bad_alloc&) {
        return failWith(failure, "sorvik:outOfMemory", "Out of memory denoising %d frames of %d x %d.",
                        im.frames, im.rows, im.cols);
    } catch (const std::exception& e) {
        return failWith(failure, "sorvik:failed", "%s", e.what());
    }
}

} // namespace

extern "C" void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[])
{
    Failure failure;
    if (!denoiseCall(nlhs, plhs, nrhs, prhs, failure))
        mexErrMsgIdAndTxt(failure.id, "%s", failure.message);
}
