# The fault matrix over real JACK ports; skipped where no JACK server answers.
if(TARGET update AND TARGET zentravox-target)
  add_test(NAME fault_matrix
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/fault_matrix.sh
            $<TARGET_FILE:update> $<TARGET_FILE:zentravox-target> ${CMAKE_SOURCE_DIR}/scripts/make-image.py
            ${CMAKE_SOURCE_DIR}/scripts/jack-server.sh)
  set_tests_properties(fault_matrix PROPERTIES RESOURCE_LOCK jack SKIP_RETURN_CODE 77 TIMEOUT 600)
endif()
