// The settings record with its initial values, the baud table, and config.csv: read once at
// start-up, written once at exit (the dialog's lists are read in settings_controls.cpp).
#include "records/settings.h"

#include "platform/system.h"
#include "records/exe_folder.h"
#include "records/csv_line.h"

Settings gSettings = {0, 1200, 1};

const BaudEntry kBaudTable[BAUD_COUNT] = {
    {"1200 bps", 1200},  {"2400 bps", 2400},   {"4800 bps", 4800},
    {"9600 bps", 9600},  {"19200 bps", 19200}, {"38400 bps", 38400},
};

static const char kSettingsFile[] = "config.csv";

int IsListedPort(int32_t portNumber) { return portNumber >= PORT_FIRST && portNumber <= PORT_LAST; }

int IsListedBaudRate(int32_t rate)
{
    for (const BaudEntry& entry : kBaudTable)
        if (entry.rate == rate) return 1;
    return 0;
}

int BaudIndexFromRate(int32_t rate)
{
    for (int i = 0; i < BAUD_COUNT; i++)
        if (kBaudTable[i].rate == rate) return i;
    return 0;
}

int32_t BaudRateFromIndex(int index)
{
    // No selection (-1) and anything else out of the table fall back to index 0.
    if (index < 0 || index >= BAUD_COUNT) return kBaudTable[0].rate;
    return kBaudTable[index].rate;
}

static int32_t PortFromValue(const char* value)
{
    int32_t n = TextToInt32(value);
    return IsListedPort(n) ? n : 0;
}

static int32_t BaudFromValue(const char* value)
{
    int32_t n = TextToInt32(value);
    return IsListedBaudRate(n) ? n : 1200;
}

void SettingsLoad(void)
{
    FILE* file = CsvOpenBesideExe(kSettingsFile);
    if (file == nullptr) {
        gSettings.portNumber = 0;
        gSettings.baudRate = 1200;
        gSettings.storeToDesktop = 1;
        return;
    }
    char line[CSV_LINE_SIZE];
    char* key = nullptr;
    char* value = nullptr;
    // A later line for the same key overrides an earlier one.
    while (CsvNextLine(file, line, CSV_ENDS_CR, &key, &value)) {
        if (AsciiEqualNoCase(key, "PORT"))
            gSettings.portNumber = PortFromValue(value);
        else if (AsciiEqualNoCase(key, "BAUDRATE"))
            gSettings.baudRate = BaudFromValue(value);
        else if (AsciiEqualNoCase(key, "STORE"))
            gSettings.storeToDesktop = TextToInt32(value) != 0 ? 1 : 0;
    }
    fclose(file);
}

static void WriteLine(FILE* file, const char* name, int32_t number)
{
    char line[40];
    int length = snprintf(line, sizeof line, "%s,%d\r\n", name, (int)number);
    if (length > 0 && length < (int)sizeof line) fwrite(line, 1, (size_t)length, file);
}

void SettingsSave(void)
{
    char path[PLAT_MAX_PATH];
    // A path that does not fit would name some other file: write nothing then.
    if (!BuildPathBesideExe(path, kSettingsFile)) return;
    FILE* file = PlatFileOpen(path, "wb");
    if (file == nullptr) return;
    WriteLine(file, "PORT", gSettings.portNumber);
    WriteLine(file, "BAUDRATE", gSettings.baudRate);
    WriteLine(file, "STORE", gSettings.storeToDesktop != 0 ? 1 : 0);
    fclose(file);
}
