# Benchmarks: programs that print figures, never tests.
add_executable(bench_transfer bench/bench_transfer.cpp tests/support/scenario.cpp)
target_include_directories(bench_transfer PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(bench_transfer PRIVATE update_logic midi_sim)
if(UPDATE_TESTS)
  add_test(NAME tool_errors COMMAND ${CMAKE_SOURCE_DIR}/tests/tool_errors.sh
           ${CMAKE_SOURCE_DIR}/scripts/make-image.py $<TARGET_FILE:bench_transfer>)
endif()

if(TARGET midi_rtmidi)
  add_executable(bench_roundtrip bench/bench_roundtrip.cpp)
  target_link_libraries(bench_roundtrip PRIVATE update_logic midi_rtmidi)
endif()
