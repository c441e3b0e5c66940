// config.csv and message.csv beside the program, with the real program name, in folders
// around the path limit, started from a working folder that holds decoys of both files.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <string>
#include "platform/sim/sim.h"
#include "records/messages.h"
#include "records/settings.h"

namespace {

const std::string kDecoyConfig = "PORT,7\r\nBAUDRATE,2400\r\nSTORE,0\r\n";
const std::string kDecoyMessages = "WINDOW_TITLE,Decoy title\r\nSTART,Decoy start\r\n";
const std::string kBesideConfig = "PORT,5\r\nBAUDRATE,9600\r\nSTORE,1\r\n";
const std::string kBesideMessages = "WINDOW_TITLE,Beside title\r\n";

std::string Slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return "(missing)";
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void Put(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

struct StartResult {
    int32_t port;                   // after SettingsLoad
    std::string title;              // the catalogue's window title
    std::string configAfterSave;    // config.csv beside the program after SettingsSave
    std::string decoyConfig;        // the working folder's files afterwards
    std::string decoyMessages;
    size_t workEntries;
};

// One start and exit: message.csv and config.csv read, config.csv written with 38400.
// `folderLength` 0: the module path is `bareName` alone (no folder part) or unknown (null).
StartResult StartAndExit(size_t folderLength, const char* bareName)
{
    char pattern[] = "/tmp/km740_deep_XXXXXX";
    if (mkdtemp(pattern) == nullptr) abort();
    const std::string base = pattern;
    const std::string work = base + "/work";
    std::filesystem::create_directory(work);
    Put(work + "/config.csv", kDecoyConfig);
    Put(work + "/message.csv", kDecoyMessages);

    MessagesFreeAll();
    SimReset();
    SimSetSpecialFolder(PLAT_CSIDL_DESKTOP, "C:\\Desktop");
    SimSetSpecialFolder(PLAT_CSIDL_PERSONAL, "C:\\Documents");
    gSettings = {0, 1200, 1};
    std::string beside;
    if (folderLength > 0) {
        beside = base + "/" + std::string(folderLength - base.size() - 1, 'd');
        std::filesystem::create_directory(beside);
        Put(beside + "/config.csv", kBesideConfig);
        Put(beside + "/message.csv", kBesideMessages);
        SimSetModulePath((base + "\\" + beside.substr(base.size() + 1) + "\\km740tool.exe").c_str());
    } else {
        SimSetModulePath(bareName);
        beside = work;
    }

    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(work);
    MessagesLoad();
    SettingsLoad();
    StartResult run;
    run.port = gSettings.portNumber;
    run.title = gAppTexts.generalTexts[TEXT_WINDOW_TITLE];
    gSettings.baudRate = 38400;
    SettingsSave();
    std::filesystem::current_path(previous);

    run.configAfterSave = Slurp(beside + "/config.csv");
    run.decoyConfig = Slurp(work + "/config.csv");
    run.decoyMessages = Slurp(work + "/message.csv");
    run.workEntries = (size_t)std::distance(std::filesystem::directory_iterator(work),
                                            std::filesystem::directory_iterator());
    MessagesFreeAll();
    std::filesystem::remove_all(base);
    return run;
}

}  // namespace

// km740tool.exe fits the old 260-byte module buffer only up to a folder of 245 bytes;
// message.csv fits up to 247, config.csv up to 248. Past that, defaults, nothing written,
// and the working folder is never touched.
TEST(FilesBesideTheProgram, DeepFoldersNeverFallBackToTheWorkingFolder)
{
    for (size_t length = 245; length <= 253; length++) {
        const bool messageFits = length <= 247;
        const bool configFits = length <= 248;
        StartResult run = StartAndExit(length, nullptr);
        EXPECT_EQ(run.title, messageFits ? "Beside title" : "KM-740 TOOL") << length;
        EXPECT_EQ(run.port, configFits ? 5 : 0) << length;
        EXPECT_EQ(run.configAfterSave,
                  configFits ? "PORT,5\r\nBAUDRATE,38400\r\nSTORE,1\r\n" : kBesideConfig)
            << length;
        EXPECT_EQ(run.decoyConfig, kDecoyConfig) << length;
        EXPECT_EQ(run.decoyMessages, kDecoyMessages) << length;
        EXPECT_EQ(run.workEntries, 2u) << length;
    }
}

TEST(FilesBesideTheProgram, TheWorkingFolderServesOnlyAProgramThatLiesThere)
{
    StartResult unknown = StartAndExit(0, nullptr);
    EXPECT_EQ(unknown.title, "KM-740 TOOL");
    EXPECT_EQ(unknown.port, 0);
    EXPECT_EQ(unknown.decoyConfig, kDecoyConfig);
    EXPECT_EQ(unknown.workEntries, 2u);

    StartResult bare = StartAndExit(0, "km740tool.exe");
    EXPECT_EQ(bare.title, "Decoy title");
    EXPECT_EQ(bare.port, 7);
    EXPECT_EQ(bare.configAfterSave, "PORT,7\r\nBAUDRATE,38400\r\nSTORE,0\r\n");
}
