# The fault matrix over real JACK ports; skipped where no JACK server answers. Slow: a killed target
# or server, and answers 2.5 s late, may each end in twenty unanswered 2 s waits.
if(TARGET update AND TARGET zentravox-target)
  add_test(NAME fault_matrix
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/fault_matrix.sh
            $<TARGET_FILE:update> $<TARGET_FILE:zentravox-target> ${CMAKE_SOURCE_DIR}/scripts/make-image.py
            ${CMAKE_SOURCE_DIR}/scripts/jack-server.sh)
  set_tests_properties(fault_matrix PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600 LABELS "e2e;slow")
  update_jack_tests(fault_matrix)
endif()
