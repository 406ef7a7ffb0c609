# The Windows release file: update.exe and a short how-to in a zip, named with version and commit.
set(howto ${CMAKE_BINARY_DIR}/packaged/HOW-TO.txt)
update_release_text(windows/HOW-TO.txt ${howto}.lf)
# Notepad on older Windows shows a text with bare line feeds as one line.
file(READ ${howto}.lf text)
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${howto} "${text}")

# In name order: the zip holds its members in the order they were installed.
install(FILES ${howto} DESTINATION . COMPONENT program)
install(TARGETS update RUNTIME DESTINATION . COMPONENT program)

set(CPACK_GENERATOR ZIP)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_COMPONENTS_ALL program)
set(CPACK_PACKAGE_FILE_NAME "zentravox-update-${UPDATE_RELEASE_VERSION}-windows-x86")
set(CPACK_ARCHIVE_PROGRAM_FILE_NAME "${CPACK_PACKAGE_FILE_NAME}")
include(CPack)
