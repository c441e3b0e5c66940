// The settings record, the baud table and the settings file config.csv.
#pragma once
#include "platform/types.h"

struct Settings {
    int32_t portNumber;      // 1..16, 0 = none
    int32_t baudRate;        // one of the baud table's rates
    int32_t storeToDesktop;  // 1 = Desktop, 0 = My Documents
};

extern Settings gSettings;

enum { BAUD_COUNT = 6 };
struct BaudEntry {
    const char* item;
    int32_t rate;
};
extern const BaudEntry kBaudTable[BAUD_COUNT];

int BaudIndexFromRate(int32_t rate);
int32_t BaudRateFromIndex(int index);

int SettingsLoad(void);
int SettingsSave(void);
int SettingsFromControls(PlatWindow window);
