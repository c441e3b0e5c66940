// A station over the data-set rules: one open port across data sets and silences. Every byte
// read is handed to the front end first; then each line is a data set's STX, a record, its
// end, or a line outside one, which is only counted. A data set's file is made at its STX and
// sealed (synced, renamed from NAME.part) at its end, before the front end hears of it.
#include "download/station.h"

#include <string.h>

#include "download/data_set.h"
#include "download/download.h"
#include "download/output_file.h"
#include "platform/system.h"
#include "records/box_text.h"
#include "records/messages.h"
#include "serial/rx_buffer.h"

namespace {

enum {
    // Reads in one poll at most: 64 KB, far above any rate the port can take, so a poll
    // always ends even when a driver reports bytes it never delivers.
    READS_PER_POLL = 32,
    // The window's box texts: a file's failure and the receive errors together.
    STATION_TEXT_SIZE = OUTPUT_FAILURE_TEXT_SIZE + LINE_ERROR_TEXT_SIZE
};

struct Station {
    StationFrontEnd frontEnd;
    char deviceName[PLAT_MAX_PATH];
    char portName[PLAT_MAX_PATH];
    char folder[PLAT_MAX_PATH];
    int baudRate;
    int inside;                               // a data set runs: its STX came
    uint32_t lastByteTick;
    uint32_t records;                         // of the data set that runs
    uint32_t bytes;
    uint32_t errorsAtStart[COMM_ERR_KINDS];   // the port's counts when it began
    int discarding;                           // the rest of a dropped long line is to come
    uint32_t skippedLines;                    // outside a data set, not yet reported
    uint32_t skippedBytes;
    char text[STATION_TEXT_SIZE];
};

Station gStation;

void CopyText(char* field, const char* text)
{
    snprintf(field, PLAT_MAX_PATH, "%s", text ? text : "");
}

void ReportSkipped(void)
{
    if (gStation.skippedLines == 0 && gStation.skippedBytes == 0) return;
    if (gStation.frontEnd.skipped)
        gStation.frontEnd.skipped(gStation.frontEnd.context, gStation.skippedLines, gStation.skippedBytes);
    gStation.skippedLines = 0;
    gStation.skippedBytes = 0;
}

void EndDataSet(int end, unsigned portError)
{
    int fileWhole = OutputFileSeal();
    StationReport report;
    memset(&report, 0, sizeof report);
    for (int kind = 0; kind < COMM_ERR_KINDS; kind++)
        report.lineErrors[kind] = gComm.lineErrors[kind] - gStation.errorsAtStart[kind];
    int lineErrors = DataSetHadLineErrors(report.lineErrors);
    if (!fileWhole)
        report.outcome = OUTCOME_FILE_FAILED;
    else if (end == END_STOPPED)
        report.outcome = OUTCOME_STOPPED;
    else if (end == END_ETX && !lineErrors)
        report.outcome = OUTCOME_COMPLETE;
    else
        report.outcome = OUTCOME_INCOMPLETE;
    report.end = end;
    report.path = OutputFileWrittenPath();
    report.records = gStation.records;
    report.bytes = gStation.bytes;
    report.portError = portError;
    // The window's one box: what failed with the file, then the receive errors.
    gStation.text[0] = '\0';
    if (!fileWhole) OutputFileFailureText(gStation.text, OUTPUT_FAILURE_TEXT_SIZE);
    if (lineErrors) {
        char lines[LINE_ERROR_TEXT_SIZE];
        DataSetLineErrorText(report.lineErrors, lines, sizeof lines);
        if (gStation.text[0] != '\0') AppendCharacters(gStation.text, sizeof gStation.text, "\r\n\r\n");
        AppendCharacters(gStation.text, sizeof gStation.text, lines);
    }
    report.text = gStation.text;
    gStation.inside = 0;
    if (gStation.frontEnd.dataSetEnded) gStation.frontEnd.dataSetEnded(gStation.frontEnd.context, &report);
}

void BeginDataSet(void)
{
    // What came before it is told first, so the events keep the order of the line.
    ReportSkipped();
    gStation.records = 0;
    gStation.bytes = 0;
    memcpy(gStation.errorsAtStart, gComm.lineErrors, sizeof gStation.errorsAtStart);
    if (OutputFileCreatePartIn(gStation.folder) != CREATE_OK) {
        // No file: the data set cannot be kept. Its records are then lines outside one.
        StationReport report;
        memset(&report, 0, sizeof report);
        report.outcome = OUTCOME_FILE_FAILED;
        report.end = END_FILE_FAILED;
        report.path = "";
        OutputFileFailureText(gStation.text, OUTPUT_FAILURE_TEXT_SIZE);
        report.text = gStation.text;
        if (gStation.frontEnd.dataSetEnded) gStation.frontEnd.dataSetEnded(gStation.frontEnd.context, &report);
        return;
    }
    gStation.inside = 1;
    if (gStation.frontEnd.dataSetStarted)
        gStation.frontEnd.dataSetStarted(gStation.frontEnd.context, SlotText(gDownload.outputPath),
                                         OutputFileWrittenPath());
}

// One line, length bytes before its CR LF (a NUL inside ends its text, not its length).
void TakeLine(const char* line, uint32_t length)
{
    switch (DataSetLineMeaning(gStation.inside, line)) {
    case LINE_OPENS:
        BeginDataSet();
        break;
    case LINE_OUTSIDE:
        gStation.skippedLines++;
        gStation.skippedBytes += length + 2;
        break;
    case LINE_RECORD:
        if (!OutputFileWrite(line)) {
            EndDataSet(END_FILE_FAILED, 0);
            break;
        }
        gStation.records++;
        gStation.bytes += (uint32_t)strlen(line) + 2;
        if (gStation.frontEnd.record) gStation.frontEnd.record(gStation.frontEnd.context, line);
        break;
    case LINE_CLOSES:
        EndDataSet(END_ETX, 0);
        break;
    case LINE_BREAKS:
        // An STX line ends the data set that runs and begins the next: a device that
        // restarted its sending loses nothing of the new data set.
        if (DataSetIsStx(line)) {
            EndDataSet(END_NEW_STX, 0);
            BeginDataSet();
        } else {
            EndDataSet(END_ONE_BYTE_LINE, 0);
        }
        break;
    default:
        break;
    }
}

// Every complete line in the receive buffer. A buffer filled without a line can never give
// one: its bytes are dropped (counted), and so is the rest of that line up to its CR LF, so
// the station keeps hearing what follows and never takes the tail of garbage for an STX.
void TakeLines(void)
{
    for (;;) {
        uint32_t before = gRx.fillCount;
        RxNextLine();
        if (gRx.fillCount == before) break;
        uint32_t length = before - gRx.fillCount - 2;
        if (gStation.discarding)
            gStation.skippedBytes += length + 2;
        else
            TakeLine(RxLine(), length);
        gStation.discarding = 0;
        RxClearLine();
    }
    if (gRx.fillCount < RX_BUFFER_SIZE) return;
    if (gStation.inside) EndDataSet(END_LONG_LINE, 0);
    gStation.discarding = 1;
    // A CR at the very end may be the first half of the CR LF that ends the long line.
    uint32_t keep = gRx.buffer[RX_BUFFER_SIZE - 1] == '\r' ? 1 : 0;
    gStation.skippedBytes += RX_BUFFER_SIZE - keep;
    if (keep) gRx.buffer[0] = '\r';
    gRx.fillCount = keep;
}

// One read of what the port has queued: 1 when bytes came, 0 when none, -1 when it failed.
int ReadOnce(void)
{
    uint32_t before = gRx.fillCount;
    int result = RxFill();
    if (result == COMM_OK) {
        gStation.lastByteTick = PlatGetTickCount();
        if (gStation.frontEnd.received)
            gStation.frontEnd.received(gStation.frontEnd.context, gRx.buffer + before, gRx.fillCount - before);
        return 1;
    }
    return result == COMM_API_FAILED || result == COMM_READ_FAILED ? -1 : 0;
}

// The port failed: the data set that runs ends with the reason, the port is closed.
void PortFailed(void)
{
    unsigned error = PlatGetLastError();
    TakeLines();
    if (gStation.inside) EndDataSet(END_PORT_FAILED, error);
    gStation.skippedBytes += gRx.fillCount;
    gStation.discarding = 0;
    ReportSkipped();
    CommClose();
    RxReset();
    if (gStation.frontEnd.portFailed) gStation.frontEnd.portFailed(gStation.frontEnd.context, error, "");
}

// Reads until the port has nothing more queued (or the poll's share is used), taking every
// line as it comes. 0 when the port failed and is closed now.
int ReadAll(void)
{
    for (int reads = 0; reads < READS_PER_POLL; reads++) {
        TakeLines();
        int read = ReadOnce();
        if (read < 0) {
            PortFailed();
            return 0;
        }
        if (read == 0) break;
    }
    TakeLines();
    return 1;
}

int OpenPort(void)
{
    int result = CommListenDevice(gStation.deviceName, gStation.baudRate, 1);
    if (result != COMM_OK) {
        unsigned error = gComm.failedError;
        BoxField field;
        BoxFieldStart(&field, gStation.text, sizeof gStation.text);
        CommRefusalText(&field, gStation.portName);
        if (gStation.frontEnd.portFailed) gStation.frontEnd.portFailed(gStation.frontEnd.context, error, gStation.text);
        return result;
    }
    gStation.lastByteTick = PlatGetTickCount();
    if (gStation.frontEnd.portOpened) gStation.frontEnd.portOpened(gStation.frontEnd.context);
    return COMM_OK;
}

void EndRun(int drain)
{
    if (CommIsOpen() && drain) ReadAll();
    if (gStation.inside) EndDataSet(END_STOPPED, 0);
    // Bytes of a line whose CR LF never came.
    gStation.skippedBytes += gRx.fillCount;
    gRx.fillCount = 0;
    gStation.discarding = 0;
    ReportSkipped();
    CommClose();
}

}  // namespace

int StationOpen(const StationRequest* request, const StationFrontEnd* frontEnd)
{
    memset(&gStation, 0, sizeof gStation);
    gStation.frontEnd = *frontEnd;
    CopyText(gStation.deviceName, request->deviceName);
    CopyText(gStation.portName, request->portName);
    CopyText(gStation.folder, request->folder);
    gStation.baudRate = request->baudRate;
    return OpenPort();
}

int StationReopen(void)
{
    if (CommIsOpen()) return COMM_OK;
    return OpenPort();
}

void StationPoll(void)
{
    if (!CommIsOpen()) return;
    if (!ReadAll()) return;
    ReportSkipped();
    if (gStation.inside && DataSetSilenceEnds(gStation.lastByteTick, PlatGetTickCount()))
        EndDataSet(END_SILENCE, 0);
}

void StationStop(void) { EndRun(1); }
void StationClose(void) { EndRun(0); }
int StationPortOpen(void) { return CommIsOpen(); }
int StationInDataSet(void) { return gStation.inside; }
uint32_t StationLastByteTick(void) { return gStation.lastByteTick; }
