// Owners of FFTW's buffers and plans, for the filter, the basic estimate and
// the tests: each is released with its owner, on every path out.
#ifndef SORVIK_FILTER_FFTW_OWNER_H
#define SORVIK_FILTER_FFTW_OWNER_H

#include <fftw3.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace sorvik::fftw {

struct Free {
    void operator()(void* p) const noexcept { fftwf_free(p); }
};

// A buffer from FFTW's aligned allocator.
template <class T>
using Buffer = std::unique_ptr<T[], Free>;

// Asks the kernel to back the whole 2 MiB pages inside a large buffer with
// huge pages. The filter's rings and accumulators are tens of megabytes that
// are read all over at every reference: with 4 KiB pages, faulting them in
// took a tenth of a 1024 x 1024 call's set-up time and the matching stage
// missed the TLB. Only advice: where it is not taken, nothing changes.
inline void adviseHugePages(void* p, std::size_t bytes) noexcept
{
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t huge = std::uintptr_t(2) << 20;
    if (p == nullptr || bytes < 2 * huge)
        return;
    const std::uintptr_t begin = (std::uintptr_t(p) + huge - 1) & ~(huge - 1);
    const std::uintptr_t end = (std::uintptr_t(p) + bytes) & ~(huge - 1);
    if (end > begin)
        madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)p;
    (void)bytes;
#endif
}

// Empty when the allocation fails. A zero-element request still yields a
// valid (one-element) buffer, so that null always means failure.
template <class T>
Buffer<T> allocate(std::size_t count)
{
    const std::size_t bytes = sizeof(T) * (count > 0 ? count : 1);
    void* p = fftwf_malloc(bytes);
    adviseHugePages(p, bytes);
    return Buffer<T>(static_cast<T*>(p));
}

// One plan; empty when FFTW could not make it.
class Plan {
public:
    Plan() = default;
    explicit Plan(fftwf_plan plan) noexcept : plan_(plan) {}
    Plan(Plan&& other) noexcept : plan_(other.plan_) { other.plan_ = nullptr; }
    Plan& operator=(Plan&& other) noexcept
    {
        if (this != &other) {
            reset();
            plan_ = other.plan_;
            other.plan_ = nullptr;
        }
        return *this;
    }
    Plan(const Plan&) = delete;
    Plan& operator=(const Plan&) = delete;
    ~Plan() { reset(); }

    void reset() noexcept
    {
        if (plan_ != nullptr) {
            fftwf_destroy_plan(plan_);
            plan_ = nullptr;
        }
    }
    explicit operator bool() const noexcept { return plan_ != nullptr; }
    void execute() const noexcept { fftwf_execute(plan_); }
    // On other arrays, which must have the alignment of the plan's own.
    void execute(fftwf_complex* in, fftwf_complex* out) const noexcept
    {
        fftwf_execute_dft(plan_, in, out);
    }

private:
    fftwf_plan plan_ = nullptr;
};

} // namespace sorvik::fftw

#endif
