// The heap a call holds while it runs, sampled from its progress reports:
// what the memory bounds the planners trust are held against.
#ifndef SORVIK_TESTS_HEAP_PEAK_H
#define SORVIK_TESTS_HEAP_PEAK_H

#include <malloc.h>

#include <algorithm>
#include <cstdint>

namespace sorvik::testing {

inline std::uint64_t heapInUse()
{
    const struct mallinfo2 info = mallinfo2();
    return std::uint64_t(info.uordblks) + std::uint64_t(info.hblkhd);
}

// A progress callback's context: the most heap seen since `before`.
struct Peak {
    std::uint64_t before = 0;
    std::uint64_t most = 0;
    static void sample(void* context, std::int32_t, std::int32_t)
    {
        auto* peak = static_cast<Peak*>(context);
        peak->most = std::max(peak->most, heapInUse());
    }
};

} // namespace sorvik::testing

#endif
