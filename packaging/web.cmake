# The web edition's release file: the page's five files in a zip, ready to host. The page itself
# names its version and commit (a meta element of index.html), and so does update.js (its first line).
set(stamped ${CMAKE_BINARY_DIR}/packaged)
file(READ ${WEB_SOURCE}/site/index.html page)
string(REPLACE "<meta charset=\"utf-8\">"
  "<meta charset=\"utf-8\">\n<meta name=\"generator\" content=\"zentravox-update ${UPDATE_RELEASE_VERSION}, commit ${UPDATE_COMMIT}\">"
  stamped_page "${page}")
if(stamped_page STREQUAL page)
  message(FATAL_ERROR "web/site/index.html has no <meta charset=\"utf-8\"> to put the version after")
endif()
file(WRITE ${stamped}/index.html "${stamped_page}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${WEB_SOURCE}/site/index.html)
file(WRITE ${stamped}/version.js "// zentravox-update ${UPDATE_RELEASE_VERSION}, commit ${UPDATE_COMMIT}\n")
target_link_options(update PRIVATE --extern-pre-js ${stamped}/version.js)

# In name order: the zip holds its members in the order they were installed.
install(FILES ${stamped}/index.html ${SITE_DIR}/page.css ${SITE_DIR}/page.js ${SITE_DIR}/update.js
              ${SITE_DIR}/update.wasm
        DESTINATION . COMPONENT site)

set(CPACK_GENERATOR ZIP)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_COMPONENTS_ALL site)
set(CPACK_PACKAGE_FILE_NAME "zentravox-update-${UPDATE_RELEASE_VERSION}-web")
set(CPACK_ARCHIVE_SITE_FILE_NAME "${CPACK_PACKAGE_FILE_NAME}")
include(CPack)
