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

# A libFuzzer target, built only in a fuzzing build (-DML_FUZZ=ON, clang).
#   ml_add_fuzzer(NAME name SOURCES a.cpp ... LIBS lib ... CORPUS dir [SECONDS n])
# Registers a CTest test labelled "fuzz" that runs the fuzzer for a bounded
# time on a copy of the seed corpus; all fuzzers build with target ml_fuzzers.
set(ML_FUZZ_SECONDS 30 CACHE STRING "How long each fuzzer runs as a test, in seconds")

function(ml_add_fuzzer)
  cmake_parse_arguments(F "" "NAME;CORPUS;SECONDS" "SOURCES;LIBS" ${ARGN})
  if(NOT ML_FUZZ)
    return()
  endif()
  if(NOT F_SECONDS)
    set(F_SECONDS ${ML_FUZZ_SECONDS})
  endif()
  add_executable(${F_NAME} ${F_SOURCES})
  ml_target_defaults(${F_NAME})
  target_compile_options(${F_NAME} PRIVATE -fsanitize=fuzzer)
  target_link_options(${F_NAME} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${F_NAME} PRIVATE ${F_LIBS})
  if(NOT TARGET ml_fuzzers)
    add_custom_target(ml_fuzzers)
  endif()
  add_dependencies(ml_fuzzers ${F_NAME})
  set(work ${CMAKE_BINARY_DIR}/fuzz-corpus/${F_NAME})
  add_test(NAME ${F_NAME}
    COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=1
            sh -c "rm -rf '${work}' && mkdir -p '${work}' && cp -R '${F_CORPUS}'/. '${work}'/ && exec \"$0\" -max_total_time=${F_SECONDS} -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 '${work}'"
            $<TARGET_FILE:${F_NAME}>)
  set_tests_properties(${F_NAME} PROPERTIES LABELS fuzz TIMEOUT 600)
  # For scripts/fuzz: the program and its seed corpus in the source tree.
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/fuzzers/${F_NAME}
    CONTENT "$<TARGET_FILE:${F_NAME}>\n${F_CORPUS}\n")
endfunction()
