# Windows install rules and the installer (CPack NSIS with Debian's nsis):
#   <Program Files>\Norza Updater\{Updater.exe, norza-station.exe, icons\, resource\}
#   Start-menu entries "Norza Updater" and "Norza Class Station", an entry
#   among the installed programs, Uninstall.exe.
# The folders sit beside the programs because they find them through their
# own folder, as on Linux.
if(NOT TARGET norza-updater)
  return()
endif()
# What users install reads none of the test variables (link/seams.h): a tree
# built with them refuses to install or package, before anything is copied.
if(NORZA_TEST_SEAMS)
  install(CODE "message(FATAL_ERROR \"Updater.exe is installed and packaged only from a build \
with -DNORZA_TEST_SEAMS=OFF; this one honours NORZA_EMULATOR_DIR and NORZA_PACE_SCALE\")")
endif()
install(TARGETS norza-updater RUNTIME DESTINATION .)
if(TARGET norza-station)
  install(TARGETS norza-station RUNTIME DESTINATION .)
endif()
install(DIRECTORY ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/icons DESTINATION .
        FILES_MATCHING PATTERN "*.png")
if(TARGET norza_texts)
  install(DIRECTORY ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/resource DESTINATION .
          FILES_MATCHING PATTERN "*.zkresource")
endif()

set(CPACK_GENERATOR NSIS)
set(CPACK_PACKAGE_NAME norza-updater)
set(CPACK_PACKAGE_VENDOR ZK)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware updater for Norza graphing calculators")
set(CPACK_PACKAGE_FILE_NAME norza-updater-${PROJECT_VERSION}-win64)
set(CPACK_PACKAGE_INSTALL_DIRECTORY "Norza Updater")
# Also the key under HKLM\Software\ZK where NSIS notes the folder: never
# "Calvora", whose per-user key holds the suite's settings.
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY "Norza Updater")
set(CPACK_PACKAGE_EXECUTABLES Updater "Norza Updater")
if(TARGET norza-station)
  list(APPEND CPACK_PACKAGE_EXECUTABLES norza-station "Norza Class Station")
endif()
set(CPACK_NSIS_EXECUTABLES_DIRECTORY .)
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
set(CPACK_NSIS_PACKAGE_NAME "Norza Updater")
set(CPACK_NSIS_DISPLAY_NAME "Norza Updater")
set(CPACK_NSIS_INSTALLED_ICON_NAME Updater.exe)
set(CPACK_NSIS_MUI_ICON ${PROJECT_SOURCE_DIR}/app/images/Updater.ico)
set(CPACK_NSIS_MUI_UNIICON ${PROJECT_SOURCE_DIR}/app/images/Updater.ico)
set(CPACK_NSIS_URL_INFO_ABOUT "https://norza.invalid/updater")
set(CPACK_NSIS_CONTACT "maintainers@norza.invalid")
set(CPACK_NSIS_IGNORE_LICENSE_PAGE ON)
set(CPACK_NSIS_MODIFY_PATH OFF)
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
# The 64-bit installer stub: Updater.exe is a 64-bit program, the folder is
# the 64-bit Program Files, and the 32-bit stub cannot start under a wine
# that has only its 64-bit half.
set(CPACK_NSIS_DEFINES "Target amd64-unicode")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
