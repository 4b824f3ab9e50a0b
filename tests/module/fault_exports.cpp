// The extra exports of the module's fault-injection build (sorvik_faults):
// the filter's test seam, for tests that reach it through dlsym.
#include "filter/fault_injection.h"

extern "C" {

void sorvikFailAllocationAfter(int successes) { sorvik::testing::failAllocationAfter(successes); }
void sorvikFailPlanAfter(int successes) { sorvik::testing::failPlanAfter(successes); }
void sorvikClearInjectedFailures(void) { sorvik::testing::clearInjectedFailures(); }
int sorvikInjectedFailureFired(void) { return sorvik::testing::injectedFailureFired() ? 1 : 0; }

}
