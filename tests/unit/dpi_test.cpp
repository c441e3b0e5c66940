// The window at display scales of 100% to 200%: the size and the layout at each DPI with
// the sim's font made for it (positions worked out by hand: at 120 DPI the font is 16 px,
// 10 px a byte, 20 px a line; at 144 20 px, 12 and 25; at 192 26 px, 16 and 32), and a
// change of DPI while a download runs.
#include <string.h>

#include <string>
#include <vector>

#include "app/handlers.h"
#include "tests/unit/download_fixture.h"
#include "ui/layout.h"
#include "ui/selection.h"

namespace {

struct Box {
    int left, top, right, bottom;
};

bool Overlap(const Box& a, const Box& b)
{
    return a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom;
}

Box ToBox(const PlatRect& r) { return Box{r.left, r.top, r.right, r.bottom}; }

// Width of a text in the font the layout made, measured as the layout measures.
PlatSize Extent(PlatWindow window, const char* text)
{
    PlatDc dc = PlatGetDc(window);
    PlatFont previous = PlatSelectFont(dc, gLayout.textFont);
    PlatSize size = {0, 0};
    PlatGetTextExtent(dc, text, (int)strlen(text), &size);
    PlatSelectFont(dc, previous);
    PlatReleaseDc(window, dc);
    return size;
}

class DpiLayout : public ::testing::Test {
protected:
    void Open(int dpi)
    {
        SimSessionReset(1200);
        gSettings.portNumber = 0;
        SimSetDpi(dpi);
        window = SimCreateMainDialog();
        OnInitDialog(window);
        OnPaint(window);
        OnPaint(window);
    }
    void TearDown() override { MessagesFreeAll(); }

    const SimWindowInfo* Info(int id) { return SimWindow(PlatGetDlgItem(window, id)); }
    Box Rect(int id) { return ToBox(Info(id)->rect); }

    PlatWindow window = nullptr;
};

// Everything a user must be able to read is whole and nothing covers anything else.
const SimWindowInfo* Control(PlatWindow window, int id) { return SimWindow(PlatGetDlgItem(window, id)); }

void ExpectWholeAndApart(PlatWindow window, int dpi)
{
    PlatRect client;
    ASSERT_TRUE(PlatGetClientRect(window, &client));
    const Box clientBox = ToBox(client);
    const int h = Extent(window, "Ag").cy;
    // A drop-down arrow takes the width of a vertical scroll bar, 17 px at 100%.
    const int arrow = DpiScale(17, dpi);

    struct Part {
        std::string name;
        Box box;
    };
    std::vector<Part> parts;
    const int lists[3] = {IDC_PORT, IDC_BAUD, IDC_STORE};
    for (int row = 0; row < 3; row++) {
        const SimWindowInfo* list = Control(window, lists[row]);
        const Box field = ToBox(list->rect);
        parts.push_back({"list " + std::to_string(row), field});
        // The label: its measured text at its position.
        const char* label = gAppTexts.labelTexts[row];
        const PlatPoint at = gLayout.labelPos[row];
        parts.push_back({std::string("label ") + label, {at.x, at.y, at.x + Extent(window, label).cx, at.y + h}});
        // Every item shows whole beside the arrow in the closed field.
        for (const std::string& item : list->items)
            EXPECT_LE(Extent(window, item.c_str()).cx + arrow, field.right - field.left) << item;
        EXPECT_GE(field.bottom - field.top, h) << row;
    }
    for (int id : {IDC_START, IDC_CLOSE}) {
        const Box button = ToBox(Control(window, id)->rect);
        parts.push_back({"button " + std::to_string(id), button});
        EXPECT_GE(button.bottom - button.top, h);
        for (int text : {TEXT_START, TEXT_CANCEL, TEXT_CLOSE})
            EXPECT_LT(Extent(window, gAppTexts.generalTexts[text]).cx, button.right - button.left);
    }
    const Box status = ToBox(gStatus.statusRect);
    parts.push_back({"status area", status});

    for (size_t i = 0; i < parts.size(); i++) {
        const Box& b = parts[i].box;
        EXPECT_TRUE(b.left >= 0 && b.top >= 0 && b.right <= clientBox.right && b.bottom <= clientBox.bottom)
            << parts[i].name << " leaves the client area";
        for (size_t j = i + 1; j < parts.size(); j++)
            EXPECT_FALSE(Overlap(b, parts[j].box)) << parts[i].name << " overlaps " << parts[j].name;
    }
    // The status line and the record line below it both lie inside the status area, and the
    // longest status text fits its width.
    EXPECT_GE(gLayout.statusTextPos.y, status.top);
    EXPECT_LE(gLayout.lastRecordPos.y + h, status.bottom);
    EXPECT_GE(gLayout.lastRecordPos.y, gLayout.statusTextPos.y + h);
    for (int index = STATUS_READY; index <= STATUS_TIMEOUT; index++)
        EXPECT_LE(gLayout.statusTextPos.x + Extent(window, gAppTexts.statusTexts[index]).cx, status.right);
}

TEST_F(DpiLayout, EveryFixedSizeScalesWithTheDpiAndEverythingStaysWholeAndApart)
{
    struct Case {
        int dpi;
        int outerWidth, outerHeight;
        int fontHeight;
        Box port, store, start, close;
        int statusTop, recordY;
    };
    const Case cases[] = {
        // 100%: the numbers of the 96-DPI layout.
        {96, 400, 240, 13, {84, 8, 156, 30}, {92, 68, 220, 90}, {288, 8, 386, 40}, {288, 171, 386, 203}, 122, 142},
        // 125%: margins 10, gaps 5, list extra 40, rows 10 apart, fields 20 + 8, client 492 x 264.
        {120, 500, 300, 16, {105, 10, 195, 38}, {115, 86, 275, 114}, {359, 10, 482, 50}, {359, 214, 482, 254}, 154,
         179},
        // 150%: margins 12, gaps 6, list extra 48, fields 25 + 9, client 591 x 316.
        {144, 600, 360, 20, {126, 12, 234, 46}, {138, 104, 330, 138}, {432, 12, 579, 61}, {432, 255, 579, 304}, 186,
         217},
        // 200%: every fixed size doubled, fields 32 + 12, client 788 x 422.
        {192, 800, 480, 26, {168, 16, 312, 60}, {184, 136, 440, 180}, {575, 16, 772, 80}, {575, 342, 772, 406}, 244,
         284},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dpi);
        Open(c.dpi);
        const PlatRect outer = SimWindow(window)->rect;
        EXPECT_EQ(outer.right - outer.left, c.outerWidth);
        EXPECT_EQ(outer.bottom - outer.top, c.outerHeight);
        // Centred on the 1024 x 768 screen.
        EXPECT_EQ(outer.left, (1024 - c.outerWidth) / 2);
        EXPECT_EQ(outer.top, (768 - c.outerHeight) / 2);
        EXPECT_EQ(gLayout.dpi, c.dpi);
        EXPECT_EQ(SimFontHeight(gLayout.textFont), c.fontHeight);
        EXPECT_EQ(SimFontsAlive(), 1);

        const Box port = Rect(IDC_PORT), store = Rect(IDC_STORE), start = Rect(IDC_START), close = Rect(IDC_CLOSE);
        EXPECT_EQ(std::vector<int>({port.left, port.top, port.right, port.bottom}),
                  std::vector<int>({c.port.left, c.port.top, c.port.right, c.port.bottom}));
        EXPECT_EQ(std::vector<int>({store.left, store.top, store.right, store.bottom}),
                  std::vector<int>({c.store.left, c.store.top, c.store.right, c.store.bottom}));
        EXPECT_EQ(std::vector<int>({start.left, start.top, start.right, start.bottom}),
                  std::vector<int>({c.start.left, c.start.top, c.start.right, c.start.bottom}));
        EXPECT_EQ(std::vector<int>({close.left, close.top, close.right, close.bottom}),
                  std::vector<int>({c.close.left, c.close.top, c.close.right, c.close.bottom}));
        EXPECT_EQ(gStatus.statusRect.top, c.statusTop);
        EXPECT_EQ(gLayout.lastRecordPos.y, c.recordY);

        ExpectWholeAndApart(window, c.dpi);
        // The painted texts sit where the layout put them.
        ASSERT_EQ(SimTextOuts().size(), 4u);
        EXPECT_EQ(SimTextOuts()[3].y, c.statusTop);
    }
}

class DpiChange : public DownloadFixture {
protected:
    // The real first layout at 96 DPI on a dialog whose lists it fills itself.
    void LayOut()
    {
        gLayout = Layout();
        window = SimCreateMainDialog();
        OnInitDialog(window);
        OnPaint(window);
        OnPaint(window);
    }
    const SimWindowInfo* Info(int id) { return SimWindow(PlatGetDlgItem(window, id)); }
};

TEST_F(DpiChange, MidDownloadTheWindowIsLaidOutAgainAndTheDownloadGoesOn)
{
    struct Case {
        const char* name;
        SimOp failing;  // SIM_OP_COUNT: nothing fails
        int fontHeight;
    };
    const Case cases[] = {
        {"font made for the new DPI", SIM_OP_COUNT, 20},
        // Without a new font the old one stays, and the layout still fits the new window.
        {"new font cannot be made", SIM_OP_CREATE_FONT, 13},
        {"no icon-title font", SIM_OP_ICON_TITLE_FONT, 13},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        LayOut();
        StartAndBegin();
        Feed("\x02\r\nfirst,1\r\nsecond,2\r\n");
        Tick();
        Tick();
        ASSERT_STREQ(gStatus.lastRecord, "second,2");
        const PlatFont oldFont = gLayout.textFont;
        const std::vector<SimTimer> timersBefore = SimTimers();
        const PlatHandle device = gComm.device;
        const void* file = gDownload.outputFile;
        const int opens = SimPort(1).opens;
        const PlatRect statusBefore = gStatus.statusRect;
        SimClearPaintLog();
        if (c.failing != SIM_OP_COUNT) SimFail(c.failing);

        // Dragged onto a 150% monitor: the system suggests 600 x 360 at the drop point.
        SimSetDpi(144);
        const PlatRect suggested = {100, 50, 700, 410};
        OnDpiChanged(window, 144, &suggested);

        const PlatRect outer = SimWindow(window)->rect;
        EXPECT_EQ(std::vector<int>({outer.left, outer.top, outer.right, outer.bottom}),
                  std::vector<int>({100, 50, 700, 410}));
        // One font alive, held by every control; the old one freed once nothing held it.
        EXPECT_EQ(SimFontsAlive(), 1);
        EXPECT_EQ(SimFontHeight(gLayout.textFont), c.fontHeight);
        EXPECT_EQ(gLayout.textFont == oldFont, c.failing != SIM_OP_COUNT);
        for (int id : {IDC_START, IDC_CLOSE, IDC_PORT, IDC_BAUD, IDC_STORE})
            EXPECT_EQ(Info(id)->font, gLayout.textFont) << id;
        EXPECT_EQ(SimDcsHeld(), 0);
        EXPECT_EQ(SimFontsDeletedInUse(), 0);
        // Laid out for 144 DPI: the 150% positions, the status area moved with them.
        EXPECT_EQ(gLayout.dpi, 144);
        EXPECT_EQ(Info(IDC_START)->rect.left, 432);
        EXPECT_EQ(gStatus.statusRect.right, 579);
        EXPECT_NE(gStatus.statusRect.top, statusBefore.top);
        ExpectWholeAndApart(window, 144);
        ASSERT_FALSE(SimInvalidations().empty());
        EXPECT_EQ(SimInvalidations().back().whole, 1);
        EXPECT_EQ(SimInvalidations().back().erase, 1) << "texts at the old places stay as ghosts";

        // The download is untouched: its caption, lists, status, timer, port and file.
        EXPECT_EQ(StartCaption(), "Cancel");
        EXPECT_EQ(Info(IDC_PORT)->items.size(), 16u);
        EXPECT_EQ(Info(IDC_STORE)->items.size(), 2u);
        EXPECT_EQ(ControlEnabled(IDC_PORT), 0);
        EXPECT_EQ(gStatus.statusIndex, STATUS_RECEIVING);
        EXPECT_STREQ(gStatus.lastRecord, "second,2");
        ASSERT_EQ(SimTimers().size(), timersBefore.size());
        EXPECT_EQ(SimTimers()[0].due, timersBefore[0].due);
        EXPECT_EQ(gComm.device, device);
        EXPECT_EQ((const void*)gDownload.outputFile, file);
        EXPECT_EQ(SimPort(1).opens, opens);

        // It runs on to its end, repainting the status area where it now is.
        SimClearPaintLog();
        Feed("third,3\r\n\x03\r\n");
        RunToIdle();
        EXPECT_EQ(gStatus.statusIndex, STATUS_COMPLETE);
        bool statusRepainted = false;
        for (const SimInvalidation& inv : SimInvalidations())
            if (!inv.whole && inv.rect.top == gStatus.statusRect.top && inv.rect.right == 579) statusRepainted = true;
        EXPECT_TRUE(statusRepainted);
        const std::vector<std::string> files = FilesIn(desktop);
        ASSERT_EQ(files.size(), 1u);
        EXPECT_EQ(Slurp(desktop + "/" + files[0]), "first,1\r\nsecond,2\r\nthird,3\r\n");

        OnDestroy(window);
        EXPECT_EQ(SimFontsAlive(), 0);
        TearDown();
    }
}

TEST_F(DpiChange, BeforeTheFirstLayoutOnlyTheWindowMoves)
{
    gLayout = Layout();
    const PlatRect suggested = {10, 20, 510, 320};
    OnDpiChanged(window, 120, &suggested);
    EXPECT_EQ(SimWindow(window)->rect.right, 510);
    EXPECT_EQ(SimCalls(SIM_OP_CREATE_FONT), 0);
    EXPECT_EQ(SimDcsHeld(), 0);
    EXPECT_EQ(gLayout.dpi, 0);
}

}  // namespace
