# The two Windows downloads, made by `cmake --build --preset windows
# --target package` (and windows-x86): an installer and a portable zip,
# both named after the version and the architecture, for example
# Dovo-1.0.0-x64-setup.exe and Dovo-1.0.0-x64-portable.zip.
#
# The installer is NSIS rather than an MSI: Debian's makensis builds it
# here, CPack drives it, and its script can do what an MSI would need
# custom actions for (wixl has none): ask a running Dovo to close and wait
# for it, then start it again.  The script is ours
# (packaging/windows/NSIS.template.in), not CPack's, which installs for all
# users under Program Files and asks for administrator rights.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(arch x64)
  # NSIS's default stub is 32-bit; this one installs a 64-bit program as a
  # 64-bit process, without WOW64's redirections.
  set(nsis_target amd64-unicode)
else()
  set(arch x86)
  set(nsis_target x86-unicode)
endif()

# Everything sits in the one folder: dovo.exe needs no DLL of ours.
install(TARGETS dovo RUNTIME DESTINATION .)
# Notepad and Explorer want CRLF and a .txt.
configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${CMAKE_CURRENT_BINARY_DIR}/packaging/LICENSE.txt
  @ONLY NEWLINE_STYLE CRLF)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/LICENSE.txt DESTINATION .)
# Only the zip carries the text on where the total is kept and how to start
# at login: the installer does both itself (DovoPackages.cmake adds it).
configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/README.txt.in
  ${CMAKE_CURRENT_BINARY_DIR}/packaging/portable/README.txt @ONLY NEWLINE_STYLE CRLF)

find_program(DOVO_MAKENSIS makensis)
if(NOT DOVO_MAKENSIS)
  message(WARNING "No makensis (Debian: nsis): the package target cannot make the installer")
endif()
set(CPACK_GENERATOR NSIS ZIP)
set(CPACK_PACKAGE_NAME Dovo)
set(CPACK_PACKAGE_VENDOR "Quen Dorvil")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Odometer for the mouse pointer")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_INSTALL_DIRECTORY Dovo)
set(package_name Dovo-${PROJECT_VERSION}-${arch})
set(CPACK_PACKAGE_FILE_NAME ${package_name})
set(CPACK_DOVO_PORTABLE_DIR ${CMAKE_CURRENT_BINARY_DIR}/packaging/portable)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/packaging/windows/DovoPackages.cmake)
# A release carries no symbols (the presets build RelWithDebInfo).
set(CPACK_STRIP_FILES ON)
# Three files: Explorer's "Extract all" makes the folder.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)

# CPack looks for NSIS.template.in here before its own.
set(CPACK_MODULE_PATH ${PROJECT_SOURCE_DIR}/packaging/windows)
set(CPACK_NSIS_DOVO_TARGET ${nsis_target})
set(CPACK_NSIS_MUI_ICON ${PROJECT_SOURCE_DIR}/src/windows/dovo.ico)
# The version resource wants four numbers.
string(REGEX MATCHALL "[0-9]+" parts "${PROJECT_VERSION}.0.0.0")
list(SUBLIST parts 0 4 parts)
list(JOIN parts . CPACK_NSIS_DOVO_VERSION4)
include(CPack)

# For the tests that make and install them.
set(DOVO_PACKAGE_ARCH ${arch})
set(DOVO_PACKAGE_SETUP ${CMAKE_BINARY_DIR}/${package_name}-setup.exe)
