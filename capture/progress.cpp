// km740cap's live line: carriage return, the text, blanks over what the longer line before it
// left. Throttled, so a fast device is never held up by the terminal.
#include "capture/progress.h"

#include <stdio.h>
#include <string.h>

#include "platform/system.h"

namespace {

enum { PROGRESS_EVERY_MS = 200 };

struct Progress {
    int enabled;
    size_t width;        // characters of the line on show
    uint32_t shownTick;
    int shown;
};

Progress gProgress;

}  // namespace

void ProgressEnable(int enabled) { gProgress.enabled = enabled; }

void ProgressShow(const char* line, int force)
{
    if (!gProgress.enabled) return;
    uint32_t now = PlatGetTickCount();
    if (!force && gProgress.shown && now - gProgress.shownTick < PROGRESS_EVERY_MS) return;
    gProgress.shownTick = now;
    gProgress.shown = 1;
    size_t width = strlen(line);
    fprintf(stderr, "\r%s", line);
    if (width < gProgress.width) fprintf(stderr, "%*s", (int)(gProgress.width - width), "");
    gProgress.width = width;
    fflush(stderr);
}

void ProgressClear(void)
{
    if (gProgress.width == 0) return;
    fprintf(stderr, "\r%*s\r", (int)gProgress.width, "");
    gProgress.width = 0;
    fflush(stderr);
}
