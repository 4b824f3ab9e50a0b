#include "pilot/planner.h"

#include <fftw3.h>

#include <mutex>

namespace sorvik {

void makeFftwPlannerThreadSafe()
{
    static std::once_flag once;
    std::call_once(once, [] { fftwf_make_planner_thread_safe(); });
}

} // namespace sorvik
