// Routing of button clicks and list changes to the handlers that own them.
#include "app/routing.h"

#include "app/ids.h"
#include "download/download.h"
#include "platform/window.h"
#include "ui/selection.h"

long RouteCommand(PlatWindow window, unsigned notifyCode, unsigned controlId)
{
    if (notifyCode == NOTIFY_CLICKED) {
        if (controlId == IDC_CLOSE) {
            // Through WM_CLOSE, so the Close button, the title-bar box and a posted
            // close all take the same path.
            PlatPostMessage(window, PLAT_WM_CLOSE);
            return 0;
        }
        if (controlId == IDC_START) {
            DownloadToggle(window);
            return 0;
        }
        return ROUTE_TO_DEFAULT;
    }
    if (notifyCode == NOTIFY_SELCHANGE) {
        if (controlId >= IDC_PORT && controlId <= IDC_STORE)
            return OnSelectionChange(window, (int)controlId) ? 1 : 0;
        return ROUTE_TO_DEFAULT;
    }
    return 0;
}
