# The Windows program, and for the wine tests the emulated winmm.dll and a planted one.

# Everything static: update.exe must run on a bare Windows that has only its own system DLLs. No time
# of linking in the PE header: the same sources give the same bytes.
set(UPDATE_STATIC_LINK -static -static-libgcc -static-libstdc++ -Wl,--no-insert-timestamp)

# No import of winmm: the backend takes it from the system folder at start-up, by name.
add_library(midi_winmm STATIC midi/platform_winmm.cpp)
target_include_directories(midi_winmm PUBLIC ${CMAKE_SOURCE_DIR})

add_executable(update update/main.cpp)
# The logic first: the backend resolves what it leaves open.
target_link_libraries(update PRIVATE update_logic midi_winmm)
target_link_options(update PRIVATE ${UPDATE_STATIC_LINK})
set_target_properties(update PROPERTIES OUTPUT_NAME update SUFFIX .exe)

# The emulated winmm.dll: the target's world in real time behind winmm's MIDI calls. The wine tests
# put it in their prefix's system folder, where update.exe looks for winmm, and make wine take it
# instead of its own (WINEDLLOVERRIDES=winmm=n). It must not import the real winmm itself.
add_library(winmm_emulated SHARED
  emulated/winmm/winmm_emulated_world.cpp
  emulated/winmm/winmm_emulated_report.cpp
  emulated/winmm/winmm_emulated_in.cpp
  emulated/winmm/winmm_emulated_out.cpp
  emulated/winmm/winmm_emulated_headers.cpp
  emulated/winmm/winmm_emulated_timer.cpp
  emulated/winmm/winmm_emulated.def)
target_link_libraries(winmm_emulated PRIVATE sim_world)
target_link_options(winmm_emulated PRIVATE ${UPDATE_STATIC_LINK} -Wl,--enable-stdcall-fixup)
# Named winmm.dll; its import library gets a name of its own so that no -lwinmm can pick it up.
set_target_properties(winmm_emulated PROPERTIES OUTPUT_NAME winmm PREFIX "" ARCHIVE_OUTPUT_NAME winmm_emulated)

# A winmm.dll that leaves a mark when it is loaded, for the wine case that plants it beside update.exe.
add_library(winmm_planted SHARED tests/wine/planted/planted_winmm.cpp tests/wine/planted/planted_winmm.def)
target_link_options(winmm_planted PRIVATE ${UPDATE_STATIC_LINK} -Wl,--enable-stdcall-fixup)
set_target_properties(winmm_planted PROPERTIES OUTPUT_NAME winmm PREFIX "" ARCHIVE_OUTPUT_NAME winmm_planted
                      RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/planted)
