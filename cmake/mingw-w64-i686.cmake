# Cross-building for 32-bit Windows (a 32-bit logon host loads only a 32-bit
# module): the same settings as mingw-w64.cmake with the i686 compilers.
set(ML_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR X86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
