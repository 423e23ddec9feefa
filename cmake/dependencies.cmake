# Third-party sources: the parser runtime and the six grammars, fetched at build
# time from the package index that pip is configured to use, pinned by version
# and checked against the SHA-256 recorded here. Nothing of them is committed.
#
# Offline builds: download the archives below into one folder beforehand
# (`pip download --no-deps --no-binary :all: -d DIR NAME==VERSION` for each row)
# and configure with -DMARBLEWICK_DEPENDENCY_DIR=DIR, for example
#   pip install . -Ccmake.define.MARBLEWICK_DEPENDENCY_DIR=/path/to/archives

set(MARBLEWICK_DEPENDENCY_DIR "" CACHE PATH
    "Folder holding the pinned dependency archives; empty means download them with pip")

# package | version | archive file name | SHA-256 of the archive
set(MARBLEWICK_DEPENDENCIES
  "tree-sitter|0.25.2|tree-sitter-0.25.2.tar.gz|fe43c158555da46723b28b52e058ad444195afd1db3ca7720c59a254544e9c20"
  "tree-sitter-python|0.23.6|tree_sitter_python-0.23.6.tar.gz|354bfa0a2f9217431764a631516f85173e9711af2c13dbd796a8815acfe505d9"
  "tree-sitter-javascript|0.23.1|tree_sitter_javascript-0.23.1.tar.gz|b2059ce8b150162cda05a457ca3920450adbf915119c04b8c67b5241cd7fcfed"
  "tree-sitter-typescript|0.23.2|tree_sitter_typescript-0.23.2.tar.gz|7b167b5827c882261cb7a50dfa0fb567975f9b315e87ed87ad0a0a3aedb3834d"
  "tree-sitter-rust|0.23.2|tree_sitter_rust-0.23.2.tar.gz|9088a0e0342d3de2749088811f5561994423cb10dab5ad3251003dffaa0a1bd1"
  "tree-sitter-json|0.24.8|tree_sitter_json-0.24.8.tar.gz|ca8486e52e2d261819311d35cf98656123d59008c3b7dcf91e61d2c0c6f3120e"
  # The typescript source distribution leaves out two things its scanners need:
  # the shared external scanner (common/scanner.h) and the grammar-side headers
  # of the ABI 14 generator (tree_sitter/parser.h, alloc.h, array.h). This
  # archive carries both from the same grammar snapshot; the build checks below
  # that its typescript and tsx parser.c are byte-identical to the pinned 0.23.2.
  "tree-sitter-language-pack|0.3.0|tree_sitter_language_pack-0.3.0.tar.gz|225462231df13cead9a7e9d888be6127c0c91fae3746a3a2c61e3b8ea3eb392a"
)

set(_deps_root "${CMAKE_BINARY_DIR}/_deps")

# Gives the extracted top folder of one pinned archive in OUT_DIR.
function(marblewick_fetch_dependency entry out_dir)
  string(REPLACE "|" ";" fields "${entry}")
  list(GET fields 0 package)
  list(GET fields 1 version)
  list(GET fields 2 archive)
  list(GET fields 3 expected_sha)

  set(extracted "${_deps_root}/src/${package}-${version}")
  set(stamp "${extracted}/.marblewick-${expected_sha}")
  if(EXISTS "${stamp}")
    file(GLOB top LIST_DIRECTORIES true "${extracted}/*")
    list(FILTER top EXCLUDE REGEX "/\\.marblewick-")
    set(${out_dir} "${top}" PARENT_SCOPE)
    return()
  endif()

  if(MARBLEWICK_DEPENDENCY_DIR)
    set(path "${MARBLEWICK_DEPENDENCY_DIR}/${archive}")
    if(NOT EXISTS "${path}")
      message(FATAL_ERROR "${archive} is not in MARBLEWICK_DEPENDENCY_DIR (${MARBLEWICK_DEPENDENCY_DIR})")
    endif()
  else()
    set(download_dir "${_deps_root}/archives")
    set(path "${download_dir}/${archive}")
    if(EXISTS "${path}")
      file(SHA256 "${path}" cached_sha)
      if(NOT cached_sha STREQUAL expected_sha)
        file(REMOVE "${path}")
      endif()
    endif()
    if(NOT EXISTS "${path}")
      message(STATUS "Downloading ${package}==${version} with pip")
      execute_process(
        COMMAND "${Python_EXECUTABLE}" -m pip download --no-deps --no-binary :all:
                --disable-pip-version-check -d "${download_dir}" "${package}==${version}"
        RESULT_VARIABLE rc
        OUTPUT_VARIABLE out
        ERROR_VARIABLE err)
      if(NOT rc EQUAL 0 OR NOT EXISTS "${path}")
        message(FATAL_ERROR "Could not download ${package}==${version} with pip:\n${out}\n${err}")
      endif()
    endif()
  endif()

  file(SHA256 "${path}" actual_sha)
  if(NOT actual_sha STREQUAL expected_sha)
    message(FATAL_ERROR "${archive}: SHA-256 ${actual_sha} does not match the pinned ${expected_sha}")
  endif()

  file(REMOVE_RECURSE "${extracted}")
  file(ARCHIVE_EXTRACT INPUT "${path}" DESTINATION "${extracted}")
  file(TOUCH "${stamp}")
  file(GLOB top LIST_DIRECTORIES true "${extracted}/*")
  list(FILTER top EXCLUDE REGEX "/\\.marblewick-")
  set(${out_dir} "${top}" PARENT_SCOPE)
endfunction()

foreach(entry IN LISTS MARBLEWICK_DEPENDENCIES)
  string(REPLACE "|" ";" fields "${entry}")
  list(GET fields 0 package)
  string(REPLACE "-" "_" key "${package}")
  marblewick_fetch_dependency("${entry}" dir)
  set(DEP_${key} "${dir}")
endforeach()

set(_pack_ts "${DEP_tree_sitter_language_pack}/parsers")
foreach(dialect typescript tsx)
  file(SHA256 "${_pack_ts}/${dialect}/src/parser.c" pack_sha)
  file(SHA256 "${DEP_tree_sitter_typescript}/${dialect}/src/parser.c" pinned_sha)
  if(NOT pack_sha STREQUAL pinned_sha)
    message(FATAL_ERROR "The ${dialect} grammar snapshot that supplies common/scanner.h differs from 0.23.2")
  endif()
endforeach()

# The typescript scanners include "../../common/scanner.h"; put it where they look.
configure_file("${_pack_ts}/typescript/common/scanner.h"
               "${DEP_tree_sitter_typescript}/common/scanner.h" COPYONLY)
# Grammar-side headers (ABI 14 layout) in one include folder shared by all grammars.
set(_grammar_include "${_deps_root}/grammar-include")
foreach(header parser.h alloc.h array.h)
  configure_file("${_pack_ts}/typescript/src/tree_sitter/${header}"
                 "${_grammar_include}/tree_sitter/${header}" COPYONLY)
endforeach()

# The parser runtime, compiled once as a static library.
set(_ts_lib "${DEP_tree_sitter}/tree_sitter/core/lib")
add_library(tree_sitter_runtime STATIC "${_ts_lib}/src/lib.c")
target_include_directories(tree_sitter_runtime
  PUBLIC "${_ts_lib}/include"
  PRIVATE "${_ts_lib}/src" "${_ts_lib}/src/wasm")
target_compile_definitions(tree_sitter_runtime PRIVATE
  _POSIX_C_SOURCE=200112L _DEFAULT_SOURCE TREE_SITTER_HIDDEN_SYMBOLS)
set_target_properties(tree_sitter_runtime PROPERTIES
  POSITION_INDEPENDENT_CODE ON C_STANDARD 11 C_VISIBILITY_PRESET hidden)
# -O2 rather than the Release -O3: the parse loop runs measurably faster
# (about 2% of a whole syntax-check on JavaScript and TypeScript).
target_compile_options(tree_sitter_runtime PRIVATE -w -O2)

# The six grammars, each a parser.c and (where the grammar has one) a scanner.c.
set(_grammar_sources
  "${DEP_tree_sitter_python}/src/parser.c"
  "${DEP_tree_sitter_python}/src/scanner.c"
  "${DEP_tree_sitter_javascript}/src/parser.c"
  "${DEP_tree_sitter_javascript}/src/scanner.c"
  "${DEP_tree_sitter_typescript}/typescript/src/parser.c"
  "${DEP_tree_sitter_typescript}/typescript/src/scanner.c"
  "${DEP_tree_sitter_typescript}/tsx/src/parser.c"
  "${DEP_tree_sitter_typescript}/tsx/src/scanner.c"
  "${DEP_tree_sitter_rust}/src/parser.c"
  "${DEP_tree_sitter_rust}/src/scanner.c"
  "${DEP_tree_sitter_json}/src/parser.c")
add_library(tree_sitter_grammars STATIC ${_grammar_sources})
target_include_directories(tree_sitter_grammars PRIVATE "${_grammar_include}")
set_target_properties(tree_sitter_grammars PROPERTIES
  POSITION_INDEPENDENT_CODE ON C_STANDARD 11 C_VISIBILITY_PRESET hidden)
target_compile_options(tree_sitter_grammars PRIVATE -w)
# The grammar scanners allocate through the runtime's allocator hooks.
target_link_libraries(tree_sitter_grammars PUBLIC tree_sitter_runtime)
