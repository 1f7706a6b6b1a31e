# The PC/SC smart-card service (platform/scard.h) as a library of its own,
# so that the card library can use it without the rest of the platform layer.
if(WIN32)
  add_library(mlscard STATIC
    ${CMAKE_CURRENT_LIST_DIR}/scard.h
    ${CMAKE_CURRENT_LIST_DIR}/win32/scard_readers.cpp
    ${CMAKE_CURRENT_LIST_DIR}/win32/scard_win32.cpp
    ${CMAKE_CURRENT_LIST_DIR}/win32/winscard_calls.cpp
    ${CMAKE_CURRENT_LIST_DIR}/win32/winscard_calls.h)
  target_link_libraries(mlscard PRIVATE winscard)
else()
  add_library(mlscard STATIC
    ${CMAKE_CURRENT_LIST_DIR}/scard.h
    ${CMAKE_CURRENT_LIST_DIR}/${ML_PLATFORM}/scard_${ML_PLATFORM}.cpp
    ${CMAKE_CURRENT_LIST_DIR}/${ML_PLATFORM}/scard_names.cpp
    ${CMAKE_CURRENT_LIST_DIR}/${ML_PLATFORM}/scard_names.h
    ${CMAKE_CURRENT_LIST_DIR}/${ML_PLATFORM}/scard_pcsclite.cpp
    ${CMAKE_CURRENT_LIST_DIR}/${ML_PLATFORM}/scard_readers.cpp
    ${CMAKE_CURRENT_LIST_DIR}/${ML_PLATFORM}/scard_readers_pcsclite.cpp
    ${CMAKE_CURRENT_LIST_DIR}/${ML_PLATFORM}/pcsclite_calls.h)
  target_link_libraries(mlscard PRIVATE PkgConfig::PCSC)
endif()
ml_target_defaults(mlscard)
target_include_directories(mlscard PUBLIC ${PROJECT_SOURCE_DIR})

if(ML_BUILD_TESTS AND NOT WIN32)
  ml_add_test(NAME mlscard_names_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/${ML_PLATFORM}/tests/scard_names_test.cpp
    LIBS mlscard)
endif()
