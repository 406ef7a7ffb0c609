// The wait for one key press at the end of every run, so that a console window opened by a
// double-click stays readable. One file per platform implements it.
#pragma once

void waitForKeyPress();
