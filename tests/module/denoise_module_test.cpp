// sorvik_denoise.mexa64 called as a 64-bit MATLAB host calls it: imread-like
// uint8 in, the same class and size out with the noise level it used, and
// refusals that leave nothing behind.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
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
    r14host::CallResult three = denoiseModule().call(3, {image.get()});
    EXPECT_TRUE(three.errorExit);
    EXPECT_EQ(three.errorId, "sorvik:tooManyOutputs");
    EXPECT_EQ(r14host::liveArrays(), before);
}
