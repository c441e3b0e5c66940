// CR LF framing over a simulated port: byte streams in one read, split at every point and
// trickled, the buffer's limits, failed reads, and a randomized check against a plain framer.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "platform/sim/sim.h"
#include "serial/comm_port.h"
#include "serial/rx_buffer.h"

namespace {

const int kPort = 3;

void StartLink(void)
{
    PlatHeapFree(gComm.lineSettings);
    PlatHeapFree(gComm.timeouts);
    SimReset();
    gComm = CommState{};
    gComm.device = PLAT_INVALID_HANDLE;
    gComm.portNumber = 1;
    SimSetPort(kPort, SIM_PORT_PRESENT);
    ASSERT_EQ(CommStart(kPort, 9600, 1), COMM_OK);
}

class RxBuffer : public ::testing::Test {
protected:
    void SetUp() override { StartLink(); }
    void TearDown() override { CommClose(); }
};

std::string Buffered(void) { return std::string(reinterpret_cast<const char*>(gRx.buffer), gRx.fillCount); }

// Takes out every complete line. An empty line also returns 0, so a line is recognised by the
// fill count shrinking, not by the length.
void Drain(std::vector<std::string>* lines)
{
    for (;;) {
        uint32_t before = gRx.fillCount;
        uint32_t length = RxNextLine();
        if (gRx.fillCount == before) return;
        ASSERT_EQ(gRx.line[length], '\0');
        lines->push_back(std::string(RxLine(), length));
        RxClearLine();
    }
}

// Fills until the port has nothing more to give, taking lines out after every read.
void FillAndDrain(std::vector<std::string>* lines)
{
    Drain(lines);
    while (RxFill() == COMM_OK) Drain(lines);
}

// The device's bytes as a line with flow control brings them: never more than the driver's
// 1024-byte queue holds, the program reading whenever it is full.
void FeedWithinQueue(const std::string& bytes, std::vector<std::string>* lines)
{
    size_t at = 0;
    while (at < bytes.size()) {
        size_t room = SimPortQueueSize(kPort) - SimPortQueued(kPort);
        if (room == 0) {
            FillAndDrain(lines);
            room = SimPortQueueSize(kPort) - SimPortQueued(kPort);
            ASSERT_GT(room, 0u) << "the receive buffer is stuck";
        }
        size_t take = std::min(room, bytes.size() - at);
        ASSERT_EQ(SimPortFeed(kPort, bytes.data() + at, take), take);
        at += take;
    }
}

struct FrameCase {
    const char* name;
    std::string stream;
    std::vector<std::string> lines;
    std::string rest;
};

std::string S(const char* bytes, size_t n) { return std::string(bytes, n); }

const std::vector<FrameCase>& FrameCases(void)
{
    static const std::vector<FrameCase> cases = {
        {"two lines", "AB\r\nXY\r\n", {"AB", "XY"}, ""},
        {"line and partial", "AB\r\nXY", {"AB"}, "XY"},
        {"empty line alone", "\r\n", {""}, ""},
        {"two empty lines", "\r\n\r\n", {"", ""}, ""},
        {"lone CR stays in the line", "A\rB\r\n", {"A\rB"}, ""},
        {"CR CR LF is a CR", "\r\r\n", {"\r"}, ""},
        {"LF CR LF is an LF", "\n\r\n", {"\n"}, ""},
        {"LF CR is no end", "AB\n\r", {}, "AB\n\r"},
        {"trailing CR waits", "AB\r", {}, "AB\r"},
        {"CR then CR LF LF", "AB\r\r\n\nC", {"AB\r"}, "\nC"},
        {"NUL inside a line", S("A\0B\r\n", 5), {S("A\0B", 3)}, ""},
        {"data set", "\x02\r\n1,2,3\r\n\x03\r\n", {"\x02", "1,2,3", "\x03"}, ""},
        {"high bytes and Shift-JIS", S("\xff\x00\x82\xa0\x93\xfa\r\n", 8), {S("\xff\x00\x82\xa0\x93\xfa", 6)}, ""},
        {"no line", "no end", {}, "no end"},
        {"single byte", "A", {}, "A"},
    };
    return cases;
}

TEST_F(RxBuffer, StreamInOneReadGivesItsLinesAndKeepsTheRest)
{
    for (const FrameCase& c : FrameCases()) {
        SCOPED_TRACE(c.name);
        StartLink();
        SimPortFeedText(kPort, c.stream);
        std::vector<std::string> lines;
        FillAndDrain(&lines);
        EXPECT_EQ(SimPort(kPort).reads, 1);
        EXPECT_EQ(lines, c.lines);
        EXPECT_EQ(Buffered(), c.rest);
        CommClose();
    }
}

TEST_F(RxBuffer, StreamSplitAcrossTwoReadsAtEveryPointGivesTheSameLines)
{
    for (const FrameCase& c : FrameCases()) {
        for (size_t split = 0; split <= c.stream.size(); split++) {
            SCOPED_TRACE(std::string(c.name) + " split at " + std::to_string(split));
            StartLink();
            std::vector<std::string> lines;
            SimPortFeedText(kPort, c.stream.substr(0, split));
            FillAndDrain(&lines);
            SimPortFeedText(kPort, c.stream.substr(split));
            FillAndDrain(&lines);
            EXPECT_EQ(lines, c.lines);
            EXPECT_EQ(Buffered(), c.rest);
            CommClose();
        }
    }
}

TEST_F(RxBuffer, StreamTrickledByShortReadsGivesTheSameLines)
{
    for (int limit = 1; limit <= 4; limit++) {
        for (const FrameCase& c : FrameCases()) {
            SCOPED_TRACE(std::string(c.name) + " read limit " + std::to_string(limit));
            StartLink();
            SimSetReadLimit(limit);
            SimPortFeedText(kPort, c.stream);
            std::vector<std::string> lines;
            FillAndDrain(&lines);
            EXPECT_EQ(lines, c.lines);
            EXPECT_EQ(Buffered(), c.rest);
            CommClose();
        }
    }
}

TEST_F(RxBuffer, LinesLeaveOneAtATimeAndTheRestMovesToTheFront)
{
    SimPortFeedText(kPort, "AB\r\nXY\r\n");
    ASSERT_EQ(RxFill(), COMM_OK);
    EXPECT_EQ(RxNextLine(), 2u);
    EXPECT_STREQ(RxLine(), "AB");
    EXPECT_EQ(gRx.fillCount, 4u);
    EXPECT_EQ(Buffered(), "XY\r\n");
    EXPECT_EQ(RxNextLine(), 2u);
    EXPECT_STREQ(RxLine(), "XY");
    EXPECT_EQ(gRx.fillCount, 0u);
    EXPECT_EQ(RxNextLine(), 0u);
    EXPECT_STREQ(RxLine(), "XY");  // no line found: the line buffer keeps what it held
    RxClearLine();
    EXPECT_EQ(RxNextLine(), 0u);
    EXPECT_STREQ(RxLine(), "");
    EXPECT_EQ(RxLine(), gRx.line);
}

TEST_F(RxBuffer, LongestLineOf2046BytesFillsTheBufferAndComesOutWhole)
{
    std::string line(2046, 'x');
    line[0] = '\0';
    line[2045] = '\r';
    // Two reads of the 1024-byte driver queue fill the receive buffer.
    const std::string stream = line + "\r\nNEXT";
    SimPortFeedText(kPort, stream.substr(0, 1024));
    ASSERT_EQ(RxFill(), COMM_OK);
    SimPortFeedText(kPort, stream.substr(1024, 1024));
    ASSERT_EQ(RxFill(), COMM_OK);
    SimPortFeedText(kPort, stream.substr(2048));
    EXPECT_EQ(gRx.fillCount, 2048u);
    EXPECT_EQ(SimPortQueued(kPort), 4u);
    EXPECT_EQ(RxNextLine(), 2046u);
    EXPECT_EQ(std::string(RxLine(), 2046), line);
    EXPECT_EQ(gRx.line[2046], '\0');
    EXPECT_EQ(gRx.fillCount, 0u);
    ASSERT_EQ(RxFill(), COMM_OK);
    EXPECT_EQ(Buffered(), "NEXT");
}

struct FullCase {
    const char* name;
    std::string head;        // exactly 2048 bytes, no CR LF pair
};

TEST_F(RxBuffer, FullBufferWithoutLineEndTakesNoMoreHoweverMuchIsQueued)
{
    const FullCase cases[] = {
        {"2048 bytes", std::string(2048, 'a')},
        {"2048th byte is CR", std::string(2047, 'a') + "\r"},
    };
    for (const FullCase& c : cases) {
        SCOPED_TRACE(c.name);
        StartLink();
        SimPortFeedText(kPort, c.head.substr(0, 1024));
        ASSERT_EQ(RxFill(), COMM_OK);
        SimPortFeedText(kPort, c.head.substr(1024));
        ASSERT_EQ(RxFill(), COMM_OK);
        SimPortFeedText(kPort, "\nmore\r\n");
        ASSERT_EQ(gRx.fillCount, 2048u);
        for (int i = 0; i < 3; i++) {
            EXPECT_EQ(RxNextLine(), 0u);
            EXPECT_EQ(RxFill(), COMM_NO_DATA);
        }
        EXPECT_EQ(gRx.fillCount, 2048u);
        EXPECT_EQ(SimPortQueued(kPort), 7u);
        EXPECT_EQ(SimPort(kPort).reads, 2);
        EXPECT_EQ(Buffered(), c.head);
        CommClose();
    }
}

struct FailCase {
    const char* name;
    SimOp failOp;
    int readLimit;
    int closed;
    int result;
};

TEST_F(RxBuffer, FillThatGetsNoBytesLeavesTheRecordUnchanged)
{
    const FailCase cases[] = {
        {"port closed", SIM_OP_COUNT, -1, 1, COMM_NOT_OPEN},
        {"ClearCommError fails", SIM_OP_CLEAR_COMM_ERROR, -1, 0, COMM_API_FAILED},
        {"ReadFile fails", SIM_OP_READ_FILE, -1, 0, COMM_READ_FAILED},
        {"read delivers 0 bytes", SIM_OP_COUNT, 0, 0, COMM_NO_BLOCKS},
    };
    for (const FailCase& c : cases) {
        SCOPED_TRACE(c.name);
        StartLink();
        SimPortFeedText(kPort, "AB\r");
        ASSERT_EQ(RxFill(), COMM_OK);
        memcpy(gRx.line, "kept", 5);
        SimPortFeedText(kPort, "\nCD\r\n");
        if (c.closed) CommClose();
        if (c.failOp != SIM_OP_COUNT) SimFail(c.failOp);
        SimSetReadLimit(c.readLimit);
        static RxState before;
        before = gRx;
        EXPECT_EQ(RxFill(), c.result);
        EXPECT_EQ(memcmp(&before, &gRx, sizeof(gRx)), 0);
        CommClose();
    }
}

TEST_F(RxBuffer, NothingQueuedIsNoData)
{
    EXPECT_EQ(RxFill(), COMM_NO_DATA);
    EXPECT_EQ(SimPort(kPort).reads, 0);
    EXPECT_EQ(gRx.fillCount, 0u);
}

TEST_F(RxBuffer, ResetEmptiesBothBuffersAndTheCount)
{
    SimPortFeedText(kPort, "AB\r\nCD");
    ASSERT_EQ(RxFill(), COMM_OK);
    ASSERT_EQ(RxNextLine(), 2u);
    RxReset();
    EXPECT_EQ(gRx.fillCount, 0u);
    static const RxState zero = RxState();
    EXPECT_EQ(memcmp(&zero, &gRx, sizeof(gRx)), 0);
}

// The reference: every CR LF pair in the whole stream, found by a plain search.
void ReferenceFrame(const std::string& stream, std::vector<std::string>* lines, std::string* rest)
{
    size_t start = 0;
    for (;;) {
        size_t end = stream.find("\r\n", start);
        if (end == std::string::npos) break;
        lines->push_back(stream.substr(start, end - start));
        start = end + 2;
    }
    *rest = stream.substr(start);
}

// Lines of random bytes (any value, CR and LF made common) up to the longest that fits, each
// closed by CR LF, then an unfinished tail; fed in random chunks with random read limits.
TEST_F(RxBuffer, RandomStreamsInRandomChunksGiveEveryLineExactlyAndInOrder)
{
    std::mt19937 rng(740);
    auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    for (int iteration = 0; iteration < 3000; iteration++) {
        SCOPED_TRACE(iteration);
        StartLink();
        std::string stream;
        const int lineCount = pick(0, 8);
        const int longest = pick(0, 9) == 0 ? 2046 : 40;
        for (int i = 0; i < lineCount; i++) {
            int length = pick(0, longest);
            if (pick(0, 9) == 0) length = longest;
            for (int j = 0; j < length; j++) {
                int kind = pick(0, 9);
                stream += kind == 0 ? '\r' : kind == 1 ? '\n' : (char)pick(0, 255);
            }
            stream += "\r\n";
        }
        const int tail = pick(0, 3) == 0 ? pick(0, 2047) : pick(0, 5);
        for (int j = 0; j < tail; j++) stream += (char)(pick(0, 3) == 0 ? '\r' : pick(0, 255));
        // A tail that itself holds CR LF is fine: the reference frames whatever the stream holds.
        std::vector<std::string> expected;
        std::string expectedRest;
        ReferenceFrame(stream, &expected, &expectedRest);

        SimSetReadLimit(pick(0, 2) == 0 ? pick(1, 64) : -1);
        std::vector<std::string> lines;
        size_t at = 0;
        while (at < stream.size()) {
            size_t chunk = (size_t)pick(1, 700);
            if (chunk > stream.size() - at) chunk = stream.size() - at;
            FeedWithinQueue(stream.substr(at, chunk), &lines);
            at += chunk;
            if (pick(0, 1)) FillAndDrain(&lines);
        }
        FillAndDrain(&lines);
        ASSERT_EQ(lines, expected);
        ASSERT_EQ(Buffered(), expectedRest);
        CommClose();
    }
}

}  // namespace
