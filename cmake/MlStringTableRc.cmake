# Writes a language text source (format in platform/string_table.h) as a
# resource script with one string table, for windres.
#   cmake -DSOURCE=english.txt -DOUTPUT=strings.rc -P MlStringTableRc.cmake
# The escapes "\n", "\t" and "\\" of the source are also those of resource
# scripts; a quote is doubled. A bad line fails with its number.
cmake_minimum_required(VERSION 3.25)
file(STRINGS "${SOURCE}" lines ENCODING UTF-8)
set(rc "// Generated from ${SOURCE}; do not edit.\n#pragma code_page(65001)\nSTRINGTABLE\nBEGIN\n")
set(number 0)
set(seen "")
foreach(line IN LISTS lines)
  math(EXPR number "${number} + 1")
  if(line STREQUAL "" OR line MATCHES "^#")
    continue()
  endif()
  if(NOT line MATCHES "^([0-9]+)\t(.*)$")
    message(FATAL_ERROR "${SOURCE}:${number}: expected NUMBER<TAB>TEXT")
  endif()
  set(id "${CMAKE_MATCH_1}")
  set(text "${CMAKE_MATCH_2}")
  if(id IN_LIST seen)
    message(FATAL_ERROR "${SOURCE}:${number}: number ${id} appears twice")
  endif()
  list(APPEND seen "${id}")
  string(REPLACE "\"" "\"\"" text "${text}")
  string(APPEND rc "  ${id}, L\"${text}\"\n")
endforeach()
string(APPEND rc "END\n")
file(WRITE "${OUTPUT}" "${rc}")
