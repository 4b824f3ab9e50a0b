#include "module_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace moduletest {

const char* modulePath() { return SORVIK_MODULE_PATH; }

const r14host::Module& module()
{
    static const r14host::Module loaded(modulePath());
    return loaded;
}

double Random::next()
{
    // 64-bit linear congruential generator (Knuth's MMIX constants), top 53 bits.
    state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<double>(state_ >> 11) * (1.0 / 9007199254740992.0);
}

std::vector<double> syntheticImage(int rows, int cols, std::uint32_t seed)
{
    Random random(seed);
    std::vector<double> image(static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols));
    for (int j = 0; j < cols; ++j) {
        for (int i = 0; i < rows; ++i) {
            const double pattern = 0.5 + 0.25 * std::sin(0.45 * i) * std::cos(0.3 * j);
            const double value = pattern + 0.2 * (random.next() - 0.5);
            image[static_cast<std::size_t>(i) + static_cast<std::size_t>(j) * rows] =
                std::min(0.95, std::max(0.05, value));
        }
    }
    return image;
}

std::vector<float> toFloat(const std::vector<double>& values)
{
    std::vector<float> result(values.size());
    std::transform(values.begin(), values.end(), result.begin(),
                   [](double v) { return static_cast<float>(v); });
    return result;
}

CallInputs CallInputs::synthetic(int rows, int cols, std::uint32_t seed)
{
    CallInputs inputs;
    inputs.rows = rows;
    inputs.cols = cols;
    inputs.noisy = syntheticImage(rows, cols, seed);
    inputs.pilot = toFloat(inputs.noisy);
    inputs.window.assign(static_cast<std::size_t>(inputs.blockSize * inputs.blockSize), 1.0);
    return inputs;
}

std::vector<const mxArray*> CallArrays::pointers() const
{
    std::vector<const mxArray*> result;
    for (const auto& array : arrays)
        result.push_back(array.get());
    return result;
}

CallArrays makeArrays(const CallInputs& in)
{
    using namespace r14host;
    CallArrays call;
    call.arrays.push_back(doubleMatrix(in.rows, in.cols, in.noisy));                  // 1 noisy
    call.arrays.push_back(emptyDouble());                                             // 2
    call.arrays.push_back(doubleScalar(in.step));                                     // 3
    call.arrays.push_back(doubleScalar(in.blockSize));                                // 4
    call.arrays.push_back(doubleScalar(in.maxGroupSize));                             // 5
    call.arrays.push_back(emptyDouble());                                             // 6
    call.arrays.push_back(emptyDouble());                                             // 7
    call.arrays.push_back(doubleScalar(in.matchThreshold));                           // 8
    call.arrays.push_back(doubleScalar(in.searchRadius));                             // 9
    call.arrays.push_back(doubleScalar(in.sigma));                                    // 10
    call.arrays.push_back(doubleMatrix(static_cast<int>(in.window.size()), 1, in.window)); // 11
    call.arrays.push_back(singleMatrix(in.rows, in.cols, in.pilot));                  // 12
    return call;
}

std::vector<float> runExpectingOutput(const CallInputs& inputs)
{
    const CallArrays call = makeArrays(inputs);
    r14host::CallResult result = module().call(1, call.pointers());
    EXPECT_FALSE(result.errorExit) << result.errorId << ": " << result.errorMessage;
    if (result.errorExit || result.outputs.empty() || !result.outputs[0])
        return {};
    const mxArray* output = result.outputs[0].get();
    EXPECT_EQ(mxGetClassID(output), mxSINGLE_CLASS);
    EXPECT_EQ(r14host::dimensions(output), (std::vector<int>{inputs.rows, inputs.cols}));
    return r14host::singleData(output);
}

} // namespace moduletest
