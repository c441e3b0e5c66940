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
// "COMn " and the NOT_ENABLED text, the refusal of a port. Returns snprintf's length.
int PortNotEnabledText(char* text, size_t size, int port);
// The same for a port known by its name ("COM20", "/dev/ttyUSB0").
int PortNameNotEnabledText(char* text, size_t size, const char* portName);

// A value that a box text places with a placeholder: its name between percent signs
// (%PATH%, %REASON%, %COUNT%, %CODE%, %TIMES%), matched without regard to ASCII case.
struct TextValue {
    const char* name;
    const char* value;
    int mustShow;   // 1: a value the text does not place goes on a line of its own after it
};

// Appends box text `box` to the zero-terminated `text` (a field of `size` bytes), each
// placeholder replaced by its value, every occurrence alike. The values are copied as they
// are, never read as placeholders or as a format. A percent sign that starts no known
// placeholder stays as written. A value with mustShow that the text does not place follows
// on a line of its own, unless it is empty. Whatever does not fit is cut between characters.
void AppendBoxText(char* text, size_t size, int box, const TextValue* values, int count);
// Appends bytes as AppendBoxText does: as many whole characters as fit.
void AppendCharacters(char* text, size_t size, const char* part);

int MessagesLoad(void);
int MessagesFillDefaults(int clearFirst);
// Frees and empties every slot, both paths included (start-up and exit).
void MessagesFreeAll(void);
