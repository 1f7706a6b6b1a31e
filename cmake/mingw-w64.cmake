# Cross-building for 64-bit Windows with Debian's mingw-w64 (the -posix
# compilers: only they have std::thread, std::mutex and
# std::condition_variable).
#   cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
if(NOT ML_MINGW_TRIPLET)
  set(ML_MINGW_TRIPLET x86_64-w64-mingw32)
endif()

set(CMAKE_C_COMPILER ${ML_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ML_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${ML_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ML_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C and C++ runtimes and winpthread go into every binary, so that a
# Windows machine needs nothing but the system's own DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
