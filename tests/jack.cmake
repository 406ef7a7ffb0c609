# The JACK server of the tests on real ports, a fixture: started (scripts/jack-server.sh, on the dummy
# backend) before the first test that requires it and stopped after the last. It is named after the
# build tree, so that two trees on one machine never share one; a server of that name that is already
# running is used and left running. Where jackd is not installed it reports skipped, and so do the
# tests on real ports, which find no server.
string(MD5 tree_hash "${CMAKE_BINARY_DIR}")
string(SUBSTRING "${tree_hash}" 0 8 tree_hash)
set(UPDATE_JACK_SERVER "update-${tree_hash}" CACHE STRING "The JACK server the tests on real ports start and use")
add_test(NAME jack_server_start COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/jack-server.sh start ${UPDATE_JACK_SERVER})
add_test(NAME jack_server_stop COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/jack-server.sh stop ${UPDATE_JACK_SERVER})
set_tests_properties(jack_server_start PROPERTIES FIXTURES_SETUP jack SKIP_RETURN_CODE 77 TIMEOUT 120 LABELS e2e)
set_tests_properties(jack_server_stop PROPERTIES FIXTURES_CLEANUP jack TIMEOUT 60 LABELS e2e)

# Marks tests as ones on the fixture's server. They share its port lists, hence the lock.
function(update_jack_tests)
  set_property(TEST ${ARGN} APPEND PROPERTY FIXTURES_REQUIRED jack)
  set_property(TEST ${ARGN} APPEND PROPERTY RESOURCE_LOCK jack)
  set_property(TEST ${ARGN} APPEND PROPERTY ENVIRONMENT
    JACK_DEFAULT_SERVER=${UPDATE_JACK_SERVER} JACK_NO_START_SERVER=1)
endfunction()

# The RtMidi backend against a real JACK server; the test reports itself skipped when no server answers.
if(TARGET midi_rtmidi AND TARGET PkgConfig::UPDATE_JACK)
  add_executable(test_rtmidi_jack
    ${CMAKE_CURRENT_LIST_DIR}/support/jack_peer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/test_rtmidi_jack_ports.cpp
    ${CMAKE_CURRENT_LIST_DIR}/test_rtmidi_jack_send.cpp
    ${CMAKE_CURRENT_LIST_DIR}/test_rtmidi_jack_receive.cpp
    ${CMAKE_CURRENT_LIST_DIR}/test_rtmidi_jack_link.cpp)
  target_include_directories(test_rtmidi_jack PRIVATE ${CMAKE_CURRENT_LIST_DIR})
  # The JACK link's failure paths: the test decides what the server answers to an activation, and
  # counts the program's own clients.
  target_link_options(test_rtmidi_jack PRIVATE
    -Wl,--wrap=jack_activate -Wl,--wrap=jack_client_open -Wl,--wrap=jack_client_close)
  target_link_libraries(test_rtmidi_jack PRIVATE update_logic midi_rtmidi PkgConfig::UPDATE_JACK GTest::gtest_main)
  add_test(NAME test_rtmidi_jack COMMAND test_rtmidi_jack)
  set_tests_properties(test_rtmidi_jack PROPERTIES
    SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]"
    TIMEOUT 300
    LABELS e2e)
  update_jack_tests(test_rtmidi_jack)
endif()
