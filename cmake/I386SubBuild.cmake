# Drives the 32-bit x86 sub-build from the native build: the same source tree
# configured with SORVIK_I386=ON in <build>/i386 and built on every build of
# the native tree (so one `cmake --build` makes both). It produces
#   <build>/i386/sorvik.mexglx                       the R14 module
#   <build>/i386/r14host/lib{mx,mex,mat}.so          the 32-bit host stand-ins
#   <build>/i386/tests/module/sorvik_module_tests    the 32-bit test program
# The native tree's CTest runs that program under qemu-i386.
option(SORVIK_WITH_I386 "Build the 32-bit sub-build (sorvik.mexglx) in <build>/i386" ON)
set(SORVIK_I386_BINARY_DIR ${CMAKE_BINARY_DIR}/i386)
set(SORVIK_I386_MODULE ${SORVIK_I386_BINARY_DIR}/sorvik.mexglx)
set(SORVIK_I386_MODULE_TESTS ${SORVIK_I386_BINARY_DIR}/tests/module/sorvik_module_tests)

if(SORVIK_WITH_I386)
  include(ExternalProject)
  ExternalProject_Add(sorvik_i386
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${SORVIK_I386_BINARY_DIR}
    PREFIX ${CMAKE_BINARY_DIR}/i386-stamp
    CMAKE_ARGS
      -DSORVIK_I386=ON
      -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
      -DCMAKE_C_COMPILER=${CMAKE_C_COMPILER}
      -DCMAKE_CXX_COMPILER=${CMAKE_CXX_COMPILER}
      -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/i386-toolchain.cmake
      -DSORVIK_WERROR=${SORVIK_WERROR}
    INSTALL_COMMAND ""
    # The sub-build tracks its own sources; always let it look.
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${SORVIK_I386_MODULE} ${SORVIK_I386_MODULE_TESTS})
endif()
