// The main window's message handlers: what each message the program answers sets going, in
// the subsystems that own the work. The Win32 window procedure only unpacks the messages.
#include "app/handlers.h"

#include "download/download.h"
#include "ui/download_window.h"
#include "download/output_file.h"
#include "platform/window.h"
#include "records/ids.h"
#include "records/messages.h"
#include "records/settings.h"
#include "records/warning_box.h"
#include "serial/comm_port.h"
#include "ui/layout.h"
#include "ui/selection.h"

// The catalogue always fills this slot; the built-in sentence only guards a box that would
// otherwise be blank.
static const char kNoPortsDefault[] = "All comm ports are not enabled.";

void OnInitDialog(PlatWindow window)
{
    if (CommFirstAvailable() == 0) {
        const char* text = gAppTexts.generalTexts[TEXT_NO_ENABLE_PORTS];
        WarningBox(window, WARN_REFUSAL, text ? text : kNoPortsDefault);
        PlatPostMessage(window, PLAT_WM_CLOSE);
        return;
    }
    PlatSetWindowText(window, SlotText(gAppTexts.generalTexts[TEXT_WINDOW_TITLE]));
    CenterMainWindow(window);
}

void OnPaint(PlatWindow window)
{
    // Each paint has its own record: a box the layout shows runs a message loop that can
    // deliver another WM_PAINT before this one ends.
    PlatPaint paint;
    PlatDc dc = PlatBeginPaint(window, &paint);
    if (!gLayout.layoutDone) {
        // Marked first: once only, whatever comes of it, and a WM_PAINT from a box's loop
        // must only paint, not lay out (and fill the lists) again.
        gLayout.layoutDone = 1;
        LayoutDialog(window, dc);
        // The texts are drawn by the paint this causes, over a freshly erased client.
        PlatInvalidateRect(window, nullptr, 1);
    } else {
        PaintTexts(dc);
    }
    PlatEndPaint(window, &paint);
}

long OnCommand(PlatWindow window, unsigned notifyCode, unsigned controlId)
{
    if (notifyCode == NOTIFY_CLICKED) {
        if (controlId == IDC_CLOSE) {
            // Through WM_CLOSE, so the Close button, the title-bar box and a posted close
            // all take the same path.
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

void OnTimer(PlatWindow window, unsigned timerId) { DownloadOnTimer(window, timerId); }

void OnDpiChanged(PlatWindow window, int dpi, const PlatRect* suggested)
{
    LayoutForDpi(window, dpi, suggested);
}

void OnClose(PlatWindow window)
{
    // The lists' choices are kept for config.csv, which is written after the loop ends.
    SettingsFromControls(window);
    PlatDestroyWindow(window);
}

void OnDestroy(PlatWindow)
{
    // The output file is closed and kept on disk: what was received stays.
    OutputFileRelease();
    CommClose();
    if (gLayout.textFont) {
        PlatDeleteFont(gLayout.textFont);
        gLayout.textFont = nullptr;
    }
    // The download timer is not stopped: it dies with the window.
    PlatPostQuitMessage(0);
}
