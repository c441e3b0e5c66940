// The message catalogue: 15 replaceable texts read from message.csv with built-in defaults,
// and the Desktop and My Documents paths, all kept in gAppTexts for the whole run.
#include "records/messages.h"

#include "platform/system.h"
#include "platform/window.h"
#include "records/shared.h"
#include "records/status.h"

AppTexts gAppTexts;

// The catalogue in its fixed order: keys are compared and defaults filled in this order.
static const char* const kMessageKeys[CATALOGUE_SIZE] = {
    "PORT_NO",     "BAUDRATE", "STORE_FOLDER", "WINDOW_TITLE", "DESKTOP",
    "MY_DOCUMENTS", "START",   "CANCEL",       "CLOSE",        "NOT_ENABLED",
    "NO_ENABLE_PORTS", "STAND_BY", "RECEIVE_DATA", "COMPLETE", "TIMEOUT",
};

static const char* const kMessageDefaults[CATALOGUE_SIZE] = {
    "Port No.:",
    "Baudrate:",
    "Stored to:",
    "KM-740 TOOL",
    "Desktop",
    "My Documents",
    "Start",
    "Cancel",
    "Close",
    "is not enabled.",
    "All comm ports are not enabled.",
    "Ready.",
    "Receiving data...",
    "Complete.",
    "Timeout error.",
};

// Entries 0-2 are labels, 3-10 general texts (from TEXT_WINDOW_TITLE on), 11-14 the status
// texts in StatusIndex order.
static char** CatalogueSlot(int entry)
{
    if (entry < 3) return &gAppTexts.labelTexts[LABEL_PORT_NO + entry];
    if (entry < 11) return &gAppTexts.generalTexts[TEXT_WINDOW_TITLE + entry - 3];
    return &gAppTexts.statusTexts[STATUS_READY + entry - 11];
}

// The main window does not exist yet while the catalogue loads: no owner.
static void Warn(const char* text) { WarningBox(nullptr, WARN_SYSTEM, text); }

static void FreeCatalogueArrays(void)
{
    for (int i = 0; i < LABEL_SLOTS; i++) FreeText(&gAppTexts.labelTexts[i]);
    for (int i = 0; i < GENERAL_SLOTS; i++) FreeText(&gAppTexts.generalTexts[i]);
    for (int i = 0; i < STATUS_SLOTS; i++) FreeText(&gAppTexts.statusTexts[i]);
}

const char* SlotText(const char* slot) { return slot ? slot : ""; }

int PortNotEnabledText(char* text, size_t size, int port)
{
    // The catalogue text is data: it goes in through %s, never as the format.
    return snprintf(text, size, "COM%d %s", port, SlotText(gAppTexts.generalTexts[TEXT_NOT_ENABLED]));
}

void MessagesFreeAll(void)
{
    FreeCatalogueArrays();
    FreeText(&gAppTexts.desktopPath);
    FreeText(&gAppTexts.documentsPath);
}

int MessagesFillDefaults(int clearFirst)
{
    if (clearFirst) FreeCatalogueArrays();
    int anyWasEmpty = 0;
    for (int entry = 0; entry < CATALOGUE_SIZE; entry++) {
        char** slot = CatalogueSlot(entry);
        // Counted by emptiness, not by the copy's success, so that a missing item is still
        // reported when memory is short.
        if (*slot == nullptr) anyWasEmpty = 1;
        SetTextOnce(slot, kMessageDefaults[entry]);
    }
    return anyWasEmpty;
}

static void ParseCatalogue(FILE* file)
{
    char line[CSV_LINE_SIZE];
    char* key = nullptr;
    char* text = nullptr;
    while (CsvNextLine(file, line, &key, &text)) {
        for (int entry = 0; entry < CATALOGUE_SIZE; entry++) {
            if (AsciiEqualNoCase(key, kMessageKeys[entry])) {
                // The first non-empty text of a key wins; later lines change nothing.
                SetTextOnce(CatalogueSlot(entry), text);
                break;
            }
        }
    }
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
        ParseCatalogue(file);
        fclose(file);
        if (MessagesFillDefaults(0)) Warn("Message item error. One or more items are set to default value.");
    }

    // My Documents is not asked for when the Desktop is not found.
    return LoadFolder(PLAT_CSIDL_DESKTOP, &gAppTexts.desktopPath, "Desktop folder not found.") &&
           LoadFolder(PLAT_CSIDL_PERSONAL, &gAppTexts.documentsPath, "My Documents folder not found.");
}
