# The Linux build: the MIDI backend on RtMidi and the program linked with it.
find_package(PkgConfig REQUIRED)
pkg_check_modules(RTMIDI REQUIRED IMPORTED_TARGET rtmidi)
# The backend talks to ALSA and JACK directly too: to keep them quiet and, on JACK, to make and check
# its own connections. Either is left out when its development files are missing.
pkg_check_modules(UPDATE_ALSA IMPORTED_TARGET alsa)
pkg_check_modules(UPDATE_JACK IMPORTED_TARGET jack)
find_package(Threads REQUIRED)

# The seam itself, the port lists, keeping the libraries quiet, and the JACK link (left out without JACK).
add_library(midi_rtmidi STATIC midi/platform_rtmidi.cpp midi/rtmidi_ports.cpp midi/rtmidi_quiet.cpp)
target_include_directories(midi_rtmidi PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(midi_rtmidi PUBLIC PkgConfig::RTMIDI Threads::Threads)
if(UPDATE_ALSA_FOUND)
  target_compile_definitions(midi_rtmidi PRIVATE UPDATE_RTMIDI_ALSA=1)
  target_link_libraries(midi_rtmidi PUBLIC PkgConfig::UPDATE_ALSA)
endif()
if(UPDATE_JACK_FOUND)
  include(cmake/jackmidi.cmake)
  target_compile_definitions(midi_rtmidi PRIVATE UPDATE_RTMIDI_JACK=1)
  target_sources(midi_rtmidi PRIVATE midi/rtmidi_jack_link.cpp)
  target_link_libraries(midi_rtmidi PUBLIC PkgConfig::UPDATE_JACK jack_midi_output)
else()
  target_sources(midi_rtmidi PRIVATE midi/rtmidi_jack_absent.cpp)
endif()

add_executable(update update/main.cpp)
target_link_libraries(update PRIVATE update_logic midi_rtmidi)
