// The serial port against simulated COM ports: start results and what each leaves behind,
// the line settings written, reads that never wait, probing and the port scan.
#include <gtest/gtest.h>
#include <string.h>

#include "platform/sim/sim.h"
#include "records/messages.h"
#include "serial/comm_port.h"
#include "serial/rx_buffer.h"

namespace {

// Gives back blocks a previous test left (they live on the host heap), then starts afresh.
void ResetLink(void)
{
    PlatHeapFree(gComm.lineSettings);
    PlatHeapFree(gComm.timeouts);
    SimReset();
    gComm = CommState{};
    gComm.device = PLAT_INVALID_HANDLE;
    gComm.portNumber = 1;
    RxReset();
}

class CommPort : public ::testing::Test {
protected:
    void SetUp() override { ResetLink(); }
    void TearDown() override { CommClose(); }
};

enum Setup { PRESENT, ABSENT, HELD };

struct StartCase {
    const char* name;
    Setup setup;
    SimOp failOp;            // SIM_OP_COUNT: nothing fails
    int failSkip;
    int port;
    int baud;
    int result;
    int open;
    int recordedPort;
    int dcbBlock;
    int timeoutBlock;
    int opens;               // of the requested port
    int closes;
    const char* applyCalls;  // SetupComm, SetCommMask, SetCommTimeouts, SetCommState called
    int purges;
    int failedCall;          // CommCall
};

const StartCase kStartCases[] = {
    {"port 0", PRESENT, SIM_OP_COUNT, 0, 0, 9600, COMM_BAD_PORT, 0, 1, 0, 0, 0, 0, "0000", 0, COMM_CALL_NONE},
    {"port 17", PRESENT, SIM_OP_COUNT, 0, 17, 9600, COMM_BAD_PORT, 0, 1, 0, 0, 0, 0, "0000", 0, COMM_CALL_NONE},
    {"port -1", PRESENT, SIM_OP_COUNT, 0, -1, 9600, COMM_BAD_PORT, 0, 1, 0, 0, 0, 0, "0000", 0, COMM_CALL_NONE},
    {"baud 300", PRESENT, SIM_OP_COUNT, 0, 3, 300, COMM_BAD_BAUD, 0, 1, 0, 0, 0, 0, "0000", 0, COMM_CALL_NONE},
    {"baud 115200", PRESENT, SIM_OP_COUNT, 0, 3, 115200, COMM_BAD_BAUD, 0, 1, 0, 0, 0, 0, "0000", 0, COMM_CALL_NONE},
    {"bad port before bad baud", PRESENT, SIM_OP_COUNT, 0, 99, 300, COMM_BAD_PORT, 0, 1, 0, 0, 0, 0, "0000", 0, COMM_CALL_NONE},
    {"ok 1200", PRESENT, SIM_OP_COUNT, 0, 3, 1200, COMM_OK, 1, 3, 1, 1, 1, 0, "1111", 1, COMM_CALL_NONE},
    {"ok 2400", PRESENT, SIM_OP_COUNT, 0, 3, 2400, COMM_OK, 1, 3, 1, 1, 1, 0, "1111", 1, COMM_CALL_NONE},
    {"ok 4800", PRESENT, SIM_OP_COUNT, 0, 3, 4800, COMM_OK, 1, 3, 1, 1, 1, 0, "1111", 1, COMM_CALL_NONE},
    {"ok 9600", PRESENT, SIM_OP_COUNT, 0, 1, 9600, COMM_OK, 1, 1, 1, 1, 1, 0, "1111", 1, COMM_CALL_NONE},
    {"ok 19200", PRESENT, SIM_OP_COUNT, 0, 16, 19200, COMM_OK, 1, 16, 1, 1, 1, 0, "1111", 1, COMM_CALL_NONE},
    {"ok 38400", PRESENT, SIM_OP_COUNT, 0, 3, 38400, COMM_OK, 1, 3, 1, 1, 1, 0, "1111", 1, COMM_CALL_NONE},
    {"absent port", ABSENT, SIM_OP_COUNT, 0, 4, 9600, COMM_OPEN_FAILED, 0, 4, 0, 0, 0, 0, "0000", 0, COMM_CALL_OPEN},
    {"held port", HELD, SIM_OP_COUNT, 0, 4, 9600, COMM_OPEN_FAILED, 0, 4, 0, 0, 0, 0, "0000", 0, COMM_CALL_OPEN},
    {"CreateFile fails", PRESENT, SIM_OP_COMM_OPEN, 0, 3, 9600, COMM_OPEN_FAILED, 0, 3, 0, 0, 0, 0, "0000", 0, COMM_CALL_OPEN},
    {"no line-settings block", PRESENT, SIM_OP_HEAP_ALLOC, 0, 3, 9600, COMM_NO_BLOCKS, 0, 3, 0, 0, 1, 1, "0000", 0, COMM_CALL_MEMORY},
    {"GetCommState fails", PRESENT, SIM_OP_GET_COMM_STATE, 0, 3, 9600, COMM_API_FAILED, 0, 3, 1, 0, 1, 1, "0000", 0, COMM_CALL_GET_STATE},
    {"no time-out block", PRESENT, SIM_OP_HEAP_ALLOC, 1, 3, 9600, COMM_API_FAILED, 0, 3, 1, 0, 1, 1, "0000", 0, COMM_CALL_MEMORY},
    {"SetupComm fails", PRESENT, SIM_OP_SETUP_COMM, 0, 3, 9600, COMM_API_FAILED, 0, 3, 0, 0, 1, 1, "1000", 0, COMM_CALL_SETUP},
    {"SetCommMask fails", PRESENT, SIM_OP_SET_COMM_MASK, 0, 3, 9600, COMM_API_FAILED, 0, 3, 0, 0, 1, 1, "1100", 0, COMM_CALL_MASK},
    {"SetCommTimeouts fails", PRESENT, SIM_OP_SET_COMM_TIMEOUTS, 0, 3, 9600, COMM_API_FAILED, 0, 3, 0, 0, 1, 1, "1110", 0, COMM_CALL_TIMEOUTS},
    {"SetCommState fails", PRESENT, SIM_OP_SET_COMM_STATE, 0, 3, 9600, COMM_API_FAILED, 0, 3, 0, 0, 1, 1, "1111", 0, COMM_CALL_SET_STATE},
    {"ClearCommError in purge fails", PRESENT, SIM_OP_CLEAR_COMM_ERROR, 0, 3, 9600, COMM_OK, 1, 3, 1, 1, 1, 0, "1111", 0, COMM_CALL_NONE},
    {"PurgeComm fails", PRESENT, SIM_OP_PURGE_COMM, 0, 3, 9600, COMM_OK, 1, 3, 1, 1, 1, 0, "1111", 0, COMM_CALL_NONE},
};

std::string ApplyCalls(void)
{
    std::string calls;
    calls += SimCalls(SIM_OP_SETUP_COMM) ? '1' : '0';
    calls += SimCalls(SIM_OP_SET_COMM_MASK) ? '1' : '0';
    calls += SimCalls(SIM_OP_SET_COMM_TIMEOUTS) ? '1' : '0';
    calls += SimCalls(SIM_OP_SET_COMM_STATE) ? '1' : '0';
    return calls;
}

TEST_F(CommPort, StartResultsAndWhatEachLeavesBehind)
{
    for (const StartCase& c : kStartCases) {
        SCOPED_TRACE(c.name);
        ResetLink();
        int port = c.port >= 0 && c.port <= 32 ? c.port : 3;
        SimSetPort(port, c.setup == PRESENT ? SIM_PORT_PRESENT : c.setup == HELD ? SIM_PORT_HELD : SIM_PORT_ABSENT);
        if (c.failOp != SIM_OP_COUNT) SimFail(c.failOp, c.failSkip, 1);

        EXPECT_EQ(CommStart(c.port, c.baud, 1), c.result);
        EXPECT_EQ(CommIsOpen(), c.open);
        EXPECT_EQ(gComm.portNumber, c.recordedPort);
        EXPECT_EQ(gComm.lineSettings != nullptr, c.dcbBlock != 0);
        EXPECT_EQ(gComm.timeouts != nullptr, c.timeoutBlock != 0);
        EXPECT_EQ(SimHeapBlocksOutstanding(), c.dcbBlock + c.timeoutBlock);
        EXPECT_EQ(SimPort(port).opens, c.opens);
        EXPECT_EQ(SimPort(port).closes, c.closes);
        EXPECT_EQ(SimPort(port).openHandles, c.open);
        EXPECT_EQ(ApplyCalls(), c.applyCalls);
        EXPECT_EQ(SimPort(port).purges, c.purges);
        EXPECT_EQ(gComm.failedCall, c.failedCall);
        CommClose();
        EXPECT_EQ(SimHeapBlocksOutstanding(), c.dcbBlock && !c.open ? 1 : 0);
    }
}

// A port that opened but refused a setting is named with the call and the system's reason on
// a line of its own; a missing port, or memory the program lacked, is the sentence alone.
TEST_F(CommPort, RefusalTextNamesTheSettingThePortRefused)
{
    struct Row {
        SimPortState port;
        SimOp failOp;
        const char* text;
    };
    const std::string refused = "COM3 is not enabled.\r\nThe port was found, but it refused a setting: ";
    const Row rows[] = {
        {SIM_PORT_ABSENT, SIM_OP_COUNT, "COM3 is not enabled."},
        {SIM_PORT_PRESENT, SIM_OP_HEAP_ALLOC, "COM3 is not enabled."},
        {SIM_PORT_PRESENT, SIM_OP_GET_COMM_STATE, "GetCommState"},
        {SIM_PORT_PRESENT, SIM_OP_SETUP_COMM, "SetupComm (1024, 1024)"},
        {SIM_PORT_PRESENT, SIM_OP_SET_COMM_MASK, "SetCommMask (0)"},
        {SIM_PORT_PRESENT, SIM_OP_SET_COMM_TIMEOUTS, "SetCommTimeouts (100, 50, 100)"},
        {SIM_PORT_PRESENT, SIM_OP_SET_COMM_STATE, "SetCommState (baud rate, 8N1, flow control)"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        ResetLink();
        MessagesFillDefaults(0);
        SimSetPort(3, row.port);
        if (row.failOp != SIM_OP_COUNT) SimFail(row.failOp, 0, 1, 87);
        ASSERT_NE(CommStart(3, 9600, 1), COMM_OK);
        char text[PORT_REFUSAL_SIZE + 256];
        BoxField field;
        BoxFieldStart(&field, text, sizeof text);
        CommRefusalText(&field, "COM3");
        const std::string expected = row.port == SIM_PORT_PRESENT && row.failOp != SIM_OP_HEAP_ALLOC
                                         ? refused + row.text + "\r\nSystem error 87."
                                         : row.text;
        EXPECT_EQ(std::string(text), expected);
        MessagesFreeAll();
    }
}

TEST_F(CommPort, SuccessfulStartConfiguresPurgesAndEmptiesTheReceiveState)
{
    SimSetPort(12, SIM_PORT_PRESENT);
    SimPortFeedText(12, "stale bytes\r\n");
    gRx.fillCount = 5;
    memcpy(gRx.buffer, "old\r\n", 5);
    memcpy(gRx.line, "prev", 5);

    ASSERT_EQ(CommStart(12, 4800, 1), COMM_OK);
    const SimPortInfo& info = SimPort(12);
    EXPECT_EQ(info.lastName, "\\\\.\\COM12");
    EXPECT_EQ(info.inQueue, 1024u);
    EXPECT_EQ(info.outQueue, 1024u);
    EXPECT_EQ(info.mask, 0u);
    EXPECT_EQ(info.timeouts.ReadIntervalTimeout, 100u);
    EXPECT_EQ(info.timeouts.ReadTotalTimeoutMultiplier, 50u);
    EXPECT_EQ(info.timeouts.ReadTotalTimeoutConstant, 100u);
    EXPECT_EQ(info.timeouts.WriteTotalTimeoutMultiplier, 50u);
    EXPECT_EQ(info.timeouts.WriteTotalTimeoutConstant, 100u);
    EXPECT_EQ(info.dcbApplied, 1);
    EXPECT_EQ(info.lastPurgeFlags, 15u);
    EXPECT_EQ(SimPortQueued(12), 0u);
    EXPECT_EQ(gRx.fillCount, 0u);
    EXPECT_EQ(gRx.line[0], '\0');
    EXPECT_EQ(gRx.buffer[0], 0);
}

struct FlowCase {
    int flowSwitch;
    uint32_t xonXoff;
};

TEST_F(CommPort, LineSettingsWrittenAndUnlistedFieldsKeepTheDriversValues)
{
    const FlowCase cases[] = {{0, 0}, {1, 1}, {2, 1}, {-1, 1}};
    for (const FlowCase& c : cases) {
        SCOPED_TRACE(c.flowSwitch);
        ResetLink();
        SimSetPort(2, SIM_PORT_PRESENT);
        ASSERT_EQ(CommStart(2, 19200, c.flowSwitch), COMM_OK);
        const PlatDcb& dcb = SimPort(2).dcb;
        const PlatDcb def = SimDefaultDcb();
        EXPECT_EQ(dcb.DCBlength, (uint32_t)PLAT_DCB_SIZE);
        EXPECT_EQ(dcb.BaudRate, 19200u);
        EXPECT_EQ(dcb.ByteSize, 8);
        EXPECT_EQ(dcb.Parity, 0);
        EXPECT_EQ(dcb.StopBits, 0);
        EXPECT_EQ(dcb.fParity, 1u);
        EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
        EXPECT_EQ(dcb.fOutxDsrFlow, 0u);
        EXPECT_EQ(dcb.fDtrControl, 1u);
        EXPECT_EQ(dcb.fDsrSensitivity, 0u);
        EXPECT_EQ(dcb.fOutX, c.xonXoff);
        EXPECT_EQ(dcb.fInX, c.xonXoff);
        EXPECT_EQ(dcb.fNull, 0u);
        EXPECT_EQ(dcb.fRtsControl, 1u);
        // The sim's defaults differ from every value written, so a copy slip shows.
        EXPECT_EQ(dcb.fBinary, def.fBinary);
        EXPECT_EQ(dcb.fTXContinueOnXoff, def.fTXContinueOnXoff);
        EXPECT_EQ(dcb.fErrorChar, def.fErrorChar);
        EXPECT_EQ(dcb.fAbortOnError, def.fAbortOnError);
        EXPECT_EQ(dcb.XonLim, def.XonLim);
        EXPECT_EQ(dcb.XoffLim, def.XoffLim);
        EXPECT_EQ(dcb.XonChar, def.XonChar);
        EXPECT_EQ(dcb.XoffChar, def.XoffChar);
        EXPECT_EQ(dcb.ErrorChar, def.ErrorChar);
        EXPECT_EQ(dcb.EofChar, def.EofChar);
        EXPECT_EQ(dcb.EvtChar, def.EvtChar);
        CommClose();
    }
}

// The written fields as a download writes them (XON/XOFF on), each beside the sim driver's
// default: a write the program left out would go unseen where the two agree.
TEST_F(CommPort, SimDriverDefaultsDifferFromEveryValueADownloadWrites)
{
    const PlatDcb def = SimDefaultDcb();
    for (int rate : {1200, 2400, 4800, 9600, 19200, 38400}) EXPECT_NE(def.BaudRate, (uint32_t)rate);
    EXPECT_NE(def.ByteSize, 8);
    EXPECT_NE(def.Parity, 0);
    EXPECT_NE(def.StopBits, 0);
    EXPECT_NE(def.fParity, 1u);
    EXPECT_NE(def.fOutxCtsFlow, 0u);
    EXPECT_NE(def.fOutxDsrFlow, 0u);
    EXPECT_NE(def.fDtrControl, 1u);
    EXPECT_NE(def.fDsrSensitivity, 0u);
    EXPECT_NE(def.fOutX, 1u);
    EXPECT_NE(def.fInX, 1u);
    EXPECT_NE(def.fNull, 0u);
    EXPECT_NE(def.fRtsControl, 1u);
}

TEST_F(CommPort, StartWhileOpenKeepsTheOpenPortAndItsSettingsButRecordsTheNewNumber)
{
    SimSetPort(3, SIM_PORT_PRESENT);
    SimSetPort(5, SIM_PORT_PRESENT);
    ASSERT_EQ(CommStart(3, 9600, 1), COMM_OK);
    PlatHandle device = gComm.device;

    EXPECT_EQ(CommStart(5, 1200, 0), COMM_ALREADY_OPEN);
    EXPECT_EQ(gComm.device, device);
    EXPECT_EQ(gComm.portNumber, 5);
    EXPECT_EQ(SimPort(3).openHandles, 1);
    EXPECT_EQ(SimPort(3).dcb.BaudRate, 9600u);
    EXPECT_EQ(SimPort(3).dcb.fInX, 1u);
    EXPECT_EQ(SimPort(3).dcbApplied, 1);
    EXPECT_EQ(gComm.lineSettings->BaudRate, 9600u);
    EXPECT_EQ(SimPort(5).opens, 0);
    EXPECT_EQ(CommOpen(), COMM_ALREADY_OPEN);

    CommClose();
    EXPECT_EQ(SimPort(3).closes, 1);
    EXPECT_EQ(gComm.portNumber, 5);
}

TEST_F(CommPort, OperationsOnAClosedLinkReportNotOpenAndCloseIsHarmless)
{
    unsigned char buf[8];
    uint32_t got = 77;
    EXPECT_EQ(CommRead(buf, sizeof(buf), &got), COMM_NOT_OPEN);
    EXPECT_EQ(got, 77u);
    EXPECT_EQ(CommPurge(), COMM_NOT_OPEN);
    EXPECT_EQ(CommApply(), COMM_NOT_OPEN);
    EXPECT_EQ(CommIsOpen(), 0);

    SimSetPort(1, SIM_PORT_PRESENT);
    ASSERT_EQ(CommStart(1, 9600, 1), COMM_OK);
    CommClose();
    CommClose();
    EXPECT_EQ(SimPort(1).closes, 1);
    EXPECT_EQ(SimCalls(SIM_OP_CLOSE_HANDLE), 1);
    EXPECT_EQ(SimHeapBlocksOutstanding(), 0);
    EXPECT_EQ(gComm.portNumber, 1);
}

TEST_F(CommPort, ApplyWithAMissingBlockReportsNoBlocksAndLeavesThePortOpen)
{
    SimSetPort(1, SIM_PORT_PRESENT);
    ASSERT_EQ(CommStart(1, 9600, 1), COMM_OK);
    PlatHeapFree(gComm.timeouts);
    gComm.timeouts = nullptr;
    EXPECT_EQ(CommApply(), COMM_NO_BLOCKS);
    EXPECT_EQ(CommIsOpen(), 1);
    EXPECT_EQ(SimCalls(SIM_OP_SETUP_COMM), 1);
}

TEST_F(CommPort, BlockLeftByAFailedOpenIsReplacedByTheNextOpen)
{
    SimSetPort(3, SIM_PORT_PRESENT);
    SimFail(SIM_OP_GET_COMM_STATE);
    ASSERT_EQ(CommStart(3, 9600, 1), COMM_API_FAILED);
    CommClose();  // not open: the block stays
    EXPECT_EQ(SimHeapBlocksOutstanding(), 1);

    ASSERT_EQ(CommStart(3, 9600, 1), COMM_OK);
    EXPECT_EQ(SimHeapBlocksOutstanding(), 2);
    CommClose();
    EXPECT_EQ(SimHeapBlocksOutstanding(), 0);
}

struct ReadCase {
    const char* name;
    size_t queued;
    uint32_t maximum;
    SimOp failOp;
    int readLimit;
    int result;
    uint32_t bytesRead;      // 777: left as it was
    size_t remaining;
    int reads;
};

TEST_F(CommPort, ReadTakesOnlyWhatIsQueuedUpToTheMaximum)
{
    const ReadCase cases[] = {
        {"nothing queued", 0, 100, SIM_OP_COUNT, -1, COMM_NO_DATA, 777, 0, 0},
        {"maximum 0", 10, 0, SIM_OP_COUNT, -1, COMM_NO_DATA, 777, 10, 0},
        {"10 queued, maximum 4", 10, 4, SIM_OP_COUNT, -1, COMM_OK, 4, 6, 1},
        {"10 queued, maximum 10", 10, 10, SIM_OP_COUNT, -1, COMM_OK, 10, 0, 1},
        {"maximum is unsigned", 3, 0xFFFFFFFFu, SIM_OP_COUNT, -1, COMM_OK, 3, 0, 1},
        {"driver delivers less", 10, 10, SIM_OP_COUNT, 2, COMM_OK, 2, 8, 1},
        {"ClearCommError fails", 10, 10, SIM_OP_CLEAR_COMM_ERROR, -1, COMM_API_FAILED, 777, 10, 0},
        {"ReadFile fails", 10, 10, SIM_OP_READ_FILE, -1, COMM_READ_FAILED, 0, 10, 0},
    };
    const char feed[] = "0123456789";
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.name);
        ResetLink();
        SimSetPort(7, SIM_PORT_PRESENT);
        ASSERT_EQ(CommStart(7, 9600, 1), COMM_OK);
        SimPortFeed(7, feed, c.queued);
        SimSetReadLimit(c.readLimit);
        if (c.failOp != SIM_OP_COUNT) SimFail(c.failOp);
        char buf[16] = {0};
        uint32_t got = 777;
        EXPECT_EQ(CommRead(buf, c.maximum, &got), c.result);
        EXPECT_EQ(got, c.bytesRead);
        EXPECT_EQ(SimPortQueued(7), c.remaining);
        EXPECT_EQ(SimPort(7).reads, c.reads);
        // Never more than is queued: a Windows driver would wait out the read time-outs.
        EXPECT_EQ(SimPort(7).readsBeyondQueue, 0);
        EXPECT_EQ(SimPort(7).waitedMs, 0u);
        if (c.result == COMM_OK) { EXPECT_EQ(std::string(buf, got), std::string(feed, got)); }
        EXPECT_EQ(CommIsOpen(), 1);
        CommClose();
    }
}

struct LineErrorCase {
    const char* name;
    uint32_t bits;
    uint32_t counts[COMM_ERR_KINDS];   // rxover, overrun, frame, parity, break
};

TEST_F(CommPort, ReadsCountEachReceiveErrorTheDriverReports)
{
    const LineErrorCase cases[] = {
        {"none", 0, {0, 0, 0, 0, 0}},
        {"queue overrun", PLAT_CE_RXOVER, {1, 0, 0, 0, 0}},
        {"hardware overrun", PLAT_CE_OVERRUN, {0, 1, 0, 0, 0}},
        {"framing", PLAT_CE_FRAME, {0, 0, 1, 0, 0}},
        {"parity", PLAT_CE_RXPARITY, {0, 0, 0, 1, 0}},
        {"break", PLAT_CE_BREAK, {0, 0, 0, 0, 1}},
        {"all at once", 0x1F, {1, 1, 1, 1, 1}},
    };
    for (const LineErrorCase& c : cases) {
        SCOPED_TRACE(c.name);
        ResetLink();
        SimSetPort(7, SIM_PORT_PRESENT);
        ASSERT_EQ(CommStart(7, 9600, 1), COMM_OK);
        char buf[8];
        uint32_t got = 0;
        // Reported at the read that follows; then cleared, so a second read adds nothing.
        SimPortRaiseErrors(7, c.bits);
        EXPECT_EQ(CommRead(buf, sizeof buf, &got), COMM_NO_DATA);
        SimPortFeedText(7, "AB");
        EXPECT_EQ(CommRead(buf, sizeof buf, &got), COMM_OK);
        for (int kind = 0; kind < COMM_ERR_KINDS; kind++) EXPECT_EQ(gComm.lineErrors[kind], c.counts[kind]);
        EXPECT_EQ(CommHadLineErrors(), c.bits != 0);
        CommClose();
        // The counts outlive the close, for the finish step to report.
        EXPECT_EQ(CommHadLineErrors(), c.bits != 0);
    }
}

TEST_F(CommPort, AFullDriverQueueDropsTheRestAndTheNextReadCountsAnOverrun)
{
    SimSetPort(7, SIM_PORT_PRESENT);
    ASSERT_EQ(CommStart(7, 9600, 1), COMM_OK);
    EXPECT_EQ(SimPortFeedText(7, std::string(1000, 'a')), 1000u);
    EXPECT_EQ(SimPortFeedText(7, std::string(100, 'b')), 24u);
    EXPECT_EQ(SimPortQueued(7), 1024u);
    char buf[2048];
    uint32_t got = 0;
    EXPECT_EQ(CommRead(buf, sizeof buf, &got), COMM_OK);
    EXPECT_EQ(got, 1024u);
    EXPECT_EQ(gComm.lineErrors[COMM_ERR_RXOVER], 1u);
    EXPECT_EQ(SimPort(7).readsBeyondQueue, 0);
}

TEST_F(CommPort, StartForgetsErrorsOfTheLastDownloadAndFromBeforeThePurge)
{
    SimSetPort(7, SIM_PORT_PRESENT);
    ASSERT_EQ(CommStart(7, 9600, 1), COMM_OK);
    SimPortRaiseErrors(7, PLAT_CE_FRAME);
    char buf[8];
    uint32_t got = 0;
    CommRead(buf, sizeof buf, &got);
    ASSERT_TRUE(CommHadLineErrors());
    CommClose();
    SimPortRaiseErrors(7, PLAT_CE_BREAK);
    SimPortFeedText(7, std::string(SIM_DEFAULT_IN_QUEUE, 'x'));  // past the 1024 asked for
    ASSERT_EQ(CommStart(7, 9600, 1), COMM_OK);
    EXPECT_FALSE(CommHadLineErrors());
    EXPECT_EQ(CommRead(buf, sizeof buf, &got), COMM_NO_DATA);
    EXPECT_FALSE(CommHadLineErrors());
}

TEST_F(CommPort, VanishedPortFailsReadsButStaysOpenUntilClosed)
{
    SimSetPort(4, SIM_PORT_PRESENT);
    ASSERT_EQ(CommStart(4, 9600, 1), COMM_OK);
    SimPortFeedText(4, "AB\r\n");
    SimPortVanish(4);
    char buf[8];
    uint32_t got = 0;
    EXPECT_EQ(CommRead(buf, sizeof(buf), &got), COMM_API_FAILED);
    EXPECT_EQ(RxFill(), COMM_API_FAILED);
    EXPECT_EQ(CommIsOpen(), 1);
    CommClose();
    EXPECT_EQ(CommIsOpen(), 0);
    EXPECT_EQ(SimPort(4).closes, 1);
    EXPECT_EQ(SimHeapBlocksOutstanding(), 0);
    EXPECT_EQ(CommStart(4, 9600, 1), COMM_OPEN_FAILED);
}

struct ProbeCase {
    const char* name;
    int port;
    SimPortState state;
    int answer;
    const char* triedName;
};

TEST_F(CommPort, ProbeOpensAndClosesOtherPortsAndLeavesTheLinkAlone)
{
    const ProbeCase cases[] = {
        {"present", 5, SIM_PORT_PRESENT, 1, "\\\\.\\COM5"},
        {"two digits", 16, SIM_PORT_PRESENT, 1, "\\\\.\\COM16"},
        {"absent", 6, SIM_PORT_ABSENT, 0, "\\\\.\\COM6"},
        {"held by another program", 6, SIM_PORT_HELD, 0, "\\\\.\\COM6"},
        {"port 0 absent", 0, SIM_PORT_ABSENT, 0, "\\\\.\\COM0"},
        {"port 0 present", 0, SIM_PORT_PRESENT, 1, "\\\\.\\COM0"},
    };
    for (int linkOpen = 0; linkOpen <= 1; linkOpen++) {
        for (const ProbeCase& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (linkOpen ? ", link open on 2" : ", link closed"));
            ResetLink();
            SimSetPort(2, SIM_PORT_PRESENT);
            if (linkOpen) { ASSERT_EQ(CommStart(2, 9600, 1), COMM_OK); }
            SimSetPort(c.port, c.state);
            const CommState before = gComm;
            const int opensBefore = SimCalls(SIM_OP_COMM_OPEN);

            EXPECT_EQ(CommProbe(c.port), c.answer);
            EXPECT_EQ(SimLastOpenName(), c.triedName);
            EXPECT_EQ(SimCalls(SIM_OP_COMM_OPEN), opensBefore + 1);
            EXPECT_EQ(SimPort(c.port).openHandles, 0);
            EXPECT_EQ(SimPort(c.port).closes, c.answer);
            EXPECT_EQ(memcmp(&before, &gComm, sizeof(gComm)), 0);
            EXPECT_EQ(CommIsOpen(), linkOpen);
            CommClose();
        }
    }
}

TEST_F(CommPort, ProbeAnswersForTheLinksOwnPortWithoutOpeningIt)
{
    SimSetPort(9, SIM_PORT_PRESENT);
    ASSERT_EQ(CommStart(9, 9600, 1), COMM_OK);
    const int opens = SimCalls(SIM_OP_COMM_OPEN);
    EXPECT_EQ(CommProbe(9), 1);
    EXPECT_EQ(SimCalls(SIM_OP_COMM_OPEN), opens);
    EXPECT_EQ(SimPort(9).opens, 1);
    EXPECT_EQ(SimPort(9).openHandles, 1);
}

struct ScanCase {
    const char* name;
    int present[3];          // 0 ends the list
    int held;                // 0: none
    int openLink;            // 0: link closed
    int answer;
    int openAttempts;
};

TEST_F(CommPort, FirstAvailableScansUpwardAndReturnsTheLowestUsablePort)
{
    const ScanCase cases[] = {
        {"3 and 5 usable", {3, 5, 0}, 0, 0, 3, 3},
        {"none usable", {0, 0, 0}, 0, 0, 0, 16},
        {"held port skipped", {5, 0, 0}, 3, 0, 5, 5},
        {"only 16", {16, 0, 0}, 0, 0, 16, 16},
        {"link's own port counts", {7, 0, 0}, 0, 7, 7, 6},
        {"lower free port before the link's", {2, 7, 0}, 0, 7, 2, 2},
    };
    for (const ScanCase& c : cases) {
        SCOPED_TRACE(c.name);
        ResetLink();
        for (int port : c.present)
            if (port) SimSetPort(port, SIM_PORT_PRESENT);
        if (c.held) SimSetPort(c.held, SIM_PORT_HELD);
        if (c.openLink) { ASSERT_EQ(CommStart(c.openLink, 9600, 1), COMM_OK); }
        const int opensBefore = SimCalls(SIM_OP_COMM_OPEN);
        EXPECT_EQ(CommFirstAvailable(), c.answer);
        EXPECT_EQ(SimCalls(SIM_OP_COMM_OPEN) - opensBefore, c.openAttempts);
        if (c.answer == 0) { EXPECT_EQ(SimLastOpenName(), "\\\\.\\COM16"); }
        EXPECT_EQ(SimPort(0).opens, 0);
        CommClose();
    }
}

}  // namespace
