// The catalogue's loading at the window's start: message.csv, the Desktop and My Documents
// paths, and the warning boxes for what is missing; and the box for the last error. Kept apart
// from messages.cpp so that a program without a window (km740cap) links the catalogue's texts
// without the boxes and the shell's folders.
#include "records/messages.h"

#include <stdio.h>

#include "platform/system.h"
#include "records/csv_line.h"
#include "records/text_slots.h"
#include "records/warning_box.h"

// The main window does not exist yet while the catalogue loads: no owner.
static void Warn(const char* text) { WarningBox(nullptr, WARN_SYSTEM, text); }

void ShowLastError(PlatWindow owner)
{
    unsigned code = PlatGetLastError();
    char text[SYSTEM_TEXT_SIZE];
    SystemReasonText(code, text, sizeof text);
    WarningBox(owner, WARN_SYSTEM, text);
}

// One destination folder's path into its slot; 0 after the warning when it is not found.
static int LoadFolder(int csidl, char** slot, const char* missing)
{
    char folder[PLAT_MAX_PATH];
    folder[0] = '\0';
    if (!PlatGetSpecialFolder(csidl, folder)) {
        Warn(missing);
        return 0;
    }
    folder[PLAT_MAX_PATH - 1] = '\0';
    SetTextOnce(slot, folder);
    return 1;
}

int MessagesLoad(void)
{
    MessagesFreeAll();

    FILE* file = CsvOpenBesideExe("message.csv");
    if (file == nullptr) {
        Warn("A Message file not found. Program uses default value.");
        MessagesFillDefaults(1);
    } else {
        MessagesParse(file);
        fclose(file);
        if (MessagesFillDefaults(0)) Warn("Message item error. One or more items are set to default value.");
    }

    // My Documents is not asked for when the Desktop is not found.
    return LoadFolder(PLAT_CSIDL_DESKTOP, &gAppTexts.desktopPath, "Desktop folder not found.") &&
           LoadFolder(PLAT_CSIDL_PERSONAL, &gAppTexts.documentsPath, "My Documents folder not found.");
}
