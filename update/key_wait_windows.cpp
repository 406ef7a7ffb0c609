// The key-press wait on Windows: the command interpreter's own "pause", prompt and all.
#include <cstdio>
#include <cstdlib>

#include "update/key_wait.h"

void waitForKeyPress() {
    // cmd writes its prompt straight to the console: what the program printed must be out first.
    std::fflush(stdout);
    // Without a command interpreter there is nothing to wait for; the run ends all the same.
    static_cast<void>(std::system("pause"));
}
