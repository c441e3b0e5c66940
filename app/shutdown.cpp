// What the main window releases when it is destroyed: the output file (kept on disk),
// the port and the text font; then the message loop is told to end.
#include "app/shutdown.h"

#include "download/output_file.h"
#include "platform/window.h"
#include "serial/comm_port.h"
#include "ui/layout.h"

void OnDestroy(PlatWindow)
{
    OutputFileRelease();
    CommClose();
    if (gLayout.textFont) {
        PlatDeleteFont(gLayout.textFont);
        gLayout.textFont = nullptr;
    }
    // The download timer is not stopped: it dies with the window.
    PlatPostQuitMessage(0);
}
