// Shared helpers of the module tests: synthetic inputs, the twelve input
// arrays of a call, and the module under test.
#ifndef SORVIK_TESTS_MODULE_SUPPORT_H
#define SORVIK_TESTS_MODULE_SUPPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "loader.h"

namespace moduletest {

// The module built next to this test program (sorvik.mexa64, or sorvik.mexglx
// in the i386 build).
const char* modulePath();
// The module, loaded once per test program.
const r14host::Module& module();

// Deterministic pseudo-random values in [0, 1), the same on every platform.
class Random {
public:
    explicit Random(std::uint32_t seed) : state_(seed) {}
    double next();

private:
    std::uint64_t state_;
};

// A smooth pattern plus noise, every value in [0.05, 0.95]; column-major.
std::vector<double> syntheticImage(int rows, int cols, std::uint32_t seed);
std::vector<float> toFloat(const std::vector<double>& values);
// Same length and the same bits in every element (NaN included).
bool sameBits(const std::vector<float>& a, const std::vector<float>& b);

// Everything one call needs, as plain values. The scalar parameters are the
// doubles passed to the module (rounded by it).
struct CallInputs {
    int rows = 0;
    int cols = 0;
    std::vector<double> noisy;  // rows x cols
    std::vector<float> pilot;   // rows x cols
    std::vector<double> window; // at least blockSize^2
    double step = 2;
    double blockSize = 4;
    double maxGroupSize = 8;
    double matchThreshold = 2.0;
    double searchRadius = 3;
    double sigma = 0.1;

    // A rows x cols synthetic image as noisy, its float copy as pilot, and a
    // window of ones.
    static CallInputs synthetic(int rows, int cols, std::uint32_t seed);
};

// The twelve input arrays of a call; inputs 2, 6 and 7 are empty doubles.
struct CallArrays {
    std::vector<r14host::Array> arrays;
    std::vector<const mxArray*> pointers() const;
};
CallArrays makeArrays(const CallInputs& inputs);

// Calls the module with nlhs = 1 and expects a normal return with a single
// M x N output; returns its data.
std::vector<float> runExpectingOutput(const CallInputs& inputs);
std::vector<float> runExpectingOutput(const r14host::Module& module, const std::vector<const mxArray*>& prhs,
                                      int rows, int cols);

// Expects the call to end in an error exit with the given identifier and a
// message, and to leave nothing behind: no live array beyond those that
// existed before, no output in any slot, no invalid destroy. Returns the
// message.
std::string expectCleanErrorExit(const r14host::Module& module, const std::vector<const mxArray*>& prhs,
                                 const std::string& id);

// The fault-injection build of the module (sorvik_faults), loaded once, with
// the filter's test seam (filter/fault_injection.h) it exports.
struct FaultModule {
    r14host::Module module;
    void (*failAllocationAfter)(int successes);
    void (*failPlanAfter)(int successes);
    void (*clearInjectedFailures)();
    int (*injectedFailureFired)();

    explicit FaultModule(const char* path);
};
const FaultModule& faultModule();

} // namespace moduletest

#endif
