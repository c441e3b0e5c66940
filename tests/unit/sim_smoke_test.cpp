// The simulated platform behaves as the tests rely on: exclusive ports, a bounded input queue
// that reports its overrun, reads beyond the queue that wait, timers, paint clip.
#include <gtest/gtest.h>
#include <string>
#include "platform/sim/sim.h"

TEST(SimPlatform, PortIsExclusiveAndQueueDrains)
{
    SimReset();
    SimSetPort(3, SIM_PORT_PRESENT);
    PlatHandle a = PlatCommOpenDevice("\\\\.\\COM3");
    ASSERT_NE(a, PLAT_INVALID_HANDLE);
    EXPECT_EQ(PlatCommOpenDevice("\\\\.\\COM3"), PLAT_INVALID_HANDLE);
    EXPECT_EQ(PlatCommOpenDevice("\\\\.\\COM4"), PLAT_INVALID_HANDLE);
    SimPortFeedText(3, "abcdef");
    char buf[4];
    uint32_t got = 0;
    ASSERT_TRUE(PlatReadFile(a, buf, 4, &got));
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(SimPortQueued(3), 2u);
    SimPortVanish(3);
    PlatComStat st;
    EXPECT_FALSE(PlatClearCommError(a, nullptr, &st));
    EXPECT_EQ(PlatGetLastError(), 21u);
    EXPECT_TRUE(PlatCloseHandle(a));
}

TEST(SimPlatform, TimersFireInDueOrderAndFailuresAreCounted)
{
    SimReset();
    PlatWindow w = SimCreateMainDialog();
    PlatSetTimer(w, 7, 250);
    PlatSetTimer(w, 9, 100);
    PlatWindow fired = nullptr;
    unsigned id = 0;
    ASSERT_TRUE(SimNextTimer(&fired, &id));
    EXPECT_EQ(id, 9u);
    EXPECT_EQ(SimNow(), 100u);
    SimFail(SIM_OP_SET_TIMER, 1, 1);
    EXPECT_NE(PlatSetTimer(w, 1, 10), 0u);
    EXPECT_EQ(PlatSetTimer(w, 2, 10), 0u);
    EXPECT_NE(PlatSetTimer(w, 3, 10), 0u);
    EXPECT_EQ(SimCalls(SIM_OP_SET_TIMER), 5);
}

TEST(SimPlatform, PaintClipIsTheInvalidatedArea)
{
    SimReset();
    PlatWindow w = SimCreateMainDialog();
    PlatMoveWindow(w, 0, 0, 400, 240, 0);
    PlatRect r = {10, 10, 20, 20};
    PlatInvalidateRect(w, &r, 1);
    PlatPaint paint;
    PlatDc dc = PlatBeginPaint(w, &paint);
    PlatRect inside = {15, 15, 30, 30};
    PlatRect outside = {50, 50, 60, 60};
    EXPECT_TRUE(PlatRectVisible(dc, &inside));
    EXPECT_FALSE(PlatRectVisible(dc, &outside));
    PlatEndPaint(w, &paint);
    PlatRect client;
    PlatGetClientRect(w, &client);
    EXPECT_EQ(client.right, 394);
    EXPECT_EQ(client.bottom, 211);
}

TEST(SimPlatform, InputQueueHoldsWhatSetupCommAskedAndReportsItsOverrunOnce)
{
    SimReset();
    SimSetPort(3, SIM_PORT_PRESENT);
    PlatHandle a = PlatCommOpenDevice("\\\\.\\COM3");
    ASSERT_NE(a, PLAT_INVALID_HANDLE);
    EXPECT_EQ(SimPortQueueSize(3), (size_t)SIM_DEFAULT_IN_QUEUE);
    ASSERT_TRUE(PlatSetupComm(a, 16, 16));
    EXPECT_EQ(SimPortFeedText(3, "0123456789"), 10u);
    EXPECT_EQ(SimPortFeedText(3, "abcdefghij"), 6u);
    EXPECT_EQ(SimPortQueued(3), 16u);
    EXPECT_EQ(SimPort(3).dropped, 4u);
    uint32_t errors = 0;
    PlatComStat st;
    ASSERT_TRUE(PlatClearCommError(a, &errors, &st));
    EXPECT_EQ(errors, (uint32_t)PLAT_CE_RXOVER);
    EXPECT_EQ(st.cbInQue, 16u);
    ASSERT_TRUE(PlatClearCommError(a, &errors, &st));
    EXPECT_EQ(errors, 0u);
    SimPortRaiseErrors(3, PLAT_CE_FRAME | PLAT_CE_BREAK);
    ASSERT_TRUE(PlatClearCommError(a, &errors, nullptr));
    EXPECT_EQ(errors, (uint32_t)(PLAT_CE_FRAME | PLAT_CE_BREAK));
    EXPECT_TRUE(PlatCloseHandle(a));
}

struct ReadWaitCase {
    const char* name;
    PlatCommTimeouts timeouts;
    size_t queued;
    uint32_t asked;
    uint32_t waited;
};

TEST(SimPlatform, ReadBeyondTheQueueWaitsOutTheReadTimeouts)
{
    const ReadWaitCase cases[] = {
        {"the program's: bytes queued, the interval ends it", {100, 50, 100, 0, 0}, 4, 10, 100},
        {"the program's: nothing queued, the total ends it", {100, 50, 100, 0, 0}, 0, 10, 600},
        {"no more than queued: no wait", {100, 50, 100, 0, 0}, 10, 10, 0},
        {"interval MAXDWORD, totals 0: at once", {0xFFFFFFFFu, 0, 0, 0, 0}, 0, 10, 0},
    };
    for (const ReadWaitCase& c : cases) {
        SCOPED_TRACE(c.name);
        SimReset();
        SimSetPort(3, SIM_PORT_PRESENT);
        PlatHandle a = PlatCommOpenDevice("\\\\.\\COM3");
        ASSERT_TRUE(PlatSetCommTimeouts(a, &c.timeouts));
        SimPortFeedText(3, std::string(c.queued, 'q'));
        char buf[16];
        uint32_t got = 0;
        ASSERT_TRUE(PlatReadFile(a, buf, c.asked, &got));
        EXPECT_EQ(got, (uint32_t)c.queued);
        EXPECT_EQ(SimNow(), c.waited);
        EXPECT_EQ(SimPort(3).waitedMs, c.waited);
        EXPECT_EQ(SimPort(3).readsBeyondQueue, c.asked > c.queued ? 1 : 0);
        EXPECT_EQ(SimPort(3).largestRead, c.asked);
        PlatCloseHandle(a);
    }
}

// The memory disk the fuzz targets use must refuse what the host's disk refuses.
TEST(SimPlatform, MemoryDiskBehavesAsTheHostDisk)
{
    SimReset();
    SimUseMemoryFiles(1);
    SimMemoryFolder("C:\\D");
    int exists = 0;
    EXPECT_EQ(PlatFileCreateNew("C:\\Missing\\a.csv", &exists), nullptr);
    EXPECT_EQ(exists, 0);
    EXPECT_EQ(PlatGetLastError(), 3u);

    FILE* file = PlatFileCreateNew("C:\\D\\a.csv", &exists);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(PlatFileCreateNew("C:\\D\\a.csv", &exists), nullptr);
    EXPECT_EQ(exists, 1);
    fputs("AB\r\n", file);
    EXPECT_EQ(*SimMemoryFile("C:\\D\\a.csv"), "") << "not flushed yet";
    unsigned long before = SimMemoryChanges();
    EXPECT_EQ(fflush(file), 0);
    EXPECT_EQ(*SimMemoryFile("C:\\D\\a.csv"), "AB\r\n");
    EXPECT_GT(SimMemoryChanges(), before);
    fclose(file);

    FILE* in = PlatFileOpen("C:\\D\\a.csv", "rb");
    ASSERT_NE(in, nullptr);
    char line[8];
    EXPECT_STREQ(fgets(line, sizeof line, in), "AB\r\n");
    fclose(in);
    EXPECT_EQ(PlatFileOpen("C:\\D", "rb"), nullptr) << "a folder is no file";

    SimSetDiskFull(1);
    file = PlatFileCreateNew("C:\\D\\b.csv", &exists);
    ASSERT_NE(file, nullptr);
    fputs("CD\r\n", file);
    EXPECT_NE(fflush(file), 0);
    EXPECT_TRUE(ferror(file));
    fclose(file);
    EXPECT_EQ(*SimMemoryFile("C:\\D\\b.csv"), "");

    EXPECT_EQ(PlatFileRemove("C:\\D\\a.csv"), 0);
    EXPECT_EQ(SimMemoryFile("C:\\D\\a.csv"), nullptr);
    EXPECT_NE(PlatFileRemove("C:\\D\\a.csv"), 0);
}
