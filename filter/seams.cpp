// The library's side of the test seams in filter/buffers.h: nothing is ever
// made to fail. Weak, so that the testing target's fault injection
// (filter/fault_injection.cpp), when a test links it, takes their place; the
// installed library carries no way to arm a failure.
#include "filter/buffers.h"

namespace sorvik::detail {

[[gnu::weak]] bool injectAllocationFailure() noexcept { return false; }
[[gnu::weak]] bool injectPlanFailure() noexcept { return false; }
[[gnu::weak]] bool injectThreadStartFailure() noexcept { return false; }

} // namespace sorvik::detail
