# Benchmarks: programs that print figures, never tests.
add_executable(bench_transfer bench/bench_transfer.cpp tests/support/scenario.cpp)
target_include_directories(bench_transfer PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(bench_transfer PRIVATE update_logic midi_sim)
add_executable(bench_discovery bench/bench_discovery.cpp tests/support/scenario.cpp)
target_include_directories(bench_discovery PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(bench_discovery PRIVATE update_logic midi_sim)
if(UPDATE_TESTS)
  add_test(NAME tool_errors COMMAND ${CMAKE_SOURCE_DIR}/tests/tool_errors.sh
           ${CMAKE_SOURCE_DIR}/scripts/make-image.py $<TARGET_FILE:bench_transfer>)
endif()

if(TARGET midi_rtmidi)
  add_executable(bench_roundtrip bench/bench_roundtrip.cpp)
  target_link_libraries(bench_roundtrip PRIVATE update_logic midi_rtmidi)
endif()
# Ports that never answer and a Midi Through-like echo, on a JACK server, for bench/run_discovery.py.
if(TARGET PkgConfig::UPDATE_JACK)
  add_executable(bench_jack_ports bench/jack_ports.cpp)
  target_link_libraries(bench_jack_ports PRIVATE PkgConfig::UPDATE_JACK Threads::Threads)
endif()
