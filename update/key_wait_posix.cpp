// The key-press wait where there is no command interpreter's "pause": the same prompt, and one key
// read straight from the terminal, without Enter and without echo.
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "update/key_wait.h"

namespace {

void readOneByte() {
    char key = 0;
    while (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {}
}

}  // namespace

void waitForKeyPress() {
    std::printf("Press any key to continue . . .");
    std::fflush(stdout);
    termios saved{};
    if (isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0) {
        termios raw = saved;
        // Ctrl-C counts as a key too (ISIG off): the terminal is always given back as it was found.
        raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO | ISIG));
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        tcsetattr(STDIN_FILENO, TCSANOW, &raw);
        readOneByte();
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    } else {
        // Not a terminal: one byte at most, and end of input ends the wait.
        readOneByte();
    }
    std::printf("\n");
    std::fflush(stdout);
}
