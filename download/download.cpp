// The download control: Start/Cancel, and the one-shot timer whose steps open the file and
// the port, take the device's lines (STX, records, ETX), and finish with the final status.
#include "download/download.h"

#include <string.h>
#include "download/output_file.h"
#include "platform/system.h"
#include "platform/window.h"
#include "records/ids.h"
#include "records/messages.h"
#include "records/settings.h"
#include "records/warning_box.h"
#include "records/csv_line.h"
#include "records/status.h"
#include "serial/comm_port.h"
#include "serial/rx_buffer.h"

DownloadState gDownload;

namespace {

enum { LINE_STX = 0x02, LINE_ETX = 0x03 };

// "COM%d %s" with a catalogue text of up to 242 bytes, or a path and a system text.
enum { WARNING_TEXT_SIZE = OUTPUT_FAILURE_TEXT_SIZE };
// The receive errors the port reported: every kind with its count and advice fits.
enum { LINE_ERROR_TEXT_SIZE = 1536 };

// 1 = the next step is due; 0 = the timer could not be set (the reason is the last error).
int ArmTimer(PlatWindow window, unsigned milliseconds)
{
    gDownload.timerId = PlatSetTimer(window, DOWNLOAD_TIMER_ID, milliseconds);
    return gDownload.timerId != 0;
}

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

// Lists enabled and the Start caption back: the window is ready for the next download.
void RestoreIdleControls(PlatWindow window)
{
    EnableLists(window, 1);
    SetStartCaption(window, TEXT_START);
}

// The record as the status area shows it: at most LAST_RECORD_SIZE - 1 bytes, cut between
// characters so that a lone lead byte never garbles the end of the line.
void ShowRecord(const char* line)
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

// A begin step that failed leaves no trace: no file created by it, the window idle, and a
// box that says which step failed. Without this the button would read "Cancel" over a
// window that runs nothing, and the file left open would refuse every later Start.
void AbandonBegin(PlatWindow window, int result)
{
    char text[WARNING_TEXT_SIZE];
    BoxField field;
    BoxFieldStart(&field, text, sizeof text);
    switch (result) {
    case BEGIN_PORT_FAILED: {
        // The port refused: the file this step created is still empty.
        int discarded = OutputFileDiscardUnused();
        CommRefusalText(&field);
        if (!discarded) {
            AppendCharacters(&field, "\r\n");
            OutputFileFailureText(&field);
        }
        break;
    }
    case BEGIN_NOT_CREATED:
        OutputFileFailureText(&field);
        break;
    default:
        // Nothing was changed. A file of an earlier download still open would refuse every
        // later Start: it is closed and kept. Without one, the list was missing.
        if (gDownload.outputFile != nullptr) {
            OutputFileClose();
            const TextValue values[] = {{"PATH", SlotText(gDownload.outputPath), 1}};
            AppendBoxText(&field, BOX_EARLIER_FILE_CLOSED, values, 1);
        } else {
            AppendBoxText(&field, BOX_NO_STORE_LIST, nullptr, 0);
        }
        break;
    }
    RestoreIdleControls(window);
    gDownload.transferState = XFER_IDLE;
    gStatus.statusIndex = STATUS_READY;
    InvalidateStatus(window);
    if (text[0] != '\0') WarningBox(window, WARN_REFUSAL, text);
}

// What the port reported, how often, that records may be missing or damaged, and what to
// check, for the one box at the end of a download. Empty when the driver reported nothing.
void LineErrorText(char* text, size_t size)
{
    struct Kind {
        int line;     // the kind's line, with its count
        int advice;   // -1: the overrun advice, given once for both overruns
    };
    static const Kind kinds[COMM_ERR_KINDS] = {
        {BOX_RX_QUEUE_OVERRUN, -1},
        {BOX_RX_HARDWARE_OVERRUN, -1},
        {BOX_RX_FRAMING_ERROR, BOX_RX_FRAMING_ADVICE},
        {BOX_RX_PARITY_ERROR, BOX_RX_PARITY_ADVICE},
        {BOX_RX_BREAK, BOX_RX_BREAK_ADVICE},
    };
    BoxField field;
    BoxFieldStart(&field, text, size);
    if (!CommHadLineErrors()) return;
    AppendBoxText(&field, BOX_RX_ERRORS, nullptr, 0);
    AppendCharacters(&field, "\r\n");
    for (int kind = 0; kind < COMM_ERR_KINDS; kind++) {
        uint32_t count = gComm.lineErrors[kind];
        if (count == 0) continue;
        char number[16];
        snprintf(number, sizeof number, "%u", (unsigned)count);
        // The word for the count is itself a catalogue text ("time", "times").
        char times[CSV_LINE_SIZE];
        times[0] = '\0';
        AppendBoxText(times, sizeof times, count == 1 ? BOX_RX_TIME : BOX_RX_TIMES, nullptr, 0);
        const TextValue values[] = {{"COUNT", number, 1}, {"TIMES", times, 0}};
        AppendBoxText(&field, kinds[kind].line, values, 2);
        AppendCharacters(&field, "\r\n");
    }
    AppendBoxText(&field, BOX_RX_DAMAGED, nullptr, 0);
    AppendCharacters(&field, "\r\n");
    if (gComm.lineErrors[COMM_ERR_RXOVER] != 0 || gComm.lineErrors[COMM_ERR_OVERRUN] != 0) {
        AppendCharacters(&field, "\r\n");
        AppendBoxText(&field, BOX_RX_OVERRUN_ADVICE, nullptr, 0);
    }
    for (int kind = 0; kind < COMM_ERR_KINDS; kind++) {
        if (gComm.lineErrors[kind] == 0 || kinds[kind].advice < 0) continue;
        AppendCharacters(&field, "\r\n");
        AppendBoxText(&field, kinds[kind].advice, nullptr, 0);
    }
}

// The box for a timer that could not be set: what it means for the download, and the
// system's reason, taken before anything else can change the last error.
void WarnTimerFailed(PlatWindow window, unsigned error, int box)
{
    char reason[SYSTEM_TEXT_SIZE];
    SystemErrorText(error, reason, sizeof reason);
    char text[WARNING_TEXT_SIZE];
    text[0] = '\0';
    const TextValue values[] = {{"REASON", reason, 1}};
    AppendBoxText(text, sizeof text, box, values, 1);
    WarningBox(window, WARN_REFUSAL, text);
}

// Without a timer no further step would come: the window would read "Cancel" over a download
// that stands still, without the time-out that would end it. A start that cannot be scheduled
// is undone; a running download ends now through its finish step, which reports it by the
// transfer state as usual. After ETX the data set is whole, so only the pause is skipped.
void EndUnscheduled(PlatWindow window)
{
    unsigned error = PlatGetLastError();
    // A timer armed before (Start pressed twice) may still be running under our identifier.
    PlatKillTimer(window, DOWNLOAD_TIMER_ID);
    gDownload.timerId = 0;
    if (gDownload.phase == PHASE_OPEN) {
        gDownload.phase = PHASE_IDLE;
        gDownload.transferState = XFER_IDLE;
        RestoreIdleControls(window);
        gStatus.statusIndex = STATUS_READY;
        InvalidateStatus(window);
        WarnTimerFailed(window, error, BOX_TIMER_NOT_STARTED);
        return;
    }
    int whole = gDownload.transferState == XFER_DONE;
    DownloadFinish(window);
    gDownload.phase = PHASE_IDLE;
    InvalidateStatus(window);
    if (!whole) WarnTimerFailed(window, error, BOX_TIMER_ENDED_EARLY);
}

void Cancel(PlatWindow window)
{
    gDownload.phase = PHASE_IDLE;
    if (gDownload.timerId != 0) {
        PlatKillTimer(window, gDownload.timerId);
        gDownload.timerId = 0;
    }
    CommClose();
    int discarded = OutputFileDiscard();
    RestoreIdleControls(window);
    gStatus.statusIndex = STATUS_READY;
    InvalidateStatus(window);
    if (!discarded) {
        // "Ready." alone would say the cancelled file is gone while it is still on disk.
        char text[WARNING_TEXT_SIZE];
        OutputFileFailureText(text, sizeof text);
        WarningBox(window, WARN_REFUSAL, text);
    }
}

}  // namespace

void DownloadToggle(PlatWindow window)
{
    if (CommIsOpen()) {
        Cancel(window);
        return;
    }
    SettingsFromControls(window);
    EnableLists(window, 0);
    SetStartCaption(window, TEXT_CANCEL);
    gDownload.phase = PHASE_OPEN;
    gDownload.transferState = XFER_WAIT_STX;
    gStatus.statusIndex = STATUS_RECEIVING;
    if (!ArmTimer(window, DOWNLOAD_START_DELAY_MS)) EndUnscheduled(window);
}

int DownloadOnTimer(PlatWindow window, unsigned timerId)
{
    // A tick still queued after the timer was stopped must do nothing.
    if (gDownload.timerId == 0 || timerId != gDownload.timerId) return 0;
    PlatKillTimer(window, gDownload.timerId);
    gDownload.timerId = 0;

    switch (gDownload.phase) {
    case PHASE_OPEN: {
        int result = DownloadBegin(window);
        if (result == BEGIN_OK) {
            gDownload.phase = PHASE_RECEIVE;
            InvalidateStatus(window);
            if (!ArmTimer(window, DOWNLOAD_START_DELAY_MS)) EndUnscheduled(window);
        } else {
            gDownload.phase = PHASE_IDLE;
            AbandonBegin(window, result);
        }
        break;
    }
    case PHASE_RECEIVE:
        if (DownloadPoll(window)) {
            if (!ArmTimer(window, DOWNLOAD_POLL_MS)) EndUnscheduled(window);
        } else {
            gDownload.phase = PHASE_FINISH;
            if (!ArmTimer(window, DOWNLOAD_START_DELAY_MS)) EndUnscheduled(window);
        }
        break;
    case PHASE_FINISH:
        DownloadFinish(window);
        gDownload.phase = PHASE_IDLE;
        InvalidateStatus(window);
        break;
    default:
        break;
    }
    return 1;
}

static_assert((int)CREATE_FAILED == (int)BEGIN_NOT_CREATED && (int)CREATE_NO_LIST == (int)BEGIN_NOT_READY,
              "the begin step hands the creation's failures on unchanged");

int DownloadBegin(PlatWindow window)
{
    if (gDownload.outputFile != nullptr) return BEGIN_NOT_READY;
    int created = OutputFileCreate(window);
    if (created != CREATE_OK) return created;
    if (CommStart(gSettings.portNumber, gSettings.baudRate, 1) != COMM_OK) return BEGIN_PORT_FAILED;
    gDownload.lastActivityTick = PlatGetTickCount();
    return BEGIN_OK;
}

// Takes the next complete line out of the receive buffer; 1 when one was taken, an empty one
// included (the length RxNextLine gives cannot tell an empty line from none).
static int TakeLine(void)
{
    uint32_t before = gRx.fillCount;
    RxNextLine();
    return gRx.fillCount != before;
}

int DownloadPoll(PlatWindow window)
{
    int taken = TakeLine();
    char* line = RxLine();
    // A line is text up to its first NUL; one that starts with NUL counts as empty.
    while (line[0] != '\0') {
        if (gDownload.transferState == XFER_WAIT_STX) {
            if (line[0] != LINE_STX || line[1] != '\0') return 0;
            RxClearLine();
            gDownload.transferState = XFER_RECORDS;
        } else {
            // A one-byte line is never a record: ETX ends the set complete, any other
            // byte ends it failed.
            if (line[1] == '\0') {
                if (line[0] == LINE_ETX) {
                    RxClearLine();
                    gDownload.transferState = XFER_DONE;
                }
                return 0;
            }
            if (gDownload.outputFile == nullptr) return 0;
            // A record the file refused ends the download here; the finish step reports it.
            if (!OutputFileWrite(line)) return 0;
            ShowRecord(line);
            RxClearLine();
            // Shown at once, so the user sees every record pass; no pause follows, which on
            // Windows would last a whole 15.6 ms timer tick and fall behind a fast line.
            InvalidateStatus(window);
            PlatUpdateWindow(window);
        }
        taken = TakeLine();
        line = RxLine();
    }

    int read = RxFill();
    if (read == COMM_OK) {
        gDownload.lastActivityTick = PlatGetTickCount();
        return 1;
    }
    // The tick stopped at an empty line: lines already received may wait behind it, so the
    // device has not been silent; they are handled at the next tick. Without this, many
    // empty lines, or a machine that slept between a read and the next tick, would end a
    // download with the whole data set in hand as a time-out, its records missing.
    if (taken) return 1;
    // Every read that brought nothing counts as silence, a failed one too: a port that
    // vanished mid-download fails every read, and would otherwise be polled for ever.
    uint32_t silent = PlatGetTickCount() - gDownload.lastActivityTick;
    return silent > (uint32_t)DOWNLOAD_SILENCE_LIMIT_MS ? 0 : 1;
}

void DownloadFinish(PlatWindow window)
{
    CommClose();
    int fileWhole = OutputFileClose();
    // The port's own word that bytes were dropped or damaged: the data set is not whole,
    // even if its ETX line arrived.
    int lineErrors = CommHadLineErrors();
    RestoreIdleControls(window);
    switch (gDownload.transferState) {
    case XFER_IDLE:
        gStatus.statusIndex = STATUS_READY;
        break;
    case XFER_DONE:
        gStatus.statusIndex = STATUS_COMPLETE;
        break;
    default:
        gStatus.statusIndex = STATUS_TIMEOUT;
        break;
    }
    // A file that lost records must never be reported complete.
    if (!fileWhole || lineErrors) gStatus.statusIndex = STATUS_TIMEOUT;
    gDownload.phase = PHASE_IDLE;
    gDownload.transferState = XFER_IDLE;
    gStatus.lastRecord[0] = '\0';
    if (!fileWhole || lineErrors) {
        // The status is painted behind the box, so the user sees both at once. One box
        // says everything that went wrong.
        InvalidateStatus(window);
        char text[WARNING_TEXT_SIZE + LINE_ERROR_TEXT_SIZE];
        text[0] = '\0';
        if (!fileWhole) OutputFileFailureText(text, WARNING_TEXT_SIZE);
        if (lineErrors) {
            char lines[LINE_ERROR_TEXT_SIZE];
            LineErrorText(lines, sizeof lines);
            if (text[0] != '\0') AppendCharacters(text, sizeof text, "\r\n\r\n");
            AppendCharacters(text, sizeof text, lines);
        }
        WarningBox(window, WARN_REFUSAL, text);
    }
}
