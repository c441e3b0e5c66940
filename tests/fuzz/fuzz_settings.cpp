// Fuzz target: the input is config.csv. Loading must always give a valid record, saving must
// write exactly the three lines, and loading what was saved must give the same record back.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <string>
#include "platform/sim/sim.h"
#include "records/settings.h"
#include "tests/fuzz/fuzz_common.h"

namespace {

int ValidRecord(const Settings& s)
{
    if (s.portNumber < 0 || s.portNumber > 16) return 0;
    if (s.storeToDesktop != 0 && s.storeToDesktop != 1) return 0;
    for (const BaudEntry& entry : kBaudTable)
        if (entry.rate == s.baudRate) return 1;
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char file[] = "C:\\KM\\config.csv";
    SimReset();
    SimUseMemoryFiles(1);
    SimMemoryFolder("C:\\KM");
    SimSetModulePath("C:\\KM\\km740tool.exe");
    SimMemoryFileSet(file, std::string(reinterpret_cast<const char*>(data), size));

    gSettings = Settings{0, 1200, 1};
    SettingsLoad();
    FUZZ_CHECK(ValidRecord(gSettings));
    Settings loaded = gSettings;

    SettingsSave();
    char expected[128];
    snprintf(expected, sizeof expected, "PORT,%d\r\nBAUDRATE,%d\r\nSTORE,%d\r\n",
             (int)loaded.portNumber, (int)loaded.baudRate, (int)loaded.storeToDesktop);
    const std::string* saved = SimMemoryFile(file);
    FUZZ_CHECK(saved != nullptr && *saved == expected);

    // Fields the file does not set keep their previous values: start from others.
    gSettings = Settings{7, 38400, 0};
    SettingsLoad();
    FUZZ_CHECK(gSettings.portNumber == loaded.portNumber);
    FUZZ_CHECK(gSettings.baudRate == loaded.baudRate);
    FUZZ_CHECK(gSettings.storeToDesktop == loaded.storeToDesktop);
    SimRelease();
    return 0;
}
