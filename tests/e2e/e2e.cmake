# The real `update` executable as a process against `zentravox-target`, both on the JACK server of the
# jack fixture (tests/jack.cmake). Without a server that answers, each reports itself skipped.
if(TARGET update AND TARGET zentravox-target)
  foreach(group transfer discovery layouts lost_target reliability edges)
    add_test(NAME e2e_${group}
      COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/${group}.sh
              $<TARGET_FILE:update> $<TARGET_FILE:zentravox-target> ${CMAKE_SOURCE_DIR}/scripts/make-image.py)
    set_tests_properties(e2e_${group} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 400 LABELS e2e)
    update_jack_tests(e2e_${group})
  endforeach()
  # A target falling silent for twenty 2 s waits, in real time: the one silent target of this harness.
  set_tests_properties(e2e_lost_target PROPERTIES LABELS "e2e;slow")
endif()
