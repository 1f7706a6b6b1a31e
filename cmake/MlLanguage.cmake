# Language libraries: a string table generated from a UTF-8 text source
# (format in platform/string_table.h) and built into a loadable library.
#   ml_add_language_library(TARGET name OUTPUT_NAME libname SOURCE file.txt)
# The library is lib<OUTPUT_NAME>.so in the build's library folder. A bad
# source fails the build with its file and line named.
function(ml_add_language_library)
  cmake_parse_arguments(L "" "TARGET;OUTPUT_NAME;SOURCE" "" ${ARGN})
  if(NOT L_TARGET OR NOT L_OUTPUT_NAME OR NOT L_SOURCE)
    message(FATAL_ERROR "ml_add_language_library needs TARGET, OUTPUT_NAME and SOURCE")
  endif()
  get_filename_component(source "${L_SOURCE}" ABSOLUTE)
  if(WIN32)
    # A resource-only DLL: the string table compiled by windres, no code,
    # read with LoadLibraryW and LoadStringW.
    set(script "${CMAKE_CURRENT_BINARY_DIR}/${L_TARGET}_strings.rc")
    add_custom_command(
      OUTPUT "${script}"
      COMMAND ${CMAKE_COMMAND} -DSOURCE=${source} -DOUTPUT=${script}
              -P ${PROJECT_SOURCE_DIR}/cmake/MlStringTableRc.cmake
      DEPENDS "${source}" ${PROJECT_SOURCE_DIR}/cmake/MlStringTableRc.cmake
      COMMENT "Generating the string table of ${L_TARGET}"
      VERBATIM)
    add_library(${L_TARGET} MODULE "${script}")
    set_target_properties(${L_TARGET} PROPERTIES
      OUTPUT_NAME "${L_OUTPUT_NAME}" PREFIX "" LINKER_LANGUAGE C)
    target_link_options(${L_TARGET} PRIVATE -nostdlib -Wl,-e,0)
    return()
  endif()
  set(generated "${CMAKE_CURRENT_BINARY_DIR}/${L_TARGET}_strings.cpp")
  add_custom_command(
    OUTPUT "${generated}"
    COMMAND ml_string_table_gen "${source}" "${generated}"
    DEPENDS ml_string_table_gen "${source}"
    COMMENT "Generating the string table of ${L_TARGET}"
    VERBATIM)
  add_library(${L_TARGET} MODULE "${generated}")
  ml_target_defaults(${L_TARGET})
  target_link_libraries(${L_TARGET} PRIVATE mlplatform_headers)
  set_target_properties(${L_TARGET} PROPERTIES OUTPUT_NAME "${L_OUTPUT_NAME}" PREFIX "lib")
endfunction()
