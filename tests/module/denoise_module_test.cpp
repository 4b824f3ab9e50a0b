// sorvik_denoise.mexa64 called as a 64-bit MATLAB host calls it: imread-like
// uint8 in, the same class and size out with the noise level it used, and
// refusals that leave nothing behind.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "loader.h"
#include "module_support.h"

namespace {

const r14host::Module& denoiseModule()
{
    static const r14host::Module m(SORVIK_DENOISE_MODULE_PATH);
    return m;
}

// A 48 x 56 x planes uint8 image: a pattern plus noise of about 12 levels.
r14host::Array noisyImage(int planes)
{
    const int rows = 48, cols = 56;
    r14host::Array image = r14host::numericArray({rows, cols, planes}, mxUINT8_CLASS);
    auto* data = static_cast<std::uint8_t*>(mxGetData(image.get()));
    moduletest::Random random(9);
    for (int k = 0; k < rows * cols * planes; ++k) {
        const int i = k % rows, j = (k / rows) % cols;
        const double clean = 120 + 60 * std::sin(j / 6.0) * std::cos(i / 9.0);
        const double noise = 12 * (random.next() + random.next() + random.next() - 1.5) * 2;
        data[k] = static_cast<std::uint8_t>(std::lround(std::fmin(255, std::fmax(0, clean + noise))));
    }
    return image;
}

} // namespace

TEST(DenoiseModule, TakesImreadOutputAndGivesItsClassAndSizeBack)
{
    for (int planes : {1, 3}) {
        const r14host::Array image = noisyImage(planes);
        r14host::CallResult result = denoiseModule().call(2, {image.get()});
        ASSERT_FALSE(result.errorExit) << result.errorId << ": " << result.errorMessage;
        const mxArray* out = result.outputs[0].get();
        EXPECT_EQ(mxGetClassID(out), mxUINT8_CLASS);
        EXPECT_EQ(r14host::dimensions(out), r14host::dimensions(image.get()));
        const double sigma = mxGetScalar(result.outputs[1].get());
        EXPECT_GT(sigma, 6.0);
        EXPECT_LT(sigma, 18.0);
    }
}

TEST(DenoiseModule, GivesTheNoiseModelOfCountsAsAStructAndRefusesBadOnes)
{
    // Photon counts of gain 2 over a black level of 50, as double data.
    const int rows = 72, cols = 80;
    r14host::Array counts = r14host::numericArray({rows, cols}, mxDOUBLE_CLASS);
    double* z = mxGetPr(counts.get());
    moduletest::Random random(4);
    for (int k = 0; k < rows * cols; ++k) {
        const double mean = 30.0 * (0.55 + 0.45 * std::sin((k / rows) / 7.0) * std::cos((k % rows) / 9.0));
        double p = std::exp(-mean), sum = p;
        const double u = random.next();
        int n = 0;
        while (u > sum && n < 1000) {
            p *= mean / ++n;
            sum += p;
        }
        z[k] = 50.0 + 2.0 * n;
    }
    const r14host::Array gain = r14host::Array(mxCreateString("Gain"));
    const r14host::Array offset = r14host::Array(mxCreateString("offset"));
    const r14host::Array zero = r14host::doubleScalar(0);
    const r14host::Array high = r14host::doubleScalar(1e4);
    const int before = r14host::liveArrays();
    {
        r14host::CallResult result = denoiseModule().call(3, {counts.get()});
        ASSERT_FALSE(result.errorExit) << result.errorId << ": " << result.errorMessage;
        const mxArray* model = result.outputs[2].get();
        ASSERT_TRUE(mxIsStruct(model));
        char kind[32] = {};
        ASSERT_EQ(mxGetString(mxGetField(model, 0, "Kind"), kind, sizeof kind), 0);
        EXPECT_STREQ(kind, "poisson-gaussian");
        EXPECT_NEAR(mxGetScalar(mxGetField(model, 0, "Gain")) / 2.0, 1.0, 0.15);
        EXPECT_EQ(mxGetScalar(mxGetField(model, 0, "Sigma")), mxGetScalar(result.outputs[1].get()));
    }
    EXPECT_EQ(r14host::liveArrays(), before); // the struct took its fields with it
    for (const auto& call : {std::vector<const mxArray*>{counts.get(), gain.get(), zero.get()},
                             std::vector<const mxArray*>{counts.get(), offset.get(), high.get()}}) {
        r14host::CallResult refused = denoiseModule().call(1, call);
        EXPECT_TRUE(refused.errorExit);
        EXPECT_EQ(refused.errorId, "sorvik:invalidParameter");
        EXPECT_NE(refused.errorMessage.find(call[1] == gain.get() ? "'Gain'" : "'Offset'"), std::string::npos)
            << refused.errorMessage;
    }
    EXPECT_EQ(r14host::liveArrays(), before);
}

TEST(DenoiseModule, RefusesWhatItCannotDenoiseAndLeavesNothingBehind)
{
    const r14host::Array image = noisyImage(1);
    const r14host::Array int32Image = r14host::numericArray({40, 40}, mxINT32_CLASS);
    const r14host::Array fivePlanes = r14host::numericArray({40, 40, 5}, mxUINT8_CLASS);
    const r14host::Array negative = r14host::doubleScalar(-1);
    const r14host::Array name = r14host::Array(mxCreateString("Blocksz"));
    const r14host::Array value = r14host::doubleScalar(8);
    moduletest::expectCleanErrorExit(denoiseModule(), {int32Image.get()}, "sorvik:invalidImage");
    moduletest::expectCleanErrorExit(denoiseModule(), {fivePlanes.get()}, "sorvik:invalidImage");
    moduletest::expectCleanErrorExit(denoiseModule(), {image.get(), negative.get()}, "sorvik:invalidSigma");
    moduletest::expectCleanErrorExit(denoiseModule(), {image.get(), name.get(), value.get()},
                                     "sorvik:unknownParameter");
    moduletest::expectCleanErrorExit(denoiseModule(), {}, "sorvik:notEnoughInputs");
    const int before = r14host::liveArrays();
    r14host::CallResult four = denoiseModule().call(4, {image.get()});
    EXPECT_TRUE(four.errorExit);
    EXPECT_EQ(four.errorId, "sorvik:tooManyOutputs");
    EXPECT_EQ(r14host::liveArrays(), before);
}

// 'Frames', true: M x N x K grey frames, denoised together; with
// 'TemporalRadius' 0 each frame gives the call on it alone.
TEST(DenoiseModule, FramesAreDenoisedTogetherAndRadiusZeroIsEachFrameAlone)
{
    const int rows = 48, cols = 56, frames = 4;
    const r14host::Array stack = noisyImage(frames); // 48 x 56 x 4: four grey frames
    const r14host::Array framesName(mxCreateString("Frames"));
    const r14host::Array yes = r14host::doubleScalar(1);
    const r14host::Array radiusName(mxCreateString("TemporalRadius"));
    const r14host::Array zero = r14host::doubleScalar(0);
    const r14host::Array sigma = r14host::doubleScalar(12);
    r14host::CallResult alone = denoiseModule().call(
        1, {stack.get(), sigma.get(), framesName.get(), yes.get(), radiusName.get(), zero.get()});
    ASSERT_FALSE(alone.errorExit) << alone.errorId << ": " << alone.errorMessage;
    const std::size_t plane = std::size_t(rows) * cols;
    for (int f = 0; f < frames; ++f) {
        r14host::Array frame = r14host::numericArray({rows, cols}, mxUINT8_CLASS);
        std::memcpy(mxGetData(frame.get()), static_cast<const std::uint8_t*>(mxGetData(stack.get())) + f * plane,
                    plane);
        r14host::CallResult one = denoiseModule().call(1, {frame.get(), sigma.get()});
        ASSERT_FALSE(one.errorExit) << one.errorMessage;
        EXPECT_EQ(std::memcmp(mxGetData(one.outputs[0].get()),
                              static_cast<const std::uint8_t*>(mxGetData(alone.outputs[0].get())) + f * plane,
                              plane),
                  0)
            << "frame " << f;
    }
    r14host::CallResult together = denoiseModule().call(2, {stack.get(), framesName.get(), yes.get()});
    ASSERT_FALSE(together.errorExit) << together.errorId << ": " << together.errorMessage;
    EXPECT_EQ(r14host::dimensions(together.outputs[0].get()), r14host::dimensions(stack.get()));
    EXPECT_NE(std::memcmp(mxGetData(together.outputs[0].get()), mxGetData(alone.outputs[0].get()),
                          plane * frames),
              0);
    // Counts: one model for every frame, returned as the third output.
    const r14host::Array modelName(mxCreateString("NoiseModel"));
    const r14host::Array poisson(mxCreateString("poisson-gaussian"));
    r14host::CallResult counts =
        denoiseModule().call(3, {stack.get(), framesName.get(), yes.get(), modelName.get(), poisson.get()});
    ASSERT_FALSE(counts.errorExit) << counts.errorId << ": " << counts.errorMessage;
    const mxArray* kind = mxGetField(counts.outputs[2].get(), 0, "Kind");
    ASSERT_NE(kind, nullptr);
    char text[32] = {};
    mxGetString(kind, text, sizeof text);
    EXPECT_STREQ(text, "poisson-gaussian");
    const r14host::Array offsetName(mxCreateString("Offset"));
    const r14host::Array tooHigh = r14host::doubleScalar(300);
    moduletest::expectCleanErrorExit(denoiseModule(),
                                     {stack.get(), framesName.get(), yes.get(), offsetName.get(), tooHigh.get()},
                                     "sorvik:invalidParameter");
    // M x N x 2 x K is neither grey nor RGB frames; 'Frames' wants a scalar.
    const r14host::Array twoPlanes = r14host::numericArray({rows, cols, 2, 3}, mxUINT8_CLASS);
    moduletest::expectCleanErrorExit(denoiseModule(), {twoPlanes.get(), framesName.get(), yes.get()},
                                     "sorvik:invalidImage");
    const r14host::Array word(mxCreateString("yes"));
    moduletest::expectCleanErrorExit(denoiseModule(), {stack.get(), framesName.get(), word.get()},
                                     "sorvik:invalidParameter");
}

TEST(DenoiseModule, TakesAProfileByNameAndAGivenValueOverItsOwn)
{
    const r14host::Array image = noisyImage(1);
    const auto text = [](const char* s) { return r14host::Array(mxCreateString(s)); };
    const auto run = [&](const std::vector<const mxArray*>& args) {
        r14host::CallResult result = denoiseModule().call(1, args);
        EXPECT_FALSE(result.errorExit) << result.errorId << ": " << result.errorMessage;
        const mxArray* out = result.errorExit ? nullptr : result.outputs[0].get();
        return out == nullptr ? std::string()
                              : std::string(static_cast<const char*>(mxGetData(out)), mxGetNumberOfElements(out));
    };
    const r14host::Array sigma = r14host::doubleScalar(12), one = r14host::doubleScalar(1);
    const r14host::Array profile = text("profile"), fast = text("Fast"), fastExact = text("fast");
    const r14host::Array threads = text("Threads"), step = text("Step"), radius = text("SearchRadius");
    const r14host::Array group = text("MaxGroupSize"), firstStep = text("FirstStep");
    const r14host::Array firstRadius = text("FirstSearchRadius");
    const r14host::Array three = r14host::doubleScalar(3), nineteen = r14host::doubleScalar(19);
    const r14host::Array thirtyTwo = r14host::doubleScalar(32), sixteen = r14host::doubleScalar(16);
    const std::string plain = run({image.get(), sigma.get(), threads.get(), one.get()});
    const std::string quick = run({image.get(), sigma.get(), threads.get(), one.get(), profile.get(), fastExact.get()});
    EXPECT_NE(quick, plain);
    // Every value the profile sets, given: the bits of the profile that has them.
    const r14host::Array quality = text("quality");
    const std::string qualityBits = run({image.get(), sigma.get(), threads.get(), one.get(), profile.get(),
                                          quality.get()});
    EXPECT_EQ(run({image.get(), sigma.get(), threads.get(), one.get(), profile.get(), fastExact.get(), step.get(),
                   three.get(), radius.get(), nineteen.get(), group.get(), thirtyTwo.get(), firstStep.get(),
                   three.get(), firstRadius.get(), sixteen.get()}),
              qualityBits);
    // Names and their values in any case, as MATLAB users write them.
    EXPECT_EQ(run({image.get(), sigma.get(), threads.get(), one.get(), profile.get(), fast.get()}), quick);
    const r14host::Array slow = text("slow");
    r14host::CallResult refused = denoiseModule().call(1, {image.get(), sigma.get(), profile.get(), slow.get()});
    EXPECT_TRUE(refused.errorExit);
    EXPECT_EQ(refused.errorId, "sorvik:invalidParameter");
    EXPECT_NE(refused.errorMessage.find("'Profile' must be one of fast, default, quality"), std::string::npos)
        << refused.errorMessage;
}
