// The program's console after a receive fuzz run, read against the known transcripts: banner, file
// line, then either no device, a reset request, or progress lines (non-decreasing, below 100 %) with
// refusal messages and one ending. Anything else fails the run.
#pragma once

#include <string>

enum class Ending { BadImage, NotFound, Reset, Done, Restarted, GaveUp, Silent, OutMissing };

struct Console {
    Ending ending;
    std::string inName, outName;
    int progressLines = 0;
};

Console readConsole(std::string text);
