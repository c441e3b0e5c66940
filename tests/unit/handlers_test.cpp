// The window's message handlers: command routing, the close that keeps the lists' choices,
// and the release of everything when the window is destroyed.
#include "app/handlers.h"
#include "tests/unit/download_fixture.h"
#include "ui/layout.h"

namespace {

class Handlers : public DownloadFixture {};

TEST_F(Handlers, CommandsReachTheirHandlersAndReturnTheirResults)
{
    struct Row {
        const char* name;
        unsigned code;
        unsigned id;
        long result;
        int closePosted;
        int downloadStarted;
    };
    const Row rows[] = {
        {"Close button posts WM_CLOSE", NOTIFY_CLICKED, IDC_CLOSE, 0, 1, 0},
        {"Start button starts a download", NOTIFY_CLICKED, IDC_START, 0, 0, 1},
        {"another click goes to the default procedure", NOTIFY_CLICKED, IDC_PORT, ROUTE_TO_DEFAULT, 0, 0},
        {"a list change of the baud list is handled", NOTIFY_SELCHANGE, IDC_BAUD, 0, 0, 0},
        {"a list change of an unknown control goes on", NOTIFY_SELCHANGE, 999, ROUTE_TO_DEFAULT, 0, 0},
        {"a list change with id below the lists goes on", NOTIFY_SELCHANGE, IDC_START, ROUTE_TO_DEFAULT, 0, 0},
        {"any other notification is swallowed", 5, IDC_START, 0, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();
        long result = OnCommand(window, row.code, row.id);
        EXPECT_EQ(result, row.result);
        int closes = 0;
        for (const SimPosted& posted : SimPostedMessages())
            if (posted.window == window && posted.message == PLAT_WM_CLOSE) closes++;
        EXPECT_EQ(closes, row.closePosted);
        EXPECT_EQ(gDownload.phase == PHASE_OPEN, row.downloadStarted == 1);
        TearDown();
    }
}

TEST_F(Handlers, TimerTicksRunTheDownloadToItsEnd)
{
    StartAndBegin();
    Feed(STX + "AB\r\n" + ETX);
    PlatWindow target = nullptr;
    unsigned id = 0;
    for (int ticks = 0; ticks < 100 && SimNextTimer(&target, &id); ticks++) OnTimer(target, id);
    EXPECT_EQ(gStatus.statusIndex, STATUS_COMPLETE);
    EXPECT_EQ(Slurp(FilePath()), "AB\r\n");
}

TEST_F(Handlers, AnAcceptedPortPickReturnsOne)
{
    SimSetPort(2, SIM_PORT_PRESENT);
    PlatWindow port = PlatGetDlgItem(window, IDC_PORT);
    PlatComboAddString(port, "COM2");
    PlatComboSetCurSel(port, 1);
    EXPECT_EQ(OnCommand(window, NOTIFY_SELCHANGE, IDC_PORT), 1);
    EXPECT_EQ(gSettings.portNumber, 2);
}

TEST_F(Handlers, CloseTakesTheListsChoicesAndDestroysTheWindow)
{
    struct Row {
        const char* name;
        int removedList;   // 0: none
        int32_t baudRate;
        int32_t storeToDesktop;
    };
    const Row rows[] = {
        {"both lists read", 0, 38400, 0},
        {"no baud list: nothing read", IDC_BAUD, 9600, 1},
        {"no destination list: the rate is read", IDC_STORE, 38400, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();
        PlatComboSetCurSel(PlatGetDlgItem(window, IDC_BAUD), BaudIndexFromRate(38400));
        PlatComboSetCurSel(PlatGetDlgItem(window, IDC_STORE), STORE_INDEX_DOCUMENTS);
        if (row.removedList) SimRemoveControl(window, row.removedList);
        OnClose(window);
        EXPECT_EQ(gSettings.baudRate, row.baudRate);
        EXPECT_EQ(gSettings.storeToDesktop, row.storeToDesktop);
        EXPECT_EQ(SimWindow(window)->destroyed, 1);
        TearDown();
    }
}

TEST_F(Handlers, DestroyKeepsThePartialFileClosesThePortAndDeletesTheFont)
{
    StartAndBegin();
    Feed("\x02\r\nfirst,1\r\nsecond,2\r\n");
    Tick();  // the read
    Tick();  // the records
    ASSERT_TRUE(CommIsOpen());
    PlatLogFont description;
    ASSERT_TRUE(PlatGetIconTitleLogFont(&description, 96));
    gLayout.textFont = PlatCreateFont(&description);
    ASSERT_EQ(SimFontsAlive(), 1);

    OnDestroy(window);

    EXPECT_FALSE(CommIsOpen());
    EXPECT_EQ(SimPort(1).openHandles, 0);
    EXPECT_EQ(gDownload.outputFile, nullptr);
    EXPECT_EQ(gDownload.outputPath, nullptr);
    EXPECT_EQ(gLayout.textFont, nullptr);
    EXPECT_EQ(SimFontsAlive(), 0);
    EXPECT_TRUE(SimQuitPosted());
    EXPECT_EQ(SimQuitCode(), 0);
    std::vector<std::string> files = FilesIn(desktop);
    ASSERT_EQ(files.size(), 1u);
    std::ifstream in(desktop + "/" + files[0], std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "first,1\r\nsecond,2\r\n");
}

TEST_F(Handlers, DestroyWithNothingOpenOnlyEndsTheLoop)
{
    OnDestroy(window);
    EXPECT_TRUE(SimQuitPosted());
    EXPECT_EQ(SimPort(1).opens, 0);
}

}  // namespace
