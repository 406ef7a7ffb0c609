// The key-press wait where there is no command interpreter's "pause": the same prompt, and one key
// read straight from the terminal, without Enter and without echo.
#include <sys/select.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

#include "update/key_wait.h"

namespace {

// The rest of one key comes right behind its first byte: an arrow key is ESC [ A, a character outside
// ASCII several bytes of UTF-8. A terminal sends them in one go; over a slow remote link they may
// trickle in, so the key is over after this much quiet, or at the latest after the whole bound.
constexpr long KEY_QUIET_MS = 50;
constexpr long KEY_LONGEST_MS = 250;

// Signals that end the process while the terminal is without echo: each gives the terminal back as it
// was found, then ends the process as it would have without this program's handler.
constexpr int ENDING_SIGNALS[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT};
constexpr int ENDING_SIGNAL_COUNT = sizeof ENDING_SIGNALS / sizeof ENDING_SIGNALS[0];

termios userTerminal;
volatile std::sig_atomic_t terminalChanged = 0;
struct sigaction previousActions[ENDING_SIGNAL_COUNT];

void restoreTerminalAndEnd(int signalNumber) {
    // Only async-signal-safe calls: tcsetattr and raise. The handler was installed to run once, so the
    // raised signal meets the default action as soon as this handler returns.
    if (terminalChanged) tcsetattr(STDIN_FILENO, TCSANOW, &userTerminal);
    raise(signalNumber);
}

void catchEndingSignals() {
    struct sigaction action {};
    action.sa_handler = restoreTerminalAndEnd;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < ENDING_SIGNAL_COUNT; ++i) {
        sigaction(ENDING_SIGNALS[i], nullptr, &previousActions[i]);
        // A signal the user chose to ignore (nohup) stays ignored.
        if (previousActions[i].sa_handler != SIG_IGN) sigaction(ENDING_SIGNALS[i], &action, nullptr);
    }
}

void releaseEndingSignals() {
    for (int i = 0; i < ENDING_SIGNAL_COUNT; ++i) sigaction(ENDING_SIGNALS[i], &previousActions[i], nullptr);
}

long millisecondsSince(const timespec& start) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
}

bool inputArrivesWithin(long milliseconds) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(STDIN_FILENO, &readable);
    timeval limit{0, static_cast<suseconds_t>(milliseconds * 1000)};
    return select(STDIN_FILENO + 1, &readable, nullptr, nullptr, &limit) > 0;
}

// Blocks for the first byte of a key, then takes whatever else belongs to it, so that nothing of the
// key is left for the shell.
void readOneKey() {
    char bytes[16];
    ssize_t got = 0;
    while ((got = read(STDIN_FILENO, bytes, 1)) < 0 && errno == EINTR) {}
    if (got <= 0) return;
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (long elapsed = 0; elapsed < KEY_LONGEST_MS; elapsed = millisecondsSince(start)) {
        const long left = KEY_LONGEST_MS - elapsed;
        if (!inputArrivesWithin(left < KEY_QUIET_MS ? left : KEY_QUIET_MS)) return;
        // Input is waiting, so this read returns at once with what is there.
        got = read(STDIN_FILENO, bytes, sizeof bytes);
        if (got == 0 || (got < 0 && errno != EINTR)) return;
    }
}

void enterKeyMode() {
    termios raw = userTerminal;
    // Ctrl-C counts as a key too (ISIG off): the terminal is always given back as it was found.
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO | ISIG));
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    catchEndingSignals();
    terminalChanged = 1;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    // Keys typed during the transfer were not meant for this prompt: only a key pressed after it counts.
    tcflush(STDIN_FILENO, TCIFLUSH);
}

void leaveKeyMode() {
    tcsetattr(STDIN_FILENO, TCSANOW, &userTerminal);
    terminalChanged = 0;
    releaseEndingSignals();
}

}  // namespace

void waitForKeyPress() {
    // Without a terminal there is no key to wait for, and a pipe may stay open and silent for ever: the
    // prompt is printed and the run goes on.
    const bool onTerminal = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &userTerminal) == 0;
    if (onTerminal) enterKeyMode();
    std::printf("Press any key to continue . . .");
    std::fflush(stdout);
    if (onTerminal) {
        readOneKey();
        leaveKeyMode();
    }
    std::printf("\n");
    std::fflush(stdout);
}
