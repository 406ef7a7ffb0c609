# Fuzz targets of the image phase and of the receive side (tests/fuzz/).
#
# Every compiler: fuzz_image_replay and fuzz_receive_replay run each saved input of the seed corpus
# through the same checks, registered as ordinary tests.
# Clang with libFuzzer: the fuzzers fuzz_image and fuzz_receive themselves, with AddressSanitizer and
# UndefinedBehaviorSanitizer, built from their own copies of the program's sources (the libraries of
# the main build carry no sanitizers), and the corpus replayed through them as tests too.
# scripts/fuzz.sh builds and runs the fuzzers for a bounded time.

set(FUZZ_DIR ${CMAKE_CURRENT_LIST_DIR})
set(FUZZ_CORPUS ${FUZZ_DIR}/corpus)
# fuzz_receive's world, console and wire readers, beside its checks.
set(FUZZ_RECEIVE_SOURCES ${FUZZ_DIR}/fuzz_receive.cpp ${FUZZ_DIR}/receive_world.cpp ${FUZZ_DIR}/receive_failure.cpp
  ${FUZZ_DIR}/receive_console.cpp ${FUZZ_DIR}/receive_wire.cpp)

# --- replay with any compiler, on the libraries of the main build ---
add_executable(fuzz_image_replay ${FUZZ_DIR}/fuzz_image.cpp ${FUZZ_DIR}/replay_main.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/support/scenario.cpp)
target_link_libraries(fuzz_image_replay PRIVATE update_logic midi_sim)
target_include_directories(fuzz_image_replay PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})

add_executable(fuzz_receive_replay ${FUZZ_RECEIVE_SOURCES} ${FUZZ_DIR}/replay_main.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/support/scenario.cpp)
target_link_libraries(fuzz_receive_replay PRIVATE update_logic midi_sim)
target_include_directories(fuzz_receive_replay PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})

add_test(NAME fuzz_image_replay COMMAND fuzz_image_replay ${FUZZ_CORPUS}/image)
add_test(NAME fuzz_receive_replay COMMAND fuzz_receive_replay ${FUZZ_CORPUS}/receive)
set_tests_properties(fuzz_image_replay fuzz_receive_replay PROPERTIES LABELS unit)

# --- libFuzzer, when the compiler has it ---
# Not in a build that is sanitized as a whole (UPDATE_SANITIZE): its flags would clash with the fuzzers'
# own (ThreadSanitizer cannot join AddressSanitizer), and there the replays already run sanitized.
set(UPDATE_FUZZERS_POSSIBLE OFF)
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang" AND NOT UPDATE_SANITIZE)
  include(CheckCXXSourceCompiles)
  include(CMakePushCheckState)
  cmake_push_check_state(RESET)
  set(CMAKE_REQUIRED_FLAGS "-fsanitize=fuzzer,address,undefined")
  set(CMAKE_REQUIRED_LINK_OPTIONS "-fsanitize=fuzzer,address,undefined")
  check_cxx_source_compiles([[
    #include <cstddef>
    #include <cstdint>
    extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t*, std::size_t) { return 0; }
  ]] UPDATE_HAVE_LIBFUZZER)
  cmake_pop_check_state()
  set(UPDATE_FUZZERS_POSSIBLE ${UPDATE_HAVE_LIBFUZZER})
endif()

if(UPDATE_FUZZERS_POSSIBLE)
  # The sources of a library of the main build, as absolute paths: the fuzzers compile their own copies
  # and so follow whatever files the libraries gain or lose.
  function(update_fuzz_sources out)
    set(all)
    foreach(library IN LISTS ARGN)
      get_target_property(sources ${library} SOURCES)
      get_target_property(base ${library} SOURCE_DIR)
      foreach(source IN LISTS sources)
        if(NOT IS_ABSOLUTE ${source})
          set(source ${base}/${source})
        endif()
        list(APPEND all ${source})
      endforeach()
    endforeach()
    set(${out} ${all} PARENT_SCOPE)
  endfunction()
  update_fuzz_sources(UPDATE_FUZZ_PROGRAM_SOURCES update_logic emulated_target sim_world midi_sim)

  set(UPDATE_FUZZ_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g)
  add_library(update_fuzz_program STATIC ${UPDATE_FUZZ_PROGRAM_SOURCES} ${CMAKE_CURRENT_SOURCE_DIR}/support/scenario.cpp)
  target_include_directories(update_fuzz_program PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  target_compile_options(update_fuzz_program PUBLIC ${UPDATE_FUZZ_FLAGS} -fsanitize=fuzzer-no-link)
  target_link_libraries(update_fuzz_program PUBLIC Threads::Threads)

  add_executable(fuzz_image ${FUZZ_DIR}/fuzz_image.cpp)
  add_executable(fuzz_receive ${FUZZ_RECEIVE_SOURCES})
  foreach(target IN ITEMS fuzz_image fuzz_receive)
    target_link_libraries(${target} PRIVATE update_fuzz_program)
    target_link_options(${target} PRIVATE ${UPDATE_FUZZ_FLAGS} -fsanitize=fuzzer)
  endforeach()

  # The corpus through the sanitized build as well: -runs=0 runs every saved input once and stops.
  add_test(NAME fuzz_image_sanitized_replay COMMAND fuzz_image -runs=0 ${FUZZ_CORPUS}/image)
  add_test(NAME fuzz_receive_sanitized_replay COMMAND fuzz_receive -runs=0 ${FUZZ_CORPUS}/receive)
  set_tests_properties(fuzz_image_sanitized_replay fuzz_receive_sanitized_replay PROPERTIES LABELS unit)
endif()
