// The three drop-down lists bound to the settings (port, baud rate, destination folder),
// the check of a picked port, and the dialog's initialisation and centring.
#include "ui/selection.h"

#include <stdio.h>

#include "app/ids.h"
#include "app/messages.h"
#include "app/settings.h"
#include "platform/window.h"
#include "serial/comm_port.h"
#include "ui/layout.h"

namespace {

enum { PORT_FIRST = 1, PORT_LAST = 16 };
enum { WINDOW_WIDTH = 400, WINDOW_HEIGHT = 240 };

// "COM" + the widest int + " " + the longest catalogue text a 256-byte line can carry +
// the zero: a catalogue text may be 242 bytes, so 128 bytes would cut the sentence.
enum { REFUSAL_SIZE = 3 + 11 + 1 + 255 + 1 };

const char kNoPortsDefault[] = "All comm ports are not enabled.";

// A catalogue slot as a drawable text: an unfilled slot shows as empty, never as null.
const char* SlotText(const char* slot) { return slot ? slot : ""; }

// A port number the list can show; anything else (0 included) names no port.
int IsListedPort(int32_t portNumber) { return portNumber >= PORT_FIRST && portNumber <= PORT_LAST; }

}  // namespace

void OnInitDialog(PlatWindow window)
{
    if (CommFirstAvailable() == 0) {
        const char* text = gAppTexts.generalTexts[TEXT_NO_ENABLE_PORTS];
        // The catalogue always fills this slot; the built-in sentence only guards a box
        // that would otherwise be blank.
        PlatMessageBox(window, text ? text : kNoPortsDefault, "ERROR", PLAT_MB_ICONWARNING | PLAT_MB_OK);
        PlatPostMessage(window, PLAT_WM_CLOSE);
        return;
    }
    PlatSetWindowText(window, SlotText(gAppTexts.generalTexts[TEXT_WINDOW_TITLE]));
    CenterMainWindow(window);
}

void CenterMainWindow(PlatWindow window)
{
    // The outer size is fixed at 96 DPI and grows with the DPI of the window's monitor.
    int dpi = PlatGetDpiForWindow(window);
    int width = DpiScale(WINDOW_WIDTH, dpi);
    int height = DpiScale(WINDOW_HEIGHT, dpi);
    int x = (PlatGetScreenWidth() - width) / 2;
    int y = (PlatGetScreenHeight() - height) / 2;
    PlatMoveWindow(window, x, y, width, height, 0);
}

void FillPortList(PlatWindow list)
{
    for (int port = PORT_FIRST; port <= PORT_LAST; port++) {
        char item[16];
        snprintf(item, sizeof item, "COM%d", port);
        PlatComboAddString(list, item);
    }
    // A saved port outside the list is not probed: it could never be selected anyway.
    if (!IsListedPort(gSettings.portNumber) || !CommProbe(gSettings.portNumber))
        gSettings.portNumber = CommFirstAvailable();
    PlatComboSetCurSel(list, gSettings.portNumber - 1);
}

void FillBaudList(PlatWindow list)
{
    for (int i = 0; i < BAUD_COUNT; i++) PlatComboAddString(list, kBaudTable[i].item);
    PlatComboSetCurSel(list, BaudIndexFromRate(gSettings.baudRate));
}

void FillStoreList(PlatWindow list)
{
    // Both items are always added, so index 0 stays the Desktop whatever the texts hold.
    PlatComboAddString(list, SlotText(gAppTexts.generalTexts[TEXT_DESKTOP]));
    PlatComboAddString(list, SlotText(gAppTexts.generalTexts[TEXT_MY_DOCUMENTS]));
    PlatComboSetCurSel(list, gSettings.storeToDesktop ? STORE_INDEX_DESKTOP : STORE_INDEX_DOCUMENTS);
}

int OnSelectionChange(PlatWindow window, int id)
{
    PlatWindow list = PlatGetDlgItem(window, id);
    if (!list) return 0;
    int index = PlatComboGetCurSel(list);
    if (index < 0) return 1;
    if (id != IDC_PORT) return 0;  // baud rate and folder are read when a download starts

    int port = index + 1;
    if (CommProbe(port)) {
        gSettings.portNumber = port;
        return 1;
    }
    // The catalogue text is data: it goes in through %s, never as the format.
    char message[REFUSAL_SIZE];
    snprintf(message, sizeof message, "COM%d %s", port, SlotText(gAppTexts.generalTexts[TEXT_NOT_ENABLED]));
    PlatMessageBox(window, message, "ERROR", PLAT_MB_ICONWARNING | PLAT_MB_OK);
    PlatComboSetCurSel(list, gSettings.portNumber - 1);
    return 1;
}
