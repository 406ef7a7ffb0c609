# The web edition in headless Chromium against the emulated target, each case compared with the
# console program's output for the same scenario. The page comes from UPDATE_WEB_BUILD_DIR
# (scripts/build-web.sh); where it is not built, or Chromium is missing, the cases report skipped.
set(UPDATE_WEB_BUILD_DIR ${CMAKE_SOURCE_DIR}/build-web CACHE PATH "The web edition's build, by scripts/build-web.sh")

add_executable(web_console_run ${CMAKE_CURRENT_LIST_DIR}/console_run.cpp)
target_link_libraries(web_console_run PRIVATE update_logic midi_sim)

set(WEB_CASES complete_update long_port_names noisy_target refusals twenty_refusals silent_target reset_request image_phase
              slow_target late_target hidden_tab no_answer midi_refused midi_absent browser_midi target_leaves)
foreach(case ${WEB_CASES})
  add_test(NAME web_${case}
    COMMAND python3 ${CMAKE_CURRENT_LIST_DIR}/web_cases.py ${case}
            --build ${UPDATE_WEB_BUILD_DIR} --console $<TARGET_FILE:web_console_run>
            --make-image ${CMAKE_SOURCE_DIR}/scripts/make-image.py --examples ${CMAKE_SOURCE_DIR}/examples
            --shots ${CMAKE_CURRENT_BINARY_DIR}/web-shots)
  set_tests_properties(web_${case} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 180 LABELS web)
endforeach()
# Twenty 2 s waits, counted in 1 ms polls: about 45 s on a quiet machine, up to three times that on a
# busy one.
set_tests_properties(web_silent_target PROPERTIES TIMEOUT 400 LABELS "web;slow")
