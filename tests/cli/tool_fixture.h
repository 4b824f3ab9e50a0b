// What the tool's end-to-end tests share: a scratch directory, a way to run
// the tool and collect its status and output, and small grey images written
// and read back through the image library.
#ifndef SORVIK_TESTS_CLI_TOOL_FIXTURE_H
#define SORVIK_TESTS_CLI_TOOL_FIXTURE_H

#include "frontend/first_stage.h"
#include "frontend/parameters.h"

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>
#include <sorvik/denoise.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <signal.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace sorvik::tooltest {

namespace fs = std::filesystem;

// The library's options for what the tool was given: unset values from the
// profile, as the tool resolves them (its colour point for `colours` above 1).
inline DenoiseOptions toolOptions(const Request& given = {}, int colours = 1)
{
    const Request r = given.withProfile(false, colours > 1);
    DenoiseOptions options;
    options.wiener = r.wiener();
    applyFirstStage(r, options);
    return options;
}

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

inline std::string slurp(const fs::path& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

// A grey image as the tests see it: column-major values on the 0..1 scale.
struct Image {
    std::int32_t rows = 0;
    std::int32_t cols = 0;
    std::vector<double> pixels;
    OIIO::TypeDesc format;
};

// Limits the tool runs under, set in the child between fork and exec.
struct Limits {
    rlim_t addressSpace = RLIM_INFINITY; // bytes, as ulimit -v
    rlim_t fileSize = RLIM_INFINITY;     // bytes, as ulimit -f
    unsigned seconds = 600;              // then SIGALRM ends a hung run
};

class Cli : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/sorvik-cli-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string path(const std::string& name) const { return (dir / name).string(); }

    // Starts the tool with standard output and error going to files; finish()
    // collects them.
    pid_t start(const std::vector<std::string>& args, Limits limits = Limits()) const
    {
        std::vector<std::string> all = {SORVIK_CLI_PATH};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const std::string out = outPath(), err = errPath();
        const pid_t pid = ::fork();
        if (pid == 0) {
            const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (o < 0 || e < 0 || ::dup2(o, 1) < 0 || ::dup2(e, 2) < 0)
                ::_exit(127);
            const rlimit as{limits.addressSpace, limits.addressSpace};
            const rlimit fsize{limits.fileSize, limits.fileSize};
            if (limits.fileSize != RLIM_INFINITY)
                ::signal(SIGXFSZ, SIG_IGN); // a full disk: writes fail, the process lives
            const rlimit noCore{0, 0};
            if (::setrlimit(RLIMIT_AS, &as) != 0 || ::setrlimit(RLIMIT_FSIZE, &fsize) != 0 ||
                ::setrlimit(RLIMIT_CORE, &noCore) != 0)
                ::_exit(127);
            ::alarm(limits.seconds);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        return pid;
    }

    Outcome finish(pid_t pid) const
    {
        Outcome r;
        int status = 0;
        if (pid > 0 && ::waitpid(pid, &status, 0) == pid)
            r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        r.out = slurp(outPath());
        r.err = slurp(errPath());
        fs::remove(outPath());
        fs::remove(errPath());
        return r;
    }

    Outcome run(const std::vector<std::string>& args, Limits limits = Limits()) const
    {
        return finish(start(args, limits));
    }

    std::set<std::string> files() const
    {
        std::set<std::string> names;
        for (const auto& e : fs::directory_iterator(dir))
            names.insert(e.path().filename().string());
        return names;
    }

    fs::path dir;

private:
    std::string outPath() const { return (dir.parent_path() / (dir.filename().string() + ".out")).string(); }
    std::string errPath() const { return (dir.parent_path() / (dir.filename().string() + ".err")).string(); }
};

// Writes samples given on the 0..1 scale; integer formats get the values
// that are already whole levels, so that what is read back is known exactly.
// Extra channels repeat the grey value unless `sample` says otherwise;
// `alpha` marks one of them as alpha.
inline void writeImage(const std::string& path, const Image& image, int channels = 1, int alpha = -1,
                double (*sample)(double grey, int channel, std::size_t pixel) = nullptr)
{
    const std::size_t M = std::size_t(image.rows), N = std::size_t(image.cols);
    std::vector<double> rowMajor(M * N * std::size_t(channels));
    for (std::size_t i = 0; i < M; ++i)
        for (std::size_t j = 0; j < N; ++j)
            for (int c = 0; c < channels; ++c) {
                const double grey = image.pixels[i + j * M];
                rowMajor[(i * N + j) * channels + c] = sample ? sample(grey, c, i * N + j) : grey;
            }
    auto out = OIIO::ImageOutput::create(path);
    ASSERT_TRUE(out) << path;
    OIIO::ImageSpec layout(image.cols, image.rows, channels, image.format);
    layout.alpha_channel = alpha;
    ASSERT_TRUE(out->open(path, layout) && out->write_image(OIIO::TypeDesc::DOUBLE, rowMajor.data()) &&
                out->close())
        << out->geterror();
}

inline Image readImage(const std::string& path)
{
    Image image;
    auto in = OIIO::ImageInput::open(path);
    if (!in) {
        ADD_FAILURE() << "cannot read " << path;
        return image;
    }
    const OIIO::ImageSpec& header = in->spec();
    EXPECT_EQ(header.nchannels, 1) << path;
    image.rows = header.height;
    image.cols = header.width;
    image.format = header.format;
    // Integer levels are compared as q / levels, the scale the tool promises.
    const bool integer = header.format == OIIO::TypeDesc::UINT8 || header.format == OIIO::TypeDesc::UINT16;
    const double levels = header.format == OIIO::TypeDesc::UINT8 ? 255.0 : 65535.0;
    std::vector<double> rowMajor(std::size_t(header.width) * header.height);
    if (integer) {
        std::vector<std::uint16_t> q(rowMajor.size());
        EXPECT_TRUE(in->read_image(0, 0, 0, 1, OIIO::TypeDesc::UINT16, q.data()));
        const double factor = header.format == OIIO::TypeDesc::UINT8 ? 257.0 : 1.0;
        for (std::size_t p = 0; p < q.size(); ++p)
            rowMajor[p] = (q[p] / factor) / levels;
    } else {
        EXPECT_TRUE(in->read_image(0, 0, 0, 1, OIIO::TypeDesc::DOUBLE, rowMajor.data()));
    }
    image.pixels.resize(rowMajor.size());
    for (std::int32_t i = 0; i < image.rows; ++i)
        for (std::int32_t j = 0; j < image.cols; ++j)
            image.pixels[i + std::size_t(j) * image.rows] = rowMajor[std::size_t(i) * image.cols + j];
    return image;
}

// Smooth ramps and a stripe under deterministic noise, quantised to `levels`
// when levels > 0.
inline Image testImage(std::int32_t rows, std::int32_t cols, OIIO::TypeDesc format, double levels,
                unsigned seed = 1)
{
    Image image{rows, cols, std::vector<double>(std::size_t(rows) * cols), format};
    unsigned state = seed;
    for (std::int32_t j = 0; j < cols; ++j)
        for (std::int32_t i = 0; i < rows; ++i) {
            state = state * 1103515245u + 12345u;
            const double noise = (double((state >> 16) & 0x7fff) / 32767.0 - 0.5) * 0.3;
            double v = 0.2 + 0.5 * (j > cols / 2) + 0.01 * i + noise;
            v = std::clamp(v, 0.0, 1.0);
            if (levels > 0)
                v = std::round(v * levels) / levels;
            image.pixels[i + std::size_t(j) * rows] = v;
        }
    return image;
}

// One page as the file stores it: interleaved row-major samples as doubles
// (integer levels as they are).
struct Page {
    int width = 0, height = 0, channels = 0;
    OIIO::TypeDesc format;
    std::vector<double> samples;
};

inline std::vector<Page> readPages(const std::string& path)
{
    std::vector<Page> pages;
    // Samples as stored, not multiplied by alpha.
    OIIO::ImageSpec config;
    config.attribute("oiio:UnassociatedAlpha", 1);
    auto in = OIIO::ImageInput::open(path, &config);
    if (!in) {
        ADD_FAILURE() << "cannot read " << path;
        return pages;
    }
    for (int k = 0; in->seek_subimage(k, 0); ++k) {
        const OIIO::ImageSpec& layout = in->spec();
        Page page{layout.width, layout.height, layout.nchannels, layout.format, {}};
        page.samples.resize(std::size_t(layout.width) * layout.height * layout.nchannels);
        const bool integer = layout.format == OIIO::TypeDesc::UINT8 || layout.format == OIIO::TypeDesc::UINT16;
        if (integer) {
            std::vector<std::uint16_t> q(page.samples.size());
            EXPECT_TRUE(in->read_image(k, 0, 0, layout.nchannels, OIIO::TypeDesc::UINT16, q.data()));
            const double factor = layout.format == OIIO::TypeDesc::UINT8 ? 257.0 : 1.0;
            for (std::size_t i = 0; i < q.size(); ++i)
                page.samples[i] = q[i] / factor;
        } else {
            EXPECT_TRUE(in->read_image(k, 0, 0, layout.nchannels, OIIO::TypeDesc::DOUBLE, page.samples.data()));
        }
        pages.push_back(std::move(page));
    }
    return pages;
}

// A camera frame of 16-bit levels: offset + gain * Poisson(photons) +
// N(0, read^2), the photons following smooth shading up to `peak`; on the
// 0..1 scale, as writeImage takes it.
inline Image countFrame(std::int32_t rows, std::int32_t cols, double peak, double gain, double read,
                        double offset, unsigned seed)
{
    Image image{rows, cols, std::vector<double>(std::size_t(rows) * cols), OIIO::TypeDesc::UINT16};
    std::uint64_t state = seed;
    const auto uniform = [&] {
        state = state * 6364136223846793005u + 1442695040888963407u;
        return (double(state >> 11) + 0.5) * 0x1.0p-53;
    };
    for (std::int32_t j = 0; j < cols; ++j)
        for (std::int32_t i = 0; i < rows; ++i) {
            const double mean = peak * (0.1 + 0.9 * (0.5 + 0.5 * std::sin(j / 11.0) * std::cos(i / 17.0)));
            double p = std::exp(-mean), sum = p;
            const double u = uniform();
            int k = 0;
            while (u > sum && k < 10000) {
                p *= mean / ++k;
                sum += p;
            }
            const double noise = read * std::sqrt(-2.0 * std::log(uniform())) * std::cos(6.283185307179586 * uniform());
            image.pixels[i + std::size_t(j) * rows] =
                std::clamp(std::round(offset + gain * k + noise), 0.0, 65535.0) / 65535.0;
        }
    return image;
}

} // namespace sorvik::tooltest

#endif
