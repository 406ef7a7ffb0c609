# The real `update` executable as a process against `zentravox-target`, both on the JACK server named by
# JACK_DEFAULT_SERVER (scripts/test.sh starts one). Without a server that answers, each reports itself
# skipped. They share the server's port lists with every other JACK test, hence the lock.
if(TARGET update AND TARGET zentravox-target)
  foreach(group transfer discovery lost_target reliability edges)
    add_test(NAME e2e_${group}
      COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/${group}.sh
              $<TARGET_FILE:update> $<TARGET_FILE:zentravox-target> ${CMAKE_SOURCE_DIR}/scripts/make-image.py)
    set_tests_properties(e2e_${group} PROPERTIES
      RESOURCE_LOCK jack
      SKIP_RETURN_CODE 77
      TIMEOUT 400)
  endforeach()
endif()
