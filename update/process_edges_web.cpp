// The program in a browser page has no process of its own: the page keeps two tabs from updating at
// once and warns before it is closed, so nothing is locked or caught here.
#include "update/process_edges.h"

#include <cstdlib>

void guardProcess() {}
bool claimUpdateLock() { return true; }
void releaseUpdateLock() {}
int pendingInterruption() { return 0; }
// Never called: no interruption is ever pending here.
void endByInterruption(int) { std::abort(); }
void stopCatchingInterruptions() {}
