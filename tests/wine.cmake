# update.exe under wine: transcripts with wine's own winmm (no MIDI ports), with none at all, and with
# the emulated winmm.dll (emulated/winmm/) in front of the emulated target; and the checks of what
# the Windows files import. They come from the cross builds (the windows and windows-x86_64 presets,
# scripts/build-windows.sh); where those or a wine that can run them are missing, the tests report
# SKIPPED.
set(UPDATE_WINDOWS_BUILD_DIR "${CMAKE_SOURCE_DIR}/build-windows" CACHE PATH
    "The 32-bit Windows build (the windows preset), for the wine tests")
set(UPDATE_WINDOWS_X86_64_BUILD_DIR "${CMAKE_SOURCE_DIR}/build-windows-x86_64" CACHE PATH
    "The 64-bit Windows build (the windows-x86_64 preset), for the wine tests where 32-bit code cannot run")

# What each Windows build imports: update.exe only KERNEL32 and msvcrt, the emulated winmm.dll no winmm
# and every winmm function update.exe takes by name.
foreach(arch i686 x86_64)
  if(arch STREQUAL i686)
    set(dir ${UPDATE_WINDOWS_BUILD_DIR})
  else()
    set(dir ${UPDATE_WINDOWS_X86_64_BUILD_DIR})
  endif()
  add_test(NAME windows_imports_${arch}
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/wine/check-imports.sh ${arch}-w64-mingw32 ${dir})
  set_tests_properties(windows_imports_${arch} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 60 LABELS "unit;windows")
endforeach()

set(WINE_TEST_DRIVER ${CMAKE_CURRENT_SOURCE_DIR}/wine/wine-test.sh)
# One wine prefix for all the cases, made anew by the first test of each run (its first boot is slow).
set(WINE_TEST_STATE ${CMAKE_CURRENT_BINARY_DIR}/wine)
set(WINE_TEST_DIRS ${UPDATE_WINDOWS_BUILD_DIR} ${UPDATE_WINDOWS_X86_64_BUILD_DIR} ${WINE_TEST_STATE})

add_test(NAME wine_prefix COMMAND ${WINE_TEST_DRIVER} ${WINE_TEST_DIRS} prefix)
set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wine TIMEOUT 400 SKIP_RETURN_CODE 77
                     RESOURCE_LOCK wine_prefix LABELS "wine;windows")
add_test(NAME wine_stop COMMAND ${WINE_TEST_DRIVER} ${WINE_TEST_DIRS} stop)
set_tests_properties(wine_stop PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 60 SKIP_RETURN_CODE 77
                     RESOURCE_LOCK wine_prefix LABELS "wine;windows")

foreach(case
    own_no_image own_bad_prefix own_bad_checksum own_no_device disabled_winmm
    emulated_update emulated_planted_winmm emulated_reset_request emulated_refusal emulated_silent_target
    emulated_output_vanishes emulated_discovery emulated_slow_target emulated_broken_sysex emulated_burst
    emulated_second_update emulated_interrupted emulated_output_name_lost emulated_timer_refused emulated_search)
  add_test(NAME wine_${case} COMMAND ${WINE_TEST_DRIVER} ${WINE_TEST_DIRS} ${case})
  # The cases take turns: the emulated target answers in real time, and a loaded machine stretches it.
  set_tests_properties(wine_${case} PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 180 SKIP_RETURN_CODE 77
                       RESOURCE_LOCK wine_prefix LABELS "wine;windows")
endforeach()
# Twenty unanswered 2 s waits in real time: the one silent target of this harness.
set_tests_properties(wine_emulated_silent_target PROPERTIES LABELS "wine;windows;slow")
