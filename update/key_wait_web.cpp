// The key-press wait in a browser page: the same prompt, and one key pressed on the page or a click
// on its Continue button. The program sleeps meanwhile, so the page stays alive.
#include <emscripten.h>

#include <cstdio>

#include "update/key_wait.h"

namespace {

// clang-format off
EM_ASYNC_JS(void, webWaitForKey, (), { await Module.waitForKey(); });
// clang-format on

}  // namespace

void waitForKeyPress() {
    std::printf("Press any key to continue . . .");
    std::fflush(stdout);
    webWaitForKey();
    std::printf("\n");
    std::fflush(stdout);
}
