// The first-paint layout (positions worked out by hand for the sim's fixed font: 8 px per
// byte, 16 px lines, a 22 px closed drop-down field) and the painting of the texts.
#include <gtest/gtest.h>

#include <iconv.h>
#include <string.h>

#include <string>
#include <vector>

#include "app/handlers.h"
#include "platform/sim/sim.h"
#include "records/ids.h"
#include "records/messages.h"
#include "records/settings.h"
#include "records/text_slots.h"
#include "records/status.h"
#include "serial/comm_port.h"
#include "tests/support/sim_session.h"
#include "ui/layout.h"

namespace {

void SetText(char** slot, const char* text)
{
    FreeText(slot);
    SetTextOnce(slot, text);
}

// The height sample as the system would encode it, converted here independently of the
// program's own byte string.
std::string ShiftJisSample()
{
    const char utf8[] = "文字列の幅と高さですqafgjpとかｑａｆｇｊｐは？";
    iconv_t cd = iconv_open("CP932", "UTF-8");
    if (cd == (iconv_t)-1) return std::string();
    char in[sizeof utf8];
    memcpy(in, utf8, sizeof utf8);
    char out[128];
    char* inPtr = in;
    char* outPtr = out;
    size_t inLeft = strlen(utf8);
    size_t outLeft = sizeof out;
    size_t done = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    iconv_close(cd);
    if (done == (size_t)-1) return std::string();
    return std::string(out, sizeof out - outLeft);
}

struct Box {
    int left, top, right, bottom;
};

class LayoutTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SimSessionReset(1200);
        gSettings.portNumber = 0;
        window = SimCreateMainDialog();
        PlatMoveWindow(window, 0, 0, 400, 240, 0);  // client 394 x 211
    }
    void TearDown() override { MessagesFreeAll(); }

    PlatWindow Control(int id) { return PlatGetDlgItem(window, id); }
    const SimWindowInfo* Info(int id) { return SimWindow(Control(id)); }

    // The first paint lays out; the paint it asks for draws the texts.
    void PaintTwice()
    {
        OnPaint(window);
        OnPaint(window);
    }

    void ExpectRect(int id, Box box)
    {
        PlatRect r = Info(id)->rect;
        EXPECT_EQ(r.left, box.left) << id;
        EXPECT_EQ(r.top, box.top) << id;
        EXPECT_EQ(r.right, box.right) << id;
        EXPECT_EQ(r.bottom, box.bottom) << id;
    }

    std::vector<std::string> Drawn()
    {
        std::vector<std::string> texts;
        for (const SimTextOut& t : SimTextOuts()) texts.push_back(t.text);
        return texts;
    }

    PlatWindow window = nullptr;
};

TEST_F(LayoutTest, DefaultTextsPlaceEachListAfterItsOwnLabel)
{
    OnPaint(window);

    // "Port No.:" and "Baudrate:" are 9 bytes (72 px), "Stored to:" 10 (80 px); each list
    // starts 4 px after its label. Widths: "COM99" 40 + 32, "1200 bps" 64 + 32, the wider
    // of "Desktop" 56 and "My Documents" 96, + 32. Rows 8 px apart below 22 px fields.
    ExpectRect(IDC_PORT, {84, 8, 156, 30});
    ExpectRect(IDC_BAUD, {84, 38, 180, 60});
    ExpectRect(IDC_STORE, {92, 68, 220, 90});
    // Drop-down heights: 17, 7 and 3 rows of 16 + 8 px.
    EXPECT_EQ(Info(IDC_PORT)->placedHeight, 408);
    EXPECT_EQ(Info(IDC_BAUD)->placedHeight, 168);
    EXPECT_EQ(Info(IDC_STORE)->placedHeight, 72);
    // Buttons a quarter of 394 wide (98) at 394 - 98 - 8, 16 + 16 high, the Close 8 px up
    // from the bottom (211 - 32 - 8).
    ExpectRect(IDC_START, {288, 8, 386, 40});
    ExpectRect(IDC_CLOSE, {288, 171, 386, 203});
    EXPECT_EQ(Info(IDC_START)->text, "Start");
    EXPECT_EQ(Info(IDC_CLOSE)->text, "Close");
    for (int id : {IDC_START, IDC_CLOSE, IDC_PORT, IDC_BAUD, IDC_STORE}) {
        EXPECT_EQ(Info(id)->font, gLayout.textFont) << id;
        EXPECT_TRUE(Info(id)->visible) << id;
    }
    EXPECT_NE(gLayout.textFont, nullptr);

    // Labels centred on the closed fields: top + (22 - 16) / 2.
    const int labelY[3] = {11, 41, 71};
    for (int row = 0; row < 3; row++) {
        EXPECT_EQ(gLayout.labelPos[row].x, 8);
        EXPECT_EQ(gLayout.labelPos[row].y, labelY[row]);
    }
    EXPECT_EQ(gLayout.labelArea.left, 8);
    EXPECT_EQ(gLayout.labelArea.top, 11);
    EXPECT_EQ(gLayout.labelArea.right, 288);
    EXPECT_EQ(gLayout.labelArea.bottom, 90);
    // Status 32 px below the last list, the record one line + 4 px lower and 8 px in.
    EXPECT_EQ(gStatus.statusRect.left, 8);
    EXPECT_EQ(gStatus.statusRect.top, 122);
    EXPECT_EQ(gStatus.statusRect.right, 386);
    EXPECT_EQ(gStatus.statusRect.bottom, 171);
    EXPECT_EQ(gLayout.statusTextPos.x, 8);
    EXPECT_EQ(gLayout.statusTextPos.y, 122);
    EXPECT_EQ(gLayout.lastRecordPos.x, 16);
    EXPECT_EQ(gLayout.lastRecordPos.y, 142);

    // The lists were filled once placed.
    EXPECT_EQ(Info(IDC_PORT)->items.size(), 16u);
    EXPECT_EQ(Info(IDC_PORT)->curSel, 0);
    EXPECT_EQ(Info(IDC_BAUD)->items.size(), 6u);
    EXPECT_EQ(Info(IDC_STORE)->items.size(), 2u);
    EXPECT_TRUE(SimMessageBoxes().empty());
    EXPECT_TRUE(SimPostedMessages().empty());
}

TEST_F(LayoutTest, FirstPaintLaysOutAndAsksForAWholeRepaintWithoutDrawing)
{
    gStatus.statusIndex = STATUS_TIMEOUT;
    snprintf(gStatus.lastRecord, sizeof gStatus.lastRecord, "left over");

    OnPaint(window);

    EXPECT_EQ(gLayout.layoutDone, 1);
    EXPECT_TRUE(SimTextOuts().empty());
    ASSERT_EQ(SimInvalidations().size(), 1u);
    EXPECT_EQ(SimInvalidations()[0].window, window);
    EXPECT_EQ(SimInvalidations()[0].whole, 1);
    EXPECT_EQ(SimInvalidations()[0].erase, 1);
    EXPECT_EQ(gStatus.statusIndex, STATUS_READY);
    EXPECT_EQ(gStatus.lastRecord[0], 0);
    // The device context gets its own font back.
    EXPECT_EQ(SimSelectedFont(), nullptr);

    // The paint that follows draws every text in the face colours and the layout's font.
    OnPaint(window);
    const std::vector<std::string> expected = {"Port No.:", "Baudrate:", "Stored to:", "Ready."};
    EXPECT_EQ(Drawn(), expected);
    const int xs[] = {8, 8, 8, 8};
    const int ys[] = {11, 41, 71, 122};
    for (size_t i = 0; i < SimTextOuts().size() && i < 4; i++) {
        const SimTextOut& t = SimTextOuts()[i];
        EXPECT_EQ(t.x, xs[i]);
        EXPECT_EQ(t.y, ys[i]);
        EXPECT_EQ(t.font, gLayout.textFont);
        EXPECT_EQ(t.background, (uint32_t)SIM_COLOR_BTNFACE);
        EXPECT_EQ(t.foreground, (uint32_t)SIM_COLOR_BTNTEXT);
    }
    EXPECT_EQ(SimSelectedFont(), nullptr);
    EXPECT_EQ(SimInvalidations().size(), 1u);  // no further layout, no further invalidation
    EXPECT_EQ(SimCalls(SIM_OP_CREATE_FONT), 1);
}

TEST_F(LayoutTest, LabelTextsMoveOnlyTheirOwnList)
{
    struct Case {
        const char* name;
        const char* labels[3];
        int listX[3];
        bool drawn[3];
    };
    const Case cases[] = {
        {"built-in texts", {"Port No.:", "Baudrate:", "Stored to:"}, {84, 84, 92}, {true, true, true}},
        // 12 bytes: 8 + 96 + 4.
        {"longer port label", {"Port number:", "Baudrate:", "Stored to:"}, {108, 84, 92}, {true, true, true}},
        {"empty baud label", {"Port No.:", "", "Stored to:"}, {84, 0, 92}, {true, false, true}},
    };
    for (const Case& c : cases) {
        SetUp();
        for (int row = 0; row < 3; row++) SetText(&gAppTexts.labelTexts[row], c.labels[row]);

        PaintTwice();

        SCOPED_TRACE(c.name);
        const int ids[3] = {IDC_PORT, IDC_BAUD, IDC_STORE};
        const int tops[3] = {8, 38, 68};
        std::vector<std::string> expected;
        for (int row = 0; row < 3; row++) {
            EXPECT_EQ(Info(ids[row])->rect.left, c.listX[row]);
            EXPECT_EQ(Info(ids[row])->rect.top, tops[row]);
            if (c.drawn[row]) expected.push_back(c.labels[row]);
        }
        expected.push_back("Ready.");
        EXPECT_EQ(Drawn(), expected);
    }
}

TEST_F(LayoutTest, ButtonsAreAQuarterOfTheClientWidthTruncated)
{
    struct Case {
        int outerWidth, outerHeight;
        int width, x, closeY;
    };
    // Client = outer less 6 x 29.
    const Case cases[] = {
        {400, 240, 98, 288, 171},  // 394 / 4 = 98
        {406, 240, 100, 292, 171},
        {409, 300, 100, 295, 231},  // 403 / 4 = 100
    };
    for (const Case& c : cases) {
        SetUp();
        PlatMoveWindow(window, 0, 0, c.outerWidth, c.outerHeight, 0);
        OnPaint(window);
        SCOPED_TRACE(c.outerWidth);
        ExpectRect(IDC_START, {c.x, 8, c.x + c.width, 40});
        ExpectRect(IDC_CLOSE, {c.x, c.closeY, c.x + c.width, c.closeY + 32});
        EXPECT_EQ(gLayout.labelArea.right, c.x);
        EXPECT_EQ(gStatus.statusRect.right, c.outerWidth - 6 - 8);
        EXPECT_EQ(gStatus.statusRect.bottom, c.closeY);
    }
}

TEST_F(LayoutTest, FailedMeasurementsFallBack)
{
    struct Case {
        const char* failing;
        Box port, baud, store;
        int portDrop, baudDrop, storeDrop;
    };
    const Case cases[] = {
        {"COM99", {84, 8, 184, 30}, {84, 38, 180, 60}, {92, 68, 220, 90}, 30, 168, 72},
        {"1200 bps", {84, 8, 156, 30}, {84, 38, 184, 60}, {92, 68, 220, 90}, 408, 30, 72},
        {"Desktop", {84, 8, 156, 30}, {84, 38, 180, 60}, {92, 68, 192, 90}, 408, 168, 30},
        // Only the Desktop's width is left: 56 + 32.
        {"My Documents", {84, 8, 156, 30}, {84, 38, 180, 60}, {92, 68, 180, 90}, 408, 168, 72},
        // A label that cannot be measured puts its list at the left edge.
        {"Port No.:", {0, 8, 72, 30}, {84, 38, 180, 60}, {92, 68, 220, 90}, 408, 168, 72},
    };
    for (const Case& c : cases) {
        SetUp();
        SimFailExtentOf(c.failing);
        PaintTwice();
        SCOPED_TRACE(c.failing);
        ExpectRect(IDC_PORT, c.port);
        ExpectRect(IDC_BAUD, c.baud);
        ExpectRect(IDC_STORE, c.store);
        EXPECT_EQ(Info(IDC_PORT)->placedHeight, c.portDrop);
        EXPECT_EQ(Info(IDC_BAUD)->placedHeight, c.baudDrop);
        EXPECT_EQ(Info(IDC_STORE)->placedHeight, c.storeDrop);
        // The label is still drawn where the text exists, even if it could not be measured.
        EXPECT_EQ(Drawn().size(), 4u);
    }
}

TEST_F(LayoutTest, EveryMeasurementFailingUsesThirtyPixelLines)
{
    SimFail(SIM_OP_TEXT_EXTENT, 0, -1);
    OnPaint(window);

    ExpectRect(IDC_PORT, {0, 8, 100, 30});
    ExpectRect(IDC_BAUD, {0, 38, 100, 60});
    ExpectRect(IDC_STORE, {0, 68, 100, 90});
    EXPECT_EQ(Info(IDC_PORT)->placedHeight, 30);
    // Labels centred with h = 30 on a 22 px field: 4 px above it.
    EXPECT_EQ(gLayout.labelPos[0].y, 4);
    EXPECT_EQ(gLayout.labelPos[2].y, 64);
    // Buttons 30 + 16 high; record line 30 + 4 below the status.
    ExpectRect(IDC_START, {288, 8, 386, 54});
    ExpectRect(IDC_CLOSE, {288, 157, 386, 203});
    EXPECT_EQ(gLayout.lastRecordPos.y, 156);
    EXPECT_EQ(gStatus.statusRect.bottom, 157);
}

TEST_F(LayoutTest, HeightSampleIsTheFirstTextMeasured)
{
    const std::string sample = ShiftJisSample();
    ASSERT_EQ(sample.size(), 46u);
    // Only the first measurement may succeed. If it is the sample, failing it leaves h at
    // 30 for everything after; any other first text would set h to 16.
    SimFailExtentOf(sample.c_str());
    SimFail(SIM_OP_TEXT_EXTENT, 1, -1);
    OnPaint(window);
    EXPECT_EQ(Info(IDC_START)->rect.bottom - Info(IDC_START)->rect.top, 46);

    // And with the sample measurable, its 16 px line gives the 32 px buttons.
    SetUp();
    SimFail(SIM_OP_TEXT_EXTENT, 1, -1);
    OnPaint(window);
    EXPECT_EQ(Info(IDC_START)->rect.bottom - Info(IDC_START)->rect.top, 32);
}

// The texts are bytes in the ANSI code page, and the system converts what the program draws
// itself by the font's character set: whatever set the icon-title font names, the text font
// must make that the code page's, at the first layout and after a change of DPI.
TEST_F(LayoutTest, TextsAreMeasuredAndDrawnInTheAnsiCodePage)
{
    struct Case {
        int codePage, iconTitleCharset, fontCharset;
    };
    const Case cases[] = {
        {1252, SIM_CHARSET_ANSI, SIM_CHARSET_ANSI},         // Western: the description as it is
        {932, SIM_CHARSET_SHIFTJIS, SIM_CHARSET_SHIFTJIS},  // Japanese Windows
        {932, SIM_CHARSET_ANSI, SIM_CHARSET_SHIFTJIS},      // English Windows, Japanese programs
    };
    for (const Case& c : cases) {
        SetUp();
        SimSetCodePage(c.codePage);
        SimSetIconTitleCharset(c.iconTitleCharset);
        PaintTwice();
        EXPECT_EQ(SimFontCharset(gLayout.textFont), c.fontCharset) << c.codePage << " " << c.iconTitleCharset;
        PlatRect suggested = {0, 0, 600, 360};
        LayoutForDpi(window, 144, &suggested);
        OnPaint(window);
        EXPECT_EQ(SimFontCharset(gLayout.textFont), c.fontCharset) << "after the DPI change";
        EXPECT_FALSE(SimTextOuts().empty());
        EXPECT_EQ(SimMisconverted(), 0) << c.codePage << " " << c.iconTitleCharset;
        TearDown();
    }
}

TEST_F(LayoutTest, FontThatCannotBeMadeStopsTheLayoutWithASystemErrorBox)
{
    for (SimOp op : {SIM_OP_ICON_TITLE_FONT, SIM_OP_CREATE_FONT}) {
        SetUp();
        gStatus.statusIndex = STATUS_COMPLETE;
        snprintf(gStatus.lastRecord, sizeof gStatus.lastRecord, "kept");
        const PlatRect startBefore = Info(IDC_START)->rect;
        const PlatRect portBefore = Info(IDC_PORT)->rect;
        SimFail(op, 0, 1, 8);

        PaintTwice();

        SCOPED_TRACE(op);
        ASSERT_EQ(SimMessageBoxes().size(), 1u);
        EXPECT_EQ(SimMessageBoxes()[0].owner, window);
        EXPECT_EQ(SimMessageBoxes()[0].caption, "Error");
        EXPECT_TRUE(SimPostedMessages().empty());
        EXPECT_EQ(gLayout.layoutDone, 1);
        EXPECT_EQ(gLayout.textFont, nullptr);
        EXPECT_EQ(SimFontsAlive(), 0);
        // Nothing placed, captioned, filled or painted; the status untouched.
        EXPECT_EQ(Info(IDC_START)->rect.left, startBefore.left);
        EXPECT_EQ(Info(IDC_START)->rect.bottom, startBefore.bottom);
        EXPECT_EQ(Info(IDC_PORT)->rect.left, portBefore.left);
        EXPECT_EQ(Info(IDC_START)->text, "START");
        EXPECT_EQ(Info(IDC_CLOSE)->text, "CLOSE");
        EXPECT_TRUE(Info(IDC_PORT)->items.empty());
        EXPECT_TRUE(Info(IDC_STORE)->items.empty());
        EXPECT_EQ(SimCalls(SIM_OP_TEXT_EXTENT), 0);
        EXPECT_TRUE(SimTextOuts().empty());
        EXPECT_EQ(gStatus.statusIndex, STATUS_COMPLETE);
        EXPECT_STREQ(gStatus.lastRecord, "kept");
        EXPECT_EQ(gStatus.statusRect.right, 0);
        EXPECT_EQ(gLayout.labelArea.right, 0);
        // Not tried again on later paints.
        OnPaint(window);
        EXPECT_EQ(SimMessageBoxes().size(), 1u);
    }
}

TEST_F(LayoutTest, MissingButtonCaptionIsAProgramErrorThatClosesTheWindow)
{
    struct Case {
        int slot;
        bool startPlaced;
    };
    const Case cases[] = {{TEXT_START, false}, {TEXT_CLOSE, true}};
    for (const Case& c : cases) {
        SetUp();
        FreeText(&gAppTexts.generalTexts[c.slot]);
        const PlatRect closeBefore = Info(IDC_CLOSE)->rect;

        OnPaint(window);

        SCOPED_TRACE(c.slot);
        ASSERT_EQ(SimMessageBoxes().size(), 1u);
        EXPECT_EQ(SimMessageBoxes()[0].text, "Program Error");
        EXPECT_EQ(SimMessageBoxes()[0].caption, "ERROR");
        EXPECT_EQ(SimMessageBoxes()[0].style, (unsigned)(PLAT_MB_ICONWARNING | PLAT_MB_OK));
        EXPECT_EQ(SimMessageBoxes()[0].owner, window);
        ASSERT_EQ(SimPostedMessages().size(), 1u);
        EXPECT_EQ(SimPostedMessages()[0].message, (unsigned)PLAT_WM_CLOSE);
        // The lists were filled before, so closing saves what they show.
        EXPECT_EQ(Info(IDC_BAUD)->items.size(), 6u);
        EXPECT_EQ(Info(IDC_START)->text, c.startPlaced ? "Start" : "START");
        EXPECT_EQ(Info(IDC_CLOSE)->text, "CLOSE");
        EXPECT_EQ(Info(IDC_CLOSE)->rect.top, closeBefore.top);
        EXPECT_EQ(SimSelectedFont(), nullptr);
        EXPECT_EQ(gLayout.layoutDone, 1);
    }
}

TEST_F(LayoutTest, OneByteButtonCaptionsAreCaptions)
{
    SetText(&gAppTexts.generalTexts[TEXT_START], "S");
    SetText(&gAppTexts.generalTexts[TEXT_CLOSE], "C");
    OnPaint(window);
    EXPECT_TRUE(SimMessageBoxes().empty());
    EXPECT_EQ(Info(IDC_START)->text, "S");
    EXPECT_EQ(Info(IDC_CLOSE)->text, "C");
}

// A box's message loop delivers WM_PAINT to its owner, here up to three times in all so
// that a layout that re-enters itself ends.
void PaintFromInsideTheBox(PlatWindow owner, void* deliveries)
{
    int* left = static_cast<int*>(deliveries);
    if (*left <= 0) return;
    (*left)--;
    PlatInvalidateRect(owner, nullptr, 1);
    OnPaint(owner);
}

TEST_F(LayoutTest, APaintFromInsideALayoutBoxOnlyPaints)
{
    struct {
        const char* what;
        void (*arrange)();
        size_t posts;
        size_t baudItems;  // filled before the captions are checked, and only once
    } cases[] = {
        {"font cannot be made", [] { SimFail(SIM_OP_CREATE_FONT, 0, 1, 8); }, 0, 0},
        {"no Start caption", [] { FreeText(&gAppTexts.generalTexts[TEXT_START]); }, 1, 6},
    };
    for (const auto& c : cases) {
        SetUp();
        c.arrange();
        int deliveries = 3;
        SimSetBoxHook(PaintFromInsideTheBox, &deliveries);

        OnPaint(window);

        SCOPED_TRACE(c.what);
        EXPECT_EQ(deliveries, 2) << "one box, one paint from inside it";
        EXPECT_EQ(SimMessageBoxes().size(), 1u);
        EXPECT_EQ(SimPostedMessages().size(), c.posts);
        EXPECT_EQ(Info(IDC_BAUD)->items.size(), c.baudItems);
        EXPECT_EQ(SimOpenPaints(), 0);
        EXPECT_EQ(SimPaintMismatches(), 0);
    }
}

TEST_F(LayoutTest, StatusRepaintDrawsOnlyTheStatusArea)
{
    PaintTwice();
    SimClearPaintLog();
    gStatus.statusIndex = STATUS_RECEIVING;
    snprintf(gStatus.lastRecord, sizeof gStatus.lastRecord, "0001,23.5,OK");

    PlatInvalidateRect(window, &gStatus.statusRect, 1);
    OnPaint(window);

    ASSERT_EQ(SimTextOuts().size(), 2u);
    EXPECT_EQ(SimTextOuts()[0].text, "Receiving data...");
    EXPECT_EQ(SimTextOuts()[0].x, 8);
    EXPECT_EQ(SimTextOuts()[0].y, 122);
    EXPECT_EQ(SimTextOuts()[1].text, "0001,23.5,OK");
    EXPECT_EQ(SimTextOuts()[1].x, 16);
    EXPECT_EQ(SimTextOuts()[1].y, 142);

    // A region away from labels and status (the Close button) draws nothing.
    SimClearPaintLog();
    PlatRect button = Info(IDC_CLOSE)->rect;
    button.top = gStatus.statusRect.bottom;
    PlatInvalidateRect(window, &button, 1);
    OnPaint(window);
    EXPECT_TRUE(SimTextOuts().empty());
}

TEST_F(LayoutTest, StatusTextFollowsTheIndexAndTheRecordIsDrawnWhole)
{
    PaintTwice();
    const std::string longRecord(LAST_RECORD_SIZE - 1, '7');  // far wider than the window
    const char* const expected[] = {"Ready.", "Receiving data...", "Complete.", "Timeout error."};
    for (int index = STATUS_READY; index <= STATUS_TIMEOUT; index++) {
        SimClearPaintLog();
        gStatus.statusIndex = index;
        snprintf(gStatus.lastRecord, sizeof gStatus.lastRecord, "%s", longRecord.c_str());
        PlatInvalidateRect(window, &gStatus.statusRect, 1);
        OnPaint(window);
        const std::vector<std::string> drawn = {expected[index], longRecord};
        EXPECT_EQ(Drawn(), drawn);
    }
    // An empty record draws only the status.
    SimClearPaintLog();
    gStatus.lastRecord[0] = 0;
    PlatInvalidateRect(window, &gStatus.statusRect, 1);
    OnPaint(window);
    EXPECT_EQ(Drawn(), std::vector<std::string>{"Timeout error."});
    // An empty status slot draws nothing in its place: only the record.
    SimClearPaintLog();
    snprintf(gStatus.lastRecord, sizeof gStatus.lastRecord, "r");
    FreeText(&gAppTexts.statusTexts[STATUS_TIMEOUT]);
    PlatInvalidateRect(window, &gStatus.statusRect, 1);
    OnPaint(window);
    EXPECT_EQ(Drawn(), std::vector<std::string>{"r"});
}

TEST_F(LayoutTest, MissingListGivesUpItsRow)
{
    struct Case {
        int removed;
        int tops[3];   // list tops by row; -1 for the removed one
        int labelTop;  // labelArea top
        int statusTop;
        std::vector<std::string> drawn;
    };
    const Case cases[] = {
        {IDC_PORT, {-1, 8, 38}, 11, 92, {"Baudrate:", "Stored to:", "Ready."}},
        {IDC_BAUD, {8, -1, 38}, 11, 92, {"Port No.:", "Stored to:", "Ready."}},
        {IDC_STORE, {8, 38, -1}, 11, 92, {"Port No.:", "Baudrate:", "Ready."}},
    };
    const int ids[3] = {IDC_PORT, IDC_BAUD, IDC_STORE};
    for (const Case& c : cases) {
        SetUp();
        SimRemoveControl(window, c.removed);
        PaintTwice();
        SCOPED_TRACE(c.removed);
        for (int row = 0; row < 3; row++) {
            if (c.tops[row] < 0) continue;
            EXPECT_EQ(Info(ids[row])->rect.top, c.tops[row]);
            EXPECT_EQ(gLayout.labelPos[row].y, c.tops[row] + 3);
        }
        EXPECT_EQ(gLayout.labelArea.top, c.labelTop);
        EXPECT_EQ(gStatus.statusRect.top, c.statusTop);
        EXPECT_EQ(Drawn(), c.drawn);
    }
}

TEST_F(LayoutTest, MissingButtonsAreSkippedButTheAreasStillSet)
{
    SimRemoveControl(window, IDC_START);
    SimRemoveControl(window, IDC_CLOSE);
    OnPaint(window);
    EXPECT_TRUE(SimMessageBoxes().empty());
    EXPECT_EQ(gLayout.labelArea.right, 288);
    EXPECT_EQ(gStatus.statusRect.bottom, 171);
}

}  // namespace
