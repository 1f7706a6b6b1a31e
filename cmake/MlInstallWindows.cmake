# The installation on Windows: `cmake --install build-windows --prefix DIR`
# lays out the install directory that the registry value "Path" names.
#
#   DIR\                  mlcardmanx.dll, its language libraries
#                         mlcardmanb.dll (English) and mlcardmand.dll
#                         (German), languages.ini, the installation's
#                         mlsettings.ini, the dialog manager mldialog.dll,
#                         ct32.dll (found beside the module), mlhost.exe,
#                         register.cmd
#   DIR\bin\ct32.dll      the CT-API driver where a driver installation
#                         ("Path" of ...\APPSW\Vireo) keeps it
#   DIR\Defaults\         mlsettings.ini and mldebug.ini for the common
#                         documents folder
#
# register.cmd, run as an administrator in DIR, writes the registry values
# ("Path" and "Release" of HKEY_LOCAL_MACHINE
# SOFTWARE\Kestrel\APPSW\MorlindLogon), registers the dialog manager
# (regsvr32) and copies the default settings into
# %PUBLIC%\Documents\Kestrel\MorlindLogon\Settings unless they exist.
# `cpack --config build-windows/CPackConfig.cmake` packs DIR as a ZIP file.

install(TARGETS mlcardmanx mlcardmanb mlcardmand mldialog ct32
  RUNTIME DESTINATION . LIBRARY DESTINATION .)
install(TARGETS ct32 LIBRARY DESTINATION bin RUNTIME DESTINATION bin)
if(TARGET mlhost)
  install(TARGETS mlhost RUNTIME DESTINATION .)
endif()
install(FILES
  ${PROJECT_SOURCE_DIR}/components/languages/languages.ini
  ${PROJECT_SOURCE_DIR}/frame/install/mlsettings.ini
  DESTINATION .)
install(FILES
  ${PROJECT_SOURCE_DIR}/frame/install/default-mlsettings.ini
  ${PROJECT_SOURCE_DIR}/frame/install/default-mldebug.ini
  DESTINATION Defaults)
configure_file(${PROJECT_SOURCE_DIR}/cmake/windows/register.cmd.in
               ${PROJECT_BINARY_DIR}/register.cmd @ONLY NEWLINE_STYLE CRLF)
install(FILES ${PROJECT_BINARY_DIR}/register.cmd DESTINATION .)

add_custom_target(ml_installation)
add_dependencies(ml_installation mlcardmanx mlcardmanb mlcardmand ct32 mldialog)
if(TARGET mlhost)
  add_dependencies(ml_installation mlhost)
endif()

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME mlcardmanx)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(CPACK_SYSTEM_NAME win32)
else()
  set(CPACK_SYSTEM_NAME win64)
endif()
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)

# mlhost finds the module beside itself, in the build tree as installed.
if(TARGET mlhost)
  target_compile_definitions(mlhost PRIVATE "MLHOST_DEFAULT_MODULES=\"mlcardmanx.dll\"")
endif()
