// The lock file that lets one update at a time use the MIDI ports of a POSIX machine (process_edges_posix.cpp).
// It lies in a folder every user can write (/tmp), so it is opened as such a place demands: another
// user may have made it, and anyone may have put a link, a FIFO or a folder in its place.
#pragma once

enum LockFileState {
    LOCK_FILE_TAKEN,           // ours until the descriptor is closed or the process ends
    LOCK_FILE_HELD_ELSEWHERE,  // another process holds it: another update runs
    LOCK_FILE_UNAVAILABLE,     // no lock to be had here (not a plain file, unreadable, no such folder)
};

// Takes the lock at `path` without waiting; `descriptor` is the open lock file when it is taken, -1
// otherwise.
LockFileState takeLockFile(const char* path, int& descriptor);
