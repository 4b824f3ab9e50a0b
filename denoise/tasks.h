// Independent pieces of work that may run side by side: the noise models'
// measurements are each a pure function of the image's patches, so running
// them on other threads changes when they finish, never what they give.
#ifndef SORVIK_DENOISE_TASKS_H
#define SORVIK_DENOISE_TASKS_H

#include <atomic>
#include <cstddef>
#include <exception>
#include <functional>
#include <system_error>
#include <thread>
#include <vector>

namespace sorvik::detail {

// Runs every task once, on the calling thread and up to threads - 1 others
// (in order on one thread). Every task runs even when one throws; then the
// first task's exception, in the order given, is rethrown, so that which
// error a caller sees does not depend on the threads' timing.
inline void runTasks(int threads, const std::vector<std::function<void()>>& tasks)
{
    std::vector<std::exception_ptr> failed(tasks.size());
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
        for (std::size_t k; (k = next.fetch_add(1)) < tasks.size();) {
            try {
                tasks[k]();
            } catch (...) {
                failed[k] = std::current_exception();
            }
        }
    };
    std::vector<std::thread> helpers;
    const std::size_t wanted = threads > 1 ? std::size_t(threads) - 1 : 0;
    for (std::size_t t = 0; t < wanted && t + 1 < tasks.size(); ++t) {
        try {
            helpers.emplace_back(work);
        } catch (const std::system_error&) {
            break; // fewer helpers: the calling thread takes the rest
        }
    }
    work();
    for (std::thread& t : helpers)
        t.join();
    for (const std::exception_ptr& e : failed)
        if (e)
            std::rethrow_exception(e);
}

} // namespace sorvik::detail

#endif
