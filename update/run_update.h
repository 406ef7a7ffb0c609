// The program's main routine: banner, image phase, device phase, key-press wait.
#pragma once

// Runs one whole update; the exit status, 0 on every path.
int runUpdate();
