// The settings record, the baud table and the settings file config.csv.
#pragma once
#include "platform/types.h"

struct Settings {
    int32_t portNumber;      // 1..16, 0 = none
    int32_t baudRate;        // one of the baud table's rates
    int32_t storeToDesktop;  // 1 = Desktop, 0 = My Documents
};

extern Settings gSettings;

// The ports the program offers, COM1 to COM16; 0 names none.
enum { PORT_FIRST = 1, PORT_LAST = 16 };
int IsListedPort(int32_t portNumber);

enum { BAUD_COUNT = 6 };
struct BaudEntry {
    const char* item;
    int32_t rate;
};
extern const BaudEntry kBaudTable[BAUD_COUNT];

// 1 when the rate is one of the baud table's.
int IsListedBaudRate(int32_t rate);
// The rate's index in the baud table; 0 for a rate not in it.
int BaudIndexFromRate(int32_t rate);
int32_t BaudRateFromIndex(int index);

// Reads config.csv beside the program into gSettings; a missing file gives the defaults.
void SettingsLoad(void);
// Writes gSettings to config.csv beside the program; nothing when its path does not fit or
// the file cannot be opened (the next start then finds the older settings).
void SettingsSave(void);
int SettingsFromControls(PlatWindow window);
