// The tool against files and values built to hurt it: headers that promise
// more than the file holds, truncated data, devices, odd outputs, signals
// during the write, a full disk. Bounds are proven under limits the child
// runs with, never by using the memory.
#include "tests/cli/crafted_files.h"
#include "tests/cli/tool_fixture.h"

#include <chrono>
#include <thread>

#include <sys/stat.h>

namespace sorvik {
namespace {

using namespace tooltest;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool addressLimitsWork = false; // the sanitizer reserves terabytes up front
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool addressLimitsWork = false;
#else
constexpr bool addressLimitsWork = true;
#endif
#else
constexpr bool addressLimitsWork = true;
#endif

void writeBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::size_t count(const std::string& text, const std::string& part)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

std::vector<std::string> hiddenFiles(const fs::path& dir)
{
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().filename().string()[0] == '.')
            names.push_back(e.path().filename().string());
    return names;
}

class Hostile : public Cli {
protected:
    void SetUp() override
    {
        Cli::SetUp();
        writeImage(path("noisy.png"), testImage(24, 24, OIIO::TypeDesc::UINT8, 255.0));
    }

    std::vector<std::string> denoise(const std::string& noisy, std::vector<std::string> extra = {}) const
    {
        std::vector<std::string> args = {"denoise", noisy, "--sigma", "20", "-o", path("out.png")};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    // A refusal: status 1, one error line naming the cause, nothing written.
    void expectRefused(const std::vector<std::string>& args, const std::string& message,
                       Limits limits = Limits()) const
    {
        std::string line;
        for (const auto& a : args)
            line += a.substr(0, 80) + " ";
        const std::set<std::string> before = files();
        const Outcome r = run(args, limits);
        EXPECT_EQ(r.status, 1) << line << "\n" << r.err;
        EXPECT_EQ(count(r.err, "sorvik: error: "), 1u) << line << "\n" << r.err;
        EXPECT_EQ(count(r.err, "\n"), 1u) << line << ": one message, printed once\n" << r.err;
        EXPECT_TRUE(contains(r.err, message)) << line << "\nwanted: " << message << "\n" << r.err;
        EXPECT_EQ(files(), before) << line << "\nleft a file behind";
    }
};

TEST_F(Hostile, HeadersBeyondThePixelLimitAreRefusedBeforeAnyPixelIsStored)
{
    writeBytes(path("bomb.png"), crafted::pngPromising(20000, 20000));
    writeBytes(path("bomb.tif"), crafted::tiffPromising(30000, 30000, 100));
    writeBytes(path("huge.png"), crafted::pngPromising(50000, 50000));
    writeBytes(path("huge.tif"), crafted::tiffPromising(65536, 32768, 100));
    ASSERT_LT(fs::file_size(path("bomb.png")), 100u);

    // A megabyte of address space beyond what the tool needs to start shows
    // any allocation the header alone would have paid for.
    Limits small;
    if (addressLimitsWork)
        small.addressSpace = rlim_t(768) << 20;
    expectRefused(denoise(path("bomb.png")), "20000 x 20000 pixels", small);
    expectRefused(denoise(path("bomb.tif")), "--max-pixels raises it", small);
    expectRefused(denoise(path("noisy.png"), {"--pilot", path("bomb.png")}), "pilot image", small);
    expectRefused({"demo", "--image", path("bomb.tif"), "--output-dir", path("demo")}, "too large", small);
    expectRefused(denoise(path("noisy.png"), {"--max-pixels", "575"}), "limit of 575", small);

    // Over 2^31 pixels the filter cannot take the image, whatever the limit.
    for (const char* name : {"huge.png", "huge.tif"}) {
        const Outcome r = run(denoise(path(name), {"--max-pixels", "0"}), small);
        EXPECT_EQ(r.status, 1) << name << ": " << r.err;
        EXPECT_TRUE(contains(r.err, "too large") && contains(r.err, "2147483647")) << name << ": " << r.err;
        EXPECT_FALSE(contains(r.err, "memory")) << name << ": " << r.err;
    }

    // With the limit lifted the rows are read as they come: the missing data
    // is the error, and memory never follows the header.
    if (!addressLimitsWork)
        GTEST_SKIP() << "address-space limits do not combine with this sanitizer";
    for (const char* name : {"bomb.png", "bomb.tif"}) {
        const Outcome r = run(denoise(path(name), {"--max-pixels", "0"}), small);
        EXPECT_EQ(r.status, 1) << name << ": " << r.err;
        EXPECT_TRUE(contains(r.err, "truncated or damaged")) << name << ": " << r.err;
        EXPECT_FALSE(contains(r.err, "memory")) << name << ": " << r.err;
    }
}

TEST_F(Hostile, TruncatedFilesAreErrorsReportedOnce)
{
    writeImage(path("whole.png"), testImage(64, 64, OIIO::TypeDesc::UINT8, 255.0));
    const std::string png = slurp(path("whole.png"));
    writeBytes(path("cut.png"), png.substr(0, png.size() / 2));
    writeBytes(path("cut.tif"), crafted::tiffPromising(64, 64, 64 * 32));
    writeBytes(path("whole.tif"), crafted::tiffPromising(64, 64, 64 * 64));

    ASSERT_EQ(run(denoise(path("whole.tif"), {"-q"})).status, 0) << "the builder makes a readable file";
    fs::remove(path("out.png"));
    expectRefused(denoise(path("cut.png")), "noisy image '" + path("cut.png") + "' is truncated");
    expectRefused(denoise(path("cut.tif")), "truncated or damaged");
    expectRefused(denoise(path("noisy.png"), {"--pilot", path("cut.tif")}), "pilot image");
}

TEST_F(Hostile, FloatImagesOffTheUnitScaleNeedTheirOwnUnits)
{
    // Float data on another scale is denoised in its own units now; what
    // stays refused is a sigma wider than the data's whole range, the mark
    // of a value meant for another scale.
    Image negative = testImage(24, 24, OIIO::TypeDesc::FLOAT, 0.0);
    negative.pixels[3] = -5.0;
    writeImage(path("negative.tif"), negative);
    expectRefused({"denoise", path("negative.tif"), "--sigma", "20", "-o", path("out.tif")},
                  "exceeds the width of the data range [-5, 1]");
    // A clean image has no noise to carry it past 0..1.
    Image justOver = testImage(24, 24, OIIO::TypeDesc::FLOAT, 0.0);
    justOver.pixels[7] = 1.01;
    writeImage(path("over.tif"), justOver);
    expectRefused({"demo", "--image", path("over.tif"), "--output-dir", path("demo")}, "outside 0..1");
}

TEST_F(Hostile, WindowFilesMustHoldExactlyOneWeightPerBlockPixel)
{
    writeBytes(path("empty.txt"), "");
    writeBytes(path("comments.txt"), "# nothing\n   \n# but comments\n");
    writeBytes(path("few.txt"), "1 1 1\n");
    std::string many;
    for (int k = 0; k < 200000; ++k)
        many += "1 ";
    writeBytes(path("many.txt"), many);
    writeBytes(path("word.txt"), std::string(1 << 20, '7'));
    writeBytes(path("binary.txt"), std::string(4096, '\0'));
    ASSERT_EQ(::mkfifo(path("fifo.txt").c_str(), 0600), 0);

    expectRefused(denoise(path("noisy.png"), {"--window", path("empty.txt")}), "holds no weights");
    expectRefused(denoise(path("noisy.png"), {"--window", path("comments.txt")}), "holds no weights");
    expectRefused(denoise(path("noisy.png"), {"--window", path("few.txt")}), "has 3 weights");
    expectRefused(denoise(path("noisy.png"), {"--window", path("many.txt")}), "more than 64 weights");
    // Reading stops at the first word too long to be a number, or the first
    // number too many: a bounded address space is enough for any file.
    Limits small;
    if (addressLimitsWork)
        small.addressSpace = rlim_t(768) << 20;
    small.seconds = 60;
    expectRefused(denoise(path("noisy.png"), {"--window", path("word.txt")}), "is not a number", small);
    expectRefused(denoise(path("noisy.png"), {"--window", path("binary.txt")}), "'????", small);
    expectRefused(denoise(path("noisy.png"), {"--window", "/dev/zero"}), "not a regular file", small);
    expectRefused(denoise(path("noisy.png"), {"--window", path("fifo.txt")}), "not a regular file", small);
}

TEST_F(Hostile, DevicesAndFifosAreRefusedWithoutWaiting)
{
    ASSERT_EQ(::mkfifo(path("fifo.png").c_str(), 0600), 0);
    Limits quick;
    quick.seconds = 60;
    for (const std::string& input : {std::string("/dev/zero"), std::string("/dev/urandom"), path("fifo.png")}) {
        expectRefused(denoise(input), "not a regular file", quick);
        expectRefused(denoise(path("noisy.png"), {"--pilot", input}), "not a regular file", quick);
    }
    expectRefused({"demo", "--image", path("fifo.png"), "--output-dir", path("demo")}, "not a regular file",
                  quick);
}

TEST_F(Hostile, OutputsAreCheckedBeforeTheFilterRuns)
{
    // This pilot makes the filter's result not finite, found only after the
    // work; an output refused first proves the check came first.
    Image noisy = testImage(24, 24, OIIO::TypeDesc::FLOAT, 0.0);
    writeImage(path("noisy.tif"), noisy);
    Image pilot = noisy;
    pilot.pixels[5 + 5 * 24] = 3e38;
    writeImage(path("pilot.tif"), pilot);
    writeImage(path("wide.png"), testImage(24, 300, OIIO::TypeDesc::UINT8, 255.0));
    const std::string p = path("pilot.tif");
    auto to = [&](const std::string& noisyName, const std::string& output) {
        return std::vector<std::string>{"denoise", path(noisyName), "--pilot", p, "--sigma", "20", "-o", path(output)};
    };
    expectRefused(to("noisy.tif", "out.webp"), "webp");
    expectRefused(to("noisy.tif", "out.gif"), "gif");
    expectRefused(to("noisy.tif", "out.hdr"), "hdr");
    expectRefused(to("noisy.tif", "x.null"), "null");
    expectRefused(to("noisy.tif", "out.xyz"), "no image format");
    expectRefused({"denoise", path("wide.png"), "--sigma", "20", "-o", path("out.ico")}, "256");
    EXPECT_TRUE(contains(run(to("noisy.tif", "fine.png")).err, "not finite"));

    // The longest legal name still leaves room for the temporary one.
    const std::string longName = std::string(251, 'n') + ".png";
    const Outcome r = run({"denoise", path("noisy.tif"), "--sigma", "0.08", "-o", path(longName), "-q"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::exists(path(longName)));
    EXPECT_TRUE(hiddenFiles(dir).empty());
}

TEST_F(Hostile, ValuesAreQuotedAsGivenAndBlameTheirOwnCause)
{
    std::ofstream big(path("big.txt"));
    for (int k = 0; k < 64; ++k)
        big << (k == 9 ? "1e39 " : "1 ");
    big.close();
    struct Case {
        std::vector<std::string> extra;
        std::string wanted;
        std::string unwanted;
    };
    const Case cases[] = {
        {{"--sigma", "1e30"}, "--sigma 1e30 is outside the range", "e27"},
        {{"--sigma", "1e-30"}, "--sigma 1e-30 is outside", "sigma 0"},
        {{"--sigma", "1e-320"}, "is outside the range", "not a number"},
        {{"--window", "kaiser:800"}, "between 0 and 40, not 800", "pilot"},
        {{"--window", path("big.txt")}, "row 1, column 1) is 1e39, beyond the range of single precision", "pilot"},
        {{"--match-threshold", "1e-320"}, "", "not a number"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"denoise", path("noisy.png"), "-o", path("out.png")};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        if (c.extra[0] != "--sigma")
            args.insert(args.end(), {"--sigma", "20"});
        const Outcome r = run(args);
        EXPECT_EQ(r.status, c.wanted.empty() ? 0 : 1) << c.extra[1] << ": " << r.err;
        EXPECT_TRUE(contains(r.err, c.wanted)) << c.extra[1] << ": " << r.err;
        EXPECT_FALSE(contains(r.err, c.unwanted)) << c.extra[1] << ": " << r.err;
    }
    EXPECT_TRUE(contains(run({"denoise", "--help"}).out, "BETA from 0 to 40"));
}

TEST_F(Hostile, MalformedValuesAreUsageErrorsAndBadValuesPlainErrors)
{
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;
    };
    const std::string noisy = path("noisy.png");
    const std::string out = path("o.png");
    const std::string demoDir = path("demo");
    const Case cases[] = {
        {{"denoise", noisy, "--sigma", "20", "-o", out, "--step", "3.5"}, 2, "--step: '3.5' is not a whole number"},
        {{"denoise", noisy, "--sigma", "", "-o", out}, 2, "--sigma: the value is empty"},
        {{"denoise", noisy, "--sigma", "twenty", "-o", out}, 2, "'twenty' is not a number"},
        {{"denoise", noisy, "--sigma", "20", "-o", out, "--pilot", ""}, 2, "--pilot: the file name is empty"},
        {{"denoise", noisy, "--sigma", "20", "-o", out, "--max-pixels", "-"}, 2, "--max-pixels"},
        {{"demo", "--output-dir", demoDir, "--seed", "1.5"}, 2, "--seed"},
        {{"demo", "--output-dir", demoDir, "--seed", "-1"}, 1, "--seed -1 is out of range"},
        {{"demo", "--output-dir", demoDir, "--seed", "99999999999999999999"}, 1, "is out of range"},
        {{"denoise", noisy, "--sigma", "20", "-o", out, "--max-group-size", "99999999999"}, 1, "out of range"},
        {{"denoise", noisy, "--sigma", "20", "-o", out, "--threads", "0"}, 1, "threads must be at least 1"},
        {{"denoise", noisy, "--sigma", "-1", "-o", out}, 1, "--sigma must be a finite number > 0"},
    };
    for (const Case& c : cases) {
        const Outcome r = run(c.args);
        EXPECT_EQ(r.status, c.status) << c.message << ": " << r.err;
        EXPECT_TRUE(contains(r.err, c.message)) << c.message << ": " << r.err;
    }
    EXPECT_FALSE(fs::exists(out) || fs::exists(demoDir));
    const Outcome help = run({"denoise", "--help"});
    EXPECT_TRUE(contains(help.out, "Exit status: 0 success; 1 bad input")) << help.out;

    // Without --step, the step follows a block size smaller than the default.
    const Outcome small = run({"denoise", noisy, "--sigma", "20", "-o", out, "--block-size", "2", "-q"});
    EXPECT_EQ(small.status, 0) << small.err;
}

TEST_F(Hostile, TheDemoReplacesItsFilesTogetherOrNotAtAll)
{
    writeImage(path("clean.png"), testImage(40, 40, OIIO::TypeDesc::UINT8, 255.0));
    const std::vector<std::string> names = {"noisy.png", "estimate.png", "comparison.png"};
    const std::vector<std::string> demo = {"demo", "--image", path("clean.png"), "--output-dir",
                                           path("demo"), "-q"};
    ASSERT_EQ(run(demo).status, 0);
    std::vector<std::string> before;
    for (const auto& n : names)
        before.push_back(slurp(dir / "demo" / n));

    // A file-size limit stands in for a full disk: noisy.png and
    // estimate.png fit, the three times wider comparison does not.
    std::vector<std::string> again = demo;
    again.insert(again.end(), {"--seed", "2"});
    Limits full;
    full.fileSize = std::max(before[0].size(), before[1].size()) + 1000;
    ASSERT_LT(full.fileSize, before[2].size());
    const Outcome r = run(again, full);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(contains(r.err, "comparison.png")) << r.err;
    for (std::size_t k = 0; k < names.size(); ++k)
        EXPECT_EQ(slurp(dir / "demo" / names[k]), before[k]) << names[k] << " was replaced alone";
    EXPECT_TRUE(hiddenFiles(dir / "demo").empty());
}

TEST_F(Hostile, SignalsDuringTheWriteLeaveNoTemporaryFile)
{
    // Large enough that writing takes a while, filtered with settings that
    // take almost none.
    Image noisy = testImage(1200, 1200, OIIO::TypeDesc::FLOAT, 0.0);
    writeImage(path("big.tif"), noisy);
    const std::vector<std::string> args = {"denoise", path("big.tif"), "--pilot", path("big.tif"),
                                           "--sigma", "20", "-o", path("out.tif"), "--search-radius", "0",
                                           "--max-group-size", "1", "--step", "8", "--threads", "2", "-q"};
    for (int signal : {SIGQUIT, SIGUSR1, SIGALRM, SIGINT, SIGTERM, SIGHUP}) {
        bool caught = false;
        for (int attempt = 0; attempt < 5 && !caught; ++attempt) {
            const pid_t pid = start(args);
            // Wait for the temporary file, then signal while it exists.
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            bool seen = false;
            while (!seen && std::chrono::steady_clock::now() < deadline) {
                seen = !hiddenFiles(dir).empty();
                if (!seen) {
                    int status = 0;
                    if (::waitpid(pid, &status, WNOHANG) == pid)
                        break; // finished before the write was seen; try again
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                }
            }
            if (seen)
                ::kill(pid, signal);
            const Outcome r = finish(pid);
            caught = seen && r.status == 128 + signal;
            EXPECT_TRUE(hiddenFiles(dir).empty()) << "signal " << signal << " left a temporary file";
        }
        EXPECT_TRUE(caught) << "signal " << signal << " never arrived during a write";
    }
}

TEST_F(Hostile, AReplacedOutputKeepsItsModeAndLinksAreWrittenThrough)
{
    const std::vector<std::string> base = {"denoise", path("noisy.png"), "--sigma", "20", "-q", "-o"};
    auto to = [&](const std::string& output) {
        std::vector<std::string> args = base;
        args.push_back(output);
        return args;
    };
    std::ofstream(path("private.png")) << "old";
    ASSERT_EQ(::chmod(path("private.png").c_str(), 0600), 0);
    ASSERT_EQ(run(to(path("private.png"))).status, 0);
    struct stat st;
    ASSERT_EQ(::stat(path("private.png").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    // A link into another directory: the file there is replaced, the link stays.
    fs::create_directory(dir / "store");
    std::ofstream(path("store/real.png")) << "old";
    ASSERT_EQ(::chmod(path("store/real.png").c_str(), 0640), 0);
    fs::create_symlink("store/real.png", dir / "link.png");
    fs::create_symlink(dir / "store" / "new.png", dir / "dangling.png");
    ASSERT_EQ(run(to(path("link.png"))).status, 0);
    ASSERT_EQ(run(to(path("dangling.png"))).status, 0);
    for (const char* link : {"link.png", "dangling.png"})
        EXPECT_TRUE(fs::is_symlink(dir / link)) << link;
    EXPECT_EQ(readImage(path("store/real.png")).rows, 24);
    EXPECT_EQ(readImage(path("store/new.png")).rows, 24);
    ASSERT_EQ(::stat(path("store/real.png").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_TRUE(hiddenFiles(dir).empty() && hiddenFiles(dir / "store").empty());
}

} // namespace
} // namespace sorvik
