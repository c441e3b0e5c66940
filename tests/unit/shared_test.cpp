// The shared helpers: executable folder and paths beside it (with Shift-JIS names and the
// path limit), text slots, the system-error box, ASCII key compare and number conversion.
#include <gtest/gtest.h>
#include <string.h>
#include <string>
#include "platform/sim/sim.h"
#include "records/exe_folder.h"
#include "records/text_slots.h"
#include "records/messages.h"
#include "records/warning_box.h"
#include "records/csv_line.h"

namespace {

// Output buffers get a guard zone past the 260 bytes the helpers may use.
enum { GUARD = 64 };
struct Guarded {
    char bytes[PLAT_MAX_PATH + GUARD];
    Guarded() { memset(bytes, 0xAA, sizeof bytes); }
    bool GuardIntact() const
    {
        for (int i = PLAT_MAX_PATH; i < PLAT_MAX_PATH + GUARD; i++)
            if ((unsigned char)bytes[i] != 0xAA) return false;
        return true;
    }
};

}  // namespace

TEST(GetExeFolder, CutsTheWholeModulePathAtItsLastRealBackslash)
{
    // Module paths past the first 260-byte buffer are read whole; a folder that itself
    // needs more than 260 bytes is no folder at all.
    const std::string long260 = "C:\\" + std::string(251, 'd') + "\\k.exe";
    const std::string folder259 = "C:\\" + std::string(256, 'd');
    const std::string in259 = folder259 + "\\km740tool.exe";
    const std::string in260 = folder259 + "d\\km740tool.exe";
    const std::string huge = "C:\\" + std::string(70000, 'd') + "\\k.exe";
    const std::string deepName = "C:\\Tools\\" + std::string(600, 'n') + ".exe";
    struct {
        const char* what;
        int codePage;
        const char* modulePath;  // null: the call fails
        int result;
        std::string expected;
    } cases[] = {
        {"ordinary path", 1252, "C:\\Tools\\KM\\km740tool.exe", 1, "C:\\Tools\\KM"},
        {"root folder", 1252, "C:\\km740tool.exe", 1, "C:"},
        {"UNC path", 1252, "\\\\server\\share\\km740tool.exe", 1, "\\\\server\\share"},
        {"no module path", 1252, nullptr, 0, ""},
        {"bare file name lies in the current directory", 1252, "km740tool.exe", 1, "."},
        {"folder name of Shift-JIS 0x95 0x5C", 932, "C:\\\x95\x5C\\km740tool.exe", 1,
         "C:\\\x95\x5C"},
        {"trail byte 0x5C is no separator", 932, "C:\\Tools\\\x95\x5Ckm.exe", 1, "C:\\Tools"},
        {"the same bytes in code page 1252 are a separator", 1252, "C:\\Tools\\\x95\x5Ckm.exe", 1,
         "C:\\Tools\\\x95"},
        {"two double-byte characters in a row", 932, "C:\\\x83\x5C\x83\x5C\\k.exe", 1,
         "C:\\\x83\x5C\x83\x5C"},
        {"single-byte katakana is not a lead byte", 932, "C:\\\xB1\\k.exe", 1, "C:\\\xB1"},
        {"module path of 260 bytes", 1252, long260.c_str(), 1, long260.substr(0, 254)},
        {"long file name in a short folder", 1252, deepName.c_str(), 1, "C:\\Tools"},
        {"longest folder that fits", 1252, in259.c_str(), 1, folder259},
        {"folder one byte too long", 1252, in260.c_str(), 0, ""},
        {"module path of 70000 bytes", 1252, huge.c_str(), 0, ""},
    };
    for (const auto& c : cases) {
        SimReset();
        SimSetCodePage(c.codePage);
        SimSetModulePath(c.modulePath);
        Guarded folder;
        EXPECT_EQ(GetExeFolder(folder.bytes), c.result) << c.what;
        EXPECT_EQ(std::string(folder.bytes), c.expected) << c.what;
        EXPECT_TRUE(folder.GuardIntact()) << c.what;
        EXPECT_EQ(SimHeapBlocksOutstanding(), 0) << c.what;
    }
}

TEST(GetExeFolder, FailingModulePathGivesNoFolder)
{
    SimReset();
    SimSetModulePath("C:\\Tools\\km740tool.exe");
    SimFail(SIM_OP_MODULE_PATH);
    char folder[PLAT_MAX_PATH];
    EXPECT_EQ(GetExeFolder(folder), 0);
    EXPECT_STREQ(folder, "");
    // A failure on the second, larger read as well.
    SimReset();
    SimSetModulePath(("C:\\" + std::string(300, 'd') + "\\k.exe").c_str());
    SimFail(SIM_OP_MODULE_PATH, 1);
    EXPECT_EQ(GetExeFolder(folder), 0);
    EXPECT_EQ(SimHeapBlocksOutstanding(), 0);
}

TEST(BuildPathBesideExe, JoinsFolderAndNameOrGivesNothingWhenTooLong)
{
    // folder + "\" + "config.csv" + NUL: 248 + 1 + 10 + 1 = 260 bytes fits, 249 does not.
    struct {
        size_t folderLength;
        const char* name;
        int result;
    } cases[] = {
        {248, "config.csv", 1}, {249, "config.csv", 0},
        {247, "message.csv", 1}, {248, "message.csv", 0},
    };
    for (const auto& c : cases) {
        SimReset();
        std::string folder = "C:\\" + std::string(c.folderLength - 3, 'd');
        SimSetModulePath((folder + "\\k.exe").c_str());
        Guarded path;
        EXPECT_EQ(BuildPathBesideExe(path.bytes, c.name), c.result) << c.folderLength;
        EXPECT_EQ(std::string(path.bytes), c.result ? folder + "\\" + c.name : "") << c.folderLength;
        EXPECT_TRUE(path.GuardIntact());
    }
    SimReset();
    char path[PLAT_MAX_PATH];
    EXPECT_EQ(BuildPathBesideExe(path, "config.csv"), 0) << "no module path, no path";
    EXPECT_STREQ(path, "");
    SimSetModulePath("km740tool.exe");
    EXPECT_EQ(BuildPathBesideExe(path, "config.csv"), 1);
    EXPECT_STREQ(path, ".\\config.csv");
}

TEST(TextSlots, SetTextOnceFillsOnlyAnEmptySlotWithACopy)
{
    SimReset();
    char text[] = "Start";
    char* slot = nullptr;
    char* stored = SetTextOnce(&slot, text);
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(stored, slot);
    EXPECT_NE(stored, text) << "a copy, not the caller's buffer";
    text[0] = 'X';
    EXPECT_STREQ(slot, "Start");

    EXPECT_EQ(SetTextOnce(&slot, "Other"), nullptr) << "a filled slot is kept";
    EXPECT_STREQ(slot, "Start");
    EXPECT_EQ(SimHeapBlocksOutstanding(), 1);

    FreeText(&slot);
    EXPECT_EQ(slot, nullptr);
    EXPECT_EQ(SimHeapBlocksOutstanding(), 0);
    FreeText(&slot);  // an empty slot is left alone
    EXPECT_EQ(SimHeapBlocksOutstanding(), 0);
}

TEST(TextSlots, NothingIsStoredForAnEmptyTextOrWhenMemoryIsShort)
{
    SimReset();
    char* slot = nullptr;
    EXPECT_EQ(SetTextOnce(&slot, ""), nullptr);
    EXPECT_EQ(SetTextOnce(&slot, nullptr), nullptr);
    EXPECT_EQ(slot, nullptr);
    SimFail(SIM_OP_HEAP_ALLOC);
    EXPECT_EQ(SetTextOnce(&slot, "Start"), nullptr);
    EXPECT_EQ(slot, nullptr);
    EXPECT_EQ(SimHeapBlocksOutstanding(), 0);
    EXPECT_NE(SetTextOnce(&slot, "Start"), nullptr) << "the next allocation succeeds again";
    FreeText(&slot);
}

TEST(ShowLastError, ShowsTheSystemTextOrTheCodeWhenThereIsNone)
{
    struct {
        unsigned code;
        const char* system;  // the system's own text; null: the simulated one
        const char* text;
    } cases[] = {
        {5, nullptr, "System error 5."},  // without the line break the system ends it with
        {0xFFFF, nullptr, "Error 65535."},  // the simulated system has no text for this code
        {21, "The device is not ready.  \r\n \r\n", "The device is not ready."},
    };
    for (const auto& c : cases) {
        SimReset();
        if (c.system) SimSetSystemMessage(c.code, c.system);
        PlatWindow owner = SimCreateMainDialog();
        PlatSetLastError(c.code);
        ShowLastError(owner);
        ASSERT_EQ(SimMessageBoxes().size(), 1u);
        EXPECT_EQ(SimMessageBoxes()[0].text, c.text);
        EXPECT_EQ(SimMessageBoxes()[0].caption, "Error");
        EXPECT_EQ(SimMessageBoxes()[0].style, (unsigned)(PLAT_MB_ICONWARNING | PLAT_MB_OK));
        EXPECT_EQ(SimMessageBoxes()[0].owner, owner);
    }
    SimReset();
    PlatSetLastError(2);
    ShowLastError(nullptr);
    ASSERT_EQ(SimMessageBoxes().size(), 1u);
    EXPECT_EQ(SimMessageBoxes()[0].owner, nullptr);
}

TEST(AsciiEqualNoCase, FoldsOnlyAsciiLettersAndComparesWhole)
{
    struct {
        const char* a;
        const char* b;
        int equal;
    } cases[] = {
        {"PORT", "port", 1},   {"Port", "pORT", 1}, {"", "", 1},       {"PORT", "PORT ", 0},
        {"PORT", "POR", 0},    {" PORT", "PORT", 0}, {"PORT", "", 0},
        {"[", "{", 0},  // 0x5B and 0x7B differ by 0x20 but are not letters
        {"@", "`", 0},         {"\xC9", "\xE9", 0},  // Latin-1 E acute: not folded
        {"MY_DOCUMENTS", "my_documents", 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(AsciiEqualNoCase(c.a, c.b), c.equal) << c.a << " / " << c.b;
        EXPECT_EQ(AsciiEqualNoCase(c.b, c.a), c.equal) << c.b << " / " << c.a;
    }
}

TEST(TextToInt32, ReadsLikeStrtolClampedTo32Bits)
{
    const std::string manyDigits(300, '9');
    struct {
        std::string text;
        int32_t value;
    } cases[] = {
        {"", 0},
        {"abc", 0},
        {"5", 5},
        {" \t\n\v\f\r5", 5},
        {"+5", 5},
        {"-5", -5},
        {"5x", 5},
        {"0012", 12},
        {"+-5", 0},
        {"- 5", 0},
        {"2147483647", 2147483647},
        {"2147483648", 2147483647},
        {"-2147483648", -2147483647 - 1},
        {"-2147483649", -2147483647 - 1},
        {"99999999999", 2147483647},
        {"-99999999999", -2147483647 - 1},
        {"4294967301", 2147483647},
        {manyDigits, 2147483647},
        {"-" + manyDigits, -2147483647 - 1},
    };
    for (const auto& c : cases) EXPECT_EQ(TextToInt32(c.text.c_str()), c.value) << c.text;
}
