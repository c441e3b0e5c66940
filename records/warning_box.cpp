// The warning box (the system's texts for error codes are in system_text.cpp).
#include "records/warning_box.h"

#include "platform/window.h"

void WarningBox(PlatWindow owner, int kind, const char* text)
{
    const char* caption = kind == WARN_REFUSAL ? "ERROR" : "Error";
    PlatMessageBox(owner, text, caption, PLAT_MB_ICONWARNING | PLAT_MB_OK);
}
