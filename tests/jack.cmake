# The RtMidi backend against a real JACK server (scripts/jack-server.sh starts one); the test reports
# itself skipped when JACK_DEFAULT_SERVER names no server that answers.
if(TARGET midi_rtmidi AND TARGET PkgConfig::UPDATE_JACK)
  add_executable(test_rtmidi_jack
    ${CMAKE_CURRENT_LIST_DIR}/support/jack_peer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/test_rtmidi_jack_ports.cpp
    ${CMAKE_CURRENT_LIST_DIR}/test_rtmidi_jack_send.cpp
    ${CMAKE_CURRENT_LIST_DIR}/test_rtmidi_jack_receive.cpp
    ${CMAKE_CURRENT_LIST_DIR}/test_rtmidi_jack_link.cpp)
  target_include_directories(test_rtmidi_jack PRIVATE ${CMAKE_CURRENT_LIST_DIR})
  # The JACK link's failure paths: the test decides what the server answers to an activation.
  target_link_options(test_rtmidi_jack PRIVATE -Wl,--wrap=jack_activate)
  target_link_libraries(test_rtmidi_jack PRIVATE update_logic midi_rtmidi PkgConfig::UPDATE_JACK GTest::gtest_main)
  add_test(NAME test_rtmidi_jack COMMAND test_rtmidi_jack)
  set_tests_properties(test_rtmidi_jack PROPERTIES
    SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]"
    RESOURCE_LOCK jack
    TIMEOUT 300)
endif()
