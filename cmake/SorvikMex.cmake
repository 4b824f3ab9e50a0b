# sorvik_add_mex(<target>
#   SOURCES <file>...          the MEX entry (host/sorvik.cpp, host/mexversion.cpp) and any extra
#   LIBRARIES <item>...        the filter and the host's libraries
#   OUTPUT_NAME <name>         the file is <name><SUFFIX>, with no prefix
#   SUFFIX <suffix>            .mexa64, .mexglx or .mex
#   MAP <file>                 the version script: what the module exports
#   [SONAME <name>]            the base version definition; the file name, when given
#   [OUTPUT_DIRECTORY <dir>]
#   [STATIC_RUNTIME]           link the C++ runtime in
#   [AS_NEEDED | NO_AS_NEEDED] how the host's libraries are linked)
#
# A MEX module as every host loads it: a loadable module with nothing
# unresolved, exporting what its map says, with no search path of its own (a
# host loads its libraries itself).
function(sorvik_add_mex target)
  cmake_parse_arguments(PARSE_ARGV 1 mex "STATIC_RUNTIME;AS_NEEDED;NO_AS_NEEDED"
    "OUTPUT_NAME;SUFFIX;MAP;SONAME;OUTPUT_DIRECTORY" "SOURCES;LIBRARIES")
  if(mex_UNPARSED_ARGUMENTS OR NOT mex_SOURCES OR NOT mex_OUTPUT_NAME OR NOT mex_SUFFIX OR NOT mex_MAP)
    message(FATAL_ERROR "sorvik_add_mex(${target}): needs SOURCES, OUTPUT_NAME, SUFFIX and MAP; "
                        "unknown: ${mex_UNPARSED_ARGUMENTS}")
  endif()
  add_library(${target} MODULE ${mex_SOURCES})
  target_link_libraries(${target} PRIVATE ${mex_LIBRARIES})
  target_link_options(${target} PRIVATE
    -Wl,--version-script=${mex_MAP}
    $<$<BOOL:${mex_SONAME}>:-Wl,-soname,${mex_SONAME}>
    -Wl,--no-undefined
    $<$<BOOL:${mex_NO_AS_NEEDED}>:-Wl,--no-as-needed>
    $<$<BOOL:${mex_AS_NEEDED}>:-Wl,--as-needed>
    $<$<BOOL:${mex_STATIC_RUNTIME}>:-static-libstdc++>
    $<$<BOOL:${mex_STATIC_RUNTIME}>:-static-libgcc>)
  set_target_properties(${target} PROPERTIES
    PREFIX ""
    OUTPUT_NAME ${mex_OUTPUT_NAME}
    SUFFIX ${mex_SUFFIX}
    SKIP_BUILD_RPATH ON
    LINK_DEPENDS ${mex_MAP})
  if(mex_OUTPUT_DIRECTORY)
    set_target_properties(${target} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${mex_OUTPUT_DIRECTORY})
  endif()
endfunction()
