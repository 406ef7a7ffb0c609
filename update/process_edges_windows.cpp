// The console program's process at its edges on Windows. A console process has no closed standard
// descriptors to fear. The lock is a named mutex in the machine's global namespace, seen by every
// session and user; it is only ever created, never waited for: its existence is the lock, and Windows
// destroys it with the last handle, when its holder ends however it ends. Ctrl-C, Ctrl-Break and a
// closed console window arrive through the console's control handler, on a thread of their own.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "update/process_edges.h"

namespace {

constexpr char LOCK_NAME[] = "Global\\zentravox-update";
// How long the control handler holds its thread for the main thread to act: returning ends the process
// at once (for a closed window, Windows ends it about 5 s after the event whatever the handler does).
constexpr DWORD HANDLER_WAIT_MS = 10000;

bool guarded = false;
HANDLE lockMutex = nullptr;
std::atomic<bool> catching{false};
// The control event plus 1 (CTRL_C_EVENT is 0); 0 while none has come.
std::atomic<int> pendingEvent{0};

BOOL WINAPI onConsoleEvent(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
    if (!catching.load()) return FALSE;
    int none = 0;
    // A second event (the user insists, or the main thread is stuck): the default action, at once.
    if (!pendingEvent.compare_exchange_strong(none, static_cast<int>(event) + 1)) return FALSE;
    // The main thread acts at its next pause and ends the process; this thread waits for that, since
    // returning would end the process before the ports are closed.
    Sleep(HANDLER_WAIT_MS);
    return FALSE;
}

}  // namespace

void guardProcess() {
    guarded = true;
    catching.store(true);
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

bool claimUpdateLock() {
    if (!guarded) return true;
    lockMutex = CreateMutexA(nullptr, FALSE, LOCK_NAME);
    const DWORD error = GetLastError();
    if (lockMutex == nullptr) {
        // Made by another user's update, whose mutex this user may not open; any other failure (the
        // name taken by an object of another kind) leaves no lock to be had, and the run goes on.
        return error != ERROR_ACCESS_DENIED;
    }
    if (error == ERROR_ALREADY_EXISTS) {
        releaseUpdateLock();
        return false;
    }
    return true;
}

void releaseUpdateLock() {
    if (lockMutex != nullptr) CloseHandle(lockMutex);
    lockMutex = nullptr;
}

int pendingInterruption() { return pendingEvent.load(); }

void endByInterruption(int) {
    // The status Windows' own handler of these events ends a console process with; through exit(), so
    // that the C runtime flushes the console text and runs its exit list before the process goes.
    std::exit(static_cast<int>(STATUS_CONTROL_C_EXIT));
}

void stopCatchingInterruptions() {
    if (!catching.load()) return;
    catching.store(false);
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    if (const int interruption = pendingEvent.load()) endByInterruption(interruption);
}
