// The message catalogue (message.csv) and the two destination folder paths.
#pragma once
#include <stddef.h>
#include <stdio.h>
#include "platform/types.h"
#include "records/box_text.h"

enum { LABEL_SLOTS = 11, GENERAL_SLOTS = 11, STATUS_SLOTS = 4, CATALOGUE_SIZE = 15 };

// Slots of generalTexts.
enum GeneralText {
    TEXT_WINDOW_TITLE = 0,
    TEXT_DESKTOP = 1,
    TEXT_MY_DOCUMENTS = 2,
    TEXT_START = 3,
    TEXT_CANCEL = 4,
    TEXT_CLOSE = 5,
    TEXT_NOT_ENABLED = 6,
    TEXT_NO_ENABLE_PORTS = 7
};

// Texts of the boxes a failed download or file shows, each with an optional key of its own
// in message.csv and a built-in English default. None is counted as missing: a catalogue of
// the 15 texts alone brings no warning.
enum BoxText {
    BOX_NO_STORE_LIST,
    BOX_EARLIER_FILE_CLOSED,
    BOX_TIMER_NOT_STARTED,
    BOX_TIMER_ENDED_EARLY,
    BOX_NO_FOLDER,
    BOX_PATH_TOO_LONG,
    BOX_NAMES_TAKEN,
    BOX_NAMES_TAKEN_HINT,
    BOX_NO_MEMORY,
    BOX_NOT_CREATED,
    BOX_NOT_WRITTEN,
    BOX_NOT_COMPLETED,
    BOX_NOT_DELETED,
    BOX_EMPTY_NOT_DELETED,
    BOX_RX_ERRORS,
    BOX_RX_QUEUE_OVERRUN,
    BOX_RX_HARDWARE_OVERRUN,
    BOX_RX_FRAMING_ERROR,
    BOX_RX_PARITY_ERROR,
    BOX_RX_BREAK,
    BOX_RX_TIME,
    BOX_RX_TIMES,
    BOX_RX_DAMAGED,
    BOX_RX_OVERRUN_ADVICE,
    BOX_RX_FRAMING_ADVICE,
    BOX_RX_PARITY_ADVICE,
    BOX_RX_BREAK_ADVICE,
    BOX_ERROR_CODE,
    BOX_PORT_SETTING_REFUSED,
    BOX_TEXT_COUNT
};

// Slots of labelTexts.
enum LabelText { LABEL_PORT_NO = 0, LABEL_BAUDRATE = 1, LABEL_STORE_FOLDER = 2 };

struct AppTexts {
    char* labelTexts[LABEL_SLOTS];
    char* generalTexts[GENERAL_SLOTS];
    char* statusTexts[STATUS_SLOTS];  // indexed by StatusIndex
    char* boxTexts[BOX_TEXT_COUNT];   // indexed by BoxText; empty: the built-in default
    char* desktopPath;
    char* documentsPath;
};

extern AppTexts gAppTexts;

// A catalogue slot as a text to show: an unfilled slot shows as empty, never as null.
const char* SlotText(const char* slot);

// "COM" + the widest int + " " + the longest catalogue text a 256-byte line can carry +
// the zero: a catalogue text may be 242 bytes, so 128 bytes would cut the sentence.
enum { PORT_REFUSAL_SIZE = 3 + 11 + 1 + 255 + 1 };
// Appends the port's name ("COM5", "/dev/ttyUSB0"), a blank and the NOT_ENABLED text, the
// refusal of a port.
void AppendPortNotEnabled(BoxField* field, const char* portName);

// Appends box text `box`, from message.csv or built in, with its values placed (see
// AppendPattern). Whatever does not fit is cut between characters, and the field is full.
void AppendBoxText(BoxField* field, int box, const TextValue* values, int count);
// The same for a box text added to a terminated text, as a field of its own.
void AppendBoxText(char* text, size_t size, int box, const TextValue* values, int count);

// The system's text for an error code, or the ERROR_CODE text with the number when the
// system has none.
void SystemReasonText(unsigned code, char* text, size_t size);
// A warning box with the system's text for the last error and the caption "Error".
void ShowLastError(PlatWindow owner);

int MessagesLoad(void);
// Fills the slots from an open message.csv: the first non-empty text of a key wins.
void MessagesParse(FILE* file);
int MessagesFillDefaults(int clearFirst);
// Frees and empties every slot, both paths included (start-up and exit).
void MessagesFreeAll(void);
