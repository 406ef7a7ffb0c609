# The release files (scripts/release.sh) built twice from clean clones of HEAD and compared byte for
# byte, then their Debian packages checked with lintian and run: the packaged program updates the
# packaged emulated product. Minutes of building: labelled slow, and release.
set(RELEASE_TEST_WORK ${CMAKE_CURRENT_BINARY_DIR}/release-check)
add_test(NAME release_reproducible
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/reproducible.sh ${CMAKE_SOURCE_DIR} ${RELEASE_TEST_WORK})
set_tests_properties(release_reproducible PROPERTIES FIXTURES_SETUP release_files TIMEOUT 1800
  LABELS "release;slow" PROCESSORS 2)
add_test(NAME release_packages
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/packages.sh ${RELEASE_TEST_WORK}/first/release)
set_tests_properties(release_packages PROPERTIES FIXTURES_REQUIRED release_files TIMEOUT 300
  LABELS "release;slow")
add_test(NAME release_package_update
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/package_update.sh ${RELEASE_TEST_WORK}/first/release
          ${CMAKE_SOURCE_DIR}/scripts/make-image.py)
set_tests_properties(release_package_update PROPERTIES FIXTURES_REQUIRED release_files SKIP_RETURN_CODE 77
  TIMEOUT 300 LABELS "release;slow;e2e")
update_jack_tests(release_package_update)
