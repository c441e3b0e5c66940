// message.csv read against the simulated platform: which texts land in which slots, which
// warnings appear, the two folder paths, and that every heap block is given back.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>
#include "platform/sim/sim.h"
#include "records/messages.h"
#include "records/status.h"

namespace {

const char* const kKeys[CATALOGUE_SIZE] = {
    "PORT_NO", "BAUDRATE", "STORE_FOLDER", "WINDOW_TITLE", "DESKTOP", "MY_DOCUMENTS", "START",
    "CANCEL", "CLOSE", "NOT_ENABLED", "NO_ENABLE_PORTS", "STAND_BY", "RECEIVE_DATA", "COMPLETE",
    "TIMEOUT",
};
const char* const kDefaults[CATALOGUE_SIZE] = {
    "Port No.:", "Baudrate:", "Stored to:", "KM-740 TOOL", "Desktop", "My Documents", "Start",
    "Cancel", "Close", "is not enabled.", "All comm ports are not enabled.", "Ready.",
    "Receiving data...", "Complete.", "Timeout error.",
};
enum { E_START = 6, E_NOT_ENABLED = 9, E_TIMEOUT = 14, E_WINDOW_TITLE = 3 };

const char kNotFound[] = "A Message file not found. Program uses default value.";
const char kItemError[] = "Message item error. One or more items are set to default value.";
const char kDesktop[] = "C:\\Users\\bench\\Desktop";
const char kDocuments[] = "C:\\Users\\bench\\Documents";

// The 15 catalogue slots in catalogue order ("(empty)" for an empty slot).
std::vector<std::string> CatalogueTexts()
{
    const char* slots[CATALOGUE_SIZE] = {
        gAppTexts.labelTexts[LABEL_PORT_NO],           gAppTexts.labelTexts[LABEL_BAUDRATE],
        gAppTexts.labelTexts[LABEL_STORE_FOLDER],      gAppTexts.generalTexts[TEXT_WINDOW_TITLE],
        gAppTexts.generalTexts[TEXT_DESKTOP],          gAppTexts.generalTexts[TEXT_MY_DOCUMENTS],
        gAppTexts.generalTexts[TEXT_START],            gAppTexts.generalTexts[TEXT_CANCEL],
        gAppTexts.generalTexts[TEXT_CLOSE],            gAppTexts.generalTexts[TEXT_NOT_ENABLED],
        gAppTexts.generalTexts[TEXT_NO_ENABLE_PORTS],  gAppTexts.statusTexts[STATUS_READY],
        gAppTexts.statusTexts[STATUS_RECEIVING],       gAppTexts.statusTexts[STATUS_COMPLETE],
        gAppTexts.statusTexts[STATUS_TIMEOUT],
    };
    std::vector<std::string> texts;
    for (const char* s : slots) texts.push_back(s ? s : "(empty)");
    return texts;
}

// Defaults with some entries replaced.
std::vector<std::string> Expected(const std::map<int, std::string>& from)
{
    std::vector<std::string> texts(kDefaults, kDefaults + CATALOGUE_SIZE);
    for (const auto& entry : from) texts[entry.first] = entry.second;
    return texts;
}

// A line for every key with the text "<key> text", in catalogue order.
std::string CompleteFile(const char* ending = "\r\n")
{
    std::string file;
    for (const char* key : kKeys) file += std::string(key) + "," + key + " text" + ending;
    return file;
}
std::map<int, std::string> AllFromFile(int from = 0, int to = CATALOGUE_SIZE)
{
    std::map<int, std::string> texts;
    for (int i = from; i < to; i++) texts[i] = std::string(kKeys[i]) + " text";
    return texts;
}

std::vector<std::string> BoxTexts()
{
    std::vector<std::string> texts;
    for (const SimMessageBox& box : SimMessageBoxes()) {
        EXPECT_EQ(box.caption, "Error");
        EXPECT_EQ(box.style, (unsigned)(PLAT_MB_ICONWARNING | PLAT_MB_OK));
        EXPECT_EQ(box.owner, nullptr);
        texts.push_back(box.text);
    }
    return texts;
}

class MessageCatalogue : public ::testing::Test {
protected:
    std::string dir;

    void SetUp() override
    {
        char pattern[] = "/tmp/km740_messages_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        Fresh();
    }
    // A fresh machine with both folders known and an empty temp folder for the executable.
    void Fresh()
    {
        // Give back what an earlier run left before the heap count restarts.
        MessagesFreeAll();
        SimReset();
        std::filesystem::remove_all(dir);
        std::filesystem::create_directory(dir);
        SimSetModulePath((dir + "\\km740tool.exe").c_str());
        SimSetSpecialFolder(PLAT_CSIDL_DESKTOP, kDesktop);
        SimSetSpecialFolder(PLAT_CSIDL_PERSONAL, kDocuments);
    }
    void TearDown() override
    {
        MessagesFreeAll();
        EXPECT_EQ(SimHeapBlocksOutstanding(), 0);
        std::filesystem::remove_all(dir);
    }
    void Write(const std::string& bytes)
    {
        std::ofstream out(dir + "/message.csv", std::ios::binary);
        out << bytes;
    }
};

std::string Padded(const std::string& head, size_t length)
{
    return head + std::string(length - head.size(), 'y');
}

}  // namespace

TEST_F(MessageCatalogue, FilesGiveTextsDefaultsAndWarnings)
{
    struct Case {
        const char* what;
        std::string bytes;  // "\x01" stands for no file at all
        std::map<int, std::string> texts;
        std::vector<std::string> warnings;
    };
    std::string lowerCase;
    for (const char* key : kKeys) {
        std::string lower = key;
        for (char& c : lower) c = (char)tolower((unsigned char)c);
        lowerCase += lower + "," + key + " text\r\n";
    }
    std::string middleGap = CompleteFile();
    middleGap.insert(middleGap.find("START,"), "\r\n");
    const std::string title241 = Padded(" ", 241);
    std::string emptyStart = CompleteFile();
    emptyStart.replace(emptyStart.find("START,") + 6, 10, "");
    std::string noLastBreak = CompleteFile();
    noLastBreak.resize(noLastBreak.size() - 2);
    std::string noLastLf = CompleteFile("\n");
    noLastLf.pop_back();
    std::map<int, std::string> allButStart = AllFromFile();
    allButStart.erase(E_START);
    const Case cases[] = {
        {"no file", "\x01", {}, {kNotFound}},
        {"empty file", "", {}, {kItemError}},
        {"complete file", CompleteFile(), AllFromFile(), {}},
        {"keys in any letter case", lowerCase, AllFromFile(), {}},
        {"complete file then an empty line", CompleteFile() + "\r\n", AllFromFile(), {}},
        {"empty line in the middle loses the rest", middleGap, AllFromFile(0, E_START), {kItemError}},
        {"LF-only endings", CompleteFile("\n"), AllFromFile(), {}},
        {"last line without a line break", noLastBreak, AllFromFile(), {}},
        {"LF-only, last line without one", noLastLf, AllFromFile(), {}},
        {"CR-only endings: first line only", CompleteFile("\r"), AllFromFile(0, 1), {kItemError}},
        {"lines in any order, obsolete keys skipped",
         "VERSION,2\r\n" + CompleteFile().substr(CompleteFile().find("START,")) +
             CompleteFile().substr(0, CompleteFile().find("START,")) + "OLD_KEY,x\r\n",
         AllFromFile(), {}},
        {"start,Go sets the start caption", "start,Go\r\n", {{E_START, "Go"}}, {kItemError}},
        {"spaces, commas and quotes belong to the text",
         "NOT_ENABLED,is busy, try again\r\nSTART,  \"Go\" \r\n",
         {{E_NOT_ENABLED, "is busy, try again"}, {E_START, "  \"Go\" "}}, {kItemError}},
        {"key given twice: first non-empty text wins", "START,First\r\nSTART,Second\r\n",
         {{E_START, "First"}}, {kItemError}},
        {"empty text leaves the slot to a later line", "START,\r\nSTART,Later\r\n",
         {{E_START, "Later"}}, {kItemError}},
        {"empty text alone leaves the default", emptyStart, allButStart, {kItemError}},
        {"key with a leading space does not match", " START,Go\r\nCANCEL,Stop\r\n",
         {{E_START + 1, "Stop"}}, {kItemError}},
        {"UTF-8 mark skipped, texts converted", "\xEF\xBB\xBFSTART,Go\r\nCANCEL,\xC3\xA9t\xC3\xA9 \xE8\xA1\xA8\xFF",
         {{E_START, "Go"}, {E_START + 1, "\xE9t\xE9 ??"}}, {kItemError}},
        {"UTF-8 without the mark stays bytes", "CANCEL,\xC3\xA9\r\n", {{E_START + 1, "\xC3\xA9"}},
         {kItemError}},
        {"254 bytes + CR applied, its LF is no line of its own",
         "WINDOW_TITLE," + title241 + "\r\nSTART,Go\r\n", {{E_WINDOW_TITLE, title241}, {E_START, "Go"}},
         {kItemError}},
        {"254 bytes + LF applied", "WINDOW_TITLE," + title241 + "\nSTART,Go",
         {{E_WINDOW_TITLE, title241}, {E_START, "Go"}}, {kItemError}},
        {"254 bytes at the end of the file applied", "START,Go\r\nWINDOW_TITLE," + title241,
         {{E_WINDOW_TITLE, title241}, {E_START, "Go"}}, {kItemError}},
        {"255 bytes at the end of the file unapplied", "START,Go\r\nWINDOW_TITLE," + title241 + "y",
         {{E_START, "Go"}}, {kItemError}},
        {"the rest behind a CR is skipped up to its LF", "START,Go\r" + std::string(246, 'x') +
         "CANCEL,Oops\r\nCANCEL,Stop\r\n", {{E_START, "Go"}, {E_START + 1, "Stop"}}, {kItemError}},
        {"CR beyond byte 255 ends the parse unapplied",
         "WINDOW_TITLE," + title241 + "y\r\nSTART,Go\r\n", {}, {kItemError}},
        {"a line without a comma ends the parse", "START Go\nCANCEL,Stop", {}, {kItemError}},
        {"NUL before CR ends the parse", std::string("START,G\0o\r\nCANCEL,Stop\r\n", 23), {},
         {kItemError}},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(dir + "/message.csv");
        if (c.bytes != "\x01") Write(c.bytes);
        MessagesFreeAll();
        SimClearMessageBoxes();
        EXPECT_EQ(MessagesLoad(), 1) << c.what;
        EXPECT_EQ(CatalogueTexts(), Expected(c.texts)) << c.what;
        EXPECT_EQ(BoxTexts(), c.warnings) << c.what;
    }
    // In code page 932 a UTF-8 text becomes Shift-JIS; one the system cannot convert (its
    // code page is UTF-8 itself) stays as the file has it.
    for (int fails : {0, 1}) {
        Fresh();
        SimSetCodePage(932);
        if (fails) SimFail(SIM_OP_UTF8_TO_ANSI);
        Write("\xEF\xBB\xBF" "CANCEL,\xE8\xA1\xA8\xC3\xA9");
        MessagesLoad();
        EXPECT_EQ(CatalogueTexts()[E_START + 1], fails ? "\xE8\xA1\xA8\xC3\xA9" : "\x95\x5c?");
    }
}

TEST_F(MessageCatalogue, UnkeyedSlotsStayEmptyAndEveryBlockIsFreed)
{
    Write(CompleteFile());
    MessagesLoad();
    for (int i = 3; i < LABEL_SLOTS; i++) EXPECT_EQ(gAppTexts.labelTexts[i], nullptr) << i;
    for (int i = 8; i < GENERAL_SLOTS; i++) EXPECT_EQ(gAppTexts.generalTexts[i], nullptr) << i;
    EXPECT_EQ(SimHeapBlocksOutstanding(), CATALOGUE_SIZE + 2);
    // A second load frees what the first one held.
    MessagesLoad();
    EXPECT_EQ(SimHeapBlocksOutstanding(), CATALOGUE_SIZE + 2);
    MessagesFreeAll();
    EXPECT_EQ(SimHeapBlocksOutstanding(), 0);
    EXPECT_EQ(gAppTexts.desktopPath, nullptr);
    EXPECT_EQ(gAppTexts.documentsPath, nullptr);
}

TEST_F(MessageCatalogue, UnreadableFilesCountAsNotFound)
{
    struct {
        const char* what;
        void (*arrange)(const std::string& dir);
    } cases[] = {
        {"open fails", [](const std::string&) { SimFail(SIM_OP_FILE_OPEN); }},
        {"a folder named message.csv",
         [](const std::string& d) { std::filesystem::create_directory(d + "/message.csv"); }},
        // folder + "\" + "message.csv" + NUL is 261 bytes: the file is never opened by a cut path.
        {"folder too long for the path", [](const std::string& d) {
             std::string folder = d + "/" + std::string(248 - d.size() - 1, 'd');
             std::filesystem::create_directory(folder);
             std::ofstream(folder + "/message.csv", std::ios::binary) << "START,Go\r\n";
             SimSetModulePath((d + "\\" + folder.substr(d.size() + 1) + "\\k.exe").c_str());
         }},
    };
    for (const auto& c : cases) {
        Fresh();
        c.arrange(dir);
        EXPECT_EQ(MessagesLoad(), 1) << c.what;
        EXPECT_EQ(CatalogueTexts(), Expected({})) << c.what;
        EXPECT_EQ(BoxTexts(), std::vector<std::string>{kNotFound}) << c.what;
    }
}

TEST_F(MessageCatalogue, LongestFolderThatFitsStillFindsTheFile)
{
    std::string folder = dir + "/" + std::string(247 - dir.size() - 1, 'd');
    std::filesystem::create_directory(folder);
    std::ofstream(folder + "/message.csv", std::ios::binary) << "START,Go\r\n";
    SimSetModulePath((dir + "\\" + folder.substr(dir.size() + 1) + "\\k.exe").c_str());
    MessagesLoad();
    EXPECT_EQ(CatalogueTexts(), Expected({{E_START, "Go"}}));
}

TEST_F(MessageCatalogue, FolderPathsAndTheirWarnings)
{
    struct {
        const char* what;
        const char* desktop;
        const char* documents;
        int result;
        const char* desktopPath;
        const char* documentsPath;
        std::vector<std::string> warnings;
        int lookups;
    } cases[] = {
        {"both found", kDesktop, kDocuments, 1, kDesktop, kDocuments, {}, 2},
        {"Desktop missing: My Documents not looked up", nullptr, kDocuments, 0, nullptr, nullptr,
         {"Desktop folder not found."}, 1},
        {"My Documents missing", kDesktop, nullptr, 0, kDesktop, nullptr,
         {"My Documents folder not found."}, 2},
    };
    for (const auto& c : cases) {
        Fresh();
        Write(CompleteFile());
        SimSetSpecialFolder(PLAT_CSIDL_DESKTOP, c.desktop);
        SimSetSpecialFolder(PLAT_CSIDL_PERSONAL, c.documents);
        EXPECT_EQ(MessagesLoad(), c.result) << c.what;
        EXPECT_EQ(SimCalls(SIM_OP_SPECIAL_FOLDER), c.lookups) << c.what;
        EXPECT_EQ(BoxTexts(), c.warnings) << c.what;
        auto text = [](const char* s) { return std::string(s ? s : "(empty)"); };
        EXPECT_EQ(text(gAppTexts.desktopPath), text(c.desktopPath)) << c.what;
        EXPECT_EQ(text(gAppTexts.documentsPath), text(c.documentsPath)) << c.what;
        EXPECT_EQ(CatalogueTexts(), Expected(AllFromFile())) << c.what;
    }
}

TEST_F(MessageCatalogue, AtMostTwoWarningsInOrder)
{
    SimSetSpecialFolder(PLAT_CSIDL_DESKTOP, nullptr);
    EXPECT_EQ(MessagesLoad(), 0);
    EXPECT_EQ(BoxTexts(), (std::vector<std::string>{kNotFound, "Desktop folder not found."}));
}

TEST_F(MessageCatalogue, FillDefaultsReportsWhetherAnySlotWasEmpty)
{
    Write(CompleteFile());
    MessagesLoad();
    EXPECT_EQ(MessagesFillDefaults(0), 0) << "all 15 filled already";
    EXPECT_EQ(CatalogueTexts(), Expected(AllFromFile()));

    EXPECT_EQ(MessagesFillDefaults(1), 1);
    EXPECT_EQ(CatalogueTexts(), Expected({})) << "clearFirst replaces file texts by defaults";
    EXPECT_STREQ(gAppTexts.desktopPath, kDesktop) << "paths are never touched";
    EXPECT_STREQ(gAppTexts.documentsPath, kDocuments);
}

// The warning tells the user an item is missing even when its default cannot be copied.
TEST_F(MessageCatalogue, MissingItemIsReportedWhenItsDefaultCannotBeAllocated)
{
    std::string file = CompleteFile();
    file.erase(file.find("TIMEOUT,"));
    Write(file);
    SimFail(SIM_OP_HEAP_ALLOC, CATALOGUE_SIZE - 1, 1);
    MessagesLoad();
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{kItemError});
    EXPECT_EQ(gAppTexts.statusTexts[STATUS_TIMEOUT], nullptr);
    EXPECT_STREQ(gAppTexts.desktopPath, kDesktop);
}

// A box text places its values wherever its placeholders stand, in any letter case and as
// often as written; a value it leaves out follows on a line of its own; anything else (an
// unknown name, a format, a lone percent sign) and the values themselves stay as written.
TEST_F(MessageCatalogue, BoxTextsPlaceTheirValues)
{
    struct Case {
        const char* line;   // message.csv's line for NOT_CREATED ("": none)
        const char* path;
        const char* reason;
        const char* shown;
    };
    const Case cases[] = {
        {"", "C:\\a.csv", "Denied.", "The output file could not be created:\r\nC:\\a.csv\r\nDenied."},
        {"", "C:\\a.csv", "", "The output file could not be created:\r\nC:\\a.csv"},
        {"NOT_CREATED,No %path% (%REASON%)", "C:\\a.csv", "Denied.", "No C:\\a.csv (Denied.)"},
        {"not_created,%PATH%|%PATH%", "C:\\a.csv", "Denied.", "C:\\a.csv|C:\\a.csv\r\nDenied."},
        {"NOT_CREATED,%FOO% 5% %s%n %PATH", "C:\\a.csv", "", "%FOO% 5% %s%n %PATH\r\nC:\\a.csv"},
        {"NOT_CREATED,%REASON%:", "C:\\%REASON%", "Denied.", "Denied.:\r\nC:\\%REASON%"},
    };
    for (const Case& c : cases) {
        Fresh();
        Write(CompleteFile() + c.line + "\r\n");
        MessagesLoad();
        char text[256] = "";
        const TextValue values[] = {{"PATH", c.path, 1}, {"REASON", c.reason, 1}};
        AppendBoxText(text, sizeof text, BOX_NOT_CREATED, values, 2);
        EXPECT_EQ(std::string(text), c.shown) << c.line;
        EXPECT_TRUE(SimMessageBoxes().empty()) << c.line;
    }
    // Cut to the field between characters: a lead byte never stands alone at the end, and a
    // cut field takes nothing more, so no bare CR follows. A text that fills it exactly stays.
    Fresh();
    SimSetCodePage(932);
    Write(CompleteFile() + "NO_MEMORY,\x95\x5c\x8e\xa6\r\n");
    MessagesLoad();
    for (size_t size : {4, 5}) {
        char small[5];
        BoxField field;
        BoxFieldStart(&field, small, size);
        AppendBoxText(&field, BOX_NO_MEMORY, nullptr, 0);
        AppendCharacters(&field, "\r\n");
        EXPECT_EQ(std::string(small), size == 4 ? "\x95\x5c" : "\x95\x5c\x8e\xa6");
    }
    // A text that ends in a lead byte would swallow the line break after it: left out.
    Fresh();
    SimSetCodePage(932);
    Write(CompleteFile() + "NOT_CREATED,ab\x8e\r\n");
    MessagesLoad();
    char text[64] = "";
    const TextValue path[] = {{"PATH", "C:\\a.csv", 1}};
    AppendBoxText(text, sizeof text, BOX_NOT_CREATED, path, 1);
    EXPECT_EQ(std::string(text), "ab\r\nC:\\a.csv");
}

// The shipped catalogues give every key, each line within the 254 bytes a line may take before
// its CR LF (a longer one would end the parse and lose the rest of the file).
TEST_F(MessageCatalogue, ShippedCataloguesGiveEveryTextWithinTheLineLimit)
{
    for (const char* name : {"message.csv", "message-ja.csv"}) {
        Fresh();
        std::ifstream in(std::string(KM_SOURCE_DIR) + "/examples/" + name, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        int lines = 0;
        for (size_t start = 0, lf; start < bytes.size(); start = lf + 1, lines++) {
            lf = bytes.find('\n', start);
            ASSERT_NE(lf, std::string::npos) << name;
            EXPECT_EQ(bytes[lf - 1], '\r') << name << " line " << lines + 1;
            EXPECT_LE(lf - start, 255u) << name << " line " << lines + 1;
        }
        EXPECT_EQ(lines, CATALOGUE_SIZE + BOX_TEXT_COUNT) << name;
        Write(bytes);
        MessagesLoad();
        EXPECT_TRUE(SimMessageBoxes().empty()) << name;
        for (int box = 0; box < BOX_TEXT_COUNT; box++) EXPECT_NE(gAppTexts.boxTexts[box], nullptr) << name << " " << box;
    }
}
