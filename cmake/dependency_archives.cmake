# The pinned source archives: reading the pins, obtaining the archives (from a
# folder the user filled beforehand, or with pip in hash-checking mode) and
# extracting them. Every archive is checked against its pinned SHA-256 here as
# well, whichever way it came.
#
# Also runs as a script, which only obtains the archives (the tests use it):
#   cmake -DPINS=FILE -DDOWNLOAD_DIR=DIR [-DOFFLINE_DIR=DIR] [-DPYTHON=EXE] -P cmake/dependency_archives.cmake

# What to do when the archives cannot be downloaded, for a failure message.
function(_marblewick_offline_advice out_text)
  set(${out_text}
      "To build without the package index, fill a folder with the pinned archives "
      "on a machine that reaches it:\n"
      "  python -m pip download --require-hashes --no-deps -d DIR -r ${MARBLEWICK_PINS_FILE}\n"
      "then configure with -DMARBLEWICK_DEPENDENCY_DIR=DIR "
      "(through pip: -Ccmake.define.MARBLEWICK_DEPENDENCY_DIR=DIR). "
      "docs/building.md (Offline builds) gives the whole offline recipe."
      PARENT_SCOPE)
endfunction()

# Reads a pins file (a pip requirements file of NAME==VERSION --hash=sha256:HEX
# lines) into MARBLEWICK_PINNED, the package names in file order, and for each
# NAME MARBLEWICK_PIN_<NAME>_VERSION, _SHA256 and _LINE; the option lines (for
# pip) into MARBLEWICK_PIN_OPTIONS, and its path into MARBLEWICK_PINS_FILE.
function(marblewick_read_pins pins_file)
  file(STRINGS "${pins_file}" lines)
  set(names "")
  set(options "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^([A-Za-z0-9][A-Za-z0-9._-]*)==([^ \t]+)[ \t]+--hash=sha256:([0-9a-f]+)[ \t]*$")
      set(name "${CMAKE_MATCH_1}")
      string(LENGTH "${CMAKE_MATCH_3}" digits)
      if(NOT digits EQUAL 64)
        message(FATAL_ERROR "${pins_file}: ${name} is not pinned by a whole SHA-256")
      endif()
      list(APPEND names "${name}")
      set(MARBLEWICK_PIN_${name}_VERSION "${CMAKE_MATCH_2}" PARENT_SCOPE)
      set(MARBLEWICK_PIN_${name}_SHA256 "${CMAKE_MATCH_3}" PARENT_SCOPE)
      set(MARBLEWICK_PIN_${name}_LINE "${line}" PARENT_SCOPE)
    elseif(line MATCHES "^--")
      list(APPEND options "${line}")
    elseif(NOT line MATCHES "^[ \t]*(#.*)?$")
      message(FATAL_ERROR "${pins_file}: neither a pin (NAME==VERSION --hash=sha256:HEX) "
                          "nor an option: ${line}")
    endif()
  endforeach()
  set(MARBLEWICK_PINS_FILE "${pins_file}" PARENT_SCOPE)
  set(MARBLEWICK_PINNED "${names}" PARENT_SCOPE)
  set(MARBLEWICK_PIN_OPTIONS "${options}" PARENT_SCOPE)
endfunction()

# The archive of pinned package NAME in FOLDER, or "" when there is none. A
# source archive is named after the package with "-" or, in newer ones, "_"
# between the words.
function(_marblewick_find_archive folder name out_path)
  set(version "${MARBLEWICK_PIN_${name}_VERSION}")
  string(REPLACE "-" "_" underscored "${name}")
  foreach(candidate "${underscored}-${version}.tar.gz" "${name}-${version}.tar.gz")
    if(EXISTS "${folder}/${candidate}")
      set(${out_path} "${folder}/${candidate}" PARENT_SCOPE)
      return()
    endif()
  endforeach()
  set(${out_path} "" PARENT_SCOPE)
endfunction()

# Sets MARBLEWICK_ARCHIVE_<NAME> to the checked archive of every pinned
# package: taken from OFFLINE_DIR when it is not empty, else from DOWNLOAD_DIR,
# where PYTHON's pip downloads whatever is missing or fails its hash. The pins
# must have been read (marblewick_read_pins).
function(marblewick_obtain_archives offline_dir download_dir python)
  if(offline_dir)
    set(folder "${offline_dir}")
    foreach(name IN LISTS MARBLEWICK_PINNED)
      _marblewick_find_archive("${folder}" ${name} path)
      if(NOT path)
        _marblewick_offline_advice(advice)
        message(FATAL_ERROR "The source archive of ${name}==${MARBLEWICK_PIN_${name}_VERSION} "
                            "is not in MARBLEWICK_DEPENDENCY_DIR (${folder}).\n" ${advice})
      endif()
    endforeach()
  else()
    set(folder "${download_dir}")
    set(missing "")
    set(requirements "${MARBLEWICK_PIN_OPTIONS}")
    foreach(name IN LISTS MARBLEWICK_PINNED)
      _marblewick_find_archive("${folder}" ${name} path)
      if(path)
        file(SHA256 "${path}" actual_sha)
        if(NOT actual_sha STREQUAL "${MARBLEWICK_PIN_${name}_SHA256}")
          file(REMOVE "${path}")  # an interrupted or foreign download: fetch it again
          set(path "")
        endif()
      endif()
      if(NOT path)
        list(APPEND missing "${name}==${MARBLEWICK_PIN_${name}_VERSION}")
        list(APPEND requirements "${MARBLEWICK_PIN_${name}_LINE}")
      endif()
    endforeach()
    if(missing)
      # Only the missing archives: pip prepares every archive it is given (it
      # runs the archive's build backend for its metadata, after the hash check).
      string(JOIN "\n" requirements_text ${requirements})
      set(requirements_file "${folder}/missing-pins.txt")
      file(WRITE "${requirements_file}" "${requirements_text}\n")
      string(JOIN ", " missing_text ${missing})
      message(STATUS "Downloading with pip, each archive checked against its pinned SHA-256: ${missing_text}")
      execute_process(
        COMMAND "${python}" -m pip download --require-hashes --no-deps
                --disable-pip-version-check --progress-bar off
                -d "${folder}" -r "${requirements_file}"
        RESULT_VARIABLE rc
        OUTPUT_VARIABLE out
        ERROR_VARIABLE err)
      if(NOT rc EQUAL 0)
        _marblewick_offline_advice(advice)
        message(FATAL_ERROR "Could not download ${missing_text} with pip (exit status ${rc}):\n"
                            "${out}\n${err}\n" ${advice})
      endif()
    endif()
  endif()

  foreach(name IN LISTS MARBLEWICK_PINNED)
    _marblewick_find_archive("${folder}" ${name} path)
    if(NOT path)
      message(FATAL_ERROR "pip reported success, but the source archive of "
                          "${name}==${MARBLEWICK_PIN_${name}_VERSION} is not in ${folder}")
    endif()
    file(SHA256 "${path}" actual_sha)
    if(NOT actual_sha STREQUAL "${MARBLEWICK_PIN_${name}_SHA256}")
      get_filename_component(archive "${path}" NAME)
      message(FATAL_ERROR "${archive}: SHA-256 ${actual_sha} does not match the pinned "
                          "${MARBLEWICK_PIN_${name}_SHA256}")
    endif()
    set(MARBLEWICK_ARCHIVE_${name} "${path}" PARENT_SCOPE)
  endforeach()
endfunction()

# Extracts the archive of pinned package NAME into a folder of DEST_ROOT, once
# per pinned hash and choice of files, and gives the archive's top folder in
# OUT_DIR. PATTERNS, when given, are the only files to extract, as paths below
# the top folder; each must be there.
function(marblewick_extract_archive name dest_root out_dir)
  cmake_parse_arguments(PARSE_ARGV 3 arg "" "" "PATTERNS")
  set(archive "${MARBLEWICK_ARCHIVE_${name}}")
  get_filename_component(file_name "${archive}" NAME)
  # A source distribution holds one folder named like the archive itself.
  string(REGEX REPLACE "\\.tar\\.gz$" "" top "${file_name}")
  set(extracted "${dest_root}/${name}-${MARBLEWICK_PIN_${name}_VERSION}")
  string(SHA256 extraction "${MARBLEWICK_PIN_${name}_SHA256};${arg_PATTERNS}")
  set(stamp "${extracted}/.marblewick-${extraction}")
  if(NOT EXISTS "${stamp}")
    file(REMOVE_RECURSE "${extracted}")
    if(arg_PATTERNS)
      list(TRANSFORM arg_PATTERNS PREPEND "${top}/" OUTPUT_VARIABLE patterns)
      file(ARCHIVE_EXTRACT INPUT "${archive}" DESTINATION "${extracted}" PATTERNS ${patterns})
      foreach(path IN LISTS patterns)
        if(NOT EXISTS "${extracted}/${path}")
          message(FATAL_ERROR "${file_name} holds no ${path}")
        endif()
      endforeach()
    else()
      file(ARCHIVE_EXTRACT INPUT "${archive}" DESTINATION "${extracted}")
    endif()
    if(NOT IS_DIRECTORY "${extracted}/${top}")
      message(FATAL_ERROR "${file_name} does not hold its files in a folder ${top}")
    endif()
    file(TOUCH "${stamp}")
  endif()
  set(${out_dir} "${extracted}/${top}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  if(NOT PYTHON)
    find_program(PYTHON NAMES python3 python REQUIRED)
  endif()
  marblewick_read_pins("${PINS}")
  marblewick_obtain_archives("${OFFLINE_DIR}" "${DOWNLOAD_DIR}" "${PYTHON}")
endif()
