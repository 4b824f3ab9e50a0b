#include "frontend/parameters.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <limits>
#include <set>
#include <stdexcept>
#include <string>

namespace sorvik {
namespace {

constexpr FrontEnd allFrontEnds[] = {FrontEnd::tool, FrontEnd::python, FrontEnd::dask, FrontEnd::octave};

std::string refusal(const Request& r, FrontEnd fe, Subject s = {})
{
    try {
        validate(r, fe, s);
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "";
}

TEST(Parameters, EveryFrontEndFindsEachRowByItsOwnSpellingOnly)
{
    for (const FrontEnd fe : allFrontEnds) {
        std::set<std::string> seen;
        for (const Parameter& row : parameters()) {
            const char* spelt = row.spelling(fe);
            if (spelt == nullptr)
                continue;
            EXPECT_TRUE(seen.insert(spelt).second) << spelt << " names two rows";
            if (fe == FrontEnd::octave && row.octave == nullptr)
                continue; // sigma is Input 2 there, never a name-value pair
            EXPECT_EQ(findParameter(fe, spelt), &row) << spelt;
        }
    }
    // MATLAB users write names in any case; the tool and Python do not.
    EXPECT_NE(findParameter(FrontEnd::octave, "blocksize"), nullptr);
    EXPECT_EQ(findParameter(FrontEnd::python, "Block_Size"), nullptr);
    EXPECT_EQ(findParameter(FrontEnd::tool, "--blocksize"), nullptr);
    // Options of the tool alone have no other spelling.
    EXPECT_EQ(findParameter(FrontEnd::python, "memory"), nullptr);
    EXPECT_EQ(findParameter(FrontEnd::octave, "Depth"), nullptr);
    EXPECT_NE(findParameter(FrontEnd::tool, "--memory"), nullptr);
}

TEST(Parameters, BoundsAreTheSameInEveryFrontEndAndNameTheOptionAsItIsSpelt)
{
    struct Case {
        void (*set)(Request&);
        const char* tool;
        const char* octave;
        const char* bound;
    };
    const Case cases[] = {
        {[](Request& r) { r.blockSize = 65; }, "--block-size", "'BlockSize'", "at most 64, not 65"},
        {[](Request& r) { r.blockSize = 1; }, "--block-size", "'BlockSize'", "at least 2, not 1"},
        {[](Request& r) { r.threads = 100000; }, "--threads", "'Threads'", "at most 1024, not 100000"},
        {[](Request& r) { r.threads = 0; }, "--threads", "'Threads'", "at least 1, not 0"},
        {[](Request& r) { r.maxGroupSize = 4097; }, "--max-group-size", "'MaxGroupSize'", "at most 4096"},
        {[](Request& r) { r.searchRadius = 4097; }, "--search-radius", "'SearchRadius'", "at most 4096"},
        {[](Request& r) { r.searchRadius = -1; }, "--search-radius", "'SearchRadius'", "at least 0"},
        {[](Request& r) { r.step = 9; }, "--step", "'Step'", "between 1 and the block size (8), not 9"},
        {[](Request& r) { r.matchThreshold = std::nan(""); }, "--match-threshold", "'MatchThreshold'", "not nan"},
        {[](Request& r) { r.matchThreshold = -0.5; }, "--match-threshold", "'MatchThreshold'", "from 0 to"},
        {[](Request& r) { r.sigma = 0.0; }, "--sigma", "Input 2 (sigma)", "finite number > 0"},
        {[](Request& r) { r.range = std::make_pair(1.0, 1.0); }, "--range", "'Range'", "low < high, not [1, 1]"},
        {[](Request& r) { r.firstStage = "bm"; }, "--first-stage", "'FirstStage'", "one of grouped, dct, not 'bm'"},
        {[](Request& r) { r.firstBlockSize = 65; }, "--first-block-size", "'FirstBlockSize'", "at most 64"},
        // The first stage's step is bounded by its own block, not the Wiener stage's.
        {[](Request& r) { r.firstStep = 7; r.blockSize = 16; }, "--first-step", "'FirstStep'",
         "between 1 and the first stage's block size (6), not 7"},
        {[](Request& r) { r.firstBlockSize = 4; r.firstStep = 5; }, "--first-step", "'FirstStep'", "block size (4)"},
        {[](Request& r) { r.firstMaxGroupSize = 0; }, "--first-max-group-size", "'FirstMaxGroupSize'", "at least 1"},
        {[](Request& r) { r.firstSearchRadius = -1; }, "--first-search-radius", "'FirstSearchRadius'", "at least 0"},
        {[](Request& r) { r.firstLambda = -1.0; }, "--first-lambda", "'FirstLambda'", "from 0 to 1000, not -1"},
        {[](Request& r) { r.firstMatchThreshold = std::nan(""); }, "--first-match-threshold",
         "'FirstMatchThreshold'", "not nan"},
    };
    for (const Case& c : cases) {
        Request r;
        c.set(r);
        const std::string tool = refusal(r, FrontEnd::tool);
        EXPECT_EQ(tool.rfind(std::string(c.tool) + " ", 0), 0u) << tool;
        EXPECT_NE(tool.find(c.bound), std::string::npos) << tool;
        const std::string octave = refusal(r, FrontEnd::octave);
        EXPECT_EQ(octave.rfind(c.octave, 0), 0u) << octave;
        // The same bound, whatever the spelling.
        EXPECT_EQ(octave.substr(std::string(c.octave).size()), tool.substr(std::string(c.tool).size()));
        EXPECT_EQ(refusal(r, FrontEnd::python), refusal(r, FrontEnd::dask));
    }
    Request edges;
    edges.blockSize = 64;
    edges.step = 64;
    edges.maxGroupSize = 4096;
    edges.searchRadius = 4096;
    edges.threads = 1024;
    edges.matchThreshold = 0.0;
    edges.firstStage = "grouped";
    edges.firstBlockSize = 64;
    edges.firstStep = 64;
    edges.firstLambda = 1000.0;
    edges.firstMatchThreshold = 0.0;
    for (const FrontEnd fe : allFrontEnds)
        EXPECT_EQ(refusal(edges, fe), "");
    // A parameter the chosen stage would ignore is a slip, named as spelt.
    Request dct;
    dct.firstStage = "dct";
    EXPECT_EQ(refusal(dct, FrontEnd::tool), "");
    dct.firstLambda = 3.0;
    EXPECT_EQ(refusal(dct, FrontEnd::tool), "--first-lambda sets the grouped first stage, but --first-stage is dct");
    EXPECT_EQ(refusal(dct, FrontEnd::octave),
              "'FirstLambda' sets the grouped first stage, but 'FirstStage' is dct");
}

TEST(Parameters, TheImageBoundsTheBlockAndIntegerDataTakesNoRange)
{
    Request r;
    r.blockSize = 40;
    EXPECT_EQ(refusal(r, FrontEnd::python, {40, 64, false}), "");
    const std::string tooBig = refusal(r, FrontEnd::python, {64, 39, false});
    EXPECT_NE(tooBig.find("block_size 40 is larger than the image (64 x 39)"), std::string::npos) << tooBig;
    r = Request();
    r.range = std::make_pair(0.0, 1000.0);
    EXPECT_EQ(refusal(r, FrontEnd::octave, {64, 64, false}), "");
    EXPECT_NE(refusal(r, FrontEnd::octave, {64, 64, true}).find("'Range' applies to float images"),
              std::string::npos);
}

TEST(Parameters, WindowsAreCheckedBeforeTheWork)
{
    Request r;
    r.blockSize = 2;
    r.window = {1.0, 1.0, 1.0};
    EXPECT_NE(refusal(r, FrontEnd::python).find("window: the window has 3 weights"), std::string::npos);
    for (const double tiny : {1e-320, 1e-45}) {
        r.window = {tiny, 1.0, 1.0, 1.0};
        EXPECT_NE(refusal(r, FrontEnd::octave).find("'Window': window weight 0"), std::string::npos) << tiny;
    }
    r.window = {double(std::numeric_limits<float>::min()), 1.0, 1.0, 1.0};
    EXPECT_EQ(refusal(r, FrontEnd::octave), "");
}

TEST(Parameters, DefaultsFollowTheTable)
{
    Request r;
    EXPECT_EQ(r.stepOrDefault(), 3);
    r.blockSize = 2;
    EXPECT_EQ(r.stepOrDefault(), 2); // min(3, block size): a block of 2 works alone
    EXPECT_EQ(r.wiener().step, 2);
    EXPECT_EQ(defaultThreads(FrontEnd::dask), 1);
    EXPECT_GE(defaultThreads(FrontEnd::tool), 1);
    EXPECT_EQ(defaultThreads(FrontEnd::tool), defaultThreads(FrontEnd::octave));
    for (const Parameter& row : parameters()) {
        if (row.kind == ParameterKind::whole && row.defaultValue > 0) {
            EXPECT_GE(row.defaultValue, row.low) << row.name;
            EXPECT_LE(row.defaultValue, row.high) << row.name;
        }
        // A front end that leaves an option out says why.
        const bool everywhere = row.flag != nullptr && row.keyword != nullptr && row.octave != nullptr;
        if (!everywhere) {
            EXPECT_NE(row.differs, nullptr) << row.name;
        }
    }
}

TEST(Parameters, AProfileFillsOnlyWhatIsLeftUnsetAndAlwaysValidates)
{
    // No profile is the default one; "quality" is the one call's values
    // before profiles, the Wiener stage's own defaults, with their bits.
    const Request plain;
    Request named;
    named.profile = std::string("default");
    EXPECT_EQ(plain.withProfile().wiener().step, named.withProfile().wiener().step);
    EXPECT_EQ(plain.withProfile().firstStep, named.withProfile().firstStep);
    named.profile = std::string("quality");
    const Request quality = named.withProfile();
    EXPECT_EQ(quality.wiener().step, plain.wiener().step);
    EXPECT_EQ(quality.wiener().maxGroupSize, plain.wiener().maxGroupSize);
    EXPECT_EQ(quality.wiener().searchRadius, plain.wiener().searchRadius);
    EXPECT_FALSE(quality.firstStep || quality.firstSearchRadius || quality.firstMaxGroupSize);

    std::set<std::string> names;
    for (const Profile& profile : profiles()) {
        names.insert(profile.name);
        for (const bool colour : {false, true}) {
            const ProfilePoint& p = colour ? profile.colour : profile.grey;
            for (const std::int64_t block : {2, 4, 8, 16}) {
                Request r;
                r.profile = std::string(profile.name);
                r.blockSize = block;
                const Request filled = r.withProfile(false, colour);
                // A profile's step never passes the block, nor the first stage's its block.
                EXPECT_EQ(filled.wiener().step, std::min(p.step, block)) << profile.name;
                EXPECT_EQ(filled.wiener().searchRadius, p.searchRadius) << profile.name;
                EXPECT_EQ(filled.wiener().matchThreshold, p.matchThreshold.value_or(defaultMatchThreshold));
                EXPECT_EQ(filled.firstStage, std::optional<std::string>(p.firstStage)) << profile.name;
                if (std::string(p.firstStage) == "dct") {
                    EXPECT_FALSE(filled.firstStep || filled.firstSearchRadius || filled.firstMaxGroupSize);
                }
                EXPECT_EQ(refusal(filled, FrontEnd::tool), "") << profile.name << " block " << block;
                r.firstBlockSize = 2;
                EXPECT_EQ(refusal(r.withProfile(false, colour), FrontEnd::python), "") << profile.name;
            }
        }
        const Profile& p = profile;
        // Everything given: the profile changes nothing, so a given set keeps its bits.
        Request given;
        given.step = 7;
        given.maxGroupSize = 9;
        given.searchRadius = 11;
        given.firstStep = 1;
        given.firstMaxGroupSize = 4;
        given.firstSearchRadius = 6;
        given.matchThreshold = 0.5;
        Request named = given;
        named.profile = std::string(p.name);
        const Request a = given.withProfile(), b = named.withProfile(false, true);
        EXPECT_EQ(b.step, a.step);
        EXPECT_EQ(b.matchThreshold, a.matchThreshold);
        EXPECT_EQ(b.maxGroupSize, a.maxGroupSize);
        EXPECT_EQ(b.searchRadius, a.searchRadius);
        EXPECT_NE(b.firstStage, std::optional<std::string>("dct")); // a first-stage value given means grouped
        EXPECT_EQ(b.firstStep, a.firstStep);
        EXPECT_EQ(b.firstMaxGroupSize, a.firstMaxGroupSize);
        EXPECT_EQ(b.firstSearchRadius, a.firstSearchRadius);
        // The dct first stage given takes none of the grouped stage's values.
        Request dct;
        dct.profile = std::string(p.name);
        dct.firstStage = std::string("dct");
        EXPECT_EQ(refusal(dct.withProfile(), FrontEnd::octave), "") << p.name;
    }
    // The table's choices are the profiles, and a name not in it is refused as any choice is.
    const Parameter* row = findParameter(FrontEnd::python, "profile");
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(std::set<std::string>(row->choices.begin(), row->choices.end()), names);
    Request slow;
    slow.profile = std::string("slow");
    EXPECT_EQ(refusal(slow, FrontEnd::octave), "'Profile' must be one of fast, default, quality, not 'slow'");
    EXPECT_THROW(slow.withProfile(), std::invalid_argument);
}

TEST(Parameters, AStackNarrowsOnlyTheSearchAreasLeftUnset)
{
    for (const Profile& profile : profiles()) {
        const ProfilePoint& p = profile.grey;
        Request r;
        r.profile = std::string(profile.name);
        const Request single = r.withProfile(), stack = r.withProfile(true);
        EXPECT_EQ(stack.wiener().searchRadius, std::min<std::int64_t>(p.searchRadius, 8)) << profile.name;
        EXPECT_EQ(stack.wiener().step, single.wiener().step) << profile.name;
        EXPECT_EQ(stack.wiener().maxGroupSize, single.wiener().maxGroupSize) << profile.name;
        EXPECT_EQ(stack.firstSearchRadius,
                  std::string(p.firstStage) == "dct" ? std::nullopt : std::optional<std::int64_t>(8))
            << profile.name;
        EXPECT_EQ(stack.firstMaxGroupSize, single.firstMaxGroupSize) << profile.name;
        EXPECT_EQ(refusal(stack, FrontEnd::tool), "") << profile.name;
        // Radius 0 is each frame alone: the single image's values, hence its bits.
        Request alone = r;
        alone.temporalRadius = 0;
        const Request frameByFrame = alone.withProfile(true);
        EXPECT_EQ(frameByFrame.searchRadius, single.searchRadius) << profile.name;
        EXPECT_EQ(frameByFrame.firstSearchRadius, single.firstSearchRadius) << profile.name;
        // What is given stays.
        Request given = r;
        given.searchRadius = 16;
        given.firstSearchRadius = 12;
        EXPECT_EQ(given.withProfile(true).searchRadius, std::optional<std::int64_t>(16)) << profile.name;
        EXPECT_EQ(given.withProfile(true).firstSearchRadius, std::optional<std::int64_t>(12)) << profile.name;
    }
}
TEST(Parameters, NumbersAreQuotedAsPeopleWriteThem)
{
    EXPECT_EQ(formatNumber(1e30), "1e30");
    EXPECT_EQ(formatNumber(2.5e-7), "2.5e-7");
    EXPECT_EQ(formatNumber(-1e-300), "-1e-300");
    EXPECT_EQ(formatNumber(40.0), "40");
    EXPECT_EQ(formatNumber(0.19685), "0.19685");
}

// The Octave help is a file of its own; it must say what the table says.
TEST(Parameters, TheOctaveHelpListsEveryRowWithItsBounds)
{
    std::ifstream file(SORVIK_OCTAVE_HELP);
    ASSERT_TRUE(file) << SORVIK_OCTAVE_HELP;
    const std::string help(std::istreambuf_iterator<char>(file), {});
    for (const Parameter& row : parameters()) {
        if (row.octave == nullptr)
            continue;
        const std::size_t at = help.find(std::string("%     '") + row.octave + "'");
        ASSERT_NE(at, std::string::npos) << row.octave;
        const std::string entry = help.substr(at, help.find("%     '", at + 1) - at);
        if (row.kind == ParameterKind::whole || row.kind == ParameterKind::real) {
            const std::string high = row.linked == LinkedBound::blockSize        ? "BlockSize"
                                     : row.linked == LinkedBound::firstBlockSize ? "FirstBlockSize"
                                                                                 : formatNumber(row.high);
            EXPECT_NE(entry.find(formatNumber(row.low) + " to"), std::string::npos) << entry;
            EXPECT_NE(entry.find(high), std::string::npos) << entry;
        }
        if (row.defaultValue > 0 && row.linked != LinkedBound::blockSize) {
            EXPECT_NE(entry.find("(" + formatNumber(row.defaultValue) + ")"), std::string::npos) << entry;
        }
    }
}

TEST(Parameters, NoiseModelRowsAreCheckedTogetherAndAdviceIsInEachFrontEndsWords)
{
    Request r;
    r.sigma = 2.0;
    r.noise.emplace("poisson-gaussian");
    EXPECT_THROW(validate(r, FrontEnd::python), std::invalid_argument);
    r.noise.emplace("auto");
    r.readNoise = 1.0;
    try {
        validate(r, FrontEnd::octave);
        ADD_FAILURE() << "ReadNoise with sigma was taken";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("'ReadNoise' belongs to the poisson-gaussian noise model and Input 2 (sigma)"),
                  std::string::npos)
            << e.what();
    }
    r.sigma.reset();
    r.offset = 7.0;
    EXPECT_NO_THROW(validate(r, FrontEnd::tool));
    EXPECT_NO_THROW(checkOffset(r, FrontEnd::tool, 7.0));
    EXPECT_THROW(checkOffset(r, FrontEnd::tool, 6.5), std::invalid_argument);

    const std::string why = "cannot be fitted: flat; give its gain and read noise, or the gaussian model with a sigma";
    EXPECT_EQ(noiseAdvice(why, FrontEnd::tool),
              "cannot be fitted: flat; give --gain and --read-noise, or --noise gaussian --sigma S");
    EXPECT_EQ(noiseAdvice(why, FrontEnd::python),
              "cannot be fitted: flat; give gain and read_noise, or noise_model='gaussian' with sigma");
    EXPECT_EQ(noiseAdvice("the image is constant", FrontEnd::octave), "the image is constant");
}

} // namespace
} // namespace sorvik
