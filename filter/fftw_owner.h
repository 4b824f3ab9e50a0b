// Owners of FFTW's buffers and plans, for the filter, the basic estimate and
// the tests: each is released with its owner, on every path out.
#ifndef SORVIK_FILTER_FFTW_OWNER_H
#define SORVIK_FILTER_FFTW_OWNER_H

#include <fftw3.h>

#include <cstddef>
#include <memory>

namespace sorvik::fftw {

struct Free {
    void operator()(void* p) const noexcept { fftwf_free(p); }
};

// A buffer from FFTW's aligned allocator.
template <class T>
using Buffer = std::unique_ptr<T[], Free>;

// Empty when the allocation fails. A zero-element request still yields a
// valid (one-element) buffer, so that null always means failure.
template <class T>
Buffer<T> allocate(std::size_t count)
{
    return Buffer<T>(static_cast<T*>(fftwf_malloc(sizeof(T) * (count > 0 ? count : 1))));
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
