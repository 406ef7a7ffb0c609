// The console program's process at its edges on POSIX systems.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

#include "update/lock_file.h"
#include "update/process_edges.h"

namespace {

// Where every user's update finds the same lock: /tmp is on every system, and every user may write
// there. Not $TMPDIR, which may be a folder of each user's own.
constexpr char LOCK_PATH[] = "/tmp/zentravox-update.lock";

// Ctrl-C, Ctrl-\, SIGTERM, and SIGHUP (the terminal closed, or the session ended).
constexpr int ENDING_SIGNALS[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};
constexpr int ENDING_SIGNAL_COUNT = sizeof ENDING_SIGNALS / sizeof ENDING_SIGNALS[0];

bool guarded = false;
bool catching = false;
int lockDescriptor = -1;
// Written by the handler, on whatever thread the signal lands; lock-free, so safe in a handler.
std::atomic<int> pendingSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the handler may only touch lock-free state");
struct sigaction previousActions[ENDING_SIGNAL_COUNT];

// Only async-signal-safe calls. The first signal is noted for the main thread, which acts on it at its
// next pause; a second one (the user insists, or the main thread is stuck) ends the process at once.
void noteEndingSignal(int signalNumber) {
    int none = 0;
    if (pendingSignal.compare_exchange_strong(none, signalNumber)) return;
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

// A descriptor left closed by whoever started the program would be taken by the next file anything
// opens: the console text would then be written into it (libjack's shared metadata database, a MIDI
// device). Each closed one is opened on the null device, lowest first, so each lands where it belongs.
void openMissingStandardDescriptors() {
    for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; ++descriptor) {
        if (fcntl(descriptor, F_GETFD) != -1 || errno != EBADF) continue;
        const int null = open("/dev/null", descriptor == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != descriptor) {
            dup2(null, descriptor);
            close(null);
        }
    }
}

}  // namespace

void guardProcess() {
    openMissingStandardDescriptors();
    guarded = true;
    struct sigaction action {};
    action.sa_handler = noteEndingSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < ENDING_SIGNAL_COUNT; ++i) {
        sigaction(ENDING_SIGNALS[i], nullptr, &previousActions[i]);
        // A signal the user chose to ignore (nohup) stays ignored.
        if (previousActions[i].sa_handler != SIG_IGN) sigaction(ENDING_SIGNALS[i], &action, nullptr);
    }
    catching = true;
}

bool claimUpdateLock() {
    if (!guarded) return true;
    return takeLockFile(LOCK_PATH, lockDescriptor) != LOCK_FILE_HELD_ELSEWHERE;
}

void releaseUpdateLock() {
    if (lockDescriptor >= 0) close(lockDescriptor);
    lockDescriptor = -1;
}

int pendingInterruption() { return pendingSignal.load(); }

void endByInterruption(int interruption) {
    std::fflush(stdout);
    signal(interruption, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, interruption);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(interruption);
    // Not reached: the default action of every ending signal ends the process.
    _exit(128 + interruption);
}

void stopCatchingInterruptions() {
    if (!catching) return;
    catching = false;
    for (int i = 0; i < ENDING_SIGNAL_COUNT; ++i) sigaction(ENDING_SIGNALS[i], &previousActions[i], nullptr);
    if (const int interruption = pendingSignal.load()) endByInterruption(interruption);
}
