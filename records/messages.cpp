// The message catalogue: 15 replaceable texts read from message.csv with built-in defaults,
// and the Desktop and My Documents paths, all kept in gAppTexts for the whole run.
#include "records/messages.h"

#include <string.h>

#include "platform/system.h"
#include "platform/window.h"
#include "records/text_slots.h"
#include "records/warning_box.h"
#include "records/csv_line.h"
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

// The box texts' keys and defaults, in BoxText order. Each line of message.csv must fit in
// 255 bytes with its key, comma and CR: a longer explanation is split over several keys.
static const char* const kBoxKeys[BOX_TEXT_COUNT] = {
    "NO_STORE_LIST",      "EARLIER_FILE_CLOSED", "TIMER_NOT_STARTED", "TIMER_ENDED_EARLY",
    "NO_FOLDER",          "PATH_TOO_LONG",       "NAMES_TAKEN",       "NAMES_TAKEN_HINT",
    "NO_MEMORY",          "NOT_CREATED",         "NOT_WRITTEN",       "NOT_COMPLETED",
    "NOT_DELETED",        "EMPTY_NOT_DELETED",   "RX_ERRORS",         "RX_QUEUE_OVERRUN",
    "RX_HARDWARE_OVERRUN", "RX_FRAMING_ERROR",   "RX_PARITY_ERROR",   "RX_BREAK",
    "RX_TIME",            "RX_TIMES",            "RX_DAMAGED",        "RX_OVERRUN_ADVICE",
    "RX_FRAMING_ADVICE",  "RX_PARITY_ADVICE",    "RX_BREAK_ADVICE",   "ERROR_CODE",
};

static const char* const kBoxDefaults[BOX_TEXT_COUNT] = {
    "The destination list was not found, so the download cannot start.",
    "The file of an earlier download was still open; it has been closed:",
    "The download timer could not be set, so the download could not start.",
    "The download timer could not be set, so the download was ended early.",
    "The destination folder is not known, so no file can be created there.",
    "The destination folder's path is too long for a file name:",
    "All %COUNT% file names for this second are already taken in:",
    "Try again in a second.",
    "There is not enough memory to create the output file.",
    "The output file could not be created:",
    "The output file could not be written; the download was stopped:",
    "The output file could not be completed:",
    "The download was cancelled, but its file could not be deleted:",
    "The download could not start, and its new, empty file could not be deleted:",
    "The serial port reported receive errors during the download:",
    "- input queue overrun: %COUNT% %TIMES% (received bytes were dropped)",
    "- hardware overrun: %COUNT% %TIMES% (received bytes were lost)",
    "- framing error: %COUNT% %TIMES%",
    "- parity error: %COUNT% %TIMES%",
    "- break: %COUNT% %TIMES%",
    "time",
    "times",
    "Records may be missing or damaged; the file keeps what was received.",
    "Overruns: the device sends faster than the port is read. Turn on flow control "
    "(XON/XOFF) at the device, or choose a lower baud rate on both sides.",
    "Framing errors mostly mean a wrong baud rate: set the same rate as the device "
    "(8 data bits, no parity, 1 stop bit).",
    "Parity errors: the device must send 8 data bits without parity, at the same rate.",
    "A break: check the cable and that the device stayed switched on.",
    "Error %CODE%.",
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
    for (int i = 0; i < BOX_TEXT_COUNT; i++) FreeText(&gAppTexts.boxTexts[i]);
}

const char* SlotText(const char* slot) { return slot ? slot : ""; }

// Appends up to `length` bytes of part, as many whole characters as fit before the field's
// last byte. A lead byte without its trail (cut by the field, or the last byte of a text in
// the file) is left out: it would swallow the next character, a line break included.
static void AppendBytes(char* text, size_t size, const char* part, size_t length)
{
    size_t used = strnlen(text, size);
    if (used + 1 >= size) return;
    size_t room = size - 1 - used;
    size_t keep = 0;
    while (keep < length) {
        size_t step = PlatIsLeadByte((unsigned char)part[keep]) ? 2 : 1;
        if (keep + step > room || keep + step > length) break;
        keep += step;
    }
    memcpy(text + used, part, keep);
    text[used + keep] = '\0';
}

void AppendCharacters(char* text, size_t size, const char* part) { AppendBytes(text, size, part, strlen(part)); }

// The value whose placeholder starts at `at` (a percent sign): its index, with the
// placeholder's length, or -1 when no value's name closes with a percent sign there.
static int PlaceholderAt(const char* at, const TextValue* values, int count, size_t* length)
{
    for (int i = 0; i < count; i++) {
        size_t name = strlen(values[i].name);
        size_t k = 0;
        while (k < name && at[1 + k] != '\0') {
            char c = at[1 + k];
            if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
            if (c != values[i].name[k]) break;
            k++;
        }
        if (k == name && at[1 + name] == '%') {
            *length = name + 2;
            return i;
        }
    }
    return -1;
}

// A box text from message.csv, or its built-in default: the box texts are optional, so a
// slot holds only what the file gave, and an empty one never counts as missing.
static const char* BoxTextOf(int box)
{
    const char* slot = gAppTexts.boxTexts[box];
    return slot != nullptr ? slot : kBoxDefaults[box];
}

void AppendBoxText(char* text, size_t size, int box, const TextValue* values, int count)
{
    if (text == nullptr || size == 0 || box < 0 || box >= BOX_TEXT_COUNT) return;
    enum { MOST_VALUES = 8 };
    int placed[MOST_VALUES] = {0};
    if (count > MOST_VALUES) count = MOST_VALUES;
    const char* pattern = BoxTextOf(box);
    const char* run = pattern;
    const char* p = pattern;
    // Stepped a character at a time, so a trail byte is never read as the start of a
    // placeholder (the percent sign itself is never a trail byte in any ANSI code page).
    while (*p != '\0') {
        size_t length = 0;
        int value = *p == '%' ? PlaceholderAt(p, values, count, &length) : -1;
        if (value < 0) {
            p += PlatIsLeadByte((unsigned char)*p) && p[1] != '\0' ? 2 : 1;
            continue;
        }
        AppendBytes(text, size, run, (size_t)(p - run));
        AppendCharacters(text, size, values[value].value ? values[value].value : "");
        placed[value] = 1;
        p += length;
        run = p;
    }
    AppendBytes(text, size, run, (size_t)(p - run));
    for (int i = 0; i < count; i++) {
        if (placed[i] || !values[i].mustShow || values[i].value == nullptr || values[i].value[0] == '\0') continue;
        AppendCharacters(text, size, "\r\n");
        AppendCharacters(text, size, values[i].value);
    }
}

int PortNotEnabledText(char* text, size_t size, int port)
{
    // The catalogue text is data: it goes in through %s, never as the format.
    return snprintf(text, size, "COM%d %s", port, SlotText(gAppTexts.generalTexts[TEXT_NOT_ENABLED]));
}

int PortNameNotEnabledText(char* text, size_t size, const char* portName)
{
    return snprintf(text, size, "%s %s", portName, SlotText(gAppTexts.generalTexts[TEXT_NOT_ENABLED]));
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
        // The first non-empty text of a key wins; later lines change nothing.
        char** slot = nullptr;
        for (int entry = 0; entry < CATALOGUE_SIZE && slot == nullptr; entry++)
            if (AsciiEqualNoCase(key, kMessageKeys[entry])) slot = CatalogueSlot(entry);
        for (int box = 0; box < BOX_TEXT_COUNT && slot == nullptr; box++)
            if (AsciiEqualNoCase(key, kBoxKeys[box])) slot = &gAppTexts.boxTexts[box];
        if (slot != nullptr) SetTextOnce(slot, text);
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
