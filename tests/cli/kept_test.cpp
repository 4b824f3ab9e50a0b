// What the tool keeps of a file, and what it refuses or says it cannot keep:
// pages with a pilot, integer units of every width, colour spaces,
// orientation, associated alpha, sample precision; and the failures that
// must stay clean (a full disk, a closed standard error, a read-only output).
#include "tests/cli/crafted_files.h"
#include "tests/cli/tool_fixture.h"

#include <jpeglib.h>

#include <cstdio>
#include <cstring>

namespace sorvik {
namespace {

using namespace tooltest;

bool isFloatType(OIIO::TypeDesc t)
{
    return t == OIIO::TypeDesc::FLOAT || t == OIIO::TypeDesc::DOUBLE || t == OIIO::TypeDesc::HALF;
}

template <typename T>
void pack(const std::vector<double>& v, std::vector<unsigned char>& bytes)
{
    bytes.resize(v.size() * sizeof(T));
    for (std::size_t i = 0; i < v.size(); ++i) {
        const T q = T(v[i]);
        std::memcpy(bytes.data() + i * sizeof(T), &q, sizeof(T));
    }
}

template <typename T>
void unpack(const std::vector<unsigned char>& bytes, std::vector<double>& v)
{
    v.resize(bytes.size() / sizeof(T));
    for (std::size_t i = 0; i < v.size(); ++i) {
        T q;
        std::memcpy(&q, bytes.data() + i * sizeof(T), sizeof(T));
        v[i] = double(q);
    }
}

// Calls f with a value of the C++ type that holds samples of `t`.
template <typename F>
void withType(OIIO::TypeDesc t, F f)
{
    if (t == OIIO::TypeDesc::UINT8)
        f(std::uint8_t{});
    else if (t == OIIO::TypeDesc::UINT16)
        f(std::uint16_t{});
    else if (t == OIIO::TypeDesc::INT8)
        f(std::int8_t{});
    else if (t == OIIO::TypeDesc::INT16)
        f(std::int16_t{});
    else if (t == OIIO::TypeDesc::INT32)
        f(std::int32_t{});
    else if (t == OIIO::TypeDesc::UINT32)
        f(std::uint32_t{});
    else if (t == OIIO::TypeDesc::FLOAT)
        f(float{});
    else
        f(double{});
}

std::vector<unsigned char> packed(const std::vector<double>& v, OIIO::TypeDesc t)
{
    std::vector<unsigned char> bytes;
    withType(t, [&](auto sample) { pack<decltype(sample)>(v, bytes); });
    return bytes;
}

// A smooth ramp under deterministic noise in a type's own units, written as
// `channels` equal channels (alpha, when asked, opaque at `alphaValue`).
struct Ramp {
    OIIO::TypeDesc type = OIIO::TypeDesc::UINT8;
    double low = 0.0, high = 255.0, noise = 10.0;
    int channels = 1, alpha = -1;
    double alphaValue = 1.0;
    int pages = 1;
};

void writeRamp(const std::string& file, const Ramp& s, int rows = 40, int cols = 48,
               void (*extra)(OIIO::ImageSpec&) = nullptr)
{
    auto out = OIIO::ImageOutput::create(file);
    ASSERT_TRUE(out);
    std::vector<OIIO::ImageSpec> layouts(std::size_t(s.pages),
                                         OIIO::ImageSpec(cols, rows, s.channels, s.type));
    for (auto& layout : layouts) {
        layout.alpha_channel = s.alpha;
        layout.attribute("oiio:UnassociatedAlpha", 1);
        if (extra)
            extra(layout);
    }
    ASSERT_TRUE(s.pages == 1 ? out->open(file, layouts[0]) : out->open(file, s.pages, layouts.data()));
    unsigned state = 7;
    for (int k = 0; k < s.pages; ++k) {
        if (k > 0) {
            ASSERT_TRUE(out->open(file, layouts[std::size_t(k)], OIIO::ImageOutput::AppendSubimage));
        }
        std::vector<double> v(std::size_t(rows) * cols * s.channels);
        for (int i = 0; i < rows; ++i)
            for (int j = 0; j < cols; ++j) {
                state = state * 1103515245u + 12345u;
                const double n = (double((state >> 16) & 0x7fff) / 32767.0 - 0.5) * 3.4 * s.noise;
                double grey = s.low + (s.high - s.low) * (0.2 + 0.6 * j / cols) + n;
                if (!isFloatType(s.type))
                    grey = std::clamp(std::round(grey), s.low, s.high);
                for (int c = 0; c < s.channels; ++c)
                    v[(std::size_t(i) * cols + j) * s.channels + c] = c == s.alpha ? s.alphaValue : grey;
            }
        // Levels go to the library in their own type: given as floats, it
        // would take them on its 0..1 scale.
        const std::vector<unsigned char> bytes = packed(v, s.type);
        ASSERT_TRUE(out->write_image(s.type, bytes.data())) << out->geterror();
    }
    ASSERT_TRUE(out->close()) << out->geterror();
}

OIIO::ImageSpec headerOf(const std::string& file, bool asStored = true)
{
    OIIO::ImageSpec config;
    config.attribute("oiio:UnassociatedAlpha", asStored ? 1 : 0);
    auto in = OIIO::ImageInput::open(file, &config);
    EXPECT_TRUE(in) << file;
    return in ? in->spec() : OIIO::ImageSpec();
}

// Samples as stored, in the file's own type's units.
std::vector<double> levelsOf(const std::string& file)
{
    auto in = OIIO::ImageInput::open(file);
    const OIIO::ImageSpec& h = in->spec();
    std::vector<unsigned char> bytes(std::size_t(h.width) * h.height * h.nchannels * h.format.size());
    EXPECT_TRUE(in->read_image(0, 0, 0, h.nchannels, h.format, bytes.data()));
    std::vector<double> v;
    withType(h.format, [&](auto sample) { unpack<decltype(sample)>(bytes, v); });
    return v;
}

class Kept : public Cli {
protected:
    Outcome denoise(const std::string& in, const std::string& out, std::vector<std::string> extra = {})
    {
        std::vector<std::string> args = {"denoise", path(in), "-o", path(out), "--threads", "2"};
        args.insert(args.end(), extra.begin(), extra.end());
        return run(args);
    }
    void expectRefused(const Outcome& r, const std::string& message, const std::string& out)
    {
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(path(out)));
        for (const auto& name : files())
            EXPECT_EQ(name.rfind(".sorvik-", 0), std::string::npos) << name;
    }
};

TEST_F(Kept, APilotAgainstAStackOfPagesIsRefusedNotCutToItsFirstPage)
{
    Ramp two;
    two.pages = 2;
    writeRamp(path("two.tif"), two);
    writeRamp(path("g8.png"), Ramp());
    expectRefused(denoise("two.tif", "out.tif", {"--pilot", path("g8.png"), "--sigma", "20"}),
                  "holds 2 pages", "out.tif");
}

TEST_F(Kept, SignedAndThirtyTwoBitIntegersKeepTheirUnitsAndType)
{
    struct Case {
        OIIO::TypeDesc type;
        double low, high, noise;
        std::string units;
    };
    const Case cases[] = {
        {OIIO::TypeDesc::INT8, -120, 110, 6, "signed 8-bit"},
        {OIIO::TypeDesc::INT16, -11400, 10200, 600, "signed 16-bit"},
        {OIIO::TypeDesc::INT32, -3e8, 2e8, 1e7, "signed 32-bit"},
        {OIIO::TypeDesc::UINT32, 1e6, 3e9, 6e7, "32-bit"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.units);
        Ramp s;
        s.type = c.type;
        s.low = c.low;
        s.high = c.high;
        s.noise = c.noise;
        writeRamp(path("in.tif"), s);
        // The estimate is quoted in the file's units, near the noise put in.
        const Outcome estimated = denoise("in.tif", "est.tif");
        ASSERT_EQ(estimated.status, 0) << estimated.err;
        EXPECT_NE(estimated.err.find(c.units + " samples)"), std::string::npos) << estimated.err;
        const std::size_t at = estimated.err.find("estimated sigma: ");
        ASSERT_NE(at, std::string::npos) << estimated.err;
        const double sigma = std::stod(estimated.err.substr(at + 17));
        EXPECT_GT(sigma, 0.5 * c.noise);
        EXPECT_LT(sigma, 2.0 * c.noise);

        // A sigma in those units is taken, and the output keeps type and span.
        const Outcome given =
            denoise("in.tif", "out.tif", {"--sigma", std::to_string(c.noise), "-q"});
        ASSERT_EQ(given.status, 0) << given.err;
        EXPECT_EQ(headerOf(path("out.tif")).format, c.type);
        const std::vector<double> v = levelsOf(path("out.tif"));
        const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
        EXPECT_GT(*lo, c.low - 1) ;
        EXPECT_LT(*lo, c.low + 0.4 * (c.high - c.low));
        EXPECT_GT(*hi, c.low + 0.6 * (c.high - c.low));

        // PNG has no such samples: refused, not squeezed onto its levels.
        expectRefused(denoise("in.tif", "out.png", {"--sigma", std::to_string(c.noise)}),
                      c.units + " samples", "out.png");
    }
}

TEST_F(Kept, ColourSpacesOtherThanGreyAndRgbAreRefused)
{
    // CMYK TIFF, as the image library writes it.
    writeRamp(path("cmyk.tif"), Ramp{OIIO::TypeDesc::UINT8, 0, 255, 10, 4}, 40, 48,
              [](OIIO::ImageSpec& l) { l.attribute("tiff:ColorSpace", "CMYK"); });
    ASSERT_EQ(headerOf(path("cmyk.tif")).get_int_attribute("tiff:PhotometricInterpretation"), 5);
    expectRefused(denoise("cmyk.tif", "out.tif", {"--sigma", "5"}), "CMYK colour space", "out.tif");

    // CIELab TIFF, which it does not write: built byte by byte.
    const std::string lab = crafted::tiffPromising(32, 32, 3 * 32 * 32);
    std::ofstream(path("lab.tif"), std::ios::binary) << crafted::asColour(lab, 8);
    expectRefused(denoise("lab.tif", "out.tif", {"--sigma", "5"}), "CIELab colour space", "out.tif");

    // CMYK JPEG, through the codec itself.
    std::FILE* f = std::fopen(path("cmyk.jpg").c_str(), "wb");
    ASSERT_TRUE(f);
    jpeg_compress_struct c{};
    jpeg_error_mgr e{};
    c.err = jpeg_std_error(&e);
    jpeg_create_compress(&c);
    jpeg_stdio_dest(&c, f);
    c.image_width = 32;
    c.image_height = 32;
    c.input_components = 4;
    c.in_color_space = JCS_CMYK;
    jpeg_set_defaults(&c);
    jpeg_start_compress(&c, TRUE);
    std::vector<unsigned char> row(32 * 4);
    for (unsigned i = 0; c.next_scanline < 32; ++i) {
        for (std::size_t k = 0; k < row.size(); ++k)
            row[k] = static_cast<unsigned char>((k * 13 + i * 7) & 0xff);
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::fclose(f);
    expectRefused(denoise("cmyk.jpg", "out.jpg", {"--sigma", "5"}), "CMYK colour space", "out.jpg");
}

TEST_F(Kept, OrientationAndAssociatedAlphaAreWrittenBack)
{
    writeRamp(path("turned.tif"), Ramp(), 40, 48,
              [](OIIO::ImageSpec& l) { l.attribute("Orientation", 6); });
    for (const std::string out : {"out.tif", "out.jpg"}) {
        ASSERT_EQ(denoise("turned.tif", out, {"--sigma", "5", "-q"}).status, 0);
        EXPECT_EQ(headerOf(path(out)).get_int_attribute("Orientation", 1), 6) << out;
    }
    // PNG has no place for it: written, and said.
    const Outcome png = denoise("turned.tif", "out.png", {"--sigma", "5"});
    ASSERT_EQ(png.status, 0) << png.err;
    EXPECT_NE(png.err.find("no orientation tag"), std::string::npos) << png.err;

    // Premultiplied RGBA: the colours stay as stored and stay marked so.
    Ramp rgba{OIIO::TypeDesc::UINT8, 0, 200, 8, 4, 3, 255.0};
    writeRamp(path("assoc.tif"), rgba, 40, 48,
              [](OIIO::ImageSpec& l) { l.attribute("oiio:UnassociatedAlpha", 0); });
    ASSERT_EQ(headerOf(path("assoc.tif")).get_int_attribute("oiio:UnassociatedAlpha", 0), 0);
    ASSERT_EQ(denoise("assoc.tif", "assoc-out.tif", {"--sigma", "5", "-q"}).status, 0);
    EXPECT_EQ(headerOf(path("assoc-out.tif")).get_int_attribute("oiio:UnassociatedAlpha", 0), 0);
    writeRamp(path("plain.tif"), rgba);
    ASSERT_EQ(denoise("plain.tif", "plain-out.tif", {"--sigma", "5", "-q"}).status, 0);
    EXPECT_EQ(headerOf(path("plain-out.tif")).get_int_attribute("oiio:UnassociatedAlpha", 0), 1);
}

TEST_F(Kept, PrecisionIsKeptWhereTheFormatHoldsItAndSaidWhereNot)
{
    Ramp f64{OIIO::TypeDesc::DOUBLE, 0, 1, 0.04};
    writeRamp(path("f64.tif"), f64);
    ASSERT_EQ(denoise("f64.tif", "f64-out.tif", {"--sigma", "0.04", "-q"}).status, 0);
    EXPECT_EQ(headerOf(path("f64-out.tif")).format, OIIO::TypeDesc::DOUBLE);
    const Outcome exr = denoise("f64.tif", "f64-out.exr", {"--sigma", "0.04"});
    ASSERT_EQ(exr.status, 0) << exr.err;
    EXPECT_EQ(headerOf(path("f64-out.exr")).format, OIIO::TypeDesc::FLOAT);
    EXPECT_NE(exr.err.find("no float64 samples; written as float32"), std::string::npos) << exr.err;

    Ramp g16{OIIO::TypeDesc::UINT16, 0, 65535, 900};
    writeRamp(path("g16.png"), g16);
    ASSERT_EQ(denoise("g16.png", "out.pgm", {"--sigma", "900", "--depth", "16", "-q"}).status, 0);
    EXPECT_EQ(headerOf(path("out.pgm")).format, OIIO::TypeDesc::UINT16);
    // 16-bit levels to .exr: float samples, never half (which is 11 bits).
    ASSERT_EQ(denoise("g16.png", "out.exr", {"--sigma", "900", "-q"}).status, 0);
    EXPECT_EQ(headerOf(path("out.exr")).format, OIIO::TypeDesc::FLOAT);
}

TEST_F(Kept, AlphaThatIntegerSamplesCannotHoldIsRefused)
{
    Ramp s{OIIO::TypeDesc::FLOAT, 0, 1, 0.04, 2, 1, 5.0};
    writeRamp(path("five.tif"), s);
    expectRefused(denoise("five.tif", "out.png", {"--sigma", "0.04"}), "alpha value 5", "out.png");
    // Float output holds 5, but nothing holds NaN.
    ASSERT_EQ(denoise("five.tif", "five-out.tif", {"--sigma", "0.04", "-q"}).status, 0);
    s.alphaValue = std::nan("");
    writeRamp(path("nan.tif"), s);
    for (const std::string out : {"out.tif", "out.png"})
        expectRefused(denoise("nan.tif", out, {"--sigma", "0.04"}), "alpha value that is not a finite", out);
    // Streamed (near the least budget that streams it), the first pass finds it.
    const Outcome small = denoise("nan.tif", "out.tif", {"--sigma", "0.04", "--memory", "1M"});
    ASSERT_EQ(small.status, 2) << small.err;
    const std::string key = "--memory ";
    const std::size_t at = small.err.rfind(key);
    ASSERT_NE(at, std::string::npos) << small.err;
    // The least is counted from this run's resident size, which the next
    // process may exceed by a page or two: a little above it still streams.
    const long least = std::stol(small.err.substr(at + key.size()));
    const std::string budget = std::to_string(least + 2) + "M";
    expectRefused(denoise("nan.tif", "out.tif", {"--sigma", "0.04", "--memory", budget}),
                  "alpha value that is not a finite", "out.tif");
}

TEST_F(Kept, FailuresOnOutputAreCleanAndNamed)
{
    writeRamp(path("big.png"), Ramp(), 700, 700);
    // A file-size limit, as a full disk: a message, and no temporary file.
    Limits limits;
    limits.fileSize = 20 * 1024;
    expectRefused(run({"denoise", path("big.png"), "--sigma", "20", "-o", path("out.jpg")}, limits),
                  "cannot write", "out.jpg");

    // An image no block fits is refused without the PNG codec's own line.
    writeRamp(path("wide.png"), Ramp(), 2, 70000);
    const Outcome wide = denoise("wide.png", "wide-out.png", {"--sigma", "20"});
    EXPECT_EQ(wide.status, 1);
    EXPECT_EQ(wide.err.find("libpng"), std::string::npos) << wide.err;

    // Started with standard error closed: the output is an image all the same.
    writeRamp(path("g8.png"), Ramp());
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(2);
        ::execl(SORVIK_CLI_PATH, SORVIK_CLI_PATH, "denoise", path("g8.png").c_str(), "-o",
                path("se.png").c_str(), "-q", "--sigma", "20", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(headerOf(path("se.png")).width, 48);

}

TEST_F(Kept, AReadOnlyOutputIsNamedAsSuchNotBlamedOnTheFormat)
{
    writeRamp(path("g8.png"), Ramp());
    fs::copy_file(path("g8.png"), path("ro.png"));
    fs::permissions(path("ro.png"), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    // The superuser may write anything; the run then goes as nobody.
    fs::permissions(dir, fs::perms::all);
    const std::string err = path("../" + dir.filename().string() + ".ro-err");
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (e < 0 || ::dup2(e, 2) < 0)
            ::_exit(127);
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(126);
        ::execl(SORVIK_CLI_PATH, SORVIK_CLI_PATH, "denoise", path("g8.png").c_str(), "-o",
                path("ro.png").c_str(), "--sigma", "20", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    const std::string message = slurp(err);
    fs::remove(err);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status << message;
    EXPECT_NE(message.find("'" + path("ro.png") + "' cannot be written"), std::string::npos) << message;
    EXPECT_EQ(message.find("format"), std::string::npos) << message;
}

TEST_F(Kept, TheDemoOnATinyImageNamesItAndTakesTheGivenSigma)
{
    writeRamp(path("g9.png"), Ramp(), 9, 9);
    const Outcome r = run({"demo", "--image", path("g9.png"), "--sigma", "20", "--output-dir",
                           path("demo"), "-q"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("give sigma"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("not measured"), std::string::npos) << r.out;
    EXPECT_TRUE(fs::exists(path("demo/estimate.png")));
}

} // namespace
} // namespace sorvik
