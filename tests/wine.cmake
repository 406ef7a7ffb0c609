# update.exe under wine: transcripts with wine's own winmm (no MIDI ports) and with the emulated winmm.dll
# (sim/winmm_emulated*) in front of the emulated target. update.exe comes from the cross build,
# scripts/build-windows.sh; where it or a wine that can run it is missing, the tests report SKIPPED.
set(UPDATE_WINDOWS_BUILD_DIR "${CMAKE_SOURCE_DIR}/build-windows" CACHE PATH
    "Where scripts/build-windows.sh put the shipped update.exe, for the wine tests")
set(UPDATE_WINDOWS_TEST_DIR "${UPDATE_WINDOWS_BUILD_DIR}-tests" CACHE PATH
    "Where scripts/build-windows.sh put the emulated winmm.dll and the 64-bit builds, for the wine tests")

set(WINE_TEST_DRIVER ${CMAKE_CURRENT_SOURCE_DIR}/wine/wine-test.sh)
# One wine prefix for all the cases, made anew by the first test of each run (its first boot is slow).
set(WINE_TEST_STATE ${CMAKE_CURRENT_BINARY_DIR}/wine)
set(WINE_TEST_DIRS ${UPDATE_WINDOWS_BUILD_DIR} ${UPDATE_WINDOWS_TEST_DIR} ${WINE_TEST_STATE})

add_test(NAME wine_prefix COMMAND ${WINE_TEST_DRIVER} ${WINE_TEST_DIRS} prefix)
set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wine TIMEOUT 400 SKIP_RETURN_CODE 77
                     RESOURCE_LOCK wine_prefix)
add_test(NAME wine_stop COMMAND ${WINE_TEST_DRIVER} ${WINE_TEST_DIRS} stop)
set_tests_properties(wine_stop PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 60 SKIP_RETURN_CODE 77
                     RESOURCE_LOCK wine_prefix)

foreach(case
    own_no_image own_bad_prefix own_bad_checksum own_no_device
    emulated_update emulated_reset_request emulated_refusal emulated_silent_target
    emulated_output_vanishes emulated_discovery emulated_slow_target emulated_broken_sysex
    emulated_second_update emulated_interrupted emulated_output_name_lost emulated_timer_refused)
  add_test(NAME wine_${case} COMMAND ${WINE_TEST_DRIVER} ${WINE_TEST_DIRS} ${case})
  # The cases take turns: the emulated target answers in real time, and a loaded machine stretches it.
  set_tests_properties(wine_${case} PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 180 SKIP_RETURN_CODE 77
                       RESOURCE_LOCK wine_prefix)
endforeach()
