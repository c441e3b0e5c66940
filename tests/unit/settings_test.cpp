// config.csv read and written against the simulated platform, with real files in a temp
// folder beside a simulated executable; the baud table and SettingsFromControls.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <filesystem>
#include <fstream>
#include <string>
#include "platform/sim/sim.h"
#include "records/ids.h"
#include "records/settings.h"

namespace {

const Settings kInitial = {0, 1200, 1};

class SettingsFile : public ::testing::Test {
protected:
    std::string dir;

    void SetUp() override
    {
        SimReset();
        gSettings = kInitial;
        char pattern[] = "/tmp/km740_settings_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        SimSetModulePath((dir + "\\km740tool.exe").c_str());
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    void Write(const std::string& bytes, const std::string& folder = "")
    {
        std::ofstream out((folder.empty() ? dir : folder) + "/config.csv", std::ios::binary);
        out << bytes;
    }
    std::string Read(const std::string& folder = "")
    {
        std::ifstream in((folder.empty() ? dir : folder) + "/config.csv", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

void ExpectRecord(const Settings& expected, const char* what)
{
    EXPECT_EQ(gSettings.portNumber, expected.portNumber) << what;
    EXPECT_EQ(gSettings.baudRate, expected.baudRate) << what;
    EXPECT_EQ(gSettings.storeToDesktop, expected.storeToDesktop) << what;
}

std::string Padded(const std::string& head, size_t length)
{
    return head + std::string(length - head.size(), 'x');
}

struct FileCase {
    const char* what;
    std::string bytes;
    Settings expected;
};

}  // namespace

TEST_F(SettingsFile, EachLineIsReadByTheKeyTableAndTheLineRule)
{
    const FileCase cases[] = {
        {"upper-case key", "PORT,5\r\n", {5, 1200, 1}},
        {"lower-case key", "port,5\r\n", {5, 1200, 1}},
        {"mixed-case key", "Port,5\r\n", {5, 1200, 1}},
        {"space before key: ignored, parse goes on", " PORT,5\r\nBAUDRATE,9600\r\n", {0, 9600, 1}},
        {"space before comma: ignored, parse goes on", "PORT ,5\r\nBAUDRATE,9600\r\n", {0, 9600, 1}},
        {"space before value is skipped", "PORT, 5\r\n", {5, 1200, 1}},
        {"tab before value is skipped", "PORT,\t5\r\n", {5, 1200, 1}},
        {"plus sign", "PORT,+7\r\n", {7, 1200, 1}},
        {"trailing space", "PORT,5 \r\n", {5, 1200, 1}},
        {"trailing letter", "PORT,5x\r\n", {5, 1200, 1}},
        {"further commas belong to the value", "PORT,5,9\r\n", {5, 1200, 1}},
        {"highest port", "PORT,16\r\n", {16, 1200, 1}},
        {"port above range", "PORT,17\r\n", {0, 1200, 1}},
        {"port zero", "PORT,0\r\n", {0, 1200, 1}},
        {"negative port", "PORT,-3\r\n", {0, 1200, 1}},
        {"non-numeric port", "PORT,abc\r\n", {0, 1200, 1}},
        {"empty port value", "PORT,\r\n", {0, 1200, 1}},
        {"port beyond 32 bits is out of range", "PORT,99999999999\r\n", {0, 1200, 1}},
        {"port that would wrap to 5 in 32 bits", "PORT,4294967301\r\n", {0, 1200, 1}},
        {"each listed rate", "BAUDRATE,38400\r\n", {0, 38400, 1}},
        {"rate 2400", "BAUDRATE,2400\r\n", {0, 2400, 1}},
        {"unlisted rate", "BAUDRATE,300\r\n", {0, 1200, 1}},
        {"rate zero", "BAUDRATE,0\r\n", {0, 1200, 1}},
        {"non-numeric rate", "BAUDRATE,abc\r\n", {0, 1200, 1}},
        {"rate that would wrap to 9600 in 32 bits", "BAUDRATE,4294976896\r\n", {0, 1200, 1}},
        {"rate with a fraction stops at the point", "BAUDRATE,9600.5\r\n", {0, 9600, 1}},
        {"store zero", "STORE,0\r\n", {0, 1200, 0}},
        {"store non-numeric", "STORE,abc\r\n", {0, 1200, 0}},
        {"store two", "STORE,2\r\n", {0, 1200, 1}},
        {"store minus one", "STORE,-1\r\n", {0, 1200, 1}},
        {"store beyond 32 bits is non-zero", "STORE,0\r\nSTORE,99999999999\r\n", {0, 1200, 1}},
        {"line without comma ends the parse", "PORT\r\nBAUDRATE,9600\r\n", {0, 1200, 1}},
        {"unknown key is skipped", "LANGUAGE,en\r\nPORT,4\r\n", {4, 1200, 1}},
    };
    for (const FileCase& c : cases) {
        gSettings = kInitial;
        Write(c.bytes);
        SettingsLoad();
        ExpectRecord(c.expected, c.what);
    }
}

TEST_F(SettingsFile, WholeFilesFollowTheLineRule)
{
    const FileCase cases[] = {
        {"later line wins", "PORT,3\r\nPORT,7\r\n", {7, 1200, 1}},
        {"later out-of-range line still applies", "PORT,3\r\nPORT,99\r\n", {0, 1200, 1}},
        {"all three keys", "PORT,3\r\nBAUDRATE,9600\r\nSTORE,0\r\n", {3, 9600, 0}},
        {"empty line ends the parse", "PORT,3\r\n\r\nBAUDRATE,9600\r\n", {3, 1200, 1}},
        {"store line only", "STORE,0\r\n", {0, 1200, 0}},
        {"LF-only endings set nothing", "PORT,3\nBAUDRATE,9600\n", {0, 1200, 1}},
        {"last line without CR is not applied", "PORT,3\r\nBAUDRATE,9600", {3, 1200, 1}},
        {"CR-only endings: first line read, the rest went with it", "PORT,3\rBAUDRATE,9600\r",
         {3, 1200, 1}},
        {"byte-order mark hides the first key", "\xEF\xBB\xBFPORT,3\r\nBAUDRATE,9600\r\n",
         {0, 9600, 1}},
        {"NUL before CR hides the CR and ends the parse",
         std::string("PORT,3\0\r\nBAUDRATE,9600\r\n", 24), {0, 1200, 1}},
        {"NUL inside the key ends the parse", std::string("PO\0RT,3\r\nBAUDRATE,9600\r\n", 24),
         {0, 1200, 1}},
        {"NUL after CR is discarded with the rest",
         std::string("PORT,3\r\0\nBAUDRATE,9600\r\n", 24), {3, 9600, 1}},
        {"254 bytes + CR: applied, its LF then ends the parse",
         Padded("PORT,3 ", 254) + "\r\nBAUDRATE,9600\r\n", {3, 1200, 1}},
        {"253 bytes + CR LF fits whole: next line read",
         Padded("PORT,3 ", 253) + "\r\nBAUDRATE,9600\r\n", {3, 9600, 1}},
        {"CR beyond byte 255: not applied, parse ends",
         Padded("PORT,3 ", 255) + "\r\nBAUDRATE,9600\r\n", {0, 1200, 1}},
    };
    for (const FileCase& c : cases) {
        gSettings = kInitial;
        Write(c.bytes);
        SettingsLoad();
        ExpectRecord(c.expected, c.what);
    }
}

TEST_F(SettingsFile, EmptyFileKeepsTheRecordWhileAnUnopenableOneGivesDefaults)
{
    const Settings before = {5, 9600, 0};

    gSettings = before;
    Write("");
    SettingsLoad();
    ExpectRecord(before, "empty file");

    std::filesystem::remove(dir + "/config.csv");
    gSettings = before;
    SettingsLoad();
    ExpectRecord(kInitial, "missing file");

    Write("PORT,3\r\n");
    SimFail(SIM_OP_FILE_OPEN);
    gSettings = before;
    SettingsLoad();
    ExpectRecord(kInitial, "open fails");

    // A folder named config.csv: Windows will not open it; Linux opens it and fails the read.
    std::filesystem::remove(dir + "/config.csv");
    std::filesystem::create_directory(dir + "/config.csv");
    gSettings = before;
    SettingsLoad();
    ExpectRecord(kInitial, "folder of that name");
    gSettings = {3, 9600, 1};
    SettingsSave();
    EXPECT_TRUE(std::filesystem::is_directory(dir + "/config.csv"));
}

TEST_F(SettingsFile, SaveWritesExactlyThreeLines)
{
    struct {
        Settings record;
        const char* bytes;
    } cases[] = {
        {{3, 9600, 1}, "PORT,3\r\nBAUDRATE,9600\r\nSTORE,1\r\n"},
        {{0, 1200, 0}, "PORT,0\r\nBAUDRATE,1200\r\nSTORE,0\r\n"},
        {{16, 38400, 7}, "PORT,16\r\nBAUDRATE,38400\r\nSTORE,1\r\n"},
        // Fields are written as held, without range checks.
        {{-2147483647 - 1, 300, -1}, "PORT,-2147483648\r\nBAUDRATE,300\r\nSTORE,1\r\n"},
    };
    for (const auto& c : cases) {
        Write("a much longer earlier file that must be emptied first\r\n");
        gSettings = c.record;
        SettingsSave();
        EXPECT_EQ(Read(), c.bytes);
    }
    gSettings = {3, 9600, 1};
    SettingsSave();
    EXPECT_EQ(Read().size(), 32u);
}

TEST_F(SettingsFile, SavedRecordReadsBackTheSame)
{
    gSettings = {12, 19200, 0};
    SettingsSave();
    gSettings = kInitial;
    SettingsLoad();
    ExpectRecord({12, 19200, 0}, "round trip");
}

TEST_F(SettingsFile, SaveThatCannotOpenWritesNothingAndSucceeds)
{
    SimFail(SIM_OP_FILE_OPEN);
    gSettings = {3, 9600, 1};
    SettingsSave();
    EXPECT_FALSE(std::filesystem::exists(dir + "/config.csv"));
}

// folder + "\" + "config.csv" + NUL must fit in 260 bytes; one byte more and the file
// counts as not openable: defaults on load, nothing written on save.
TEST_F(SettingsFile, FolderTooLongForThePathIsNeverCut)
{
    for (size_t folderLength : {248u, 249u}) {
        std::string folder = dir + "/" + std::string(folderLength - dir.size() - 1, 'd');
        ASSERT_EQ(folder.size(), folderLength);
        std::filesystem::create_directory(folder);
        std::string windowsFolder = dir + "\\" + folder.substr(dir.size() + 1);
        SimSetModulePath((windowsFolder + "\\k.exe").c_str());
        Write("PORT,5\r\n", folder);

        gSettings = {9, 2400, 0};
        SettingsLoad();
        gSettings.baudRate = 4800;
        SettingsSave();
        if (folderLength == 248) {
            EXPECT_EQ(gSettings.portNumber, 5);
            EXPECT_EQ(Read(folder), "PORT,5\r\nBAUDRATE,4800\r\nSTORE,0\r\n");
        } else {
            ExpectRecord({0, 4800, 1}, "too long: defaults");
            EXPECT_EQ(Read(folder), "PORT,5\r\n");
        }
        std::filesystem::remove_all(folder);
    }
}

TEST(BaudTable, RatesAndIndicesMapBothWays)
{
    const int32_t rates[BAUD_COUNT] = {1200, 2400, 4800, 9600, 19200, 38400};
    for (int i = 0; i < BAUD_COUNT; i++) {
        EXPECT_EQ(kBaudTable[i].rate, rates[i]);
        EXPECT_EQ(BaudIndexFromRate(rates[i]), i);
        EXPECT_EQ(BaudRateFromIndex(i), rates[i]);
        EXPECT_EQ(std::string(kBaudTable[i].item), std::to_string(rates[i]) + " bps");
    }
    for (int32_t rate : {0, 300, 57600, -1200})
        EXPECT_EQ(BaudIndexFromRate(rate), 0) << rate;
    for (int index : {-1, 6, 100, -100})
        EXPECT_EQ(BaudRateFromIndex(index), 1200) << index;
}

TEST(SettingsFromControls, TakesBaudRateAndDestinationFromTheLists)
{
    struct {
        int baudIndex;
        int storeIndex;
        int32_t baudRate;
        int32_t store;
    } cases[] = {
        {5, 0, 38400, 1}, {0, 1, 1200, 0}, {-1, -1, 1200, 0}, {3, 0, 9600, 1},
    };
    for (const auto& c : cases) {
        SimReset();
        gSettings = {7, 4800, 1};
        gSettings.storeToDesktop = c.store ? 0 : 1;
        PlatWindow dialog = SimCreateMainDialog();
        PlatWindow baud = PlatGetDlgItem(dialog, IDC_BAUD);
        PlatWindow store = PlatGetDlgItem(dialog, IDC_STORE);
        for (int i = 0; i < BAUD_COUNT; i++) PlatComboAddString(baud, kBaudTable[i].item);
        PlatComboAddString(store, "Desktop");
        PlatComboAddString(store, "My Documents");
        PlatComboSetCurSel(baud, c.baudIndex);
        PlatComboSetCurSel(store, c.storeIndex);

        EXPECT_EQ(SettingsFromControls(dialog), 1);
        EXPECT_EQ(gSettings.baudRate, c.baudRate) << c.baudIndex;
        EXPECT_EQ(gSettings.storeToDesktop, c.store) << c.storeIndex;
        EXPECT_EQ(gSettings.portNumber, 7) << "the port list is not read";
    }
}

TEST(SettingsFromControls, MissingListsStopAtTheirStep)
{
    SimReset();
    gSettings = {7, 4800, 0};
    PlatWindow dialog = SimCreateMainDialog();
    PlatComboAddString(PlatGetDlgItem(dialog, IDC_BAUD), "1200 bps");
    PlatComboSetCurSel(PlatGetDlgItem(dialog, IDC_BAUD), 0);
    PlatComboAddString(PlatGetDlgItem(dialog, IDC_STORE), "Desktop");
    PlatComboSetCurSel(PlatGetDlgItem(dialog, IDC_STORE), 0);

    SimRemoveControl(dialog, IDC_STORE);
    EXPECT_EQ(SettingsFromControls(dialog), 0);
    EXPECT_EQ(gSettings.baudRate, 1200) << "baud rate is stored before the store list is sought";
    EXPECT_EQ(gSettings.storeToDesktop, 0);

    gSettings = {7, 4800, 0};
    SimRemoveControl(dialog, IDC_BAUD);
    EXPECT_EQ(SettingsFromControls(dialog), 0);
    ExpectRecord({7, 4800, 0}, "no baud list: unchanged");
}
