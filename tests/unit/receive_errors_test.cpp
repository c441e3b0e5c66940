// Receive errors the port driver reports during a download (ClearCommError's error word):
// each kind ends the download "Timeout error." with one box saying what was reported, how
// often, and what to check; the file keeps what arrived. Errors from before the start's
// purge do not count.
#include <errno.h>
#include <string.h>
#include "tests/unit/download_fixture.h"

namespace {

class ReceiveErrors : public DownloadFixture {};

struct ErrorRow {
    const char* name;
    uint32_t bits;           // raised at the driver while the records arrive; 0: a flood
    int reports;             // at how many reads the driver reports them
    const char* named[2];    // what the box calls them
    const char* count;       // how often, as the box says it
    const char* advice;      // what to check
};

const std::string kIntro = "The serial port reported receive errors during the download:\r\n- ";

const ErrorRow kRows[] = {
    {"queue overrun", 0, 1, {"input queue overrun", nullptr}, "1 time", "flow control"},
    {"hardware overrun", PLAT_CE_OVERRUN, 1, {"hardware overrun", nullptr}, "1 time",
     "lower baud rate"},
    {"framing", PLAT_CE_FRAME, 2, {"framing error", nullptr}, "2 times", "wrong baud rate"},
    {"parity", PLAT_CE_RXPARITY, 1, {"parity error", nullptr}, "1 time", "without parity"},
    {"break", PLAT_CE_BREAK, 3, {"break", nullptr}, "3 times", "cable"},
    {"framing and break", PLAT_CE_FRAME | PLAT_CE_BREAK, 1, {"framing error", "break: 1 time"},
     "1 time", "wrong baud rate"},
};

TEST_F(ReceiveErrors, EachKindEndsTheDownloadAsFailedWithOneBoxSayingWhatAndHowOften)
{
    for (const ErrorRow& row : kRows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        StartAndBegin();
        Feed(STX + "AB\r\n");
        Tick();  // the read
        std::string expected = "AB\r\n";
        if (row.bits == 0) {
            // The device does not stop: more than the 1024-byte driver queue arrives before
            // the next read, and the driver drops the rest.
            std::string flood;
            for (int i = 0; flood.size() < 1500; i++) flood += "record " + std::to_string(i) + "\r\n";
            Feed(flood);
            ASSERT_GT(SimPort(1).dropped, 0u);
        } else {
            for (int i = 0; i < row.reports; i++) {
                SimPortRaiseErrors(1, row.bits);
                Feed("CD\r\n");
                expected += "CD\r\n";
                Tick();
            }
        }
        RunToIdle(3);
        Feed(ETX);
        RunToIdle();

        EXPECT_EQ(gStatus.statusIndex, STATUS_TIMEOUT);
        std::string file = Slurp(FilePath());
        if (row.bits != 0) {
            EXPECT_EQ(file, expected);
        } else {
            EXPECT_EQ(file.compare(0, 4, "AB\r\n"), 0) << file;
        }
        ExpectIdleWindow();
        ASSERT_EQ(SimMessageBoxes().size(), 1u);
        const SimMessageBox& box = SimMessageBoxes()[0];
        EXPECT_EQ(box.owner, window);
        EXPECT_EQ(box.caption, "ERROR");
        EXPECT_EQ(box.style, (unsigned)(PLAT_MB_ICONWARNING | PLAT_MB_OK));
        EXPECT_EQ(box.text.substr(0, kIntro.size()), kIntro);
        for (const char* named : row.named) {
            if (named) { EXPECT_NE(box.text.find(named), std::string::npos) << box.text; }
        }
        EXPECT_NE(box.text.find(std::string(row.named[0]) + ": " + row.count), std::string::npos)
            << box.text;
        EXPECT_NE(box.text.find("missing or damaged"), std::string::npos) << box.text;
        EXPECT_NE(box.text.find(row.advice), std::string::npos) << box.text;
        // Only the kinds that happened, and no blank line under the last advice.
        EXPECT_EQ(box.text.find(": 0 "), std::string::npos) << box.text;
        EXPECT_NE(box.text.substr(box.text.size() - 2), "\r\n") << box.text;
    }
}

// A catalogue text may leave out %COUNT% or %TIMES%: the count then follows on a line of its
// own, and each kind still keeps lines of its own, never run into the next kind's.
TEST_F(ReceiveErrors, EachKindKeepsItsCountAndItsOwnLinesWhateverTheCatalogueSays)
{
    struct Row {
        const char* framing;   // RX_FRAMING_ERROR's text (null: built in)
        const char* parity;    // RX_PARITY_ERROR's text (null: built in)
        const char* lines;     // the kinds' lines, between the first line and RX_DAMAGED
    };
    const Row rows[] = {
        {nullptr, nullptr, "- framing error: 2 times\r\n- parity error: 2 times\r\n"},
        {"- framing trouble", nullptr, "- framing trouble\r\n2\r\n- parity error: 2 times\r\n"},
        {"- framing: %COUNT%", "- parity", "- framing: 2\r\n- parity\r\n2\r\n"},
        {"- framing, %TIMES%", nullptr, "- framing, times\r\n2\r\n- parity error: 2 times\r\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.framing ? row.framing : "built in");
        TearDown();
        SetUp();
        if (row.framing) SetTextOnce(&gAppTexts.boxTexts[BOX_RX_FRAMING_ERROR], row.framing);
        if (row.parity) SetTextOnce(&gAppTexts.boxTexts[BOX_RX_PARITY_ERROR], row.parity);
        StartAndBegin();
        for (int i = 0; i < 2; i++) {
            SimPortRaiseErrors(1, PLAT_CE_FRAME | PLAT_CE_RXPARITY);
            Feed(i == 0 ? STX : ETX);
            Tick();
        }
        RunToIdle();
        ASSERT_EQ(SimMessageBoxes().size(), 1u);
        const std::string& text = SimMessageBoxes()[0].text;
        const std::string head = "The serial port reported receive errors during the download:\r\n";
        const size_t damaged = text.find("Records may be missing");
        ASSERT_EQ(text.compare(0, head.size(), head), 0) << text;
        ASSERT_NE(damaged, std::string::npos) << text;
        EXPECT_EQ(text.substr(head.size(), damaged - head.size()), row.lines);
    }
}

TEST_F(ReceiveErrors, ErrorsFromBeforeTheStartDoNotCount)
{
    // Stale bytes past the queue and every error bit, all before the port was purged.
    SimPortRaiseErrors(1, PLAT_CE_RXOVER | PLAT_CE_OVERRUN | PLAT_CE_FRAME | PLAT_CE_RXPARITY |
                              PLAT_CE_BREAK);
    Feed(std::string(SIM_DEFAULT_IN_QUEUE + 10, 'x'));
    DownloadToggle(window);
    SimPortRaiseErrors(1, PLAT_CE_FRAME);  // between Start and the begin step
    ASSERT_TRUE(Tick());
    Feed(STX + "AB\r\n" + ETX);
    RunToIdle();
    EXPECT_EQ(gStatus.statusIndex, STATUS_COMPLETE);
    EXPECT_EQ(Slurp(FilePath()), "AB\r\n");
    EXPECT_TRUE(SimMessageBoxes().empty());
}

TEST_F(ReceiveErrors, AFileFailureAndReceiveErrorsShareOneBox)
{
    SimSetDiskFull(1);
    StartAndBegin();
    SimPortRaiseErrors(1, PLAT_CE_FRAME);
    Feed(STX + "AB\r\n" + ETX);
    RunToIdle();
    EXPECT_EQ(gStatus.statusIndex, STATUS_TIMEOUT);
    ASSERT_EQ(SimMessageBoxes().size(), 1u);
    const std::string& text = SimMessageBoxes()[0].text;
    // The file's failure, one blank line, then the receive errors.
    const size_t errors = text.find(kIntro);
    ASSERT_NE(errors, std::string::npos) << text;
    EXPECT_EQ(text.substr(0, errors), "The output file could not be written; the download was stopped:\r\n" +
                                          desktop + "\\" + kBaseName + ".csv\r\n" + strerror(ENOSPC) + "\r\n\r\n");
    EXPECT_NE(text.find("framing error: 1 time"), std::string::npos) << text;
}

TEST_F(ReceiveErrors, TheNextDownloadStartsWithoutTheErrorsOfTheLast)
{
    StartAndBegin();
    SimPortRaiseErrors(1, PLAT_CE_BREAK);
    Feed(STX + ETX);
    RunToIdle();
    ASSERT_EQ(gStatus.statusIndex, STATUS_TIMEOUT);
    SimClearMessageBoxes();
    SimAdvance(1000);  // another second: another file name
    SimSetLocalTime(PlatTime{2010, 2, 19, 14, 5, 10, 0});
    StartAndBegin();
    Feed(STX + "AB\r\n" + ETX);
    RunToIdle();
    EXPECT_EQ(gStatus.statusIndex, STATUS_COMPLETE);
    EXPECT_TRUE(SimMessageBoxes().empty());
}

}  // namespace
