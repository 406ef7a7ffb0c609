# A JACK MIDI output of our own, shared by the program's RtMidi backend and zentravox-target; only where
# JACK's development files are found.
include_guard(GLOBAL)
find_package(PkgConfig REQUIRED)
pkg_check_modules(JACKMIDI_JACK IMPORTED_TARGET jack)
if(JACKMIDI_JACK_FOUND)
  add_library(jack_midi_output STATIC jackmidi/jack_midi_output.cpp)
  target_include_directories(jack_midi_output PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_libraries(jack_midi_output PUBLIC PkgConfig::JACKMIDI_JACK)
endif()
