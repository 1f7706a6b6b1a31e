# Settings of the Windows build (cmake/mingw-w64.cmake, cmake/mingw-w64-i686.cmake).
#
# GoogleTest is built from the sources Debian ships (/usr/src/googletest),
# with the same targets find_package(GTest) gives on Linux (newer sources
# define them themselves).

if(ML_BUILD_TESTS)
  set(ML_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for the Windows build")
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(${ML_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  if(NOT TARGET GTest::gtest)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
endif()

# Benchmarks and fuzzers are Linux tools.
set(ML_BUILD_BENCH OFF CACHE BOOL "" FORCE)
set(ML_FUZZ OFF CACHE BOOL "" FORCE)

# The C runtime's printf with the C99 formats (%zu, %lld), and the POSIX
# thread-safe time functions (gmtime_r, localtime_r) of mingw-w64.
add_compile_definitions(__USE_MINGW_ANSI_STDIO=1 _POSIX_THREAD_SAFE_FUNCTIONS=200112L)

# Exports of a DLL, undecorated, from a list with one entry per line:
#   NAME BYTES    a function of the standard calling convention taking BYTES
#                 bytes of arguments on 32-bit Windows ("NAME@BYTES" there)
#   NAME -        a C function (cdecl)
# followed by PRIVATE where the name stays out of the import library.
#   ml_windows_exports(TARGET target LIST file.exports)
function(ml_windows_exports)
  cmake_parse_arguments(E "" "TARGET;LIST" "" ${ARGN})
  get_filename_component(list "${E_LIST}" ABSOLUTE)
  file(STRINGS "${list}" entries REGEX "^[A-Za-z_]")
  set(def "; Generated from ${list}; do not edit.\nLIBRARY ${E_TARGET}\nEXPORTS\n")
  foreach(entry IN LISTS entries)
    string(REGEX MATCH "^([A-Za-z_0-9]+)[ \t]+([0-9]+|-)([ \t]+PRIVATE)?" ok "${entry}")
    if(NOT ok)
      message(FATAL_ERROR "${list}: bad entry \"${entry}\"")
    endif()
    set(line "    ${CMAKE_MATCH_1}")
    if(CMAKE_SIZEOF_VOID_P EQUAL 4 AND NOT CMAKE_MATCH_2 STREQUAL "-")
      string(APPEND line " = ${CMAKE_MATCH_1}@${CMAKE_MATCH_2}")
    endif()
    string(APPEND def "${line}${CMAKE_MATCH_3}\n")
  endforeach()
  set(out "${CMAKE_CURRENT_BINARY_DIR}/${E_TARGET}.def")
  file(WRITE "${out}" "${def}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${list}")
  target_sources(${E_TARGET} PRIVATE "${out}")
endfunction()

# CTest runs the Windows programs under Wine (Debian's wine64), through a
# wrapper that gives them the build's private prefix.
find_program(ML_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CACHE)
if(ML_WINE)
  set(ML_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/windows/wine-run.sh.in
                 ${CMAKE_BINARY_DIR}/wine-run.sh @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)
endif()
