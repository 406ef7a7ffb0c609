# Release files: included by the root CMakeLists.txt before any target, for every platform. With
# UPDATE_RELEASE off it does nothing; on, it names the version and the commit, makes the build
# reproducible (the same commit gives the same bytes in any folder at any time), and each platform's
# packaging file (packaging/linux.cmake, windows.cmake, web.cmake) then adds its install rules and
# CPack's settings.
option(UPDATE_RELEASE "Build the release files: reproducible, stamped with version and commit, packed by CPack" OFF)
set(UPDATE_RELEASE_DIR "${CMAKE_SOURCE_DIR}/release" CACHE PATH "Where CPack writes the release files")
if(NOT UPDATE_RELEASE)
  return()
endif()

# The commit the sources come from, and its time: the one time every file of the release carries.
find_package(Git REQUIRED)
execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%H%n%ct
                WORKING_DIRECTORY ${CMAKE_SOURCE_DIR} OUTPUT_VARIABLE commit_and_time
                RESULT_VARIABLE git_status OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(NOT git_status EQUAL 0)
  message(FATAL_ERROR "A release is built from a git clone: ${CMAKE_SOURCE_DIR} has no commit to name")
endif()
string(REPLACE "\n" ";" commit_and_time "${commit_and_time}")
list(GET commit_and_time 0 UPDATE_COMMIT)
list(GET commit_and_time 1 commit_time)
string(SUBSTRING "${UPDATE_COMMIT}" 0 10 commit_short)
# SOURCE_DATE_EPOCH, when set, wins, as everywhere; else the commit's time.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(UPDATE_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
else()
  set(UPDATE_SOURCE_DATE_EPOCH "${commit_time}")
  set(ENV{SOURCE_DATE_EPOCH} "${commit_time}")   # string(TIMESTAMP) below takes it from here
endif()
string(TIMESTAMP commit_day "%Y%m%d" UTC)
string(TIMESTAMP UPDATE_RELEASE_YEAR "%Y" UTC)
string(TIMESTAMP UPDATE_RELEASE_DATE "%Y-%m-%d" UTC)
string(TIMESTAMP UPDATE_RELEASE_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)

# 0.5+git20261207.18a8809f2c: the program's version, then the commit's day and name, so that later
# commits sort later. Changes not yet committed are no commit's: such a release says so.
set(UPDATE_RELEASE_VERSION "${PROJECT_VERSION}+git${commit_day}.${commit_short}")
execute_process(COMMAND ${GIT_EXECUTABLE} status --porcelain --untracked-files=no
                WORKING_DIRECTORY ${CMAKE_SOURCE_DIR} OUTPUT_VARIABLE uncommitted ERROR_QUIET)
if(NOT uncommitted STREQUAL "")
  string(APPEND UPDATE_RELEASE_VERSION ".dirty")
  string(APPEND UPDATE_COMMIT " with changes not committed")
endif()
set(UPDATE_MAINTAINER "Zentravox update maintainers <update@zentravox.example>")
message(STATUS "Release ${UPDATE_RELEASE_VERSION}, commit ${UPDATE_COMMIT}, files into ${UPDATE_RELEASE_DIR}")

# No build folder in what is built: paths of sources and of generated files are recorded relative.
# Symbols stripped at the link (not in the web edition, where -s means something else).
add_compile_options(-ffile-prefix-map=${CMAKE_BINARY_DIR}/= -ffile-prefix-map=${CMAKE_SOURCE_DIR}/=)
if(NOT EMSCRIPTEN)
  add_link_options(-s)
endif()
# Linux: the hardening Debian builds its own packages with.
if(NOT EMSCRIPTEN AND NOT WIN32)
  add_compile_options(-fstack-protector-strong -D_FORTIFY_SOURCE=2 -fno-ident)
  add_link_options(-Wl,-z,relro -Wl,-z,now)
endif()

# CPack, for every platform: its files straight into the release folder, its work in the build tree,
# and every archive member stamped with the commit's time (cpack reads SOURCE_DATE_EPOCH from its own
# environment, which the project's config file sets).
set(CPACK_PACKAGE_VENDOR "Zentravox")
set(CPACK_PACKAGE_VERSION "${UPDATE_RELEASE_VERSION}")
set(CPACK_PACKAGE_CONTACT "${UPDATE_MAINTAINER}")
set(CPACK_OUTPUT_FILE_PREFIX "${UPDATE_RELEASE_DIR}")
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/cpack")
set(CPACK_UPDATE_SOURCE_DATE_EPOCH "${UPDATE_SOURCE_DATE_EPOCH}")
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_CURRENT_LIST_DIR}/cpack_project.cmake")
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_THREADS 1)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# Fills a text template of packaging/ with the release's words (@UPDATE_RELEASE_VERSION@ and the like).
function(update_release_text template output)
  configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/${template} ${output} @ONLY)
endfunction()
