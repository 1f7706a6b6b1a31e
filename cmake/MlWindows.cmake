# Settings of the Windows build (cmake/mingw-w64.cmake, cmake/mingw-w64-i686.cmake).
#
# GoogleTest is built from the sources Debian ships (/usr/src/googletest),
# with the same targets find_package(GTest) gives on Linux.

if(ML_BUILD_TESTS)
  set(ML_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for the Windows build")
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(${ML_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  add_library(GTest::gtest ALIAS gtest)
  add_library(GTest::gtest_main ALIAS gtest_main)
endif()

# Benchmarks and fuzzers are Linux tools.
set(ML_BUILD_BENCH OFF CACHE BOOL "" FORCE)
set(ML_FUZZ OFF CACHE BOOL "" FORCE)

# The C runtime's printf with the C99 formats (%zu, %lld), and the POSIX
# thread-safe time functions (gmtime_r, localtime_r) of mingw-w64.
add_compile_definitions(__USE_MINGW_ANSI_STDIO=1 _POSIX_THREAD_SAFE_FUNCTIONS=200112L)
