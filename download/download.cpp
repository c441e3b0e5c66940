// The download rules: a request's steps (open the file and the port, take the device's lines:
// STX, records, ETX; finish with the outcome), told to the front end that runs them. They
// know nothing of a window: the front end shows, schedules and reports as it can.
#include "download/download.h"

#include <string.h>
#include "download/data_set.h"
#include "download/output_file.h"
#include "platform/system.h"
#include "records/messages.h"
#include "records/csv_line.h"
#include "records/status.h"
#include "records/warning_box.h"
#include "serial/comm_port.h"
#include "serial/rx_buffer.h"

DownloadState gDownload;

namespace {

// "COM%d %s" with a catalogue text of up to 242 bytes, or a path and a system text.
enum { WARNING_TEXT_SIZE = OUTPUT_FAILURE_TEXT_SIZE };

// The request being run and the front end it reports to. The texts are copies: a request
// may be built on the caller's stack.
struct Run {
    DownloadFrontEnd frontEnd;
    int portNumber;
    int named;                       // 1: deviceName, 0: portNumber
    char deviceName[PLAT_MAX_PATH];
    char portName[PLAT_MAX_PATH];
    int baudRate;
    char folder[PLAT_MAX_PATH];
    int portFailureEnds;
    unsigned portError;              // why the port refused or failed, for the report
    int scheduled;                   // a step is due: the front end holds its timer
    int statusIndex;                 // the status the finish step came to
    int outcome;                     // and its DownloadOutcome
    int fileMade;                    // this download's file exists: its path is reported
};

Run gRun;

// Front-end calls: each may be left out, but the step's own timing.
void ShowStatus(int statusIndex)
{
    if (gRun.frontEnd.showStatus) gRun.frontEnd.showStatus(gRun.frontEnd.context, statusIndex);
}

void ShowBox(const char* text)
{
    if (gRun.frontEnd.showBox) gRun.frontEnd.showBox(gRun.frontEnd.context, text);
}

void SetBusy(int busy)
{
    if (gRun.frontEnd.setBusy) gRun.frontEnd.setBusy(gRun.frontEnd.context, busy);
}

void Unschedule(void)
{
    gRun.scheduled = 0;
    if (gRun.frontEnd.unschedule) gRun.frontEnd.unschedule(gRun.frontEnd.context);
}

// 1 = the next step is due; 0 = it could not be scheduled (the reason is the last error).
int Schedule(unsigned milliseconds)
{
    gRun.scheduled = gRun.frontEnd.schedule != nullptr &&
                     gRun.frontEnd.schedule(gRun.frontEnd.context, milliseconds) != 0;
    return gRun.scheduled;
}

void ReportEnd(int outcome)
{
    if (!gRun.frontEnd.ended) return;
    DownloadReport report;
    report.outcome = outcome;
    // The path slot outlives its download: a begin that failed before making a file would
    // otherwise report the file of the download before.
    report.path = gRun.fileMade ? SlotText(gDownload.outputPath) : "";
    report.records = gDownload.records;
    report.bytes = gDownload.bytes;
    memcpy(report.lineErrors, gComm.lineErrors, sizeof report.lineErrors);
    report.portError = gRun.portError;
    gRun.frontEnd.ended(gRun.frontEnd.context, &report);
}

void CopyText(char* field, const char* text)
{
    snprintf(field, PLAT_MAX_PATH, "%s", text ? text : "");
}

// A begin step that failed leaves no trace: no file created by it, the front end idle, and
// a box that says which step failed. Without this a window would read "Cancel" over a
// download that runs nothing, and the file left open would refuse every later start.
void AbandonBegin(int result)
{
    char text[WARNING_TEXT_SIZE];
    BoxField field;
    BoxFieldStart(&field, text, sizeof text);
    int outcome = OUTCOME_FILE_FAILED;
    switch (result) {
    case BEGIN_PORT_FAILED: {
        // The port refused: the file this step created is still empty.
        outcome = OUTCOME_NO_PORT;
        // The error of the call that failed, kept by the port before anything could set
        // another (closing the port, removing the file).
        gRun.portError = gComm.failedError;
        int discarded = OutputFileDiscardUnused();
        if (discarded) gRun.fileMade = 0;
        CommRefusalText(&field, gRun.portName);
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
        // later start: it is closed and kept. Without one, the destination was missing.
        if (gDownload.outputFile != nullptr) {
            OutputFileClose();
            const TextValue values[] = {{"PATH", SlotText(gDownload.outputPath), 1}};
            AppendBoxText(&field, BOX_EARLIER_FILE_CLOSED, values, 1);
        } else {
            AppendBoxText(&field, BOX_NO_STORE_LIST, nullptr, 0);
        }
        break;
    }
    SetBusy(0);
    gDownload.transferState = XFER_IDLE;
    ShowStatus(STATUS_READY);
    if (text[0] != '\0') ShowBox(text);
    ReportEnd(outcome);
}

// The box for a step that could not be scheduled: what it means for the download, and the
// system's reason, taken before anything else can change the last error.
void WarnTimerFailed(unsigned error, int box)
{
    char reason[SYSTEM_TEXT_SIZE];
    SystemErrorText(error, reason, sizeof reason);
    char text[WARNING_TEXT_SIZE];
    text[0] = '\0';
    const TextValue values[] = {{"REASON", reason, 1}};
    AppendBoxText(text, sizeof text, box, values, 1);
    ShowBox(text);
}

// The outcome the finish step came to, for the report.
int FinishOutcome(int fileWhole, int lineErrors, int transferState)
{
    if (!fileWhole) return OUTCOME_FILE_FAILED;
    if (lineErrors || transferState != XFER_DONE) return OUTCOME_INCOMPLETE;
    return OUTCOME_COMPLETE;
}

// Without a next step the front end would show a download that stands still, without the
// time-out that would end it. A start that cannot be scheduled is undone; a running download
// ends now through its finish step, which reports it by the transfer state as usual. After
// ETX the data set is whole, so only the pause is skipped.
void EndUnscheduled(void)
{
    unsigned error = PlatGetLastError();
    // A step scheduled before (Start pressed twice) may still be due under our identifier.
    Unschedule();
    if (gDownload.phase == PHASE_OPEN) {
        gDownload.phase = PHASE_IDLE;
        gDownload.transferState = XFER_IDLE;
        SetBusy(0);
        ShowStatus(STATUS_READY);
        WarnTimerFailed(error, BOX_TIMER_NOT_STARTED);
        ReportEnd(OUTCOME_INCOMPLETE);
        return;
    }
    int whole = gDownload.transferState == XFER_DONE;
    DownloadFinishRequest();
    gDownload.phase = PHASE_IDLE;
    ShowStatus(gRun.statusIndex);
    if (!whole) WarnTimerFailed(error, BOX_TIMER_ENDED_EARLY);
    ReportEnd(gRun.outcome);
}

// Takes the next complete line out of the receive buffer; 1 when one was taken, an empty one
// included (the length RxNextLine gives cannot tell an empty line from none).
int TakeLine(void)
{
    uint32_t before = gRx.fillCount;
    RxNextLine();
    return gRx.fillCount != before;
}

}  // namespace

void DownloadUse(const DownloadRequest* request, const DownloadFrontEnd* frontEnd)
{
    gRun.frontEnd = *frontEnd;
    gRun.portNumber = request->portNumber;
    gRun.named = request->deviceName != nullptr;
    CopyText(gRun.deviceName, request->deviceName);
    if (request->portName != nullptr)
        CopyText(gRun.portName, request->portName);
    else
        snprintf(gRun.portName, sizeof gRun.portName, "COM%d", request->portNumber);
    gRun.baudRate = request->baudRate;
    CopyText(gRun.folder, request->folder);
    gRun.portFailureEnds = request->portFailureEnds;
    gRun.portError = 0;
}

int DownloadRequestStart(const DownloadRequest* request, const DownloadFrontEnd* frontEnd)
{
    if (CommIsOpen()) return 0;
    DownloadUse(request, frontEnd);
    gRun.fileMade = 0;
    gDownload.records = 0;
    gDownload.bytes = 0;
    SetBusy(1);
    gDownload.phase = PHASE_OPEN;
    gDownload.transferState = XFER_WAIT_STX;
    if (!Schedule(DOWNLOAD_START_DELAY_MS)) EndUnscheduled();
    return 1;
}

void DownloadStep(void)
{
    gRun.scheduled = 0;
    switch (gDownload.phase) {
    case PHASE_OPEN: {
        int result = DownloadBeginRequest();
        if (result == BEGIN_OK) {
            gDownload.phase = PHASE_RECEIVE;
            ShowStatus(STATUS_RECEIVING);
            if (!Schedule(DOWNLOAD_START_DELAY_MS)) EndUnscheduled();
        } else {
            gDownload.phase = PHASE_IDLE;
            AbandonBegin(result);
        }
        break;
    }
    case PHASE_RECEIVE:
        if (DownloadPollLines()) {
            if (!Schedule(DOWNLOAD_POLL_MS)) EndUnscheduled();
        } else {
            gDownload.phase = PHASE_FINISH;
            if (!Schedule(DOWNLOAD_START_DELAY_MS)) EndUnscheduled();
        }
        break;
    case PHASE_FINISH:
        DownloadFinishRequest();
        gDownload.phase = PHASE_IDLE;
        ShowStatus(gRun.statusIndex);
        ReportEnd(gRun.outcome);
        break;
    default:
        break;
    }
}

void DownloadCancel(void)
{
    gDownload.phase = PHASE_IDLE;
    if (gRun.scheduled) Unschedule();
    CommClose();
    int discarded = OutputFileDiscard();
    SetBusy(0);
    ShowStatus(STATUS_READY);
    if (!discarded) {
        // "Ready." alone would say the cancelled file is gone while it is still on disk.
        char text[WARNING_TEXT_SIZE];
        OutputFileFailureText(text, sizeof text);
        ShowBox(text);
    }
    ReportEnd(OUTCOME_CANCELLED);
}

void DownloadStop(void)
{
    if (gDownload.phase == PHASE_IDLE && !CommIsOpen() && gDownload.outputFile == nullptr) return;
    if (gRun.scheduled) Unschedule();
    CommClose();
    // Kept, as closing the window keeps it: every record received is in it.
    int whole = OutputFileClose();
    gDownload.phase = PHASE_IDLE;
    gDownload.transferState = XFER_IDLE;
    ReportEnd(whole ? OUTCOME_STOPPED : OUTCOME_FILE_FAILED);
}

int DownloadIsBusy(void) { return CommIsOpen(); }

static_assert((int)CREATE_FAILED == (int)BEGIN_NOT_CREATED && (int)CREATE_NO_LIST == (int)BEGIN_NOT_READY,
              "the begin step hands the creation's failures on unchanged");

int DownloadBeginRequest(void)
{
    if (gDownload.outputFile != nullptr) return BEGIN_NOT_READY;
    const char* folder = gRun.folder;
    if (gRun.frontEnd.chooseFolder != nullptr && !gRun.frontEnd.chooseFolder(gRun.frontEnd.context, &folder))
        return BEGIN_NOT_READY;
    int created = OutputFileCreateIn(folder);
    if (created != CREATE_OK) return created;
    gRun.fileMade = 1;
    gDownload.records = 0;
    gDownload.bytes = 0;
    int started = gRun.named ? CommStartDevice(gRun.deviceName, gRun.baudRate, 1)
                             : CommStart(gRun.portNumber, gRun.baudRate, 1);
    if (started != COMM_OK) return BEGIN_PORT_FAILED;
    gDownload.lastActivityTick = PlatGetTickCount();
    return BEGIN_OK;
}

int DownloadPollLines(void)
{
    int taken = TakeLine();
    char* line = RxLine();
    // Empty lines are skipped; the first other line decides whether the data set begins.
    for (;;) {
        int meaning = DataSetLineMeaning(gDownload.transferState == XFER_RECORDS, line);
        if (meaning == LINE_EMPTY) break;
        if (meaning == LINE_OUTSIDE || meaning == LINE_BREAKS) return 0;
        if (meaning == LINE_OPENS) {
            RxClearLine();
            gDownload.transferState = XFER_RECORDS;
            if (gRun.frontEnd.dataSetStarted) gRun.frontEnd.dataSetStarted(gRun.frontEnd.context);
        } else if (meaning == LINE_CLOSES) {
            RxClearLine();
            gDownload.transferState = XFER_DONE;
            return 0;
        } else {
            if (gDownload.outputFile == nullptr) return 0;
            // A record the file refused ends the download here; the finish step reports it.
            if (!OutputFileWrite(line)) return 0;
            gDownload.records++;
            gDownload.bytes += (uint32_t)strlen(line) + 2;
            // Handed on at once, with no pause: on Windows a pause lasts a whole 15.6 ms
            // timer tick and would fall behind a fast line.
            if (gRun.frontEnd.showRecord) gRun.frontEnd.showRecord(gRun.frontEnd.context, line);
            RxClearLine();
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
    // A front end that asks for it learns at once that the port is gone, with the reason.
    if ((read == COMM_API_FAILED || read == COMM_READ_FAILED) && gRun.portFailureEnds) {
        gRun.portError = PlatGetLastError();
        return 0;
    }
    // Every read that brought nothing counts as silence, a failed one too: a port that
    // vanished mid-download fails every read, and would otherwise be polled for ever.
    return DataSetSilenceEnds(gDownload.lastActivityTick, PlatGetTickCount()) ? 0 : 1;
}

void DownloadFinishRequest(void)
{
    CommClose();
    int fileWhole = OutputFileClose();
    // The port's own word that bytes were dropped or damaged: the data set is not whole,
    // even if its ETX line arrived.
    int lineErrors = CommHadLineErrors();
    SetBusy(0);
    int status;
    switch (gDownload.transferState) {
    case XFER_IDLE:
        status = STATUS_READY;
        break;
    case XFER_DONE:
        status = STATUS_COMPLETE;
        break;
    default:
        status = STATUS_TIMEOUT;
        break;
    }
    // A file that lost records must never be reported complete.
    if (!fileWhole || lineErrors) status = STATUS_TIMEOUT;
    gRun.outcome = FinishOutcome(fileWhole, lineErrors, gDownload.transferState);
    gRun.statusIndex = status;
    gDownload.phase = PHASE_IDLE;
    gDownload.transferState = XFER_IDLE;
    // The last record is taken off the display; a cancel leaves it.
    if (gRun.frontEnd.showRecord) gRun.frontEnd.showRecord(gRun.frontEnd.context, "");
    if (!fileWhole || lineErrors) {
        // The status is shown behind the box, so the user sees both at once. One box says
        // everything that went wrong.
        ShowStatus(status);
        char text[WARNING_TEXT_SIZE + LINE_ERROR_TEXT_SIZE];
        text[0] = '\0';
        if (!fileWhole) OutputFileFailureText(text, WARNING_TEXT_SIZE);
        if (lineErrors) {
            char lines[LINE_ERROR_TEXT_SIZE];
            DataSetLineErrorText(gComm.lineErrors, lines, sizeof lines);
            if (text[0] != '\0') AppendCharacters(text, sizeof text, "\r\n\r\n");
            AppendCharacters(text, sizeof text, lines);
        }
        ShowBox(text);
    }
}
