# The source layers. Each folder under src/ is one static library that links
# only to the layers below it, and its files include one another as
# "layer/file.h". Each layer compiles against an include view of its own: a
# folder under the build tree holding links to its own folder and to the
# folders of the layers below it, and nothing else. An include of a higher
# layer therefore fails to compile, so the build itself keeps the layering.

set(_layer_views "${CMAKE_BINARY_DIR}/layer-views")

# marblewick_add_layer(NAME [USES lower...] SOURCES file...)
# Defines the static library marblewick_NAME from src/NAME/ sources.
function(marblewick_add_layer name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "USES;SOURCES")

  # What this layer may include: itself and everything its lower layers may.
  set(visible "${name}")
  foreach(lower IN LISTS arg_USES)
    if(NOT TARGET marblewick_${lower})
      message(FATAL_ERROR "layer ${name} uses ${lower}, which is not defined below it")
    endif()
    get_property(lower_visible GLOBAL PROPERTY MARBLEWICK_LAYER_VISIBLE_${lower})
    list(APPEND visible ${lower_visible})
  endforeach()
  list(REMOVE_DUPLICATES visible)
  set_property(GLOBAL PROPERTY MARBLEWICK_LAYER_VISIBLE_${name} "${visible}")

  set(view "${_layer_views}/${name}")
  file(REMOVE_RECURSE "${view}")
  file(MAKE_DIRECTORY "${view}")
  foreach(layer IN LISTS visible)
    file(CREATE_LINK "${PROJECT_SOURCE_DIR}/src/${layer}" "${view}/${layer}" SYMBOLIC)
  endforeach()

  list(TRANSFORM arg_SOURCES PREPEND "${PROJECT_SOURCE_DIR}/src/${name}/")
  add_library(marblewick_${name} STATIC ${arg_SOURCES})
  target_include_directories(marblewick_${name} PRIVATE "${view}")
  foreach(lower IN LISTS arg_USES)
    target_link_libraries(marblewick_${name} PUBLIC marblewick_${lower})
  endforeach()
  marblewick_compile_like_a_layer(marblewick_${name})
endfunction()

# Compiler settings shared by the layers and by the module targets on top.
function(marblewick_compile_like_a_layer target)
  # GCC 12 reports false positives of these two inside std::variant and std::string.
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wno-maybe-uninitialized -Wno-restrict)
  set_target_properties(${target} PROPERTIES
    POSITION_INDEPENDENT_CODE ON CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
endfunction()

# Compiles TARGET's own sources against the include view of layer NAME.
function(marblewick_use_layer_view target name)
  target_include_directories(${target} PRIVATE "${_layer_views}/${name}")
endfunction()
