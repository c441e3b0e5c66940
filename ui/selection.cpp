// The three drop-down lists bound to the settings (port, baud rate, destination folder),
// the check of a picked port, and the centring of the window.
#include "ui/selection.h"

#include <stdio.h>

#include "platform/window.h"
#include "records/ids.h"
#include "records/messages.h"
#include "records/settings.h"
#include "records/warning_box.h"
#include "serial/comm_port.h"
#include "ui/layout.h"

namespace {

enum { WINDOW_WIDTH = 400, WINDOW_HEIGHT = 240 };

}  // namespace

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
    char message[PORT_REFUSAL_SIZE];
    BoxField field;
    BoxFieldStart(&field, message, sizeof message);
    char name[16];
    snprintf(name, sizeof name, "COM%d", port);
    AppendPortNotEnabled(&field, name);
    WarningBox(window, WARN_REFUSAL, message);
    PlatComboSetCurSel(list, gSettings.portNumber - 1);
    return 1;
}
