// The tool's command line: options bounded before any work, and every
// refusal in the tool's own words.
#include "tests/cli/tool_fixture.h"

#include "frontend/parameters.h"

namespace sorvik::tooltest {
namespace {

class Options : public Cli {
protected:
    void SetUp() override
    {
        Cli::SetUp();
        writeImage(path("g8.png"), testImage(64, 64, OIIO::TypeDesc::UINT8, 255.0));
    }

    Outcome denoise(std::vector<std::string> extra) const
    {
        std::vector<std::string> args = {"denoise", path("g8.png"), "--sigma", "20", "-o", path("out.png"), "-q"};
        args.insert(args.end(), extra.begin(), extra.end());
        Limits limits;
        limits.seconds = 60; // a parameter bounded only by memory ran past 120 s
        return run(args, limits);
    }
};

TEST_F(Options, ParametersAreBoundedBySenseBeforeThePlanAndBlameThemselves)
{
    struct Case {
        std::vector<std::string> extra;
        std::string message;
    };
    const Case cases[] = {
        {{"--threads", "100000"}, "--threads must be at most 1024, not 100000"},
        {{"--block-size", "10000"}, "--block-size must be at most 64, not 10000"},
        {{"--block-size", "500"}, "--block-size must be at most 64"},
        {{"--max-group-size", "5000"}, "--max-group-size must be at most 4096"},
        {{"--search-radius", "5000"}, "--search-radius must be at most 4096"},
        {{"--step", "9"}, "--step must lie between 1 and the block size (8), not 9"},
        {{"--match-threshold", "-1"}, "--match-threshold must be a finite number from 0 to 1048576, not -1"},
        {{"--first-step", "7"}, "--first-step must lie between 1 and the first stage's block size (6), not 7"},
        {{"--first-block-size", "65"}, "--first-block-size must be at most 64, not 65"},
        {{"--first-lambda", "nan"}, "--first-lambda must be a finite number from 0 to 1000, not nan"},
        {{"--first-stage", "dct", "--first-search-radius", "4"},
         "--first-search-radius sets the grouped first stage, but --first-stage is dct"},
    };
    for (const Case& c : cases) {
        const Outcome r = denoise(c.extra);
        EXPECT_EQ(r.status, 1) << c.extra[0] << ": " << r.err;
        EXPECT_NE(r.err.find("sorvik: error: " + c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("--memory"), std::string::npos) << r.err;
    }
    EXPECT_FALSE(fs::exists(path("out.png")));
    // The block is bounded by the image too: 64 fits this image, 32 x 32 does not.
    writeImage(path("small.png"), testImage(32, 32, OIIO::TypeDesc::UINT8, 255.0));
    const Outcome small = run({"denoise", path("small.png"), "--sigma", "20", "-o", path("out.png"),
                               "--block-size", "64", "-q"});
    EXPECT_EQ(small.status, 1);
    EXPECT_NE(small.err.find("smaller than one 64 x 64 block"), std::string::npos) << small.err;
    // The bound itself is taken.
    const Outcome edge = denoise({"--block-size", "64"});
    EXPECT_EQ(edge.status, 0) << edge.err;
}

TEST_F(Options, ParserErrorsAreTheToolsOwnUsageErrors)
{
    Outcome r = run({"frobnicate"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("sorvik: error: unknown command 'frobnicate'"), std::string::npos) << r.err;
    r = run({"denoise", path("g8.png")});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("sorvik: error: ", 0), 0u) << r.err;
    r = run({"denoise", path("g8.png"), "-o", path("out.png"), "--depth", "12"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("sorvik: error: --depth", 0), 0u) << r.err;
    r = run({"denoise", path("g8.png"), "-o", path("out.png"), "--first-stage", "haar"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("sorvik: error: --first-stage", 0), 0u) << r.err;
    // A pilot given makes no first stage to set.
    r = run({"denoise", path("g8.png"), "--sigma", "20", "--pilot", path("g8.png"), "-o", path("out.png"),
             "--first-lambda", "3"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--first-lambda: --pilot gives the pilot"), std::string::npos) << r.err;
    r = run({"denoise", path("g8.png"), "--sigma", "20", "--pilot", path("g8.png"), "-o", path("out.png"),
             "--profile", "fast"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--profile: --pilot gives the pilot"), std::string::npos) << r.err;
    r = run({"denoise", path("g8.png"), "-o", path("out.png"), "--profile", "slow"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind("sorvik: error: --profile", 0), 0u) << r.err;
    // The help gives each bound, from the same table as the checks.
    const std::string help = run({"denoise", "--help"}).out;
    for (const char* bound : {"1 to 1024", "2 to 64, at most the image's side", "1 to the block size", "0 to 4096"})
        EXPECT_NE(help.find(bound), std::string::npos) << bound;
    // Values as typed, in the exponent form people write.
    r = run({"denoise", path("g8.png"), "--sigma", "1e30", "-o", path("out.png")});
    EXPECT_NE(r.err.find("1e30"), std::string::npos) << r.err;
}

TEST_F(Options, AProfileIsItsOwnValuesAndAGivenValueReplacesIt)
{
    // A colour file takes the profile's colour point.
    writeImage(path("c8.png"), testImage(64, 64, OIIO::TypeDesc::UINT8, 255.0), 3, -1,
               [](double grey, int c, std::size_t k) { return c == 0 ? grey : double((k * 7 + 40 * c) % 256); });
    const auto output = [&](const char* input, std::vector<std::string> extra) {
        fs::remove(path("out.png"));
        std::vector<std::string> args = {"denoise", path(input), "--sigma", "20", "-o", path("out.png"), "-q"};
        args.insert(args.end(), extra.begin(), extra.end());
        const Outcome r = run(args);
        EXPECT_EQ(r.status, 0) << r.err;
        return slurp(path("out.png"));
    };
    for (const Profile& profile : profiles())
        for (const bool colour : {false, true}) {
            const ProfilePoint& p = colour ? profile.colour : profile.grey;
            std::vector<std::string> spelt = {"--step", std::to_string(p.step), "--search-radius",
                                              std::to_string(p.searchRadius), "--max-group-size",
                                              std::to_string(p.maxGroupSize), "--first-stage", p.firstStage};
            if (p.matchThreshold)
                spelt.insert(spelt.end(), {"--match-threshold", std::to_string(*p.matchThreshold)});
            // What a profile leaves to sigma is spelt as sigma 20 of 255 sets it.
            if (std::string(p.firstStage) == "grouped")
                spelt.insert(spelt.end(),
                             {"--first-step", std::to_string(p.firstStep.value_or(3)), "--first-search-radius",
                              std::to_string(p.firstSearchRadius.value_or(16)), "--first-max-group-size",
                              std::to_string(p.firstMaxGroupSize.value_or(16))});
            const char* input = colour ? "c8.png" : "g8.png";
            EXPECT_EQ(output(input, {"--profile", profile.name}), output(input, spelt)) << profile.name;
        }
    EXPECT_EQ(output("g8.png", {}), output("g8.png", {"--profile", "default"}));
    EXPECT_EQ(output("c8.png", {}), output("c8.png", {"--profile", "default"}));
    // Every value it sets given, the profile leaves nothing of its own.
    EXPECT_EQ(output("c8.png", {"--profile", "fast", "--step", "3", "--search-radius", "19", "--max-group-size",
                                "32", "--match-threshold", "0.19685", "--first-step", "3",
                                "--first-search-radius", "16"}),
              output("c8.png", {"--profile", "quality"}));
}

TEST_F(Options, AnImageNarrowerThanABlockIsNamedWidthFirstBeforeAnyWork)
{
    // Tall and wide, in memory and (the wide one, by its in-memory cost)
    // streamed, with and without a pilot: one message, width x height, with
    // the file's name, and no streaming plan printed before it.
    writeImage(path("tall.tif"), testImage(70000, 2, OIIO::TypeDesc::UINT8, 255.0));
    writeImage(path("wide.tif"), testImage(2, 70000, OIIO::TypeDesc::UINT8, 255.0));
    for (const char* name : {"tall.tif", "wide.tif"})
        for (const bool pilot : {false, true}) {
            std::vector<std::string> args = {"denoise", path(name), "--sigma", "20", "-o", path("out.tif")};
            if (pilot)
                args.insert(args.end(), {"--pilot", path(name)});
            const Outcome r = run(args);
            const std::string size = std::string(name) == "tall.tif" ? "2 x 70000" : "70000 x 2";
            EXPECT_EQ(r.status, 1) << name << r.err;
            EXPECT_EQ(r.err.rfind("sorvik: error: noisy image '" + path(name) + "' is " + size +
                                      " pixels (width x height), smaller than one 8 x 8 block", 0),
                      0u)
                << r.err;
            EXPECT_EQ(r.err.find("streamed"), std::string::npos) << r.err;
            EXPECT_FALSE(fs::exists(path("out.tif")));
        }
}

TEST_F(Options, LoadingUnderATightAddressSpaceFailsCleanly)
{
    // The image library's dependencies start threads before main; without
    // room for them the tool used to abort on an uncaught exception. Below
    // about 400 MB the loader itself cannot map them (status 127, its own
    // message), which no code of the tool can change.
    for (const rlim_t megabytes : {380, 400, 440}) {
        Limits limits;
        limits.addressSpace = megabytes << 20;
        const Outcome version = run({"--version"}, limits);
        if (version.status == 127)
            continue;
        // --version is answered before those dependencies start anything.
        EXPECT_EQ(version.status, 0) << megabytes << " MB: " << version.err;
        EXPECT_EQ(version.out, std::string("sorvik ") + SORVIK_VERSION + "\n");
        const Outcome help = run({"--help"}, limits);
        EXPECT_TRUE(help.status == 0 || help.status == 1) << megabytes << " MB: " << help.err;
        if (help.status == 1) {
            EXPECT_EQ(help.err.rfind("sorvik: error: ", 0), 0u) << help.err;
        }
    }
}

} // namespace
} // namespace sorvik::tooltest
