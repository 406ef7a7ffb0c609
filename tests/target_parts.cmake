# The emulated target's stream assembly, timed sender and behaviour words, without any MIDI system.
add_executable(target_parts_tests test_target_parts.cpp ${CMAKE_SOURCE_DIR}/emulated/target/midi_byte_stream.cpp)
target_include_directories(target_parts_tests PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(target_parts_tests PRIVATE emulated_target Threads::Threads GTest::gtest_main)
gtest_discover_tests(target_parts_tests DISCOVERY_MODE PRE_TEST PROPERTIES LABELS unit)
