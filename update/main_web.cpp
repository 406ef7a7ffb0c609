// The program in a browser page: the page runs main once per click on Update, with the chosen files
// in the current folder, and learns here that the run is over.
#include <emscripten.h>

#include "update/run_update.h"

namespace {

// clang-format off
EM_JS(void, webRunEnded, (int status), { Module.runEnded(status); });
// clang-format on

}  // namespace

int main() {
    const int status = runUpdate();
    webRunEnded(status);
    return status;
}
