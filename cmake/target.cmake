# zentravox-target: the emulated target on real MIDI ports (ALSA sequencer, JACK or a raw MIDI device),
# for running the update program against it as a process. It talks to ALSA and JACK directly too: to keep
# them quiet, to reach raw MIDI devices and, on JACK, to answer through a port of its own.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
if(NOT TARGET PkgConfig::RTMIDI)
  pkg_check_modules(RTMIDI REQUIRED IMPORTED_TARGET rtmidi)
endif()
pkg_check_modules(ZT_ALSA IMPORTED_TARGET alsa)
pkg_check_modules(ZT_JACK IMPORTED_TARGET jack)

add_executable(zentravox-target
  emulated/target/zentravox_target.cpp
  emulated/target/zentravox_target_options.cpp
  emulated/target/zentravox_target_ports.cpp
  emulated/target/midi_byte_stream.cpp)
target_link_libraries(zentravox-target PRIVATE emulated_target PkgConfig::RTMIDI Threads::Threads)
# A library that is missing is left out by a file of its own that says so (*_absent.cpp).
if(ZT_ALSA_FOUND)
  target_sources(zentravox-target PRIVATE emulated/target/zentravox_target_rawmidi.cpp)
  target_link_libraries(zentravox-target PRIVATE PkgConfig::ZT_ALSA)
else()
  target_sources(zentravox-target PRIVATE emulated/target/zentravox_target_rawmidi_absent.cpp)
endif()
if(ZT_JACK_FOUND)
  include(cmake/jackmidi.cmake)
  target_sources(zentravox-target PRIVATE emulated/target/zentravox_target_jack.cpp)
  target_link_libraries(zentravox-target PRIVATE PkgConfig::ZT_JACK jack_midi_output)
else()
  target_sources(zentravox-target PRIVATE emulated/target/zentravox_target_jack_absent.cpp)
endif()
