// km740cap's live line on a terminal's stderr: drawn over itself, cleared before any other
// output so that messages and results never mix with it.
#pragma once
#include <stdint.h>

// Shows the line when stderr is a terminal and the run is not quiet; otherwise nothing.
void ProgressEnable(int enabled);
// Draws the line in place of the one on show, at most every 200 ms unless forced.
void ProgressShow(const char* line, int force);
// Takes the line off the terminal, before anything else is written.
void ProgressClear(void);
