# The Windows program and the emulated winmm.dll that the wine tests put beside it.

# Everything static: update.exe must run on a bare Windows that has only its own system DLLs.
set(UPDATE_STATIC_LINK -static -static-libgcc -static-libstdc++)

add_library(midi_winmm STATIC midi/platform_winmm.cpp)
target_include_directories(midi_winmm PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(midi_winmm PUBLIC winmm)

add_executable(update update/main.cpp)
# The logic first: the backend and winmm resolve what it leaves open.
target_link_libraries(update PRIVATE update_logic midi_winmm)
target_link_options(update PRIVATE ${UPDATE_STATIC_LINK})
set_target_properties(update PROPERTIES OUTPUT_NAME update SUFFIX .exe)

# The emulated winmm.dll: the target's world in real time behind winmm's MIDI calls. Wine loads it
# instead of its own when it lies beside update.exe (WINEDLLOVERRIDES=winmm=n). It must not import
# the real winmm itself.
add_library(winmm_emulated SHARED sim/winmm_emulated_world.cpp sim/winmm_emulated_report.cpp
  sim/winmm_emulated_in.cpp sim/winmm_emulated_out.cpp sim/winmm_emulated_headers.cpp sim/winmm_emulated_timer.cpp
  sim/winmm_emulated.def)
target_link_libraries(winmm_emulated PRIVATE sim_world)
target_link_options(winmm_emulated PRIVATE ${UPDATE_STATIC_LINK} -Wl,--enable-stdcall-fixup)
# Named winmm.dll; its import library gets a name of its own so that no -lwinmm can pick it up.
set_target_properties(winmm_emulated PROPERTIES OUTPUT_NAME winmm PREFIX "" ARCHIVE_OUTPUT_NAME winmm_emulated)
