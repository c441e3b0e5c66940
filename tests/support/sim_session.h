// A fresh simulated machine: every program-wide record back at its start and the catalogue's
// default texts; for a whole download also the main dialog with its lists filled as the first
// paint fills them. Shared by the unit tests, the fuzz targets and the host benchmark.
#pragma once
#include "download/download.h"
#include "download/output_file.h"
#include "platform/sim/sim.h"
#include "records/ids.h"
#include "records/messages.h"
#include "records/settings.h"
#include "records/text_slots.h"
#include "records/status.h"
#include "serial/comm_port.h"
#include "serial/rx_buffer.h"
#include "ui/download_window.h"
#include "ui/layout.h"

// Releases what an earlier session left open, while the simulated system still knows it,
// then resets the machine and every program-wide record. Port 1 is chosen and present, at
// the given rate, with the Desktop as destination; the window is not laid out yet.
inline void SimSessionReset(int baudRate)
{
    OutputFileRelease();
    CommClose();
    // A failed open can leave the line-settings blocks behind a closed port.
    PlatHeapFree(gComm.lineSettings);
    PlatHeapFree(gComm.timeouts);
    MessagesFreeAll();
    SimReset();

    gSettings = Settings{1, baudRate, 1};
    gComm = CommState{};
    gComm.device = PLAT_INVALID_HANDLE;
    gComm.portNumber = 1;
    gRx = RxState{};
    gDownload = DownloadState{};
    gOutputFailure = OutputFailureRecord{};
    gStatus = StatusDisplay{};
    gLayout = Layout{};
    MessagesFillDefaults(0);
    SimSetPort(1, SIM_PORT_PRESENT);
}

inline void SimSessionSetFolders(const char* desktopPath, const char* documentsPath)
{
    FreeText(&gAppTexts.desktopPath);
    FreeText(&gAppTexts.documentsPath);
    SetTextOnce(&gAppTexts.desktopPath, desktopPath);
    SetTextOnce(&gAppTexts.documentsPath, documentsPath);
}

// The main dialog with COM1 selected, the baud list at the session's rate and the Desktop,
// and the status area where the layout puts it.
inline PlatWindow SimSessionDialog(void)
{
    gStatus.statusRect = PlatRect{8, 120, 380, 160};
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
