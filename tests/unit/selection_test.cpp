// The three lists and the dialog's initialisation: items, selections from the settings,
// the replacement of an unusable saved port, and the refusal of a port that cannot open.
#include <gtest/gtest.h>

#include <string>

#include "app/handlers.h"
#include "platform/sim/sim.h"
#include "records/ids.h"
#include "records/messages.h"
#include "records/settings.h"
#include "records/text_slots.h"
#include "serial/comm_port.h"
#include "ui/selection.h"

namespace {

void SetText(char** slot, const char* text)
{
    FreeText(slot);
    SetTextOnce(slot, text);
}

class Selection : public ::testing::Test {
protected:
    void SetUp() override
    {
        MessagesFreeAll();
        SimReset();
        MessagesFillDefaults(1);
        gSettings = Settings{0, 1200, 1};
        gComm.device = PLAT_INVALID_HANDLE;
        gComm.portNumber = 1;
        window = SimCreateMainDialog();
        PlatMoveWindow(window, 0, 0, 400, 240, 0);
    }
    void TearDown() override { MessagesFreeAll(); }

    PlatWindow List(int id) { return PlatGetDlgItem(window, id); }
    const SimWindowInfo* Info(int id) { return SimWindow(List(id)); }

    PlatWindow window = nullptr;
};

TEST_F(Selection, InitWithoutUsablePortWarnsAndClosesLeavingTheTemplate)
{
    SimSetPort(2, SIM_PORT_HELD);  // held by another program: not usable either
    SetText(&gAppTexts.generalTexts[TEXT_WINDOW_TITLE], "Bench Tool");
    PlatRect before = SimWindow(window)->rect;

    OnInitDialog(window);

    ASSERT_EQ(SimMessageBoxes().size(), 1u);
    const SimMessageBox& box = SimMessageBoxes()[0];
    EXPECT_EQ(box.owner, window);
    EXPECT_EQ(box.text, "All comm ports are not enabled.");
    EXPECT_EQ(box.caption, "ERROR");
    EXPECT_EQ(box.style, (unsigned)(PLAT_MB_ICONWARNING | PLAT_MB_OK));
    ASSERT_EQ(SimPostedMessages().size(), 1u);
    EXPECT_EQ(SimPostedMessages()[0].window, window);
    EXPECT_EQ(SimPostedMessages()[0].message, (unsigned)PLAT_WM_CLOSE);
    EXPECT_EQ(SimWindow(window)->text, "KM-740 TOOL");
    EXPECT_EQ(SimWindow(window)->rect.left, before.left);
    EXPECT_EQ(SimWindow(window)->rect.right, before.right);
    EXPECT_EQ(SimPort(2).openHandles, 0);
}

TEST_F(Selection, InitWithAUsablePortSetsTitleAndCentresTheWindow)
{
    struct Case {
        int screenWidth, screenHeight;
        int x, y;
    };
    // Integer division toward zero; a screen smaller than the window gives a negative origin.
    const Case cases[] = {
        {1024, 768, 312, 264},
        {1023, 767, 311, 263},
        {301, 200, -49, -20},
    };
    for (const Case& c : cases) {
        SetUp();
        SimSetPort(9, SIM_PORT_PRESENT);
        SimSetScreenSize(c.screenWidth, c.screenHeight);
        SetText(&gAppTexts.generalTexts[TEXT_WINDOW_TITLE], "Bench Tool");

        OnInitDialog(window);

        SCOPED_TRACE(c.screenWidth);
        EXPECT_TRUE(SimMessageBoxes().empty());
        EXPECT_TRUE(SimPostedMessages().empty());
        EXPECT_EQ(SimWindow(window)->text, "Bench Tool");
        PlatRect r = SimWindow(window)->rect;
        EXPECT_EQ(r.left, c.x);
        EXPECT_EQ(r.top, c.y);
        EXPECT_EQ(r.right - r.left, 400);
        EXPECT_EQ(r.bottom - r.top, 240);
        // The probe found a port but chose nothing: the list settles that later.
        EXPECT_EQ(gSettings.portNumber, 0);
        EXPECT_EQ(SimPort(9).openHandles, 0);
    }
}

TEST_F(Selection, PortListShowsSixteenPortsAndKeepsOrReplacesTheSavedPort)
{
    struct Case {
        const char* name;
        int present[3];  // ports that open (0 = none)
        int held;        // a port another program holds (0 = none)
        int32_t saved;
        int32_t expected;
    };
    const Case cases[] = {
        {"saved port that opens stays though a lower one opens", {2, 5, 0}, 0, 5, 5},
        {"saved port held elsewhere gives the lowest usable", {3, 7, 0}, 5, 5, 3},
        {"saved port absent gives the lowest usable", {12, 0, 0}, 0, 4, 12},
        {"no saved port gives the lowest usable", {4, 9, 0}, 0, 0, 4},
        {"saved number beyond the list gives the lowest usable", {2, 0, 0}, 0, 17, 2},
        {"negative saved number gives the lowest usable", {16, 0, 0}, 0, -3, 16},
        {"nothing usable selects nothing", {0, 0, 0}, 6, 6, 0},
    };
    for (const Case& c : cases) {
        SetUp();
        for (int port : c.present)
            if (port) SimSetPort(port, SIM_PORT_PRESENT);
        if (c.held) SimSetPort(c.held, SIM_PORT_HELD);
        gSettings.portNumber = c.saved;

        FillPortList(List(IDC_PORT));

        SCOPED_TRACE(c.name);
        const SimWindowInfo* info = Info(IDC_PORT);
        ASSERT_EQ(info->items.size(), 16u);
        for (int i = 0; i < 16; i++) EXPECT_EQ(info->items[i], "COM" + std::to_string(i + 1));
        EXPECT_EQ(gSettings.portNumber, c.expected);
        EXPECT_EQ(info->curSel, c.expected - 1);
        for (int port = 1; port <= 16; port++) EXPECT_EQ(SimPort(port).openHandles, 0);
    }
}

TEST_F(Selection, BaudListHoldsTheTableAndSelectsTheSavedRate)
{
    struct Case {
        int32_t rate;
        int index;
    };
    const Case cases[] = {{1200, 0}, {9600, 3}, {38400, 5}, {300, 0}};
    for (const Case& c : cases) {
        SetUp();
        gSettings.baudRate = c.rate;
        FillBaudList(List(IDC_BAUD));
        const SimWindowInfo* info = Info(IDC_BAUD);
        ASSERT_EQ(info->items.size(), (size_t)BAUD_COUNT);
        EXPECT_EQ(info->items[0], "1200 bps");
        EXPECT_EQ(info->items[5], "38400 bps");
        EXPECT_EQ(info->curSel, c.index) << c.rate;
        EXPECT_EQ(gSettings.baudRate, c.rate);  // taken into the settings only on start and close
    }
}

TEST_F(Selection, StoreListPutsTheDesktopFirstWhateverTheTextsSay)
{
    struct Case {
        const char* desktop;
        const char* documents;
        int32_t storeToDesktop;
        int index;
    };
    const Case cases[] = {
        {"Desktop", "My Documents", 1, 0},
        {"Desktop", "My Documents", 0, 1},
        {"My Documents", "Desktop", 5, 0},  // any non-zero value means the Desktop
        {"Schreibtisch", nullptr, 0, 1},    // an unfilled slot still takes index 1
    };
    for (const Case& c : cases) {
        SetUp();
        SetText(&gAppTexts.generalTexts[TEXT_DESKTOP], c.desktop);
        FreeText(&gAppTexts.generalTexts[TEXT_MY_DOCUMENTS]);
        if (c.documents) SetTextOnce(&gAppTexts.generalTexts[TEXT_MY_DOCUMENTS], c.documents);
        gSettings.storeToDesktop = c.storeToDesktop;

        FillStoreList(List(IDC_STORE));

        const SimWindowInfo* info = Info(IDC_STORE);
        ASSERT_EQ(info->items.size(), 2u);
        EXPECT_EQ(info->items[0], c.desktop);
        EXPECT_EQ(info->items[1], c.documents ? c.documents : "");
        EXPECT_EQ(info->curSel, c.index);
    }
}

TEST_F(Selection, SelectionChangeProbesPortsAndIgnoresTheOtherLists)
{
    struct Case {
        const char* name;
        int id;          // the control the change comes from
        int pick;        // index selected before the notification (-1 = none)
        int remove;      // control removed from the dialog first (0 = none)
        int result;
        int32_t portAfter;
        int selAfter;
        const char* box;  // null: no box
    };
    // Ports 2 and 7 open, 5 is absent, 9 is held by another program; the list starts on COM2.
    const Case cases[] = {
        {"a port that opens is taken", IDC_PORT, 6, 0, 1, 7, 6, nullptr},
        {"an absent port is refused", IDC_PORT, 4, 0, 1, 2, 1, "COM5 is not enabled."},
        {"a held port is refused", IDC_PORT, 8, 0, 1, 2, 1, "COM9 is not enabled."},
        {"no selection does nothing", IDC_PORT, -1, 0, 1, 2, -1, nullptr},
        {"the baud list does nothing now", IDC_BAUD, 5, 0, 0, 2, 1, nullptr},
        {"the folder list does nothing now", IDC_STORE, 1, 0, 0, 2, 1, nullptr},
        {"a missing control is ignored", IDC_PORT, 4, IDC_PORT, 0, 2, 4, nullptr},
    };
    for (const Case& c : cases) {
        SetUp();
        SimSetPort(2, SIM_PORT_PRESENT);
        SimSetPort(7, SIM_PORT_PRESENT);
        SimSetPort(9, SIM_PORT_HELD);
        gSettings.portNumber = 2;
        FillPortList(List(IDC_PORT));
        FillBaudList(List(IDC_BAUD));
        FillStoreList(List(IDC_STORE));
        PlatWindow source = List(c.id);
        PlatComboSetCurSel(source, c.pick);
        Settings before = gSettings;
        if (c.remove) SimRemoveControl(window, c.remove);

        int result = OnSelectionChange(window, c.id);

        SCOPED_TRACE(c.name);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(gSettings.portNumber, c.portAfter);
        EXPECT_EQ(gSettings.baudRate, before.baudRate);
        EXPECT_EQ(gSettings.storeToDesktop, before.storeToDesktop);
        if (!c.remove) {
            EXPECT_EQ(SimWindow(List(IDC_PORT))->curSel, c.id == IDC_PORT ? c.selAfter : 1);
        }
        if (c.box) {
            ASSERT_EQ(SimMessageBoxes().size(), 1u);
            EXPECT_EQ(SimMessageBoxes()[0].owner, window);
            EXPECT_EQ(SimMessageBoxes()[0].text, c.box);
            EXPECT_EQ(SimMessageBoxes()[0].caption, "ERROR");
            EXPECT_EQ(SimMessageBoxes()[0].style, (unsigned)(PLAT_MB_ICONWARNING | PLAT_MB_OK));
        } else {
            EXPECT_TRUE(SimMessageBoxes().empty());
        }
        for (int port = 1; port <= 16; port++) EXPECT_EQ(SimPort(port).openHandles, 0);
    }
}

TEST_F(Selection, RefusalWithoutAcceptedPortSelectsNothing)
{
    SimSetPort(3, SIM_PORT_PRESENT);
    gSettings.portNumber = 0;
    FillPortList(List(IDC_PORT));
    SimSetPort(3, SIM_PORT_HELD);  // gone to another program since the list was filled
    gSettings.portNumber = 0;
    PlatComboSetCurSel(List(IDC_PORT), 2);

    EXPECT_EQ(OnSelectionChange(window, IDC_PORT), 1);
    EXPECT_EQ(Info(IDC_PORT)->curSel, -1);
    EXPECT_EQ(gSettings.portNumber, 0);
}

TEST_F(Selection, RefusalShowsTheLongestCatalogueTextWholeAndAsData)
{
    // The longest text a catalogue line can carry for this key: 255 bytes less key, comma, CR.
    std::string longText(242, 'x');
    longText[0] = '%';
    longText[1] = 'n';  // a format directive here would be a crash if the text were the format
    longText[241] = '.';
    const char* const texts[] = {longText.c_str(), "%s%s%s%d is busy."};
    for (const char* text : texts) {
        SetUp();
        SimSetPort(1, SIM_PORT_PRESENT);
        SetText(&gAppTexts.generalTexts[TEXT_NOT_ENABLED], text);
        gSettings.portNumber = 1;
        FillPortList(List(IDC_PORT));
        PlatComboSetCurSel(List(IDC_PORT), 15);

        EXPECT_EQ(OnSelectionChange(window, IDC_PORT), 1);

        ASSERT_EQ(SimMessageBoxes().size(), 1u);
        EXPECT_EQ(SimMessageBoxes()[0].text, std::string("COM16 ") + text);
        EXPECT_EQ(Info(IDC_PORT)->curSel, 0);
    }
}

}  // namespace
