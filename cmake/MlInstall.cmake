# The installation: `cmake --install BUILD [--prefix PREFIX]`, DESTDIR honoured.
#
#   PREFIX/bin/                 mlhost (the reference host), mlcardsim,
#                               mldialog-gtk (the desktop box, when GTK 4
#                               was found)
#   PREFIX/lib/mlcardmanx/      libmlcardmanx.so, its language libraries,
#                               languages.ini, the installation's
#                               mlsettings.ini, ct32.so, libmldialog.so,
#                               libmlplatform.so (the install directory)
#   PREFIX/include/mlcardmanx/  mlcardmanx.h and the platform headers it uses
#   PREFIX/<libdir>/pkgconfig/  mlcardmanx.pc
#
# and, for a new installation, under two roots (cache variables):
#   ML_REGISTRY_ROOT   the registry tree: "Path" and "Release" of
#                      HKEY_LOCAL_MACHINE SOFTWARE\Kestrel\APPSW\MorlindLogon,
#                      the dialog manager's class registration;
#   ML_DOCUMENTS_ROOT  the common documents folder: the Settings folder with
#                      default "mlsettings.ini" and "mldebug.ini" (never
#                      overwritten) and the Diagnostics folder.
# Both can also be given when the install script runs:
#   cmake -DCMAKE_INSTALL_PREFIX=P -DML_REGISTRY_ROOT=R -DML_DOCUMENTS_ROOT=D \
#         -P BUILD/cmake_install.cmake
# The module finds them at run time through ML_REGISTRY_ROOT and
# ML_COMMON_DOCUMENTS in its environment (defaults as here).

if(WIN32)
  include(MlInstallWindows)
  return()
endif()

set(ML_REGISTRY_ROOT "/etc/kestrel/registry" CACHE PATH
    "Registry tree the installation writes its values into")
set(ML_DOCUMENTS_ROOT "/var/lib/kestrel/documents" CACHE PATH
    "Common documents folder the installation puts its settings into")
set(ML_INSTALL_MODULE_DIR "lib/mlcardmanx" CACHE STRING
    "Folder of the module and its companions, relative to the prefix")
set(ML_INSTALL_BIN_DIR "bin")

# mlhost finds the module of the installation from its own folder, and that
# of the build tree (bin/ and lib/ side by side) when there is none.
cmake_path(RELATIVE_PATH ML_INSTALL_MODULE_DIR BASE_DIRECTORY ${ML_INSTALL_BIN_DIR}
           OUTPUT_VARIABLE ml_module_from_bin)
if(ml_module_from_bin STREQUAL "")
  set(ml_module_from_bin ".")
endif()
set_target_properties(mlhost PROPERTIES INSTALL_RPATH "$ORIGIN/${ml_module_from_bin}")
target_compile_definitions(mlhost PRIVATE
  "MLHOST_DEFAULT_MODULES=\"${ml_module_from_bin}/libmlcardmanx.so:../lib/libmlcardmanx.so\"")
set_target_properties(mlcardmanx mldialog PROPERTIES INSTALL_RPATH "$ORIGIN")

# The dialog component finds its desktop program in the installation's bin
# folder, else in the build tree's.
cmake_path(RELATIVE_PATH ML_INSTALL_BIN_DIR BASE_DIRECTORY ${ML_INSTALL_MODULE_DIR}
           OUTPUT_VARIABLE ml_bin_from_module)
target_compile_definitions(mldialog PRIVATE
  "MLDIALOG_DESKTOP_PROGRAMS=\"${ml_bin_from_module}/mldialog-gtk:../bin/mldialog-gtk\"")

install(TARGETS mlcardmanx mlplatform
  LIBRARY DESTINATION ${ML_INSTALL_MODULE_DIR})
install(TARGETS mlcardmanb mlcardmand ct32 mldialog
  LIBRARY DESTINATION ${ML_INSTALL_MODULE_DIR})
install(FILES
  ${PROJECT_SOURCE_DIR}/components/languages/languages.ini
  ${PROJECT_SOURCE_DIR}/frame/install/mlsettings.ini
  DESTINATION ${ML_INSTALL_MODULE_DIR})
install(TARGETS mlhost mlcardsim RUNTIME DESTINATION ${ML_INSTALL_BIN_DIR})
if(TARGET mldialog-gtk)
  install(TARGETS mldialog-gtk RUNTIME DESTINATION ${ML_INSTALL_BIN_DIR})
endif()

install(FILES ${PROJECT_SOURCE_DIR}/include/mlcardmanx.h DESTINATION include/mlcardmanx)
install(FILES
  ${PROJECT_SOURCE_DIR}/platform/handle.h
  ${PROJECT_SOURCE_DIR}/platform/library.h
  ${PROJECT_SOURCE_DIR}/platform/message.h
  ${PROJECT_SOURCE_DIR}/platform/named_objects.h
  ${PROJECT_SOURCE_DIR}/platform/windef.h
  DESTINATION include/mlcardmanx/platform)

# Registry values, default settings and the pkg-config file are written when
# the installation runs, so that they name the prefix given then.
set(ML_INSTALL_DATA_DIR ${PROJECT_SOURCE_DIR}/frame/install)
configure_file(${PROJECT_SOURCE_DIR}/cmake/MlInstallData.cmake.in
               ${PROJECT_BINARY_DIR}/MlInstallData.cmake @ONLY)
install(SCRIPT ${PROJECT_BINARY_DIR}/MlInstallData.cmake)

# Everything the installation holds, for `cmake --build BUILD --target
# ml_installation` (scripts/sandbox builds just this).
add_custom_target(ml_installation)
add_dependencies(ml_installation
  mlcardmanx mlplatform mlcardmanb mlcardmand ct32 mldialog mlhost mlcardsim)
foreach(ml_optional mldialog-gtk mlhost_man mldialog_gtk_man)
  if(TARGET ${ml_optional})
    add_dependencies(ml_installation ${ml_optional})
  endif()
endforeach()
