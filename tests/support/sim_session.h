// A fresh simulated machine for a whole download: every program-wide record back at its
// start, the catalogue's default texts, and the main dialog with its lists filled as the
// first paint fills them. Shared by the unit tests, the fuzz targets and the host benchmark.
#pragma once
#include "download/download.h"
#include "download/output_file.h"
#include "platform/sim/sim.h"
#include "records/ids.h"
#include "records/messages.h"
#include "records/settings.h"
#include "records/shared.h"
#include "records/status.h"
#include "serial/comm_port.h"
#include "serial/rx_buffer.h"

// Releases what an earlier session left open, then resets the machine and the records.
// Port 1 is chosen and present, at the given rate, with the Desktop as destination.
inline void SimSessionReset(int baudRate)
{
    OutputFileRelease();
    CommClose();
    SimReset();
    gDownload = DownloadState{};
    gStatus = StatusDisplay{};
    gStatus.statusRect = PlatRect{8, 120, 380, 160};
    RxReset();
    gComm.portNumber = 1;
    gSettings = Settings{1, baudRate, 1};
    MessagesFillDefaults(1);
    SimSetPort(1, SIM_PORT_PRESENT);
}

inline void SimSessionSetFolders(const char* desktopPath, const char* documentsPath)
{
    FreeText(&gAppTexts.desktopPath);
    FreeText(&gAppTexts.documentsPath);
    SetTextOnce(&gAppTexts.desktopPath, desktopPath);
    SetTextOnce(&gAppTexts.documentsPath, documentsPath);
}

// The main dialog with COM1 selected, the baud list at the session's rate and the Desktop.
inline PlatWindow SimSessionDialog(void)
{
    PlatWindow window = SimCreateMainDialog();
    PlatWindow port = PlatGetDlgItem(window, IDC_PORT);
    PlatComboAddString(port, "COM1");
    PlatComboSetCurSel(port, 0);
    PlatWindow baud = PlatGetDlgItem(window, IDC_BAUD);
    for (const BaudEntry& entry : kBaudTable) PlatComboAddString(baud, entry.item);
    PlatComboSetCurSel(baud, BaudIndexFromRate(gSettings.baudRate));
    PlatWindow store = PlatGetDlgItem(window, IDC_STORE);
    PlatComboAddString(store, "Desktop");
    PlatComboAddString(store, "My Documents");
    PlatComboSetCurSel(store, STORE_INDEX_DESKTOP);
    return window;
}
