# Fuzz targets: one executable per fuzz/NAME.cpp, each defining
# LLVMFuzzerTestOneInput and aborting when the property it states fails.
#
# MARBLEWICK_FUZZ=ON (clang only): every library defined before this file is
# included, the parser runtime and the grammars among them, is compiled with
# coverage for the fuzzer and with AddressSanitizer and UndefinedBehaviorSanitizer,
# so the fuzzer is guided by, and the sanitizers watch, the grammars as much as
# our own layers. The targets link libFuzzer's driver.
#
# MARBLEWICK_FUZZ_REPLAY=ON (any compiler): the same targets linked against
# fuzz/replay_main.cpp, which runs every input of the files and folders named on
# its command line once, so a plain build can replay the committed corpus.
#
# Either way `cmake --build <dir> --target marblewick_fuzz_targets` builds them all.

option(MARBLEWICK_FUZZ "Build the libFuzzer targets, with every library instrumented (clang)" OFF)
# Off, the fuzz build has coverage only: for fuzz_growth, which looks for work
# that grows with the text rather than for memory errors, and runs many times
# faster without the sanitizers.
option(MARBLEWICK_FUZZ_SANITIZE "Compile the fuzz build with AddressSanitizer and UndefinedBehaviorSanitizer" ON)
option(MARBLEWICK_FUZZ_REPLAY "Build the fuzz targets against the corpus replay driver (any compiler)" OFF)

if(MARBLEWICK_FUZZ AND MARBLEWICK_FUZZ_REPLAY)
  message(FATAL_ERROR "MARBLEWICK_FUZZ and MARBLEWICK_FUZZ_REPLAY build the same targets; choose one")
endif()

# Sanitizer failures must stop the run, or the fuzzer would not keep the input.
if(MARBLEWICK_FUZZ_SANITIZE)
  set(_fuzz_sanitizers -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
else()
  set(_fuzz_sanitizers "")
endif()
# The layers' warning list names two GCC-only switches, which clang would
# otherwise mention for every file.
set(_fuzz_clang_quiet -Wno-unknown-warning-option)

if(MARBLEWICK_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang" OR NOT CMAKE_C_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "MARBLEWICK_FUZZ needs clang for C and C++ (libFuzzer); "
                        "MARBLEWICK_FUZZ_REPLAY builds the targets with any compiler")
  endif()
  # The libraries defined so far in this folder: our layers, the parser runtime
  # and the grammars.
  get_property(_fuzz_libraries DIRECTORY PROPERTY BUILDSYSTEM_TARGETS)
  foreach(library IN LISTS _fuzz_libraries)
    get_target_property(type ${library} TYPE)
    if(type STREQUAL "STATIC_LIBRARY")
      target_compile_options(${library} PRIVATE -fsanitize=fuzzer-no-link ${_fuzz_sanitizers}
                                                ${_fuzz_clang_quiet})
      # As in the sanitizer build: code that keeps memory of its own tells
      # AddressSanitizer which parts of it are in use.
      if(MARBLEWICK_FUZZ_SANITIZE)
        target_compile_definitions(${library} PRIVATE MARBLEWICK_SANITIZE=1)
      endif()
    endif()
  endforeach()
endif()

if(MARBLEWICK_FUZZ OR MARBLEWICK_FUZZ_REPLAY)
  add_custom_target(marblewick_fuzz_targets)
endif()

# marblewick_add_fuzz_target(NAME USES layer...)
# Builds fuzz/NAME.cpp against the named layers (their include views and
# libraries); does nothing unless one of the two options is on.
function(marblewick_add_fuzz_target name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "USES")
  if(MARBLEWICK_FUZZ)
    add_executable(${name} "${PROJECT_SOURCE_DIR}/fuzz/${name}.cpp")
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer ${_fuzz_sanitizers} ${_fuzz_clang_quiet})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer ${_fuzz_sanitizers})
  elseif(MARBLEWICK_FUZZ_REPLAY)
    add_executable(${name} "${PROJECT_SOURCE_DIR}/fuzz/${name}.cpp"
                           "${PROJECT_SOURCE_DIR}/fuzz/replay_main.cpp")
  else()
    return()
  endif()
  foreach(layer IN LISTS arg_USES)
    marblewick_use_layer_view(${name} ${layer})
    target_link_libraries(${name} PRIVATE marblewick_${layer})
  endforeach()
  marblewick_compile_like_a_layer(${name})
  add_dependencies(marblewick_fuzz_targets ${name})
endfunction()

# The targets. Each has its corpus in fuzz/corpus/NAME/.
marblewick_add_fuzz_target(fuzz_payload_json USES json)
marblewick_add_fuzz_target(fuzz_execute_command USES module)
marblewick_add_fuzz_target(fuzz_analysis USES module)
marblewick_add_fuzz_target(fuzz_text_pieces USES inventory)
marblewick_add_fuzz_target(fuzz_growth USES syntax)
