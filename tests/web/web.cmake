# The web edition in headless Chromium against the emulated target, each case compared with the
# console program's output for the same scenario. The page comes from UPDATE_WEB_BUILD_DIR
# (scripts/build-web.sh); where it is not built, or Chromium is missing, the cases report skipped.
# The accessibility case installs axe-core, pinned by package.json and package-lock.json here, from
# the npm registry into the build tree; where npm or the registry cannot be had, it reports skipped.
set(UPDATE_WEB_BUILD_DIR ${CMAKE_SOURCE_DIR}/build-web CACHE PATH "The web edition's build, by scripts/build-web.sh")

add_executable(web_console_run ${CMAKE_CURRENT_LIST_DIR}/console_run.cpp)
target_link_libraries(web_console_run PRIVATE update_logic midi_sim)

set(WEB_CASES complete_update long_port_names noisy_target refusals twenty_refusals silent_target reset_request image_phase
              slow_target late_target hidden_tab no_answer midi_refused midi_absent browser_midi target_leaves
              update_again one_file looking too_large hostile_names two_tabs no_web_locks keyboard accessibility)
foreach(case ${WEB_CASES})
  add_test(NAME web_${case}
    COMMAND python3 ${CMAKE_CURRENT_LIST_DIR}/web_cases.py ${case}
            --build ${UPDATE_WEB_BUILD_DIR} --console $<TARGET_FILE:web_console_run>
            --make-image ${CMAKE_SOURCE_DIR}/scripts/make-image.py --examples ${CMAKE_SOURCE_DIR}/examples
            --shots ${CMAKE_CURRENT_BINARY_DIR}/web-shots
            --axe-package ${CMAKE_CURRENT_LIST_DIR} --axe-dir ${CMAKE_CURRENT_BINARY_DIR}/web-axe)
  set_tests_properties(web_${case} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 180 LABELS web)
endforeach()
# Twenty 2 s waits, counted in 1 ms polls: about 45 s on a quiet machine, up to three times that on a
# busy one.
set_tests_properties(web_silent_target PROPERTIES TIMEOUT 400 LABELS "web;slow")
