// Test-only control of the filter's failure paths: makes one buffer or table
// allocation, or one FFTW plan, fail on demand, so that tests can reach every
// way a call can run out of resources. Inert unless a test arms it. Defined
// in the testing target (sorvik_filter_testing), whose definitions replace
// the installed library's seams that never fire (filter/seams.cpp); nothing
// outside tests includes this header.
#ifndef SORVIK_FILTER_FAULT_INJECTION_H
#define SORVIK_FILTER_FAULT_INJECTION_H

namespace sorvik::testing {

// The next `successes` allocations (FFTW buffers and heap tables alike)
// succeed, the one after fails, and later ones succeed again. Negative
// disarms.
void failAllocationAfter(int successes);
// The same for plan creation: the plan is made and then dropped, as if FFTW
// had returned null.
void failPlanAfter(int successes);
// The same for starting a helper thread of a call with threads > 1.
void failThreadStartAfter(int successes);
// Disarms both and forgets whether a failure happened.
void clearInjectedFailures();
// Whether the failure armed last has happened (since arming or clearing).
bool injectedFailureFired();

} // namespace sorvik::testing

#endif
