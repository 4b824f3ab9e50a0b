#include "filter/buffers.h"
#include "filter/fault_injection.h"

#include <atomic>

namespace sorvik::detail {

// Fault injection for tests. Each countdown is the number of successes left
// before the one failure; -1 when disarmed. Atomic, as allocations may come
// from more than one thread.
namespace {

std::atomic<int> allocationCountdown{-1};
std::atomic<int> planCountdown{-1};
std::atomic<int> threadStartCountdown{-1};
std::atomic<bool> injectedFailureFired{false};

bool countDown(std::atomic<int>& countdown) noexcept
{
    int left = countdown.load(std::memory_order_relaxed);
    while (left >= 0) {
        if (countdown.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) {
            if (left != 0)
                return false;
            injectedFailureFired.store(true, std::memory_order_relaxed);
            return true;
        }
    }
    return false;
}

} // namespace

bool injectAllocationFailure() noexcept { return countDown(allocationCountdown); }
bool injectPlanFailure() noexcept { return countDown(planCountdown); }
bool injectThreadStartFailure() noexcept { return countDown(threadStartCountdown); }

} // namespace sorvik::detail

namespace sorvik::testing {

void failAllocationAfter(int successes)
{
    detail::injectedFailureFired = false;
    detail::allocationCountdown = successes < 0 ? -1 : successes;
}

void failPlanAfter(int successes)
{
    detail::injectedFailureFired = false;
    detail::planCountdown = successes < 0 ? -1 : successes;
}

void failThreadStartAfter(int successes)
{
    detail::injectedFailureFired = false;
    detail::threadStartCountdown = successes < 0 ? -1 : successes;
}

void clearInjectedFailures()
{
    detail::allocationCountdown = -1;
    detail::planCountdown = -1;
    detail::threadStartCountdown = -1;
    detail::injectedFailureFired = false;
}

bool injectedFailureFired() { return detail::injectedFailureFired; }

} // namespace sorvik::testing
