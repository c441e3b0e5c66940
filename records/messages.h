// The message catalogue (message.csv) and the two destination folder paths.
#pragma once
#include <stddef.h>

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

// Slots of labelTexts.
enum LabelText { LABEL_PORT_NO = 0, LABEL_BAUDRATE = 1, LABEL_STORE_FOLDER = 2 };

struct AppTexts {
    char* labelTexts[LABEL_SLOTS];
    char* generalTexts[GENERAL_SLOTS];
    char* statusTexts[STATUS_SLOTS];  // indexed by StatusIndex
    char* desktopPath;
    char* documentsPath;
};

extern AppTexts gAppTexts;

// A catalogue slot as a text to show: an unfilled slot shows as empty, never as null.
const char* SlotText(const char* slot);

// "COM" + the widest int + " " + the longest catalogue text a 256-byte line can carry +
// the zero: a catalogue text may be 242 bytes, so 128 bytes would cut the sentence.
enum { PORT_REFUSAL_SIZE = 3 + 11 + 1 + 255 + 1 };
// "COMn " and the NOT_ENABLED text, the refusal of a port. Returns snprintf's length.
int PortNotEnabledText(char* text, size_t size, int port);

int MessagesLoad(void);
int MessagesFillDefaults(int clearFirst);
// Frees and empties every slot, both paths included (start-up and exit).
void MessagesFreeAll(void);
