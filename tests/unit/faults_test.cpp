// Faults injected into the simulated platform during a download: reads that fail for a while,
// a port handle that will not close, a cancelled file that cannot be deleted, a download
// timer that cannot be set at each step, and ticks that come late. Each has one defined
// outcome the user can see.
#include <string.h>
#include "tests/unit/download_fixture.h"

namespace {

class Faults : public DownloadFixture {
public:
    int BoxSays(const char* words, size_t index = 0)
    {
        return SimMessageBoxes().size() > index &&
               SimMessageBoxes()[index].text.find(words) != std::string::npos;
    }
    void ExpectWarningBox(const SimMessageBox& box)
    {
        EXPECT_EQ(box.owner, window);
        EXPECT_EQ(box.caption, "ERROR");
        EXPECT_EQ(box.style, (unsigned)(PLAT_MB_ICONWARNING | PLAT_MB_OK));
    }
};

// ---------------------------------------------------------------- failing reads

struct ReadFaultRow {
    const char* name;
    int readLimit;        // bytes per successful read, -1 = all that is queued
    int skip;             // successful reads before the failures
    int count;            // failing reads (-1: every later one)
    int status;
    const char* file;
};

TEST_F(Faults, FailedReadsLoseNoByteAndCountAsSilence)
{
    const ReadFaultRow rows[] = {
        {"one failure before anything arrived", -1, 0, 1, STATUS_COMPLETE, "AB\r\nCD\r\n"},
        {"one failure in the middle of a record", 3, 2, 1, STATUS_COMPLETE, "AB\r\nCD\r\n"},
        {"failures every read for 29 s", 3, 1, 290, STATUS_COMPLETE, "AB\r\nCD\r\n"},
        // Three reads of 3 bytes: STX, "AB" and "CD" arrived, then the port fails for good.
        {"failures for good after the first record", 3, 3, -1, STATUS_TIMEOUT, "AB\r\n"},
    };
    for (const ReadFaultRow& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        SimSetReadLimit(row.readLimit);
        StartAndBegin();
        SimFail(SIM_OP_READ_FILE, row.skip, row.count);
        Feed(STX + "AB\r\nCD\r\n" + ETX);
        int ticks = RunToIdle(2000);
        EXPECT_LT(ticks, 2000);
        EXPECT_EQ(gStatus.statusIndex, row.status);
        EXPECT_EQ(Slurp(FilePath()), row.file);
        EXPECT_GT(SimCalls(SIM_OP_READ_FILE), row.skip);
        ExpectIdleWindow();
        EXPECT_TRUE(SimMessageBoxes().empty());
    }
}

// ---------------------------------------------------------------- late ticks

struct LateRow {
    const char* name;
    int emptyLines;        // empty lines between STX and the record
    uint32_t pause;        // the machine stands still between the read and the next tick
};

TEST_F(Faults, DataAlreadyReceivedIsNeverTakenForSilence)
{
    const LateRow rows[] = {
        {"400 empty lines, each handled at its own tick", 400, 0},
        {"one empty line, the machine asleep for 31 s after the read", 1, 31000},
        {"no empty line, the machine asleep for 60 s after the read", 0, 60000},
    };
    for (const LateRow& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        StartAndBegin();
        std::string blank;
        for (int i = 0; i < row.emptyLines; i++) blank += "\r\n";
        Feed(STX + blank + "AB\r\n" + ETX);
        ASSERT_TRUE(Tick());  // the read
        SimAdvance(row.pause);
        RunToIdle();
        EXPECT_EQ(gStatus.statusIndex, STATUS_COMPLETE);
        EXPECT_EQ(Slurp(FilePath()), "AB\r\n");
    }
}

TEST_F(Faults, SilenceAfterAnEmptyLineStillEndsTheDownload)
{
    StartAndBegin();
    Feed(STX + "AB\r\n\r\n");
    RunToIdle();
    EXPECT_EQ(gStatus.statusIndex, STATUS_TIMEOUT);
    EXPECT_EQ(Slurp(FilePath()), "AB\r\n");
    EXPECT_LT(SimNow(), 250u + 250u + 30000u + 200u + 250u);
}

// ---------------------------------------------------------------- port handle will not close

TEST_F(Faults, PortHandleThatWillNotCloseDoesNotChangeTheOutcome)
{
    // The finish step: the file is whole, so the download is complete.
    StartAndBegin();
    Feed(STX + "AB\r\n" + ETX);
    SimFail(SIM_OP_CLOSE_HANDLE);
    RunToIdle();
    EXPECT_EQ(SimCalls(SIM_OP_CLOSE_HANDLE), 1);
    EXPECT_EQ(gStatus.statusIndex, STATUS_COMPLETE);
    EXPECT_EQ(Slurp(FilePath()), "AB\r\n");
    EXPECT_FALSE(CommIsOpen());
    ExpectIdleWindow();
    EXPECT_TRUE(SimMessageBoxes().empty());

    // The device is still held by the handle the system kept, so the next start is refused
    // like any port in use, and the window is ready again.
    DownloadToggle(window);
    Tick();
    ASSERT_EQ(SimMessageBoxes().size(), 1u);
    EXPECT_EQ(SimMessageBoxes()[0].text, "COM1 is not enabled.");
    EXPECT_EQ(FilesIn(desktop), std::vector<std::string>{std::string(kBaseName) + ".csv"});
    ExpectIdleWindow();
}

TEST_F(Faults, CancelWithAPortHandleThatWillNotCloseStillDeletesTheFile)
{
    StartAndBegin();
    Feed(STX + "AB\r\n");
    Tick();
    Tick();
    SimFail(SIM_OP_CLOSE_HANDLE);
    DownloadToggle(window);
    EXPECT_FALSE(CommIsOpen());
    EXPECT_TRUE(FilesIn(desktop).empty());
    EXPECT_EQ(gStatus.statusIndex, STATUS_READY);
    ExpectIdleWindow();
    EXPECT_TRUE(SimMessageBoxes().empty());
}

// ---------------------------------------------------------------- cancelled file not deleted

TEST_F(Faults, CancelledFileThatCannotBeDeletedIsNamedToTheUser)
{
    StartAndBegin();
    Feed(STX + "AB\r\n");
    Tick();
    Tick();
    SimFail(SIM_OP_FILE_REMOVE, 0, 1, 32);  // ERROR_SHARING_VIOLATION: a viewer holds it
    DownloadToggle(window);
    EXPECT_EQ(SimCalls(SIM_OP_FILE_REMOVE), 1);
    // The file stays, whole, and the user is told where it is and why.
    EXPECT_EQ(Slurp(FilePath()), "AB\r\n");
    EXPECT_EQ(gStatus.statusIndex, STATUS_READY);
    EXPECT_FALSE(CommIsOpen());
    ExpectIdleWindow();
    ASSERT_EQ(SimMessageBoxes().size(), 1u);
    ExpectWarningBox(SimMessageBoxes()[0]);
    std::string expected = "The download was cancelled, but its file could not be deleted:\r\n" +
                           desktop + "\\" + kBaseName + ".csv\r\nSystem error 32.";
    EXPECT_EQ(SimMessageBoxes()[0].text, expected);

    // The next download in the same second takes the next free name.
    SimClearMessageBoxes();
    StartAndBegin();
    EXPECT_EQ(FilesIn(desktop).size(), 2u);
    EXPECT_TRUE(SimMessageBoxes().empty());
}

TEST_F(Faults, CancelAfterAFailedWriteReportsTheFileLeftNotTheWrite)
{
    StartAndBegin();
    Feed(STX + "AB\r\n");
    Tick();
    Tick();
    // The disk fills: the next record is refused and the poll ends the data set.
    fclose(gDownload.outputFile);
    gDownload.outputFile = fopen("/dev/full", "wb");
    ASSERT_NE(gDownload.outputFile, nullptr);
    Feed("CD\r\n");
    Tick();
    Tick();
    ASSERT_EQ(gDownload.phase, PHASE_FINISH);
    SimFail(SIM_OP_FILE_REMOVE);
    DownloadToggle(window);
    ASSERT_EQ(SimMessageBoxes().size(), 1u);
    EXPECT_TRUE(BoxSays("could not be deleted")) << SimMessageBoxes()[0].text;
    EXPECT_EQ(gStatus.statusIndex, STATUS_READY);
    ExpectIdleWindow();
}

TEST_F(Faults, RefusedPortAndAFileThatCannotBeDeletedAreToldInOneBox)
{
    // The second NOT_ENABLED text ends in a lead byte (cut in the file mid-character), which
    // would swallow the line break behind it: it is left out.
    for (const char* notEnabled : {"is not enabled.", "is off\x8e"}) {
        TearDown();
        SetUp();
        SimSetCodePage(932);
        FreeText(&gAppTexts.generalTexts[TEXT_NOT_ENABLED]);
        SetTextOnce(&gAppTexts.generalTexts[TEXT_NOT_ENABLED], notEnabled);
        SimSetPort(1, SIM_PORT_ABSENT);
        SimFail(SIM_OP_FILE_REMOVE, 0, 1, 5);
        DownloadToggle(window);
        Tick();
        EXPECT_EQ(FilesIn(desktop).size(), 1u);
        ASSERT_EQ(SimMessageBoxes().size(), 1u);
        // Nobody cancelled: the box says the port refused and the empty file stayed.
        EXPECT_EQ(SimMessageBoxes()[0].text,
                  "COM1 is " + std::string(notEnabled[3] == 'n' ? "not enabled." : "off") +
                      "\r\nThe download could not start, and its new, empty file could not be "
                      "deleted:\r\n" + desktop + "\\" + kBaseName + ".csv\r\nSystem error 5.");
        ExpectIdleWindow();
    }
}

// ---------------------------------------------------------------- timer not set

struct TimerFaultRow {
    const char* name;
    std::string bytes;     // sent by the device after the begin step
    int armsBefore;        // timers set successfully before the one that fails
    int status;
    int fileExists;
    const char* file;
    const char* boxText;   // null: no box
};

TEST_F(Faults, TimerThatCannotBeSetNeverLeavesTheDownloadStandingStill)
{
    const TimerFaultRow rows[] = {
        {"at Start", "", 0, STATUS_READY, 0, "", "so the download could not start."},
        {"after the begin step", "", 1, STATUS_TIMEOUT, 1, "", "so the download was ended early."},
        {"between polls, inside the data set", STX + "AB\r\n", 3, STATUS_TIMEOUT, 1, "AB\r\n",
         "so the download was ended early."},
        // The data set is whole: the finish step runs at once, with nothing to warn about.
        {"after ETX, before the finish step", STX + "AB\r\n" + ETX, 3, STATUS_COMPLETE, 1,
         "AB\r\n", nullptr},
    };
    // The invalidations made before the last SetTimer call, the one that failed.
    static size_t invalidationsAtArm;
    for (const TimerFaultRow& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        SimObserveCalls([](SimCall call, uint32_t) {
            if (call == SIM_CALL_SET_TIMER) invalidationsAtArm = SimInvalidations().size();
        });
        SimFail(SIM_OP_SET_TIMER, row.armsBefore, 1, 1400);  // ERROR_INVALID_WINDOW_HANDLE
        DownloadToggle(window);
        // The device sends once the begin step has opened (and purged) the port.
        if (row.armsBefore > 0) {
            ASSERT_TRUE(Tick());
            Feed(row.bytes);
        }
        RunToIdle(100);
        EXPECT_EQ(SimCalls(SIM_OP_SET_TIMER), row.armsBefore + 1);
        EXPECT_FALSE(CommIsOpen());
        EXPECT_EQ(gDownload.outputFile, nullptr);
        EXPECT_EQ(gStatus.statusIndex, row.status);
        EXPECT_EQ(FilesIn(desktop).size(), (size_t)row.fileExists);
        if (row.fileExists) {
            EXPECT_EQ(Slurp(FilePath()), row.file);
        }
        ExpectIdleWindow();
        EXPECT_EQ(gDownload.transferState, XFER_IDLE);
        // The status area is painted again after the failure, so it shows the outcome.
        ASSERT_GT(SimInvalidations().size(), invalidationsAtArm);
        EXPECT_EQ(SimInvalidations().back().rect.top, gStatus.statusRect.top);
        SimObserveCalls(nullptr);
        if (row.boxText == nullptr) {
            EXPECT_TRUE(SimMessageBoxes().empty());
            continue;
        }
        ASSERT_EQ(SimMessageBoxes().size(), 1u);
        ExpectWarningBox(SimMessageBoxes()[0]);
        EXPECT_EQ(SimMessageBoxes()[0].text, std::string("The download timer could not be set, ") +
                                                 row.boxText + "\r\nSystem error 1400.");

        // The window works again: the next download runs to its end.
        SimClearMessageBoxes();
        SimSetLocalTime(PlatTime{2010, 2, 19, 14, 6, 0, 0});
        StartAndBegin();
        Feed(STX + "EF\r\n" + ETX);
        RunToIdle();
        EXPECT_EQ(gStatus.statusIndex, STATUS_COMPLETE);
        EXPECT_TRUE(SimMessageBoxes().empty());
    }
}

TEST_F(Faults, SecondStartWhoseTimerCannotBeSetStopsTheFirstOneToo)
{
    DownloadToggle(window);
    ASSERT_EQ(SimTimers().size(), 1u);
    SimFail(SIM_OP_SET_TIMER, 0, 1);
    DownloadToggle(window);
    // No tick of the first press is left to begin a download behind the box.
    EXPECT_TRUE(SimTimers().empty());
    EXPECT_EQ(RunToIdle(), 0);
    EXPECT_TRUE(FilesIn(desktop).empty());
    EXPECT_FALSE(CommIsOpen());
    EXPECT_EQ(gStatus.statusIndex, STATUS_READY);
    ExpectIdleWindow();
    ASSERT_EQ(SimMessageBoxes().size(), 1u);
}

}  // namespace
