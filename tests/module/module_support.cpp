#include "module_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "r14host_testing.h"

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

bool sameBits(const std::vector<float>& a, const std::vector<float>& b)
{
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
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
    return runExpectingOutput(module(), call.pointers(), inputs.rows, inputs.cols);
}

std::vector<float> runExpectingOutput(const r14host::Module& module, const std::vector<const mxArray*>& prhs,
                                      int rows, int cols)
{
    r14host::CallResult result = module.call(1, prhs);
    EXPECT_FALSE(result.errorExit) << result.errorId << ": " << result.errorMessage;
    if (result.errorExit || result.outputs.empty() || !result.outputs[0])
        return {};
    const mxArray* output = result.outputs[0].get();
    EXPECT_EQ(mxGetClassID(output), mxSINGLE_CLASS);
    EXPECT_EQ(r14host::dimensions(output), (std::vector<int>{rows, cols}));
    return r14host::singleData(output);
}

std::string expectCleanErrorExit(const r14host::Module& module, const std::vector<const mxArray*>& prhs,
                                 const std::string& id)
{
    const int liveBefore = r14host::liveArrays();
    const int invalidBefore = r14hostInvalidDestroys();
    const r14host::CallResult result = module.call(1, prhs);
    EXPECT_TRUE(result.errorExit) << "expected " << id;
    EXPECT_EQ(result.errorId, id) << result.errorMessage;
    EXPECT_FALSE(result.errorMessage.empty());
    EXPECT_EQ(r14host::liveArrays(), liveBefore) << id;
    EXPECT_EQ(r14hostInvalidDestroys(), invalidBefore) << id;
    for (mxArray* slot : result.slotsAtErrorExit)
        EXPECT_EQ(slot, nullptr) << id;
    return result.errorMessage;
}

namespace {

template <typename Function>
Function seam(const r14host::Module& module, const char* name)
{
    void* address = module.symbol(name);
    if (address == nullptr)
        throw std::runtime_error(module.path() + " does not export " + name);
    return reinterpret_cast<Function>(address);
}

} // namespace

FaultModule::FaultModule(const char* path)
    : module(path),
      failAllocationAfter(seam<void (*)(int)>(module, "sorvikFailAllocationAfter")),
      failPlanAfter(seam<void (*)(int)>(module, "sorvikFailPlanAfter")),
      clearInjectedFailures(seam<void (*)()>(module, "sorvikClearInjectedFailures")),
      injectedFailureFired(seam<int (*)()>(module, "sorvikInjectedFailureFired"))
{
}

const FaultModule& faultModule()
{
    static const FaultModule loaded(SORVIK_FAULT_MODULE_PATH);
    return loaded;
}

} // namespace moduletest
