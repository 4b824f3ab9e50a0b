// How the filter allocates: FFTW's buffers, heap tables and plans, each
// through a seam that a test can make fail.
#ifndef SORVIK_FILTER_BUFFERS_H
#define SORVIK_FILTER_BUFFERS_H

#include "filter/fftw_owner.h"

#include <fftw3.h>

#include <cstddef>
#include <memory>
#include <new>

namespace sorvik::detail {

// A complex value: real part, then imaginary part.
using Complex = fftwf_complex;

template <class T>
using FftwBuffer = fftw::Buffer<T>;
using Plan = fftw::Plan;

// Test seam (filter/fault_injection.h): true when a test has asked for this
// allocation, plan or thread start to fail. Always false otherwise, and
// always in the installed library (filter/seams.cpp).
bool injectAllocationFailure() noexcept;
bool injectPlanFailure() noexcept;
bool injectThreadStartFailure() noexcept;

// Returns an empty pointer when the allocation fails.
template <class T>
FftwBuffer<T> allocateFftw(std::size_t count)
{
    if (injectAllocationFailure())
        return FftwBuffer<T>();
    return fftw::allocate<T>(count);
}

// Array new from the ordinary heap; an empty pointer when it fails.
template <class T>
std::unique_ptr<T[]> allocateTable(std::size_t count)
{
    if (injectAllocationFailure())
        return nullptr;
    return std::unique_ptr<T[]>(new (std::nothrow) T[count]);
}

// Takes ownership of a plan that FFTW has just made; empty when FFTW failed.
inline Plan adoptPlan(fftwf_plan plan) noexcept
{
    Plan owned(plan);
    if (injectPlanFailure())
        owned.reset();
    return owned;
}

} // namespace sorvik::detail

#endif
