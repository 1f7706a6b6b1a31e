# Common settings for every target of our own: warnings are errors, and only
# what a header marks as exported leaves a shared object.
function(ml_target_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
  set_target_properties(${target} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    C_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
endfunction()

# A GoogleTest executable registered with CTest.
#   ml_add_test(NAME name SOURCES a.cpp ... LIBS lib ... [LABELS l ...] [REAL_STACK])
# REAL_STACK marks tests that talk to pcscd/vpcd: they share the virtual
# reader slots and therefore never run at the same time as each other.
function(ml_add_test)
  cmake_parse_arguments(T "REAL_STACK" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  ml_target_defaults(${T_NAME})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}")
  if(T_REAL_STACK)
    set_tests_properties(${T_NAME} PROPERTIES RESOURCE_LOCK vpcd LABELS "real-stack;${T_LABELS}")
  endif()
endfunction()
