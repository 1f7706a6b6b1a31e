# Writes the man page of mlhost from its own --help texts, so that the page
# never drifts from the program: help2man takes the general usage and the
# version, and each command's --help becomes a section of its own.
#   cmake -DMLHOST=... -DHELP2MAN=... -DOUT=mlhost.1 -P man.cmake
set(include "${OUT}.include")
file(WRITE "${include}" "")
foreach(command watch get set status)
  execute_process(COMMAND "${MLHOST}" ${command} --help
                  OUTPUT_VARIABLE text RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${MLHOST} ${command} --help failed: ${rc}")
  endif()
  # Literal text for roff: backslashes doubled, a leading dot or quote escaped.
  string(REPLACE "\\" "\\e" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  file(APPEND "${include}" "[COMMAND ${command}]\n.nf\n${text}.fi\n\n")
endforeach()
execute_process(
  COMMAND "${HELP2MAN}" --no-info --section 1
          --name "reference host of the Morlind Logon smart-card module"
          --include "${include}" --output "${OUT}" "${MLHOST}"
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "help2man failed for ${MLHOST}: ${rc}")
endif()
