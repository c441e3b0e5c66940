// The settings taken from the dialog's lists when they matter. A file of its own so that a
// program without a window (km740cap) links the settings without the window calls.
#include "records/settings.h"

#include "platform/window.h"
#include "records/ids.h"

int SettingsFromControls(PlatWindow window)
{
    PlatWindow baudList = PlatGetDlgItem(window, IDC_BAUD);
    if (baudList == nullptr) return 0;
    gSettings.baudRate = BaudRateFromIndex(PlatComboGetCurSel(baudList));
    PlatWindow storeList = PlatGetDlgItem(window, IDC_STORE);
    if (storeList == nullptr) return 0;
    gSettings.storeToDesktop = PlatComboGetCurSel(storeList) == STORE_INDEX_DESKTOP ? 1 : 0;
    return 1;
}
