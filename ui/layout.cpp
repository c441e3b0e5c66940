// The one-time layout of the dialog from text measured in the icon-title font, and the
// painting of the three labels, the status text and the last record.
#include "ui/layout.h"

#include <string.h>

#include "platform/window.h"
#include "records/ids.h"
#include "records/messages.h"
#include "records/settings.h"
#include "records/warning_box.h"
#include "records/status.h"
#include "ui/selection.h"

Layout gLayout;

namespace {

enum { ROW_COUNT = 3 };
// Fixed sizes in pixels at 96 DPI; every one is scaled to the window's DPI where it is used.
enum { MARGIN = 8, LABEL_GAP = 4, LIST_EXTRA = 32, ROW_PAD = 8, STATUS_GAP = 32, BUTTON_PAD = 16 };
// Used when a measurement fails: the sample's height, and a list's width and drop-down height.
enum { FALLBACK_HEIGHT = 30, FALLBACK_WIDTH = 100, FALLBACK_DROP = 30 };

// A fixed size at the layout's DPI.
int32_t S(int32_t pixels) { return DpiScale(pixels, gLayout.dpi); }

// The height sample, "文字列の幅と高さですqafgjpとかｑａｆｇｊｐは？" in code page 932 (46 bytes):
// kanji, kana and the descending Latin letters in half- and full-width form, so the
// measured height covers the tallest and deepest glyphs the catalogue texts may use.
const char kHeightSample[] =
    "\x95\xb6\x8e\x9a\x97\xf1\x82\xcc\x95\x9d\x82\xc6\x8d\x82\x82\xb3\x82\xc5\x82\xb7"
    "\x71\x61\x66\x67\x6a\x70"
    "\x82\xc6\x82\xa9\x82\x91\x82\x81\x82\x86\x82\x87\x82\x8a\x82\x90\x82\xcd\x81\x48";

const int kRowListId[ROW_COUNT] = {IDC_PORT, IDC_BAUD, IDC_STORE};
// Rows in the opened list: one more than the items (16 ports, 6 rates, 2 folders).
const int kRowDropRows[ROW_COUNT] = {PORT_LAST - PORT_FIRST + 2, BAUD_COUNT + 1, 3};

// Measures a text with its byte length. On success stores its width and makes its height
// the current line height *h; on failure leaves both alone.
int Measure(PlatDc dc, const char* text, int32_t* width, int32_t* h)
{
    PlatSize size = {0, 0};
    text = SlotText(text);
    if (!PlatGetTextExtent(dc, text, (int)strlen(text), &size)) return 0;
    *width = size.cx;
    *h = size.cy;
    return 1;
}

// The list's width and drop-down height from the widest text it must show (the baud list
// is sized by its first item, as it always was).
void MeasureList(PlatDc dc, int row, int32_t* h, int32_t* width, int32_t* dropHeight)
{
    int32_t measured = 0;
    int ok = 0;
    if (row == 0) {
        ok = Measure(dc, "COM99", &measured, h);
    } else if (row == 1) {
        ok = Measure(dc, kBaudTable[0].item, &measured, h);
    } else {
        ok = Measure(dc, gAppTexts.generalTexts[TEXT_DESKTOP], &measured, h);
        int32_t documents = 0;
        if (ok && Measure(dc, gAppTexts.generalTexts[TEXT_MY_DOCUMENTS], &documents, h) && documents > measured)
            measured = documents;
    }
    if (!ok) {
        *width = S(FALLBACK_WIDTH);
        *dropHeight = S(FALLBACK_DROP);
        return;
    }
    *width = measured + S(LIST_EXTRA);
    *dropHeight = kRowDropRows[row] * (*h + S(ROW_PAD));
}

void FillRow(int row, PlatWindow list)
{
    if (row == 0)
        FillPortList(list);
    else if (row == 1)
        FillBaudList(list);
    else
        FillStoreList(list);
}

// Places one row's list at the given top, fills it (first layout only) and centres its
// label on the closed field read back from the control. Returns 0 for a missing list
// (nothing done), else 1 with the field's bottom edge.
int PlaceRow(PlatWindow window, PlatDc dc, int row, int32_t top, int fill, int32_t* h, int32_t* bottom)
{
    PlatWindow list = PlatGetDlgItem(window, kRowListId[row]);
    if (!list) return 0;

    const char* label = gAppTexts.labelTexts[row];
    int32_t labelWidth = 0;
    int32_t x = 0;
    if (label && label[0] && Measure(dc, label, &labelWidth, h)) x = S(MARGIN) + labelWidth + S(LABEL_GAP);

    int32_t width = 0;
    int32_t dropHeight = 0;
    MeasureList(dc, row, h, &width, &dropHeight);

    // A drop-down list takes the closed field and its opened list together; the field's
    // own height then follows from the font, so the row is measured from the control.
    PlatSetWindowPos(list, x, top, width, dropHeight);
    PlatSetControlFont(list, gLayout.textFont);
    if (fill) FillRow(row, list);

    PlatRect field;
    if (!PlatGetControlRect(window, list, &field)) {
        // Not expected for a live control; assume a field one padded line high.
        field.left = x;
        field.top = top;
        field.right = x + width;
        field.bottom = top + *h + S(ROW_PAD);
    }
    gLayout.labelPos[row].x = S(MARGIN);
    gLayout.labelPos[row].y = field.top + (field.bottom - field.top - *h) / 2;
    gLayout.labelShown[row] = 1;
    *bottom = field.bottom;
    return 1;
}

void ProgramError(PlatWindow window)
{
    WarningBox(window, WARN_REFUSAL, "Program Error");
    PlatPostMessage(window, PLAT_WM_CLOSE);
}

// Places a button and gives it the font and, unless null, its caption.
void PlaceButton(PlatWindow window, int id, int32_t x, int32_t y, int32_t width, int32_t height, const char* caption)
{
    PlatWindow button = PlatGetDlgItem(window, id);
    if (!button) return;
    PlatSetWindowPos(button, x, y, width, height);
    PlatSetControlFont(button, gLayout.textFont);
    if (caption) PlatSetWindowText(button, caption);
}


// Places every control and sets every position from text measured in textFont (selected
// into dc) at the layout's DPI. The first layout also fills the lists, captions the buttons
// and resets the status; a later one leaves those alone, since a download may be running
// (the Start button then reads "Cancel" and the status area shows its progress).
void PlaceAll(PlatWindow window, PlatDc dc, int first)
{
    PlatRect client = {0, 0, 0, 0};
    PlatGetClientRect(window, &client);
    int32_t clientWidth = client.right;
    int32_t clientHeight = client.bottom;

    int32_t h = S(FALLBACK_HEIGHT);
    int32_t sampleWidth = 0;
    Measure(dc, kHeightSample, &sampleWidth, &h);

    // A missing list gives up its row: the rows below move up and its label is not drawn.
    int32_t top = S(MARGIN);
    int32_t lastBottom = 0;
    int anyRow = 0;
    for (int row = 0; row < ROW_COUNT; row++) {
        int32_t bottom = 0;
        if (!PlaceRow(window, dc, row, top, first, &h, &bottom)) continue;
        if (!anyRow) {
            gLayout.labelArea.left = S(MARGIN);
            gLayout.labelArea.top = gLayout.labelPos[row].y;
            anyRow = 1;
        }
        lastBottom = bottom;
        top = bottom + S(ROW_PAD);
    }

    gLayout.labelArea.bottom = lastBottom;
    gStatus.statusRect.left = S(MARGIN);
    gStatus.statusRect.top = lastBottom + S(STATUS_GAP);
    gStatus.statusRect.right = clientWidth - S(MARGIN);
    gLayout.statusTextPos.x = S(MARGIN);
    gLayout.statusTextPos.y = lastBottom + S(STATUS_GAP);
    gLayout.lastRecordPos.x = S(2 * MARGIN);
    gLayout.lastRecordPos.y = lastBottom + S(STATUS_GAP) + h + S(LABEL_GAP);
    if (first) {
        gStatus.statusIndex = STATUS_READY;
        gStatus.lastRecord[0] = 0;
    }

    const char* start = gAppTexts.generalTexts[TEXT_START];
    const char* close = gAppTexts.generalTexts[TEXT_CLOSE];
    int32_t quarter = clientWidth / 4;
    int32_t buttonX = clientWidth - quarter - S(MARGIN);
    int32_t buttonHeight = h + S(BUTTON_PAD);
    if (!start || !start[0]) {
        if (first) ProgramError(window);
    } else {
        PlaceButton(window, IDC_START, buttonX, S(MARGIN), quarter, buttonHeight, first ? start : nullptr);
        gLayout.labelArea.right = buttonX;
        if (!close || !close[0]) {
            if (first) ProgramError(window);
        } else {
            int32_t closeY = clientHeight - buttonHeight - S(MARGIN);
            PlaceButton(window, IDC_CLOSE, buttonX, closeY, quarter, buttonHeight, first ? close : nullptr);
            gStatus.statusRect.bottom = closeY;
        }
    }
}

// The icon-title font for a DPI, in the character set of the system's ANSI code page. The
// texts are bytes in that code page, but TextOutA and GetTextExtentPointA convert them by
// the font's character set: a description that keeps a Western set (an English Windows
// running programs that are not Unicode in Japanese) drew and measured them as mojibake.
// On a Western system the set is the description's own, so nothing else changes.
PlatFont MakeTextFont(int dpi)
{
    PlatLogFont description;
    if (!PlatGetIconTitleLogFont(&description, dpi)) return nullptr;
    PlatSetLogFontCharset(&description, PlatAnsiCharset());
    return PlatCreateFont(&description);
}

}  // namespace

int32_t DpiScale(int32_t pixels, int dpi)
{
    if (dpi <= 0 || dpi == DPI_DEFAULT) return pixels;
    // MulDiv's rounding: halves away from zero.
    int64_t product = (int64_t)pixels * dpi;
    int64_t half = DPI_DEFAULT / 2;
    return (int32_t)(product >= 0 ? (product + half) / DPI_DEFAULT : (product - half) / DPI_DEFAULT);
}

void LayoutDialog(PlatWindow window, PlatDc dc)
{
    gLayout.dpi = PlatGetDpiForWindow(window);
    if (!gLayout.textFont) {
        gLayout.textFont = MakeTextFont(gLayout.dpi);
        if (!gLayout.textFont) {
            ShowLastError(window);
            return;
        }
    }
    PlatFont previousFont = PlatSelectFont(dc, gLayout.textFont);
    PlaceAll(window, dc, 1);
    PlatSelectFont(dc, previousFont);
}

void LayoutForDpi(PlatWindow window, int dpi, const PlatRect* suggested)
{
    // The system's rectangle keeps the window under the mouse at the size for the new DPI.
    PlatSetWindowPos(window, suggested->left, suggested->top, suggested->right - suggested->left,
                     suggested->bottom - suggested->top);
    // Before the first layout (or after it failed) there is nothing to redo: the first
    // layout reads the DPI itself.
    if (!gLayout.layoutDone || !gLayout.textFont) return;

    PlatDc dc = PlatGetDc(window);
    if (!dc) return;
    PlatFont oldFont = gLayout.textFont;
    PlatFont newFont = MakeTextFont(dpi);
    // Without a font for the new DPI the old one stays: smaller text, but a whole layout.
    if (newFont) gLayout.textFont = newFont;
    gLayout.dpi = dpi;

    PlatFont previousFont = PlatSelectFont(dc, gLayout.textFont);
    PlaceAll(window, dc, 0);
    PlatSelectFont(dc, previousFont);
    PlatReleaseDc(window, dc);
    // Every control holds the new font by now, so the old one can go.
    if (newFont) PlatDeleteFont(oldFont);
    // Labels and status moved: the whole client is drawn again from the new positions.
    PlatInvalidateRect(window, nullptr, 1);
}

void PaintTexts(PlatDc dc)
{
    PlatFont previousFont = nullptr;
    if (gLayout.textFont) previousFont = PlatSelectFont(dc, gLayout.textFont);
    // The background mode stays opaque, so each text sits on a cell of the face colour.
    uint32_t previousBack = PlatSetBkColor(dc, PlatGetSysColor(PLAT_COLOR_BTNFACE));
    uint32_t previousText = PlatSetTextColor(dc, PlatGetSysColor(PLAT_COLOR_BTNTEXT));

    // Each group is tested against the repainted region first, so a status update
    // (which invalidates only statusRect) never redraws the labels.
    if (PlatRectVisible(dc, &gLayout.labelArea)) {
        for (int row = 0; row < ROW_COUNT; row++) {
            const char* label = gAppTexts.labelTexts[row];
            if (!gLayout.labelShown[row] || !label || !label[0]) continue;
            PlatTextOut(dc, gLayout.labelPos[row].x, gLayout.labelPos[row].y, label, (int)strlen(label));
        }
    }
    if (PlatRectVisible(dc, &gStatus.statusRect)) {
        int index = gStatus.statusIndex;
        const char* status = index >= 0 && index < STATUS_SLOTS ? gAppTexts.statusTexts[index] : nullptr;
        if (status && status[0])
            PlatTextOut(dc, gLayout.statusTextPos.x, gLayout.statusTextPos.y, status, (int)strlen(status));
        // Bounded: the record is drawn whole but never read past its field.
        size_t recordLength = strnlen(gStatus.lastRecord, LAST_RECORD_SIZE);
        if (recordLength > 0)
            PlatTextOut(dc, gLayout.lastRecordPos.x, gLayout.lastRecordPos.y, gStatus.lastRecord, (int)recordLength);
    }

    PlatSetTextColor(dc, previousText);
    PlatSetBkColor(dc, previousBack);
    if (gLayout.textFont) PlatSelectFont(dc, previousFont);
}
