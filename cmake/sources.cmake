# Sources that more than one build compiles, listed once, as absolute paths (the web build has a source
# folder of its own). UPDATE_PLATFORM names the edition: posix, windows or web.
#   UPDATE_LOGIC_SOURCES     the program's own logic, with no MIDI backend and no main; the key wait and
#                            the process's edges are the edition's own, the image search is POSIX's in a
#                            browser too
#   EMULATED_MODEL_SOURCES   the emulated target's model and its behaviour words, with no platform
get_filename_component(UPDATE_SOURCE_ROOT ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)

if(UPDATE_PLATFORM STREQUAL "web")
  set(UPDATE_IMAGE_DIR_PLATFORM posix)
else()
  set(UPDATE_IMAGE_DIR_PLATFORM ${UPDATE_PLATFORM})
endif()
set(UPDATE_LOGIC_SOURCES
  image/update_image.cpp
  image/hex_reader.cpp
  image/image_dir_${UPDATE_IMAGE_DIR_PLATFORM}.cpp
  midi/port_pair.cpp
  midi/sysex.cpp
  protocol/discovery.cpp
  protocol/reply_ledger.cpp
  protocol/reply_wait.cpp
  protocol/transfer.cpp
  update/run_update.cpp
  update/key_wait_${UPDATE_PLATFORM}.cpp
  update/process_edges_${UPDATE_PLATFORM}.cpp)
# One update per machine: POSIX's edges take a lock file, Windows' a named mutex, a page's script the
# browser's lock.
if(UPDATE_PLATFORM STREQUAL "posix")
  list(APPEND UPDATE_LOGIC_SOURCES update/lock_file_posix.cpp)
endif()
list(TRANSFORM UPDATE_LOGIC_SOURCES PREPEND ${UPDATE_SOURCE_ROOT}/)

set(EMULATED_MODEL_SOURCES emulated/model/target_model.cpp emulated/model/target_behaviour.cpp)
list(TRANSFORM EMULATED_MODEL_SOURCES PREPEND ${UPDATE_SOURCE_ROOT}/)
