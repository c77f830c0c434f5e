# Read by cpack once per generator (CPACK_PROJECT_CONFIG_FILE): each
# download says what it is in its name, and only the zip gets the text that
# the installer makes unnecessary.
if(CPACK_GENERATOR STREQUAL "NSIS")
  set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_FILE_NAME}-setup")
elseif(CPACK_GENERATOR STREQUAL "ZIP")
  set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_FILE_NAME}-portable")
  set(CPACK_INSTALLED_DIRECTORIES "${CPACK_DOVO_PORTABLE_DIR};.")
endif()
