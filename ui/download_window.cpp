// The dialog as the download's front end: its lists make the request, its timer runs the
// steps, and what the download reports shows in the status area, the lists, the button and
// the warning box.
#include "ui/download_window.h"

#include <string.h>

#include "download/download.h"
#include "download/output_file.h"
#include "platform/system.h"
#include "platform/window.h"
#include "records/ids.h"
#include "records/messages.h"
#include "records/settings.h"
#include "records/status.h"
#include "records/warning_box.h"

namespace {

void InvalidateStatus(PlatWindow window)
{
    PlatInvalidateRect(window, &gStatus.statusRect, 1);
}

void EnableLists(PlatWindow window, int enable)
{
    static const int lists[] = {IDC_PORT, IDC_BAUD, IDC_STORE};
    for (int id : lists) {
        PlatWindow list = PlatGetDlgItem(window, id);
        if (list != nullptr) PlatEnableWindow(list, enable);
    }
}

void SetStartCaption(PlatWindow window, int slot)
{
    PlatWindow button = PlatGetDlgItem(window, IDC_START);
    const char* text = gAppTexts.generalTexts[slot];
    if (button != nullptr && text != nullptr) PlatSetWindowText(button, text);
}

// The record as the status area shows it: at most LAST_RECORD_SIZE - 1 bytes, cut between
// characters so that a lone lead byte never garbles the end of the line.
void KeepRecord(const char* line)
{
    size_t keep = 0;
    while (line[keep] != '\0') {
        size_t step = PlatIsLeadByte((unsigned char)line[keep]) && line[keep + 1] != '\0' ? 2 : 1;
        if (keep + step > LAST_RECORD_SIZE - 1) break;
        keep += step;
    }
    memcpy(gStatus.lastRecord, line, keep);
    gStatus.lastRecord[keep] = '\0';
}

PlatWindow Window(void* context) { return static_cast<PlatWindow>(context); }

// A 2-byte record comes every 1 ms at 38400 bit/s, and a repaint may take milliseconds on an
// old PC or over a remote desktop: painting every record would tie the poll's pace to the
// display's. The latest record is painted at most once per display frame, and whatever is
// still unpainted when the poll ends, so records are seen to pass and the last one stays.
enum { RECORD_FRAME_MS = 16 };

struct RecordPaint {
    int waiting;          // lastRecord holds a record not yet painted
    int painted;          // a record of this download was painted, when paintedAt says
    uint32_t paintedAt;   // the tick after that paint
};

RecordPaint gRecordPaint;

void PaintRecord(PlatWindow window)
{
    InvalidateStatus(window);
    PlatUpdateWindow(window);
    gRecordPaint.waiting = 0;
    gRecordPaint.painted = 1;
    // Counted from the paint's end: a paint slower than a frame still leaves the poll a
    // frame's time between two paints.
    gRecordPaint.paintedAt = PlatGetTickCount();
}

void PaintWaitingRecord(PlatWindow window)
{
    if (gRecordPaint.waiting) PaintRecord(window);
}

void ShowStatus(void* context, int statusIndex)
{
    gStatus.statusIndex = statusIndex;
    InvalidateStatus(Window(context));
}

void ShowRecord(void* context, const char* record)
{
    KeepRecord(record);
    // The finish step takes the record off; the status it shows next repaints the area.
    if (record[0] == '\0') {
        gRecordPaint.waiting = 0;
        return;
    }
    gRecordPaint.waiting = 1;
    // Unsigned difference: right across the tick's wrap-around after 49.7 days.
    uint32_t since = PlatGetTickCount() - gRecordPaint.paintedAt;
    if (!gRecordPaint.painted || since >= (uint32_t)RECORD_FRAME_MS) PaintRecord(Window(context));
}

void ShowBox(void* context, const char* text) { WarningBox(Window(context), WARN_REFUSAL, text); }

void SetBusy(void* context, int busy)
{
    PlatWindow window = Window(context);
    EnableLists(window, !busy);
    SetStartCaption(window, busy ? TEXT_CANCEL : TEXT_START);
    // Shown by the begin step's repaint, once the file and the port are open.
    if (busy) gStatus.statusIndex = STATUS_RECEIVING;
}

int Schedule(void* context, unsigned milliseconds)
{
    gDownload.timerId = PlatSetTimer(Window(context), DOWNLOAD_TIMER_ID, milliseconds);
    return gDownload.timerId != 0;
}

void Unschedule(void* context)
{
    PlatKillTimer(Window(context), DOWNLOAD_TIMER_ID);
    gDownload.timerId = 0;
}

// Anything but the Desktop item, no selection included, means My Documents.
int ChooseFolder(void* context, const char** folder)
{
    PlatWindow list = PlatGetDlgItem(Window(context), IDC_STORE);
    if (list == nullptr) return 0;
    *folder = PlatComboGetCurSel(list) == STORE_INDEX_DESKTOP ? gAppTexts.desktopPath : gAppTexts.documentsPath;
    return 1;
}

// The window's request: the port and rate chosen (the settings the lists last gave); the
// folder is asked for when the file is made.
void UseWindow(PlatWindow window, DownloadRequest* request, DownloadFrontEnd* frontEnd)
{
    *request = DownloadRequest{(int)gSettings.portNumber, nullptr, nullptr, (int)gSettings.baudRate, nullptr, 0};
    *frontEnd = DownloadFrontEnd{window,   ShowStatus, ShowRecord,   nullptr,      ShowBox,
                                 SetBusy,  Schedule,   Unschedule,   ChooseFolder, nullptr};
}

void UseWindowNow(PlatWindow window)
{
    DownloadRequest request;
    DownloadFrontEnd frontEnd;
    UseWindow(window, &request, &frontEnd);
    DownloadUse(&request, &frontEnd);
}

}  // namespace

void DownloadToggle(PlatWindow window)
{
    if (DownloadIsBusy()) {
        DownloadCancel();
        return;
    }
    SettingsFromControls(window);
    DownloadRequest request;
    DownloadFrontEnd frontEnd;
    UseWindow(window, &request, &frontEnd);
    // A new download's first record is painted at once.
    gRecordPaint = RecordPaint();
    DownloadRequestStart(&request, &frontEnd);
}

int DownloadOnTimer(PlatWindow window, unsigned timerId)
{
    // A tick still queued after the timer was stopped must do nothing.
    if (gDownload.timerId == 0 || timerId != gDownload.timerId) return 0;
    // Window timers repeat: each step arms the next one itself.
    PlatKillTimer(window, gDownload.timerId);
    gDownload.timerId = 0;
    DownloadStep();
    PaintWaitingRecord(window);
    return 1;
}

int DownloadBegin(PlatWindow window)
{
    UseWindowNow(window);
    return DownloadBeginRequest();
}

int DownloadPoll(PlatWindow window)
{
    UseWindowNow(window);
    int goesOn = DownloadPollLines();
    PaintWaitingRecord(window);
    return goesOn;
}

void DownloadFinish(PlatWindow window)
{
    UseWindowNow(window);
    DownloadFinishRequest();
}

int OutputFileCreate(PlatWindow window)
{
    const char* folder = nullptr;
    if (!ChooseFolder(window, &folder)) return CREATE_NO_LIST;
    return OutputFileCreateIn(folder);
}
