// FFTW's planner is one object for the whole process and, left as it is,
// must not be used by two threads at once. Code that may plan on several
// threads (the Python module, the basic estimate) calls this first.
#ifndef SORVIK_PILOT_PLANNER_H
#define SORVIK_PILOT_PLANNER_H

namespace sorvik {

// Makes FFTW plan creation and destruction safe from any thread; idempotent.
void makeFftwPlannerThreadSafe();

} // namespace sorvik

#endif
