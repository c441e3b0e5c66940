// The message catalogue (message.csv) and the two destination folder paths.
#pragma once

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

int MessagesLoad(void);
int MessagesFillDefaults(int clearFirst);
// Frees and empties every slot, both paths included (start-up and exit).
void MessagesFreeAll(void);
