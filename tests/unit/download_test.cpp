// The download control on the simulated platform: phases, the device's lines, the time-out,
// cancel, the shown record, and recovery from a failed begin step, write or port.
#include <errno.h>
#include <string.h>
#include <random>
#include "tests/unit/download_fixture.h"

namespace {

class DownloadControl : public DownloadFixture {
public:
    uint32_t ArmedInterval()
    {
        return SimTimers().size() == 1 ? SimTimers()[0].interval : 0;
    }
};

// ---------------------------------------------------------------- phase transitions

struct PhaseRow {
    const char* name;
    void (*arrange)(DownloadControl& test);  // brings the download into the row's phase
    int pressButton;                         // the event: 1 = button, 0 = tick
    int nextPhase;
    uint32_t nextInterval;                   // 0 = no tick pending
    int repaints;                            // the status area is invalidated
};

void ArrangeIdle(DownloadControl&) {}
void ArrangeOpen(DownloadControl& t) { DownloadToggle(t.window); }
void ArrangeOpenPortMissing(DownloadControl& t)
{
    SimSetPort(1, SIM_PORT_ABSENT);
    DownloadToggle(t.window);
}
void ArrangeOpenNoFolder(DownloadControl& t)
{
    DownloadFixture::SetFolders("", "");
    DownloadToggle(t.window);
}
void ArrangeOpenNoList(DownloadControl& t)
{
    DownloadToggle(t.window);
    SimRemoveControl(t.window, IDC_STORE);
}
void ArrangeReceive(DownloadControl& t) { t.StartAndBegin(); }
void ArrangeReceiveEnding(DownloadControl& t)
{
    t.StartAndBegin();
    DownloadFixture::Feed(STX + "A,1\r\n" + ETX);
    t.Tick();  // the read
}
void ArrangeFinish(DownloadControl& t)
{
    ArrangeReceiveEnding(t);
    t.Tick();  // the lines: ETX ends the data set
    ASSERT_EQ(gDownload.phase, PHASE_FINISH);
}

TEST_F(DownloadControl, EachPhaseTransitionLeadsToItsPhaseAndNextTick)
{
    const PhaseRow rows[] = {
        {"idle, button", ArrangeIdle, 1, PHASE_OPEN, 250, 0},
        {"open, button again", ArrangeOpen, 1, PHASE_OPEN, 250, 0},
        {"open, begin succeeds", ArrangeOpen, 0, PHASE_RECEIVE, 250, 1},
        {"open, port fails", ArrangeOpenPortMissing, 0, PHASE_IDLE, 0, 1},
        {"open, no file", ArrangeOpenNoFolder, 0, PHASE_IDLE, 0, 1},
        {"open, no destination list", ArrangeOpenNoList, 0, PHASE_IDLE, 0, 1},
        {"receive, nothing arrives", ArrangeReceive, 0, PHASE_RECEIVE, 100, 0},
        {"receive, a record then ETX", ArrangeReceiveEnding, 0, PHASE_FINISH, 250, 1},
        {"receive, button", ArrangeReceive, 1, PHASE_IDLE, 0, 1},
        {"finish, button", ArrangeFinish, 1, PHASE_IDLE, 0, 1},
        {"finish, tick", ArrangeFinish, 0, PHASE_IDLE, 0, 1},
    };
    for (const PhaseRow& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        row.arrange(*this);
        size_t invalidations = SimInvalidations().size();
        if (row.pressButton)
            DownloadToggle(window);
        else
            ASSERT_TRUE(Tick());
        EXPECT_EQ(gDownload.phase, row.nextPhase);
        EXPECT_EQ(ArmedInterval(), row.nextInterval);
        EXPECT_EQ(gDownload.timerId, row.nextInterval ? (unsigned)DOWNLOAD_TIMER_ID : 0u);
        if (row.nextInterval) {
            EXPECT_EQ(SimTimers()[0].due, SimNow() + row.nextInterval);
        }
        EXPECT_EQ(SimInvalidations().size() > invalidations, row.repaints != 0);
    }
}

TEST_F(DownloadControl, StartDisablesListsShowsCancelAndWaitsForTheFirstTick)
{
    DownloadToggle(window);
    EXPECT_EQ(ControlEnabled(IDC_PORT), 0);
    EXPECT_EQ(ControlEnabled(IDC_BAUD), 0);
    EXPECT_EQ(ControlEnabled(IDC_STORE), 0);
    EXPECT_EQ(ControlEnabled(IDC_CLOSE), 1);
    EXPECT_EQ(StartCaption(), "Cancel");
    EXPECT_EQ(gDownload.transferState, XFER_WAIT_STX);
    EXPECT_EQ(gStatus.statusIndex, STATUS_RECEIVING);
    EXPECT_TRUE(SimInvalidations().empty());
    EXPECT_TRUE(FilesIn(desktop).empty());

    ASSERT_TRUE(Tick());
    EXPECT_EQ(FilesIn(desktop), std::vector<std::string>{std::string(kBaseName) + ".csv"});
    EXPECT_TRUE(CommIsOpen());
    EXPECT_EQ(SimPort(1).dcb.BaudRate, 9600u);
    ASSERT_EQ(SimInvalidations().size(), 1u);
    EXPECT_EQ(SimInvalidations()[0].rect.top, gStatus.statusRect.top);
    EXPECT_EQ(SimInvalidations()[0].erase, 1);
    EXPECT_EQ(gDownload.lastActivityTick, 250u);
}

TEST_F(DownloadControl, PressingStartTwiceBeforeTheBeginStepRunsOneDownload)
{
    DownloadToggle(window);
    SimAdvance(200);
    DownloadToggle(window);
    EXPECT_EQ(StartCaption(), "Cancel");
    ASSERT_EQ(SimTimers().size(), 1u);
    EXPECT_EQ(SimTimers()[0].due, 450u);
    ASSERT_TRUE(Tick());
    EXPECT_EQ(SimNow(), 450u);
    Feed(STX + "A,1\r\n" + ETX);
    RunToIdle();
    EXPECT_EQ(SimPort(1).opens, 1);
    EXPECT_EQ(FilesIn(desktop).size(), 1u);
    EXPECT_EQ(gStatus.statusIndex, STATUS_COMPLETE);
}

TEST_F(DownloadControl, ATickLeftInTheQueueAfterCancelDoesNothing)
{
    StartAndBegin();
    DownloadToggle(window);
    EXPECT_EQ(DownloadOnTimer(window, DOWNLOAD_TIMER_ID), 0);
    EXPECT_EQ(gDownload.phase, PHASE_IDLE);
    EXPECT_TRUE(SimTimers().empty());
}

// ---------------------------------------------------------------- the device's lines

struct StreamRow {
    const char* name;
    std::string bytes;     // everything the device sends, delivered in one read
    std::string file;      // the file afterwards
    int status;
};

TEST_F(DownloadControl, DeviceStreamsEndWithTheirFileAndStatus)
{
    const StreamRow rows[] = {
        {"complete set", STX + "A,1\r\nB, 2 ,x\r\n" + ETX, "A,1\r\nB, 2 ,x\r\n", STATUS_COMPLETE},
        {"no records", STX + ETX, "", STATUS_COMPLETE},
        {"empty lines skipped", "\r\n" + STX + "\r\nAB\r\n\r\nCD\r\n" + ETX, "AB\r\nCD\r\n",
         STATUS_COMPLETE},
        {"record before STX", "AB\r\n" + STX + "CD\r\n" + ETX, "", STATUS_TIMEOUT},
        {"STX inside the set", STX + "AB\r\n" + STX + "CD\r\n" + ETX, "AB\r\n", STATUS_TIMEOUT},
        {"one-character record", STX + "AB\r\nx\r\nCD\r\n" + ETX, "AB\r\n", STATUS_TIMEOUT},
        {"bytes after ETX", STX + "AB\r\n" + ETX + "CD\r\n" + ETX, "AB\r\n", STATUS_COMPLETE},
        {"NUL inside a record", STX + std::string("AB\0CD\r\n", 7) + ETX, "AB\r\n",
         STATUS_COMPLETE},
        {"line starting with NUL is empty", STX + std::string("\0XY\r\nAB\r\n", 9) + ETX,
         "AB\r\n", STATUS_COMPLETE},
        {"lone CR and LF stay in a record", STX + "A\rB\nC\r\r\n" + ETX, "A\rB\nC\r\r\n",
         STATUS_COMPLETE},
        {"STX with a NUL tail", std::string("\x02\0z\r\n", 5) + "AB\r\n" + ETX, "AB\r\n",
         STATUS_COMPLETE},
    };
    for (const StreamRow& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        StartAndBegin();
        Feed(row.bytes);
        RunToIdle();
        EXPECT_EQ(Slurp(FilePath()), row.file);
        EXPECT_EQ(gStatus.statusIndex, row.status);
        EXPECT_STREQ(gStatus.lastRecord, "");
        EXPECT_EQ(gDownload.transferState, XFER_IDLE);
        EXPECT_FALSE(CommIsOpen());
        EXPECT_EQ(gDownload.outputFile, nullptr);
        EXPECT_TRUE(SimMessageBoxes().empty());
        ExpectIdleWindow();
    }
}

TEST_F(DownloadControl, RecordsAreShownAndWrittenWithoutAPause)
{
    StartAndBegin();
    Feed(STX + "first\r\nsecond\r\n");
    Tick();  // read
    size_t invalidations = SimInvalidations().size();
    int updates = SimUpdateWindowCalls();
    int sleeps = SimSleepCalls();
    uint32_t before = SimNow();
    Tick();  // lines
    EXPECT_STREQ(gStatus.lastRecord, "second");
    EXPECT_EQ(SimInvalidations().size(), invalidations + 2);
    EXPECT_EQ(SimUpdateWindowCalls(), updates + 2);
    // A pause per record lasts a whole 15.6 ms timer tick on Windows: none is taken, and the
    // tick takes no virtual time at all (no read waits either).
    EXPECT_EQ(SimSleepCalls(), sleeps);
    EXPECT_EQ(SimSleptMs(), 0u);
    EXPECT_EQ(SimNow(), before + DOWNLOAD_POLL_MS);
    // Records are in the file while the download still runs.
    EXPECT_EQ(Slurp(FilePath()), "first\r\nsecond\r\n");
}

// The record each repaint shows, in order.
std::vector<std::string> gPainted;
void NotePaint(SimCall call, uint32_t)
{
    if (call == SIM_CALL_REPAINT) gPainted.push_back(gStatus.lastRecord);
}

struct PaintPoll {
    uint32_t at;                        // ms after the row's first poll
    std::vector<std::string> records;   // the records that poll handles
};

struct PaintRow {
    const char* name;
    uint32_t startTick;
    std::vector<PaintPoll> polls;
    std::vector<std::string> painted;
};

TEST_F(DownloadControl, RecordsArePaintedAtMostOncePerFrameAndTheLastByThePollsEnd)
{
    const PaintRow rows[] = {
        {"one record", 1000, {{0, {"AA"}}}, {"AA"}},
        {"a frame's records: the first at once, the last at the end", 1000,
         {{0, {"AA", "BB", "CC", "DD"}}}, {"AA", "DD"}},
        {"the next poll within the frame", 1000, {{0, {"AA", "BB"}}, {15, {"CC", "DD"}}},
         {"AA", "BB", "DD"}},
        {"the next poll a frame later", 1000, {{0, {"AA", "BB"}}, {16, {"CC", "DD"}}},
         {"AA", "BB", "CC", "DD"}},
        {"a frame later across the tick's wrap", 0xFFFFFFF8u, {{0, {"AA", "BB"}}, {20, {"CC", "DD"}}},
         {"AA", "BB", "CC", "DD"}},
    };
    for (const PaintRow& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        StartAndBegin();
        Feed(STX);
        gPainted.clear();
        SimObserveCalls(NotePaint);
        for (const PaintPoll& poll : row.polls) {
            SimSetTick(row.startTick + poll.at);
            for (const std::string& record : poll.records) Feed(record + "\r\n");
            DownloadPoll(window);  // reads them
            DownloadPoll(window);  // handles them
        }
        SimObserveCalls(nullptr);
        EXPECT_EQ(gPainted, row.painted);
        EXPECT_STREQ(gStatus.lastRecord, row.polls.back().records.back().c_str());
    }
}

TEST_F(DownloadControl, LinesBehindAnEmptyLineWaitForTheNextTick)
{
    StartAndBegin();
    Feed(STX + "\r\nAB\r\n");
    Tick();  // read
    Tick();  // STX, then the empty line stops the tick's lines
    EXPECT_EQ(gDownload.transferState, XFER_RECORDS);
    EXPECT_STREQ(gStatus.lastRecord, "");
    Tick();
    EXPECT_STREQ(gStatus.lastRecord, "AB");
}

struct ShownRow {
    const char* name;
    int codePage;
    std::string record;
    size_t shownLength;
};

TEST_F(DownloadControl, LongRecordsGoWholeToTheFileAndAreShownCutBetweenCharacters)
{
    std::string ascii200(200, 'a');
    // 126 single bytes then a double-byte character: byte 127 would be its lead byte alone.
    std::string dbcs = std::string(126, 'b') + "\x82\xA0" + "cc";
    std::string dbcsFits = std::string(125, 'b') + "\x82\xA0" + "cc";
    const ShownRow rows[] = {
        {"127 bytes", 1252, std::string(127, 'x'), 127},
        {"200 bytes", 1252, ascii200, 127},
        {"double-byte char across the end", 932, dbcs, 126},
        {"double-byte char ending at 127", 932, dbcsFits, 127},
        {"same bytes, single-byte code page", 1252, dbcs, 127},
    };
    for (const ShownRow& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        SimSetCodePage(row.codePage);
        StartAndBegin();
        Feed(STX + row.record + "\r\n");
        Tick();
        Tick();
        EXPECT_EQ(std::string(gStatus.lastRecord), row.record.substr(0, row.shownLength));
        EXPECT_EQ(Slurp(FilePath()), row.record + "\r\n");
    }
}

// ---------------------------------------------------------------- the time-out

struct SilenceRow {
    const char* name;
    uint32_t beginTick;
    uint32_t silence;
    int goesOn;
};

TEST_F(DownloadControl, SilenceEndsThePollOnlyAfterMoreThan30Seconds)
{
    const SilenceRow rows[] = {
        {"29999 ms", 1000, 29999, 1},
        {"exactly 30000 ms", 1000, 30000, 1},
        {"30001 ms", 1000, 30001, 0},
        {"tick wraps, 512 ms", 0xFFFFFF00u, 512, 1},
        {"tick wraps, 30001 ms", 0xFFFFF000u, 30001, 0},
    };
    for (const SilenceRow& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        SimSetTick(row.beginTick);
        ASSERT_EQ(DownloadBegin(window), 0);
        gDownload.transferState = XFER_WAIT_STX;
        SimSetTick(row.beginTick + row.silence);
        EXPECT_EQ(DownloadPoll(window), row.goesOn);
    }
}

TEST_F(DownloadControl, BytesRestartTheSilenceClock)
{
    StartAndBegin();
    SimAdvance(29000);
    Feed("A");
    Tick();
    EXPECT_EQ(gDownload.lastActivityTick, SimNow());
    SimAdvance(29000);
    Tick();
    EXPECT_EQ(gDownload.phase, PHASE_RECEIVE);
}

TEST_F(DownloadControl, SilentDeviceEndsInTimeoutWithAnEmptyFile)
{
    StartAndBegin();
    RunToIdle();
    EXPECT_GT(SimNow(), 250u + 30000u);
    EXPECT_LT(SimNow(), 250u + 30000u + 100u + 250u + 10u);
    EXPECT_EQ(gStatus.statusIndex, STATUS_TIMEOUT);
    EXPECT_EQ(Slurp(FilePath()), "");
    ExpectIdleWindow();
}

TEST_F(DownloadControl, FullReceiveBufferWithoutLineEndCountsAsSilence)
{
    StartAndBegin();
    // Within the 1024-byte driver queue at every read: no byte is dropped.
    Feed(STX + std::string(1000, 'z'));
    Tick();
    Feed(std::string(1000, 'z'));
    Tick();
    Feed(std::string(RX_BUFFER_SIZE - 2000, 'z'));
    RunToIdle();
    EXPECT_EQ(gStatus.statusIndex, STATUS_TIMEOUT);
    EXPECT_EQ(Slurp(FilePath()), "");
    EXPECT_EQ(SimPort(1).dropped, 0u);
    EXPECT_TRUE(SimMessageBoxes().empty());
}

TEST_F(DownloadControl, VanishedPortEndsInTimeoutKeepingEveryRecord)
{
    StartAndBegin();
    Feed(STX + "AB\r\nCD\r\n");
    Tick();
    Tick();
    uint32_t lastBytes = gDownload.lastActivityTick;
    SimPortVanish(1);
    int ticks = RunToIdle(1000);
    EXPECT_LT(ticks, 1000);
    EXPECT_GT(SimNow() - lastBytes, 30000u);
    EXPECT_EQ(gStatus.statusIndex, STATUS_TIMEOUT);
    EXPECT_EQ(Slurp(FilePath()), "AB\r\nCD\r\n");
    ExpectIdleWindow();
}

// ---------------------------------------------------------------- cancel

struct CancelRow {
    const char* name;
    std::string bytes;            // sent before the cancel
    int ticksAfterStart;          // ticks run after the begin step
    int phase;                    // phase at the cancel
    const char* lastRecord;       // left on show by the cancel
};

TEST_F(DownloadControl, CancelDeletesTheFileInEveryPhaseAndShowsReady)
{
    const CancelRow rows[] = {
        {"waiting for STX", "", 1, PHASE_RECEIVE, ""},
        {"inside the data set", STX + "AB\r\nCD\r\n", 2, PHASE_RECEIVE, "CD"},
        {"after ETX, before the finish step", STX + "AB\r\n" + ETX, 2, PHASE_FINISH, "AB"},
    };
    for (const CancelRow& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        StartAndBegin();
        Feed(row.bytes);
        for (int i = 0; i < row.ticksAfterStart; i++) Tick();
        ASSERT_EQ(gDownload.phase, row.phase);
        ASSERT_EQ(FilesIn(desktop).size(), 1u);
        uint32_t slept = SimSleptMs();
        DownloadToggle(window);
        EXPECT_TRUE(FilesIn(desktop).empty());
        EXPECT_EQ(SimSleptMs() - slept, 250u);
        EXPECT_FALSE(CommIsOpen());
        EXPECT_EQ(gStatus.statusIndex, STATUS_READY);
        EXPECT_STREQ(gStatus.lastRecord, row.lastRecord);
        EXPECT_EQ(gDownload.timerId, 0u);
        ExpectIdleWindow();
        EXPECT_TRUE(SimMessageBoxes().empty());
    }
}

TEST_F(DownloadControl, DownloadAfterCancelInTheSameSecondReusesTheName)
{
    StartAndBegin();
    DownloadToggle(window);
    StartAndBegin();
    EXPECT_EQ(FilesIn(desktop), std::vector<std::string>{std::string(kBaseName) + ".csv"});
}

// ---------------------------------------------------------------- failed begin step

struct BeginFailureRow {
    const char* name;
    void (*arrange)(DownloadControl& test);
    const char* boxText;   // expected start of the box text
};

void PortAbsent(DownloadControl&) { SimSetPort(1, SIM_PORT_ABSENT); }
void PortHeld(DownloadControl&) { SimSetPort(1, SIM_PORT_HELD); }
void PortSettingsRefused(DownloadControl&) { SimFail(SIM_OP_SET_COMM_STATE); }
void NoFolderKnown(DownloadControl&) { DownloadFixture::SetFolders("", ""); }
void FolderMissing(DownloadControl& t)
{
    std::string gone = t.root + "/gone";
    DownloadFixture::SetFolders(gone.c_str(), gone.c_str());
}
void AllNamesTaken(DownloadControl& t)
{
    DownloadFixture::Touch(t.desktop + "/" + kBaseName + ".csv");
    for (int n = 2; n <= 99; n++)
        DownloadFixture::Touch(t.desktop + "/" + kBaseName + "(" + std::to_string(n) + ").csv");
}
void ListMissing(DownloadControl& t) { SimRemoveControl(t.window, IDC_STORE); }

TEST_F(DownloadControl, FailedBeginStepRestoresTheWindowRemovesItsFileAndSaysWhy)
{
    const BeginFailureRow rows[] = {
        {"port absent", PortAbsent, "COM1 is not enabled."},
        {"port held by another program", PortHeld, "COM1 is not enabled."},
        {"port refuses its settings", PortSettingsRefused,
         "COM1 is not enabled.\r\nThe port was found, but it refused a setting: SetCommState (baud "
         "rate, 8N1, flow control)\r\nSystem error 31."},
        {"no folder known", NoFolderKnown, "The destination folder is not known"},
        {"folder missing", FolderMissing, "The output file could not be created:\r\n"},
        {"all names taken", AllNamesTaken, "All 99 file names for this second"},
        {"destination list missing", ListMissing, "The destination list was not found"},
    };
    for (const BeginFailureRow& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        row.arrange(*this);
        std::vector<std::string> before = FilesIn(desktop);
        DownloadToggle(window);
        ASSERT_TRUE(Tick());
        EXPECT_EQ(FilesIn(desktop), before);
        EXPECT_EQ(gDownload.outputFile, nullptr);
        EXPECT_FALSE(CommIsOpen());
        EXPECT_EQ(gStatus.statusIndex, STATUS_READY);
        EXPECT_FALSE(SimInvalidations().empty());
        ExpectIdleWindow();
        ASSERT_EQ(SimMessageBoxes().size(), 1u);
        const SimMessageBox& box = SimMessageBoxes()[0];
        EXPECT_EQ(box.owner, window);
        EXPECT_EQ(box.caption, "ERROR");
        EXPECT_EQ(box.style, (unsigned)(PLAT_MB_ICONWARNING | PLAT_MB_OK));
        EXPECT_EQ(box.text.compare(0, strlen(row.boxText), row.boxText), 0) << box.text;
    }
}

TEST_F(DownloadControl, AfterAFailedPortStartTheNextStartWorks)
{
    SimSetPort(1, SIM_PORT_ABSENT);
    DownloadToggle(window);
    Tick();
    SimSetPort(1, SIM_PORT_PRESENT);
    SimClearMessageBoxes();
    StartAndBegin();
    Feed(STX + "AB\r\n" + ETX);
    RunToIdle();
    EXPECT_EQ(gStatus.statusIndex, STATUS_COMPLETE);
    EXPECT_EQ(Slurp(FilePath()), "AB\r\n");
    EXPECT_TRUE(SimMessageBoxes().empty());
}

TEST_F(DownloadControl, PortWarningHoldsTheWholeLongestCatalogueText)
{
    std::string notEnabled(242, 'n');
    notEnabled.back() = '!';
    FreeText(&gAppTexts.generalTexts[TEXT_NOT_ENABLED]);
    SetTextOnce(&gAppTexts.generalTexts[TEXT_NOT_ENABLED], notEnabled.c_str());
    gSettings.portNumber = 16;
    DownloadToggle(window);
    Tick();
    ASSERT_EQ(SimMessageBoxes().size(), 1u);
    EXPECT_EQ(SimMessageBoxes()[0].text, "COM16 " + notEnabled);
}

TEST_F(DownloadControl, FileCreationFailureNamesThePathAndTheSystemText)
{
    std::string gone = root + "/gone";
    SetFolders(gone.c_str(), gone.c_str());
    DownloadToggle(window);
    Tick();
    ASSERT_EQ(SimMessageBoxes().size(), 1u);
    // The sim reports a missing folder as ERROR_PATH_NOT_FOUND (3).
    std::string expected = "The output file could not be created:\r\n" + gone + "\\" +
                           kBaseName + ".csv\r\nSystem error 3.";
    EXPECT_EQ(SimMessageBoxes()[0].text, expected);
}

TEST_F(DownloadControl, AStrayOpenFileIsClosedAndKeptSoTheNextStartWorks)
{
    // An output file already open refuses the begin step; it is not this step's to delete.
    ASSERT_EQ(OutputFileCreate(window), 0);
    std::string stray = FilesIn(desktop)[0];
    SimAdvance(1000);
    SimSetLocalTime(PlatTime{2010, 2, 19, 14, 5, 10, 0});
    DownloadToggle(window);
    Tick();
    EXPECT_EQ(gDownload.outputFile, nullptr);
    EXPECT_EQ(FilesIn(desktop), std::vector<std::string>{stray});
    ExpectIdleWindow();
    ASSERT_EQ(SimMessageBoxes().size(), 1u);
    StartAndBegin();
    EXPECT_EQ(FilesIn(desktop).size(), 2u);
}

// ---------------------------------------------------------------- failed write or close

TEST_F(DownloadControl, FullDiskEndsTheDownloadAsFailedWithAWarning)
{
    SimSetDiskFull(1);
    StartAndBegin();
    Feed(STX + "AB\r\nCD\r\n" + ETX);
    RunToIdle();
    EXPECT_EQ(gStatus.statusIndex, STATUS_TIMEOUT);
    EXPECT_STREQ(gStatus.lastRecord, "");
    ExpectIdleWindow();
    ASSERT_EQ(SimMessageBoxes().size(), 1u);
    const SimMessageBox& box = SimMessageBoxes()[0];
    EXPECT_EQ(box.caption, "ERROR");
    EXPECT_EQ(box.owner, window);
    EXPECT_NE(box.text.find("could not be written"), std::string::npos) << box.text;
    EXPECT_NE(box.text.find(std::string(kBaseName) + ".csv"), std::string::npos);
    EXPECT_NE(box.text.find(strerror(ENOSPC)), std::string::npos) << box.text;
    // The file the disk could not fill stays where it is.
    EXPECT_EQ(FilesIn(desktop).size(), 1u);
}

TEST_F(DownloadControl, WriteFailureStopsAtTheRefusedRecordKeepingThoseBefore)
{
    StartAndBegin();
    Feed(STX + "AB\r\nCD\r\n");
    Tick();
    Tick();
    // Each record reaches the file as it is shown, not only at the close.
    EXPECT_EQ(Slurp(FilePath()), "AB\r\nCD\r\n");
    // Then the disk fills: the stream now refuses every byte.
    fclose(gDownload.outputFile);
    gDownload.outputFile = fopen("/dev/full", "wb");
    ASSERT_NE(gDownload.outputFile, nullptr);
    Feed("EF\r\nGH\r\n" + ETX);
    Tick();
    size_t invalidations = SimInvalidations().size();
    Tick();
    EXPECT_EQ(gDownload.phase, PHASE_FINISH);
    EXPECT_STREQ(gStatus.lastRecord, "CD");  // the refused record is not shown as received
    EXPECT_EQ(SimInvalidations().size(), invalidations);
    EXPECT_EQ(OutputFileWrite("GH"), 0);     // nothing more is appended after a failure
    RunToIdle();
    EXPECT_EQ(gStatus.statusIndex, STATUS_TIMEOUT);
    EXPECT_EQ(Slurp(FilePath()), "AB\r\nCD\r\n");
    ASSERT_EQ(SimMessageBoxes().size(), 1u);
}

TEST_F(DownloadControl, FailedCloseAfterETXIsNotReportedComplete)
{
    StartAndBegin();
    Feed(STX + "AB\r\n" + ETX);
    Tick();
    Tick();
    ASSERT_EQ(gDownload.transferState, XFER_DONE);
    // Bytes the stream still holds cannot be written at the close.
    fclose(gDownload.outputFile);
    gDownload.outputFile = fopen("/dev/full", "wb");
    ASSERT_NE(gDownload.outputFile, nullptr);
    fputs("pending", gDownload.outputFile);
    Tick();
    EXPECT_EQ(gStatus.statusIndex, STATUS_TIMEOUT);
    ExpectIdleWindow();
    ASSERT_EQ(SimMessageBoxes().size(), 1u);
    EXPECT_NE(SimMessageBoxes()[0].text.find("could not be completed"), std::string::npos);
    EXPECT_EQ(Slurp(FilePath()), "AB\r\n");
}

// ---------------------------------------------------------------- whole download

TEST_F(DownloadControl, RandomRecordsInRandomChunksReachTheFileExactly)
{
    std::mt19937 random(740);
    for (int round = 0; round < 20; round++) {
        SCOPED_TRACE(round);
        TearDown();
        SetUp();
        std::string expected;
        std::string stream = STX;
        int records = std::uniform_int_distribution<int>(0, 120)(random);
        for (int r = 0; r < records; r++) {
            int length = std::uniform_int_distribution<int>(2, 400)(random);
            std::string record;
            while ((int)record.size() < length) {
                char byte = (char)std::uniform_int_distribution<int>(1, 255)(random);
                // A CR LF inside would end the record early.
                if (byte == '\n' && !record.empty() && record.back() == '\r') continue;
                record += byte;
            }
            expected += record + "\r\n";
            stream += record + "\r\n";
        }
        stream += ETX;

        StartAndBegin();
        size_t sent = 0;
        while (sent < stream.size()) {
            size_t chunk = std::uniform_int_distribution<size_t>(1, 700)(random);
            chunk = std::min(chunk, stream.size() - sent);
            Feed(stream.substr(sent, chunk));
            sent += chunk;
            SimAdvance(std::uniform_int_distribution<uint32_t>(0, 20000)(random));
            ASSERT_TRUE(Tick());
            ASSERT_NE(gDownload.phase, PHASE_IDLE);
        }
        RunToIdle();
        EXPECT_EQ(gStatus.statusIndex, STATUS_COMPLETE);
        EXPECT_TRUE(Slurp(FilePath()) == expected);
        EXPECT_TRUE(SimMessageBoxes().empty());
        // Every read asked only for what was queued, so none waited on the window's thread.
        EXPECT_EQ(SimPort(1).readsBeyondQueue, 0);
        EXPECT_EQ(SimPort(1).dropped, 0u);
    }
}

}  // namespace

// ---------------------------------------------------------------- a front end without a window

// The rules run for a front end that only keeps what it is told, as a console does.
struct Told {
    std::vector<unsigned> schedules;
    int ends = 0;
    int boxes = 0;
    int started = 0;
    DownloadReport report{};
    std::string path;
};

struct ReportRow {
    const char* name;
    const char* folder;     // null: the test's Desktop
    int portPresent;
    std::string bytes;      // what the device sends
    int stopAfterSteps;     // > 0: DownloadStop after this many steps
    int outcome;
    uint32_t records;
    uint32_t fileBytes;
    int fileKept;
    int boxes;
    int failReadsAfterSteps;   // > 0: every queue check fails from then on (a pulled adapter)
    unsigned portError;
};

TEST_F(DownloadControl, AFrontEndWithoutAWindowIsToldEachEndOnce)
{
    const ReportRow rows[] = {
        {"complete", nullptr, 1, STX + "A,1\r\nBB\r\n" + ETX, 0, OUTCOME_COMPLETE, 2, 9, 1, 0, 0, 0},
        {"a first line other than STX", nullptr, 1, "X,1\r\n", 0, OUTCOME_INCOMPLETE, 0, 0, 1, 0, 0, 0},
        {"port missing", nullptr, 0, "", 0, OUTCOME_NO_PORT, 0, 0, 0, 1, 0, 2},
        {"no folder", "", 1, "", 0, OUTCOME_FILE_FAILED, 0, 0, 0, 1, 0, 0},
        {"stopped inside the data set", nullptr, 1, STX + "A,1\r\n", 3, OUTCOME_STOPPED, 1, 5, 1, 0, 0, 0},
        // Asked for, a port that fails ends the data set at the next poll, not after 30 s.
        {"the port fails inside the data set", nullptr, 1, STX + "A,1\r\n", 0, OUTCOME_INCOMPLETE, 1, 5, 1, 0, 3, 21},
    };
    for (const ReportRow& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        if (!row.portPresent) SimSetPort(1, SIM_PORT_ABSENT);
        Told told;
        DownloadFrontEnd frontEnd{};
        frontEnd.context = &told;
        frontEnd.schedule = [](void* c, unsigned ms) { static_cast<Told*>(c)->schedules.push_back(ms); return 1; };
        frontEnd.showBox = [](void* c, const char*) { static_cast<Told*>(c)->boxes++; };
        frontEnd.dataSetStarted = [](void* c) { static_cast<Told*>(c)->started++; };
        frontEnd.ended = [](void* c, const DownloadReport* r) {
            Told* t = static_cast<Told*>(c);
            t->ends++;
            t->report = *r;
            t->path = r->path;
        };
        std::string caption = StartCaption();
        const DownloadRequest request{0, "\\\\.\\COM1", "COM1", 9600, row.folder ? row.folder : desktop.c_str(), 1};
        ASSERT_EQ(DownloadRequestStart(&request, &frontEnd), 1);
        for (int step = 1; told.ends == 0 && step < 50; step++) {
            SimAdvance(told.schedules.back());
            DownloadStep();
            if (step == 1) Feed(row.bytes);  // the begin step's purge is behind it
            if (step == row.stopAfterSteps) DownloadStop();
            if (step == row.failReadsAfterSteps) SimFail(SIM_OP_CLEAR_COMM_ERROR, 0, 1000, 21);
            ASSERT_LT(step, 10) << "not ended within a second";
        }
        EXPECT_EQ(told.ends, 1);
        EXPECT_EQ(told.report.outcome, row.outcome);
        EXPECT_EQ(told.report.records, row.records);
        EXPECT_EQ(told.report.bytes, row.fileBytes);
        EXPECT_EQ(told.report.portError, row.portError);
        EXPECT_EQ(told.boxes, row.boxes);
        EXPECT_EQ(told.started, row.records > 0 ? 1 : 0);
        EXPECT_EQ(FilesIn(desktop).size(), (size_t)row.fileKept);
        EXPECT_EQ(told.path, row.fileKept ? desktop + "\\" + kBaseName + ".csv" : "");
        if (row.fileKept) {
            EXPECT_EQ(Slurp(FilePath()).size(), row.fileBytes);
        }
        EXPECT_FALSE(CommIsOpen());
        EXPECT_EQ(StartCaption(), caption) << "the window is not this run's";
        EXPECT_TRUE(SimInvalidations().empty());
    }
}
