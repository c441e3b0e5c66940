// The one-time layout of the dialog from text measured in the icon-title font, and the
// painting of the three labels, the status text and the last record.
#include "ui/layout.h"

#include <string.h>

#include "app/ids.h"
#include "app/messages.h"
#include "app/settings.h"
#include "app/shared.h"
#include "app/status.h"
#include "platform/window.h"
#include "ui/selection.h"

Layout gLayout;

namespace {

enum { ROW_COUNT = 3 };
enum { MARGIN = 8, LABEL_GAP = 4, LIST_EXTRA = 32, ROW_PAD = 8, STATUS_GAP = 32, BUTTON_PAD = 16 };
// Used when a measurement fails: the sample's height, and a list's width and drop-down height.
enum { FALLBACK_HEIGHT = 30, FALLBACK_WIDTH = 100, FALLBACK_DROP = 30 };

// The height sample, "文字列の幅と高さですqafgjpとかｑａｆｇｊｐは？" in code page 932 (46 bytes):
// kanji, kana and the descending Latin letters in half- and full-width form, so the
// measured height covers the tallest and deepest glyphs the catalogue texts may use.
const char kHeightSample[] =
    "\x95\xb6\x8e\x9a\x97\xf1\x82\xcc\x95\x9d\x82\xc6\x8d\x82\x82\xb3\x82\xc5\x82\xb7"
    "\x71\x61\x66\x67\x6a\x70"
    "\x82\xc6\x82\xa9\x82\x91\x82\x81\x82\x86\x82\x87\x82\x8a\x82\x90\x82\xcd\x81\x48";

const int kRowListId[ROW_COUNT] = {IDC_PORT, IDC_BAUD, IDC_STORE};
// Rows in the opened list: one more than the items (16 ports, 6 rates, 2 folders).
const int kRowDropRows[ROW_COUNT] = {17, 7, 3};

const char* SlotText(const char* slot) { return slot ? slot : ""; }

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
        *width = FALLBACK_WIDTH;
        *dropHeight = FALLBACK_DROP;
        return;
    }
    *width = measured + LIST_EXTRA;
    *dropHeight = kRowDropRows[row] * (*h + ROW_PAD);
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

// Places one row's list at the given top, fills it and centres its label on the closed
// field read back from the control. Returns 0 for a missing list (nothing done), else 1
// with the field's bottom edge.
int PlaceRow(PlatWindow window, PlatDc dc, int row, int32_t top, int32_t* h, int32_t* bottom)
{
    PlatWindow list = PlatGetDlgItem(window, kRowListId[row]);
    if (!list) return 0;

    const char* label = gAppTexts.labelTexts[row];
    int32_t labelWidth = 0;
    int32_t x = 0;
    if (label && label[0] && Measure(dc, label, &labelWidth, h)) x = MARGIN + labelWidth + LABEL_GAP;

    int32_t width = 0;
    int32_t dropHeight = 0;
    MeasureList(dc, row, h, &width, &dropHeight);

    // A drop-down list takes the closed field and its opened list together; the field's
    // own height then follows from the font, so the row is measured from the control.
    PlatSetWindowPos(list, x, top, width, dropHeight);
    PlatSetControlFont(list, gLayout.textFont);
    FillRow(row, list);

    PlatRect field;
    if (!PlatGetControlRect(window, list, &field)) {
        // Not expected for a live control; assume a field one padded line high.
        field.left = x;
        field.top = top;
        field.right = x + width;
        field.bottom = top + *h + ROW_PAD;
    }
    gLayout.labelPos[row].x = MARGIN;
    gLayout.labelPos[row].y = field.top + (field.bottom - field.top - *h) / 2;
    gLayout.labelShown[row] = 1;
    *bottom = field.bottom;
    return 1;
}

void ProgramError(PlatWindow window)
{
    PlatMessageBox(window, "Program Error", "ERROR", PLAT_MB_ICONWARNING | PLAT_MB_OK);
    PlatPostMessage(window, PLAT_WM_CLOSE);
}

// Places a button and gives it the font and its caption.
void PlaceButton(PlatWindow window, int id, int32_t x, int32_t y, int32_t width, int32_t height, const char* caption)
{
    PlatWindow button = PlatGetDlgItem(window, id);
    if (!button) return;
    PlatSetWindowPos(button, x, y, width, height);
    PlatSetControlFont(button, gLayout.textFont);
    PlatSetWindowText(button, caption);
}

}  // namespace

void OnPaint(PlatWindow window)
{
    PlatPaint paint;
    PlatDc dc = PlatBeginPaint(window, &paint);
    if (!gLayout.layoutDone) {
        // Marked first: once only, whatever comes of it, and a box the layout shows runs a
        // message loop whose WM_PAINT must only paint, not lay out (and fill the lists) again.
        gLayout.layoutDone = 1;
        LayoutDialog(window, dc);
        // The texts are drawn by the paint this causes, over a freshly erased client.
        PlatInvalidateRect(window, nullptr, 1);
    } else {
        PaintTexts(dc);
    }
    PlatEndPaint(window, &paint);
}

void LayoutDialog(PlatWindow window, PlatDc dc)
{
    PlatRect client = {0, 0, 0, 0};
    PlatGetClientRect(window, &client);
    int32_t clientWidth = client.right;
    int32_t clientHeight = client.bottom;

    if (!gLayout.textFont) {
        PlatLogFont description;
        if (PlatGetIconTitleLogFont(&description)) gLayout.textFont = PlatCreateFont(&description);
        if (!gLayout.textFont) {
            ShowLastError(window);
            return;
        }
    }
    PlatFont previousFont = PlatSelectFont(dc, gLayout.textFont);

    int32_t h = FALLBACK_HEIGHT;
    int32_t sampleWidth = 0;
    Measure(dc, kHeightSample, &sampleWidth, &h);

    // A missing list gives up its row: the rows below move up and its label is not drawn.
    int32_t top = MARGIN;
    int32_t lastBottom = 0;
    int anyRow = 0;
    for (int row = 0; row < ROW_COUNT; row++) {
        int32_t bottom = 0;
        if (!PlaceRow(window, dc, row, top, &h, &bottom)) continue;
        if (!anyRow) {
            gLayout.labelArea.left = MARGIN;
            gLayout.labelArea.top = gLayout.labelPos[row].y;
            anyRow = 1;
        }
        lastBottom = bottom;
        top = bottom + ROW_PAD;
    }

    gLayout.labelArea.bottom = lastBottom;
    gStatus.statusRect.left = MARGIN;
    gStatus.statusRect.top = lastBottom + STATUS_GAP;
    gStatus.statusRect.right = clientWidth - MARGIN;
    gLayout.statusTextPos.x = MARGIN;
    gLayout.statusTextPos.y = lastBottom + STATUS_GAP;
    gLayout.lastRecordPos.x = 2 * MARGIN;
    gLayout.lastRecordPos.y = lastBottom + STATUS_GAP + h + LABEL_GAP;
    gStatus.statusIndex = STATUS_READY;
    gStatus.lastRecord[0] = 0;

    const char* start = gAppTexts.generalTexts[TEXT_START];
    const char* close = gAppTexts.generalTexts[TEXT_CLOSE];
    int32_t quarter = clientWidth / 4;
    int32_t buttonX = clientWidth - quarter - MARGIN;
    int32_t buttonHeight = h + BUTTON_PAD;
    if (!start || !start[0]) {
        ProgramError(window);
    } else {
        PlaceButton(window, IDC_START, buttonX, MARGIN, quarter, buttonHeight, start);
        gLayout.labelArea.right = buttonX;
        if (!close || !close[0]) {
            ProgramError(window);
        } else {
            int32_t closeY = clientHeight - buttonHeight - MARGIN;
            PlaceButton(window, IDC_CLOSE, buttonX, closeY, quarter, buttonHeight, close);
            gStatus.statusRect.bottom = closeY;
        }
    }
    PlatSelectFont(dc, previousFont);
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
