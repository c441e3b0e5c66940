// The message catalogue: 15 replaceable texts read from message.csv with built-in defaults,
// and the Desktop and My Documents paths, all kept in gAppTexts for the whole run. Loading
// it at the window's start, with its warnings, is in messages_load.cpp.
#include "records/messages.h"

#include <stdio.h>
#include <string.h>

#include "platform/system.h"
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
// 254 bytes with its key and comma: a longer explanation is split over several keys.
static const char* const kBoxKeys[BOX_TEXT_COUNT] = {
    "NO_STORE_LIST",      "EARLIER_FILE_CLOSED", "TIMER_NOT_STARTED", "TIMER_ENDED_EARLY",
    "NO_FOLDER",          "PATH_TOO_LONG",       "NAMES_TAKEN",       "NAMES_TAKEN_HINT",
    "NO_MEMORY",          "NOT_CREATED",         "NOT_WRITTEN",       "NOT_COMPLETED",
    "NOT_DELETED",        "EMPTY_NOT_DELETED",   "RX_ERRORS",         "RX_QUEUE_OVERRUN",
    "RX_HARDWARE_OVERRUN", "RX_FRAMING_ERROR",   "RX_PARITY_ERROR",   "RX_BREAK",
    "RX_TIME",            "RX_TIMES",            "RX_DAMAGED",        "RX_OVERRUN_ADVICE",
    "RX_FRAMING_ADVICE",  "RX_PARITY_ADVICE",    "RX_BREAK_ADVICE",   "ERROR_CODE",
    "PORT_SETTING_REFUSED",
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
    "The port was found, but it refused a setting: %SETTING%",
};

// Entries 0-2 are labels, 3-10 general texts (from TEXT_WINDOW_TITLE on), 11-14 the status
// texts in StatusIndex order.
static char** CatalogueSlot(int entry)
{
    if (entry < 3) return &gAppTexts.labelTexts[LABEL_PORT_NO + entry];
    if (entry < 11) return &gAppTexts.generalTexts[TEXT_WINDOW_TITLE + entry - 3];
    return &gAppTexts.statusTexts[STATUS_READY + entry - 11];
}

static void FreeCatalogueArrays(void)
{
    for (int i = 0; i < LABEL_SLOTS; i++) FreeText(&gAppTexts.labelTexts[i]);
    for (int i = 0; i < GENERAL_SLOTS; i++) FreeText(&gAppTexts.generalTexts[i]);
    for (int i = 0; i < STATUS_SLOTS; i++) FreeText(&gAppTexts.statusTexts[i]);
    for (int i = 0; i < BOX_TEXT_COUNT; i++) FreeText(&gAppTexts.boxTexts[i]);
}

const char* SlotText(const char* slot) { return slot ? slot : ""; }

// A box text from message.csv, or its built-in default: the box texts are optional, so a
// slot holds only what the file gave, and an empty one never counts as missing.
static const char* BoxTextOf(int box)
{
    const char* slot = gAppTexts.boxTexts[box];
    return slot != nullptr ? slot : kBoxDefaults[box];
}

void AppendBoxText(BoxField* field, int box, const TextValue* values, int count)
{
    if (box < 0 || box >= BOX_TEXT_COUNT) return;
    AppendPattern(field, BoxTextOf(box), values, count);
}

void AppendBoxText(char* text, size_t size, int box, const TextValue* values, int count)
{
    if (text == nullptr || size == 0) return;
    BoxField field = {text, size, 0};
    AppendBoxText(&field, box, values, count);
}

void AppendPortNotEnabled(BoxField* field, const char* portName)
{
    AppendCharacters(field, portName);
    AppendCharacters(field, " ");
    // The catalogue text is data: it is appended, never used as a format.
    AppendCharacters(field, SlotText(gAppTexts.generalTexts[TEXT_NOT_ENABLED]));
}

void SystemReasonText(unsigned code, char* text, size_t size)
{
    if (size == 0) return;
    SystemErrorText(code, text, size);
    // Some codes have no text in the system table; an empty reason would tell the user nothing.
    if (text[0] == '\0') {
        char number[16];
        snprintf(number, sizeof number, "%u", code);
        const TextValue values[] = {{"CODE", number, 1}};
        AppendBoxText(text, size, BOX_ERROR_CODE, values, 1);
    }
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

void MessagesParse(FILE* file)
{
    // Notepad saves "UTF-8 with BOM" with this mark; the texts are then converted to the code
    // page the window shows them in. Without it the file is bytes of that code page already.
    int utf8 = CsvSkipUtf8Mark(file);
    char line[CSV_LINE_SIZE];
    char converted[CSV_LINE_SIZE];
    char* key = nullptr;
    char* text = nullptr;
    while (CsvNextLine(file, line, CSV_ENDS_ANY, &key, &text)) {
        // A text the system cannot convert is kept as the file has it: on a Windows whose
        // code page is UTF-8 it is right as it stands.
        if (utf8 && PlatUtf8ToAnsi(text, converted, sizeof converted) >= 0) text = converted;
        // The first non-empty text of a key wins; later lines change nothing.
        char** slot = nullptr;
        for (int entry = 0; entry < CATALOGUE_SIZE && slot == nullptr; entry++)
            if (AsciiEqualNoCase(key, kMessageKeys[entry])) slot = CatalogueSlot(entry);
        for (int box = 0; box < BOX_TEXT_COUNT && slot == nullptr; box++)
            if (AsciiEqualNoCase(key, kBoxKeys[box])) slot = &gAppTexts.boxTexts[box];
        if (slot != nullptr) SetTextOnce(slot, text);
    }
}
