#include "update/run_update.h"

// Arguments are ignored: the program takes everything it needs from the current directory.
int main() { return runUpdate(); }
