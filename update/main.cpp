#include "update/process_edges.h"
#include "update/run_update.h"

// Arguments are ignored: the program takes everything it needs from the current directory.
int main() {
    // Before anything else: until then a closed standard descriptor is free for the next file opened.
    guardProcess();
    return runUpdate();
}
