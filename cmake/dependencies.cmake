# Third-party sources: the parser runtime and the six grammars, fetched at build
# time from the package index that pip is configured to use. Each is pinned by
# version and by the SHA-256 of its source archive in cmake/dependency_pins.txt,
# the only place they are written (that file also says how to fill a folder for
# an offline build). pip checks each hash before anything in an archive runs.
# Nothing of them is committed.

set(MARBLEWICK_DEPENDENCY_DIR "" CACHE PATH
    "Folder holding the pinned dependency archives; empty means download them with pip")

include("${CMAKE_CURRENT_LIST_DIR}/dependency_archives.cmake")

set(_deps_root "${CMAKE_BINARY_DIR}/_deps")
marblewick_read_pins("${CMAKE_CURRENT_LIST_DIR}/dependency_pins.txt")
marblewick_obtain_archives("${MARBLEWICK_DEPENDENCY_DIR}" "${_deps_root}/archives"
                           "${Python_EXECUTABLE}")

# Every archive but the language pack is extracted whole.
set(_whole_archives ${MARBLEWICK_PINNED})
list(REMOVE_ITEM _whole_archives tree-sitter-language-pack)
foreach(package IN LISTS _whole_archives)
  string(REPLACE "-" "_" key "${package}")
  marblewick_extract_archive(${package} "${_deps_root}/src" DEP_${key})
endforeach()

# Of the 52.6 MB language pack (841 MB unpacked) only these files: the shared
# external scanner that the typescript archive leaves out, the grammar-side
# headers of the ABI 14 generator, and the two grammars they came with, which
# must be byte-identical to the pinned typescript 0.23.2 for the scanner and
# the headers to belong to the grammars compiled here.
set(_pack_ts parsers/typescript)
marblewick_extract_archive(tree-sitter-language-pack "${_deps_root}/src" _pack PATTERNS
  LICENSE
  ${_pack_ts}/common/scanner.h
  ${_pack_ts}/src/tree_sitter/parser.h
  ${_pack_ts}/src/tree_sitter/alloc.h
  ${_pack_ts}/src/tree_sitter/array.h
  ${_pack_ts}/src/parser.c
  parsers/tsx/src/parser.c)
foreach(dialect typescript tsx)
  file(SHA256 "${_pack}/parsers/${dialect}/src/parser.c" pack_sha)
  file(SHA256 "${DEP_tree_sitter_typescript}/${dialect}/src/parser.c" pinned_sha)
  if(NOT pack_sha STREQUAL pinned_sha)
    message(FATAL_ERROR "The ${dialect} grammar snapshot that supplies common/scanner.h differs from "
                        "${MARBLEWICK_PIN_tree-sitter-typescript_VERSION}")
  endif()
endforeach()

# The typescript scanners include "../../common/scanner.h"; put it where they look.
configure_file("${_pack}/${_pack_ts}/common/scanner.h"
               "${DEP_tree_sitter_typescript}/common/scanner.h" COPYONLY)

# THIRD_PARTY_NOTICES carries, under a line naming each pinned package and its
# version, the licence texts its archive holds: a pin moved without its notice
# stops here rather than ship a wheel with a stale one.
set(_notices_file "${CMAKE_CURRENT_LIST_DIR}/../THIRD_PARTY_NOTICES")
if(EXISTS "${_notices_file}")
  file(READ "${_notices_file}" _notices)
  foreach(package IN LISTS MARBLEWICK_PINNED)
    string(REPLACE "-" "_" key "${package}")
    set(licences "${DEP_${key}}/LICENSE")
    if(package STREQUAL "tree-sitter")
      list(APPEND licences "${DEP_${key}}/tree_sitter/core/lib/src/unicode/LICENSE")
    elseif(package STREQUAL "tree-sitter-language-pack")
      set(licences "${_pack}/LICENSE")
    endif()
    string(FIND "${_notices}" "\n${package} ${MARBLEWICK_PIN_${package}_VERSION}\n" heading_at)
    if(heading_at EQUAL -1)
      message(FATAL_ERROR "THIRD_PARTY_NOTICES has no line \"${package} "
                          "${MARBLEWICK_PIN_${package}_VERSION}\" heading its licence")
    endif()
    foreach(licence IN LISTS licences)
      file(READ "${licence}" text)
      string(FIND "${_notices}" "${text}" text_at)
      if(text_at EQUAL -1)
        message(FATAL_ERROR "THIRD_PARTY_NOTICES lacks the text of ${licence} "
                            "(${package} ${MARBLEWICK_PIN_${package}_VERSION}) word for word")
      endif()
    endforeach()
  endforeach()
else()
  message(WARNING "THIRD_PARTY_NOTICES is missing: the build cannot check the licences it names")
endif()

# Our repairs of third-party sources: patch files in cmake/ (each says what it
# changes and why, and is written against the pristine sources, so that each
# applies on its own) applied in the order given to a copy of the FOLDERS of
# package NAME's sources in SOURCE_ROOT, made below DEST once per pinned
# archive and set of patch texts. A patch that does not apply exactly stops the
# configure step; the pristine extraction is never written to.
function(marblewick_patched_copy name source_root dest)
  cmake_parse_arguments(PARSE_ARGV 3 arg "" "" "PATCHES;FOLDERS")
  set(patches_sha "")
  foreach(patch IN LISTS arg_PATCHES)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${patch}")
    file(SHA256 "${patch}" patch_sha)
    string(APPEND patches_sha "${patch_sha}")
  endforeach()
  string(SHA256 patches_sha "${patches_sha}")
  set(stamp "${dest}/.marblewick-${MARBLEWICK_PIN_${name}_SHA256}-${patches_sha}")
  if(EXISTS "${stamp}")
    return()
  endif()
  file(REMOVE_RECURSE "${dest}")
  foreach(folder IN LISTS arg_FOLDERS)
    file(COPY "${source_root}/${folder}" DESTINATION "${dest}")
  endforeach()
  execute_process(
    COMMAND "${Python_EXECUTABLE}" "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/apply_patch.py" ${arg_PATCHES} "${dest}"
    RESULT_VARIABLE rc
    ERROR_VARIABLE error)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "Our repair of ${name} does not apply to its pinned "
                        "${MARBLEWICK_PIN_${name}_VERSION}: ${error}"
                        "A new pin needs the patch written again against its sources.")
  endif()
  file(TOUCH "${stamp}")
endfunction()

# The parser runtime, compiled once as a static library, with our repairs,
# one patch file each, in this order.
set(_ts_lib "${_deps_root}/patched/tree-sitter")
marblewick_patched_copy(tree-sitter "${DEP_tree_sitter}/tree_sitter/core/lib" "${_ts_lib}"
  PATCHES
    "${CMAKE_CURRENT_LIST_DIR}/tree_sitter_endless_recovery.patch"
    "${CMAKE_CURRENT_LIST_DIR}/tree_sitter_merged_error_nodes.patch"
    "${CMAKE_CURRENT_LIST_DIR}/tree_sitter_parse_work_limit.patch"
    "${CMAKE_CURRENT_LIST_DIR}/tree_sitter_runtime_accept_paths.patch"
    "${CMAKE_CURRENT_LIST_DIR}/tree_sitter_stack_release.patch"
    "${CMAKE_CURRENT_LIST_DIR}/tree_sitter_error_lookups.patch"
    "${CMAKE_CURRENT_LIST_DIR}/tree_sitter_query_field_leak.patch"
    "${CMAKE_CURRENT_LIST_DIR}/tree_sitter_lexer_ascii.patch"
    "${CMAKE_CURRENT_LIST_DIR}/tree_sitter_lexer_direct_calls.patch"
    "${CMAKE_CURRENT_LIST_DIR}/tree_sitter_parse_table_memo.patch"
    "${CMAKE_CURRENT_LIST_DIR}/tree_sitter_stack_unbranched_pop.patch"
    "${CMAKE_CURRENT_LIST_DIR}/tree_sitter_stack_node_fields.patch"
    "${CMAKE_CURRENT_LIST_DIR}/tree_sitter_subtree_release_inline.patch"
    "${CMAKE_CURRENT_LIST_DIR}/tree_sitter_stack_head_in_place.patch"
  FOLDERS src include)
add_library(tree_sitter_runtime STATIC "${_ts_lib}/src/lib.c")
target_include_directories(tree_sitter_runtime
  PUBLIC "${_ts_lib}/include"
  PRIVATE "${_ts_lib}/src" "${_ts_lib}/src/wasm")
target_compile_definitions(tree_sitter_runtime PRIVATE
  _POSIX_C_SOURCE=200112L _DEFAULT_SOURCE TREE_SITTER_HIDDEN_SYMBOLS)
set_target_properties(tree_sitter_runtime PROPERTIES
  POSITION_INDEPENDENT_CODE ON C_STANDARD 11 C_VISIBILITY_PRESET hidden)
# -O3 in every build, the sanitizer's included. Optimised with the grammars
# and our code at link time (cmake/optimisation.cmake), the runtime at -O3
# makes "syntax-check" and "outline" run 3-4% fewer instructions than the
# runtime at -O2 without it, in Python, JavaScript, TypeScript and Rust alike;
# at -O2 with link-time optimisation it runs 0.2-1.1% more
# (benchmarks/instruction_counts.py, GCC 12). Without link-time optimisation
# -O2 had been about 2% ahead of -O3 on JavaScript and TypeScript. With the
# lexer's ASCII path and direct calls (tree_sitter_lexer_*.patch), -O2 with
# link-time optimisation runs 4.4% (Python) and 4.5% (JavaScript) more
# instructions in "syntax-check" than -O3; with every patch listed above, 5.3%
# (Python), 5.0% (JavaScript) and 5.1% (TypeScript), in "outline" alike.
target_compile_options(tree_sitter_runtime PRIVATE -w -O3)

# The runtime's internal headers, for the one walk that must see hidden nodes
# the public API never hands out (src/syntax/full_tree_walk.cpp). SYSTEM: the
# headers are the runtime's, compiled under its own warning settings, not ours.
# The folder above the runtime's copy, so that the walk includes them as
# "tree-sitter/src/<name>.h", apart from our own headers of the same names
# (syntax/language.h).
add_library(tree_sitter_runtime_internals INTERFACE)
get_filename_component(_ts_lib_parent "${_ts_lib}" DIRECTORY)
target_include_directories(tree_sitter_runtime_internals SYSTEM INTERFACE "${_ts_lib_parent}")

# Grammar-side headers (ABI 14 layout) in one include folder shared by all
# grammars, with our change: the grammars' lex functions call the runtime's
# lexer by name (cmake/tree_sitter_grammar_lexer_calls.patch, with the
# runtime's cmake/tree_sitter_lexer_direct_calls.patch).
set(_grammar_include "${_deps_root}/patched/grammar-include")
marblewick_patched_copy(tree-sitter-language-pack "${_pack}/${_pack_ts}/src" "${_grammar_include}"
  PATCHES
    "${CMAKE_CURRENT_LIST_DIR}/tree_sitter_grammar_lexer_calls.patch"
    "${CMAKE_CURRENT_LIST_DIR}/tree_sitter_grammar_character_sets.patch"
  FOLDERS tree_sitter)

# The Python scanner, with our repairs in this order: it allocates its own
# state with plain calloc and free, which the allocator switch below cannot
# reach (cmake/tree_sitter_python_scanner.patch makes it use the runtime's
# allocator like the rest of its memory), and it read long comment blocks
# again at each of their lines (cmake/tree_sitter_python_comment_blocks.patch).
set(_python_scanner "${_deps_root}/patched/tree-sitter-python")
marblewick_patched_copy(tree-sitter-python "${DEP_tree_sitter_python}" "${_python_scanner}"
  PATCHES
    "${CMAKE_CURRENT_LIST_DIR}/tree_sitter_python_scanner.patch"
    "${CMAKE_CURRENT_LIST_DIR}/tree_sitter_python_comment_blocks.patch"
    "${CMAKE_CURRENT_LIST_DIR}/tree_sitter_python_scanner_state.patch"
  FOLDERS src)

# The six grammars, each a parser.c and (where the grammar has one) a scanner.c.
set(_grammar_sources
  "${DEP_tree_sitter_python}/src/parser.c"
  "${_python_scanner}/src/scanner.c"
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
# The external scanners allocate through the runtime's allocator hooks, like the
# runtime itself: the ABI 14 alloc.h sends them to plain malloc unless
# TREE_SITTER_REUSE_ALLOCATOR is defined. So scanner memory is counted with
# the parse's, and a refused scanner allocation is served from the reserve
# instead of coming back as NULL, which no scanner checks.
target_compile_definitions(tree_sitter_grammars PRIVATE TREE_SITTER_REUSE_ALLOCATOR)
# Optimised with the runtime at link time, the lex functions call the lexer by
# name and have its advance inlined (cmake/tree_sitter_grammar_lexer_calls.patch):
# python 1.3% fewer instructions on top of the lexer's ASCII path. Without
# link-time optimisation there is nothing to inline, and the fields serve.
if(MARBLEWICK_LTO_APPLIED)
  target_compile_definitions(tree_sitter_grammars PRIVATE TREE_SITTER_LEXER_DIRECT_CALLS)
endif()
# A grammar is used only through the runtime's parser.
target_link_libraries(tree_sitter_grammars PUBLIC tree_sitter_runtime)
