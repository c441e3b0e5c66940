// The output file on the simulated platform: base name, candidate order, exclusive creation,
// path limits, byte-exact content and the three endings.
#include <string.h>
#include "tests/unit/download_fixture.h"

namespace {

class OutputFile : public DownloadFixture {
public:
    static std::string Candidate(int number)
    {
        return std::string(kBaseName) + (number <= 1 ? "" : "(" + std::to_string(number) + ")") +
               ".csv";
    }
    void TakeNumbers(const std::string& folder, int first, int last)
    {
        for (int n = first; n <= last; n++) Touch(folder + "/" + Candidate(n), "taken");
    }
    // A real folder whose path is exactly `length` bytes long.
    std::string FolderOfLength(size_t length)
    {
        std::string folder = root + "/";
        folder += std::string(length - folder.size(), 'f');
        mkdir(folder.c_str(), 0755);
        return folder;
    }
};

struct TimeRow {
    PlatTime time;
    const char* baseName;
};

TEST_F(OutputFile, BaseNameIsMonthDayYearThenHourMinuteSecond)
{
    const TimeRow rows[] = {
        {{2010, 2, 19, 14, 5, 9, 0}, "KM-740_02192010_140509"},
        {{2024, 12, 31, 23, 59, 59, 999}, "KM-740_12312024_235959"},
        {{2001, 1, 1, 0, 0, 0, 0}, "KM-740_01012001_000000"},
    };
    for (const TimeRow& row : rows) {
        SimSetLocalTime(row.time);
        char baseName[BASE_NAME_SIZE];
        memset(baseName, 'x', sizeof baseName);
        MakeBaseName(baseName);
        EXPECT_STREQ(baseName, row.baseName);
        EXPECT_EQ(strlen(baseName), 22u);
    }
}

struct CandidateRow {
    const char* name;
    std::vector<int> taken;   // 1 = the plain name
    int chosen;
};

TEST_F(OutputFile, FirstFreeCandidateInOrderWinsGapsIncluded)
{
    std::vector<int> upTo98;
    for (int n = 1; n <= 98; n++) upTo98.push_back(n);
    const CandidateRow rows[] = {
        {"none taken", {}, 1},
        {"plain taken", {1}, 2},
        {"plain and 2 taken", {1, 2}, 3},
        {"plain and 3 taken, 2 free", {1, 3}, 2},
        {"only 2 taken", {2}, 1},
        {"all but 99 taken", upTo98, 99},
    };
    for (const CandidateRow& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        for (int n : row.taken) Touch(desktop + "/" + Candidate(n), "taken");
        ASSERT_EQ(OutputFileCreate(window), 0);
        ASSERT_NE(gDownload.outputFile, nullptr);
        EXPECT_STREQ(gDownload.outputPath, (desktop + "\\" + Candidate(row.chosen)).c_str());
        EXPECT_EQ(Slurp(desktop + "/" + Candidate(row.chosen)), "");
        EXPECT_EQ(FilesIn(desktop).size(), row.taken.size() + 1);
        for (int n : row.taken) EXPECT_EQ(Slurp(desktop + "/" + Candidate(n)), "taken");
    }
}

TEST_F(OutputFile, AllNinetyNineTakenCreatesNothingAndNeverTriesOneHundred)
{
    SetFolders(desktop.c_str(), documents.c_str());
    TakeNumbers(desktop, 1, 99);
    EXPECT_EQ(OutputFileCreate(window), 2);
    EXPECT_EQ(OutputFileLastFailure(), OUTPUT_ALL_TAKEN);
    EXPECT_EQ(gDownload.outputFile, nullptr);
    EXPECT_EQ(gDownload.outputPath, nullptr);
    EXPECT_EQ(SimCalls(SIM_OP_FILE_OPEN), 99);
    EXPECT_EQ(SimCalls(SIM_OP_FILE_CREATE), 0);
    EXPECT_EQ(FilesIn(desktop).size(), 99u);
}

TEST_F(OutputFile, ExistingFileTheReadTestMissesIsNeverEmptied)
{
    // The read test fails although the file is there: unreadable, or created just now.
    Touch(desktop + "/" + Candidate(1), "someone's data");
    SimFail(SIM_OP_FILE_OPEN);
    ASSERT_EQ(OutputFileCreate(window), 0);
    EXPECT_STREQ(gDownload.outputPath, (desktop + "\\" + Candidate(2)).c_str());
    EXPECT_EQ(Slurp(desktop + "/" + Candidate(1)), "someone's data");
}

struct FolderRow {
    int selection;            // the destination list's selected item
    int inDocuments;
};

TEST_F(OutputFile, DestinationListChoosesTheFolder)
{
    const FolderRow rows[] = {{0, 0}, {1, 1}, {-1, 1}};
    for (const FolderRow& row : rows) {
        SCOPED_TRACE(row.selection);
        TearDown();
        SetUp();
        PlatComboSetCurSel(PlatGetDlgItem(window, IDC_STORE), row.selection);
        ASSERT_EQ(OutputFileCreate(window), 0);
        EXPECT_EQ(FilesIn(row.inDocuments ? documents : desktop).size(), 1u);
        EXPECT_EQ(FilesIn(row.inDocuments ? desktop : documents).size(), 0u);
    }
}

TEST_F(OutputFile, MissingDestinationListChangesNothing)
{
    SimRemoveControl(window, IDC_STORE);
    EXPECT_EQ(OutputFileCreate(window), 3);
    EXPECT_EQ(gDownload.outputPath, nullptr);
    EXPECT_EQ(SimCalls(SIM_OP_FILE_OPEN), 0);
}

struct LengthRow {
    const char* name;
    size_t folderLength;
    int lastTaken;            // candidates 1..lastTaken exist
    int result;
    int chosen;
};

TEST_F(OutputFile, CandidateThatWouldNotFitThePathLimitCreatesNothing)
{
    // A candidate adds 27 bytes to the folder, 30 with (2) to (9), 31 with (10) to (99).
    const LengthRow rows[] = {
        {"plain name fills 259 bytes", 232, 0, 0, 1},
        {"plain name would need 260", 233, 0, 2, 0},
        {"(2) would need 262", 232, 1, 2, 0},
        {"(99) fills 259 bytes", 228, 98, 0, 99},
        {"(99) would need 260", 229, 98, 2, 0},
    };
    for (const LengthRow& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        std::string folder = FolderOfLength(row.folderLength);
        SetFolders(folder.c_str(), folder.c_str());
        TakeNumbers(folder, 1, row.lastTaken);
        EXPECT_EQ(OutputFileCreate(window), row.result);
        EXPECT_EQ(FilesIn(folder).size(), (size_t)row.lastTaken + (row.result == 0 ? 1 : 0));
        if (row.result == 0) {
            EXPECT_STREQ(gDownload.outputPath, (folder + "\\" + Candidate(row.chosen)).c_str());
            EXPECT_EQ(strlen(gDownload.outputPath), 259u);
        } else {
            EXPECT_EQ(OutputFileLastFailure(), OUTPUT_PATH_TOO_LONG);
            EXPECT_EQ(gDownload.outputFile, nullptr);
            EXPECT_EQ(gDownload.outputPath, nullptr);
        }
    }
}

TEST_F(OutputFile, UnknownFolderCreatesNothingAnywhere)
{
    const char* folders[] = {"", nullptr};
    for (const char* folder : folders) {
        SCOPED_TRACE(folder ? "empty" : "none");
        TearDown();
        SetUp();
        FreeText(&gAppTexts.desktopPath);
        if (folder) {
            // SetTextOnce never stores an empty text; a slot could still hold one.
            gAppTexts.desktopPath = static_cast<char*>(PlatHeapAlloc(1));
            gAppTexts.desktopPath[0] = '\0';
        }
        std::vector<std::string> here = FilesIn(".");
        EXPECT_EQ(OutputFileCreate(window), 2);
        EXPECT_EQ(OutputFileLastFailure(), OUTPUT_NO_FOLDER);
        EXPECT_EQ(SimCalls(SIM_OP_FILE_OPEN) + SimCalls(SIM_OP_FILE_CREATE), 0);
        EXPECT_EQ(FilesIn("."), here);
    }
}

TEST_F(OutputFile, RefusedCreationKeepsTheNewPathAndOpensNothing)
{
    SimFail(SIM_OP_FILE_CREATE, 0, 1, 5);
    EXPECT_EQ(OutputFileCreate(window), 2);
    EXPECT_EQ(OutputFileLastFailure(), OUTPUT_CREATE_FAILED);
    EXPECT_EQ(gDownload.outputFile, nullptr);
    EXPECT_STREQ(gDownload.outputPath, (desktop + "\\" + Candidate(1)).c_str());
    char text[OUTPUT_FAILURE_TEXT_SIZE];
    OutputFileFailureText(text, sizeof text);
    EXPECT_EQ(std::string(text), "The output file could not be created:\r\n" + desktop + "\\" +
                                     Candidate(1) + "\r\nSystem error 5.");
}

TEST_F(OutputFile, PathThatCannotBeCopiedLeavesNoFileBehind)
{
    SimFail(SIM_OP_HEAP_ALLOC);
    EXPECT_EQ(OutputFileCreate(window), 2);
    EXPECT_EQ(OutputFileLastFailure(), OUTPUT_NO_MEMORY);
    EXPECT_EQ(gDownload.outputFile, nullptr);
    EXPECT_TRUE(FilesIn(desktop).empty());
}

TEST_F(OutputFile, EachCreationReplacesThePathWithoutLeaking)
{
    long before = SimHeapBlocksOutstanding();
    ASSERT_EQ(OutputFileCreate(window), 0);
    EXPECT_EQ(OutputFileClose(), 1);
    ASSERT_EQ(OutputFileCreate(window), 0);
    EXPECT_STREQ(gDownload.outputPath, (desktop + "\\" + Candidate(2)).c_str());
    EXPECT_EQ(SimHeapBlocksOutstanding(), before + 1);
    OutputFileRelease();
    EXPECT_EQ(SimHeapBlocksOutstanding(), before);
}

TEST_F(OutputFile, RecordsAreWrittenByteExactWithCRLFAndNothingElse)
{
    std::string everyByte;
    for (int b = 1; b <= 255; b++) everyByte += (char)b;
    ASSERT_EQ(OutputFileCreate(window), 0);
    EXPECT_EQ(OutputFileWrite("a, b ,c"), 1);
    EXPECT_EQ(OutputFileWrite(everyByte.c_str()), 1);
    EXPECT_EQ(OutputFileWrite(""), 1);
    EXPECT_EQ(OutputFileClose(), 1);
    EXPECT_EQ(gDownload.outputFile, nullptr);
    EXPECT_EQ(Slurp(desktop + "/" + Candidate(1)), "a, b ,c\r\n" + everyByte + "\r\n\r\n");
    EXPECT_EQ(OutputFileWrite("late"), 0);
}

struct EndingRow {
    const char* name;
    void (*end)(void);
    int fileKept;
    int pathKept;
    uint32_t sleptMs;
};

void EndByClose(void) { OutputFileClose(); }
void EndByDiscard(void) { OutputFileDiscard(); }

TEST_F(OutputFile, EachEndingClosesTheFileAndKeepsOrDeletesIt)
{
    const EndingRow rows[] = {
        {"close", EndByClose, 1, 1, 0},
        {"discard", EndByDiscard, 0, 1, 250},
        {"release", OutputFileRelease, 1, 0, 0},
    };
    for (const EndingRow& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        ASSERT_EQ(OutputFileCreate(window), 0);
        OutputFileWrite("AB");
        row.end();
        EXPECT_EQ(gDownload.outputFile, nullptr);
        EXPECT_EQ(gDownload.outputPath != nullptr, row.pathKept != 0);
        EXPECT_EQ(FilesIn(desktop).size(), (size_t)row.fileKept);
        if (row.fileKept) {
            EXPECT_EQ(Slurp(desktop + "/" + Candidate(1)), "AB\r\n");
        }
        EXPECT_EQ(SimSleptMs(), row.sleptMs);
        // A second ending finds nothing open and does nothing.
        row.end();
        EXPECT_EQ(SimSleptMs(), row.sleptMs);
    }
}

}  // namespace

// A station's file: written as NAME.part, named NAME.csv only once it is synced and closed,
// and kept as NAME.part when that could not be done. Both forms of a name count as taken.
struct SealRow {
    const char* name;
    std::vector<std::string> present;   // files in the folder before the creation
    int failOp;                         // SimOp to fail during the seal, -1 for none
    int chosen;                         // the candidate number made
    int sealed;                         // OutputFileSeal's result
    int keepsPart;                      // the file ends as NAME.part
};

TEST_F(OutputFile, PartFileIsNamedOnlyWhenSyncedAndKeepsPartWhenNot)
{
    const SealRow rows[] = {
        {"a free name", {}, -1, 1, 1, 0},
        {"a .part of that second counts as taken", {Candidate(1) + ".part"}, -1, 2, 1, 0},
        {"so does the .csv", {Candidate(1), Candidate(2) + ".part"}, -1, 3, 1, 0},
        {"the sync fails", {}, SIM_OP_FILE_SYNC, 1, 0, 1},
        {"the rename fails", {}, SIM_OP_FILE_RENAME, 1, 0, 1},
    };
    for (const SealRow& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        for (const std::string& name : row.present) Touch(desktop + "/" + name, "taken");
        ASSERT_EQ(OutputFileCreatePartIn(desktop.c_str()), 0);
        std::string part = desktop + "/" + Candidate(row.chosen) + ".part";
        EXPECT_STREQ(gDownload.outputPath, (desktop + "\\" + Candidate(row.chosen)).c_str());
        ASSERT_TRUE(OutputFileWrite("a,b"));
        EXPECT_EQ(Slurp(part), "a,b\r\n");
        if (row.failOp >= 0) SimFail((SimOp)row.failOp, 0, 1, 5);
        int syncsBefore = SimFileSyncs();
        EXPECT_EQ(OutputFileSeal(), row.sealed);
        EXPECT_EQ(gDownload.outputFile, nullptr);
        EXPECT_EQ(SimFileSyncs() - syncsBefore, row.failOp == SIM_OP_FILE_SYNC ? 0 : 1);
        std::string kept = row.keepsPart ? part : desktop + "/" + Candidate(row.chosen);
        EXPECT_EQ(Slurp(kept), "a,b\r\n");
        EXPECT_EQ(FilesIn(desktop).size(), row.present.size() + 1);
        EXPECT_EQ(std::string(OutputFileWrittenPath()),
                  desktop + "\\" + Candidate(row.chosen) + (row.keepsPart ? ".part" : ""));
        for (const std::string& name : row.present) EXPECT_EQ(Slurp(desktop + "/" + name), "taken");
    }
    // The window's own file, made under its name at once, skips a name a station writes.
    TearDown();
    SetUp();
    Touch(desktop + "/" + Candidate(1) + ".part", "taken");
    ASSERT_EQ(OutputFileCreate(window), 0);
    EXPECT_STREQ(gDownload.outputPath, (desktop + "\\" + Candidate(2)).c_str());
}
