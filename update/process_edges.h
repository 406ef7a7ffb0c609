// The console program's process at its edges: standard descriptors that were closed, one update at a
// time on the machine, and the signals or console events that ask a run to end (Ctrl-C, a closed
// terminal or window, SIGTERM). One file per platform implements it (process_edges_posix.cpp,
// process_edges_windows.cpp, process_edges_web.cpp).
//
// Only the console program's main calls guardProcess. A run inside another process (the tests, the
// benchmark) never does, and there the calls below take no lock and report no interruption.
#pragma once

// First thing in main: a closed standard descriptor is opened on the null device before any library
// can open a file in its place, and from here on an ending signal is only noted, for the main thread
// to act on (pendingInterruption), until stopCatchingInterruptions.
void guardProcess();

// Whether this run may use the MIDI ports: false while another update on this machine, of any user,
// holds them. When the lock itself cannot be had (a strange lock file), the run goes on. The lock is
// the system's own: it goes with its process however that ends.
bool claimUpdateLock();
void releaseUpdateLock();

// The signal or console event that asked the run to end; 0 while none has.
int pendingInterruption();
// Ends the process as that interruption would have without the program's handler.
[[noreturn]] void endByInterruption(int interruption);
// From here on an interruption ends the process at once, as it would without the program; one noted
// in the meantime does so now.
void stopCatchingInterruptions();
