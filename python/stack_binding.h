// The one call on stacks of frames for Python (stack_binding.cpp).
#ifndef SORVIK_PYTHON_STACK_BINDING_H
#define SORVIK_PYTHON_STACK_BINDING_H

#include <pybind11/pybind11.h>

void registerStack(pybind11::module_& m);

#endif
