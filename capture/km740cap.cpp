// km740cap: the console front end of a station. It keeps one port open for the whole run,
// polls it on a clock, tells each data set and every line outside one on stdout and stderr,
// copies the raw bytes on request, and ends with an exit status a script can act on.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "capture/console.h"
#include "capture/options.h"
#include "capture/progress.h"
#include "capture/report.h"
#include "download/download.h"
#include "download/station.h"
#include "platform/system.h"
#include "records/messages.h"
#include "records/warning_box.h"

namespace {

enum {
    PATH_SIZE = PLAT_MAX_PATH,
    // The window's box texts with a path of up to PLAT_MAX_PATH bytes, and a port name as long.
    MESSAGE_SIZE = 8192 + 2 * PLAT_MAX_PATH,
    // A station waits this long before it opens a port that went away again.
    RETRY_MS = 5000
};

// One run: what the data set that runs has done and what the run came to.
struct Capture {
    Options options;
    char device[PATH_SIZE];
    char folder[PATH_SIZE];
    FILE* raw;
    int rawFailed;
    long begun;               // data sets begun
    long ended;               // data sets ended
    uint32_t records;         // of the data set that runs, for the live line
    uint32_t bytes;
    int portOpenedOnce;
    int retrying;             // the port went away: opened again every RETRY_MS
    uint32_t retryTick;
    int endStatus;            // the run must end with this status; 0: it goes on
    int sawIncomplete;
    int fileFailed;           // a data set's file could not be made or written
    int stopped;              // a data set ended as stopped
    uint64_t idleMs;          // since the start or the last data set's end, no data set begun
    uint32_t idleTick;
};

Capture gCap;

const char* OutcomeName(int outcome)
{
    switch (outcome) {
    case OUTCOME_COMPLETE: return "complete";
    case OUTCOME_INCOMPLETE: return "incomplete";
    case OUTCOME_FILE_FAILED: return "file-failed";
    default: return "stopped";
    }
}

// The number of the data set that runs, or of the next while none does.
long DataSetNumber(void) { return StationInDataSet() ? gCap.begun : gCap.begun + 1; }

// The system's text for an error (its line break trimmed, as in the window's boxes), also
// without the full stop, so that it reads inside a sentence.
void ReasonText(unsigned error, char* text, size_t size)
{
    SystemErrorText(error, text, size);
    size_t length = strlen(text);
    while (length > 0 && text[length - 1] == '.') text[--length] = '\0';
    if (length == 0) snprintf(text, size, "no reason given by the system");
}

void ShowProgress(int force)
{
    char count[32];
    if (gCap.options.continuous)
        snprintf(count, sizeof count, "%ld", DataSetNumber());
    else
        snprintf(count, sizeof count, "%ld/%ld", DataSetNumber(), gCap.options.count);
    uint32_t silent = PlatGetTickCount() - StationLastByteTick();
    char line[160];
    if (!StationPortOpen())
        snprintf(line, sizeof line, "[%s] waiting for the port", count);
    else if (!StationInDataSet())
        snprintf(line, sizeof line, "[%s] waiting for STX, %u.%u s since the last byte", count,
                 (unsigned)(silent / 1000), (unsigned)(silent % 1000 / 100));
    else
        snprintf(line, sizeof line, "[%s] %lu records, %lu bytes, %u.%u s since the last byte", count,
                 (unsigned long)gCap.records, (unsigned long)gCap.bytes, (unsigned)(silent / 1000),
                 (unsigned)(silent % 1000 / 100));
    ProgressShow(line, force);
}

// Why a data set ended other than whole, in words, after its path.
void EndMessage(const StationReport* report, char* text, size_t size)
{
    const char* path = report->path;
    switch (report->end) {
    case END_SILENCE:
        snprintf(text, size, "%s: the data set did not end (no ETX line) before the device fell silent for 30 s", path);
        break;
    case END_ONE_BYTE_LINE:
        snprintf(text, size, "%s: a line out of place (a one-byte line other than ETX) ended the data set", path);
        break;
    case END_NEW_STX:
        snprintf(text, size, "%s: a line out of place (a second STX line) ended the data set; the next one begins with it",
                 path);
        break;
    case END_LONG_LINE:
        snprintf(text, size, "%s: a line longer than 2046 bytes ended the data set", path);
        break;
    case END_PORT_FAILED: {
        char reason[512];
        ReasonText(report->portError, reason, sizeof reason);
        snprintf(text, size, "%s: the port failed, the data set is cut short: %s", gCap.options.port, reason);
        break;
    }
    default:
        text[0] = '\0';
        break;
    }
}

// ---------------------------------------------------------------- the station's front end

void OnPortOpened(void*)
{
    gCap.portOpenedOnce = 1;
    if (gCap.retrying) {
        gCap.retrying = 0;
        ReportError("%s: the port is open again", gCap.options.port);
    }
    if (gCap.options.json) {
        JsonEventStart("listening", DataSetNumber());
        JsonField("port", gCap.options.port);
        JsonNumber("baud", (unsigned long)gCap.options.baudRate);
        JsonEventEnd();
    }
    ShowProgress(1);
}

void OnPortFailed(void*, unsigned error, const char* refusal)
{
    char reason[512];
    ReasonText(error, reason, sizeof reason);
    char message[MESSAGE_SIZE];
    if (!gCap.portOpenedOnce)
        snprintf(message, sizeof message, "%s: the port cannot be opened or configured: %s", gCap.options.port, reason);
    else
        snprintf(message, sizeof message, "%s: the port failed: %s", gCap.options.port, reason);
    // A station keeps waiting for an adapter that was unplugged and says so once; a port
    // that never opened, or one a counted run lost, ends the run.
    // A port that was found but refused a setting says which, on the window's second line.
    const char* setting = refusal ? strchr(refusal, '\n') : nullptr;
    if (setting && setting[1]) {
        size_t used = strlen(message);
        snprintf(message + used, sizeof message - used, "\n%s", setting + 1);
    }
    if (!gCap.retrying) {
        ReportBox(message);
        if (gCap.options.json) {
            JsonEventStart("portFailed", DataSetNumber());
            JsonField("message", message);
            JsonEventEnd();
        }
    }
    if (gCap.options.continuous && gCap.portOpenedOnce) {
        if (!gCap.retrying) ReportError("%s: trying again every %d s", gCap.options.port, RETRY_MS / 1000);
        gCap.retrying = 1;
        gCap.retryTick = PlatGetTickCount();
    } else if (!gCap.portOpenedOnce) {
        gCap.endStatus = EXIT_PORT;
    } else {
        // A counted run tries once at once: a port that came back in between is taken.
        gCap.retrying = 1;
        gCap.retryTick = PlatGetTickCount() - RETRY_MS;
    }
}

void OnReceived(void*, const unsigned char* bytes, size_t count)
{
    if (!gCap.raw || gCap.rawFailed) return;
    if (fwrite(bytes, 1, count, gCap.raw) != count || fflush(gCap.raw) != 0) {
        gCap.rawFailed = 1;
        ReportError("%s: the raw copy could not be written; it stops here", gCap.options.raw);
    }
}

void OnDataSetStarted(void*, const char* path, const char* partPath)
{
    gCap.begun++;
    gCap.records = 0;
    gCap.bytes = 0;
    if (gCap.options.json) {
        char native[PATH_SIZE];
        char part[PATH_SIZE];
        ConsoleNativePath(path, native, sizeof native);
        ConsoleNativePath(partPath, part, sizeof part);
        JsonEventStart("started", gCap.begun);
        JsonField("path", native);
        JsonField("partPath", part);
        JsonEventEnd();
    }
    ShowProgress(1);
}

void OnRecord(void*, const char* line)
{
    gCap.records++;
    gCap.bytes += (uint32_t)strlen(line) + 2;
    ShowProgress(0);
}

void OnDataSetEnded(void*, const StationReport* report)
{
    // A data set whose file could not be made was never told as started; it counts all the same.
    if (!report->path[0]) gCap.begun++;
    gCap.ended++;
    gCap.idleMs = 0;
    gCap.idleTick = PlatGetTickCount();
    char path[PATH_SIZE];
    ConsoleNativePath(report->path, path, sizeof path);
    StationReport r = *report;
    r.path = path;
    char message[MESSAGE_SIZE];
    message[0] = '\0';
    if (r.text[0]) {
        // The window's box: what failed with the file, the receive errors.
        size_t used = 0;
        for (const char* p = r.text; *p && used + 1 < sizeof message; p++)
            if (*p != '\r') message[used++] = *p;
        while (used > 0 && message[used - 1] == '\n') used--;
        message[used] = '\0';
    } else {
        EndMessage(&r, message, sizeof message);
    }
    if (message[0]) ReportError("%s", message);
    switch (r.outcome) {
    case OUTCOME_INCOMPLETE: gCap.sawIncomplete = 1; break;
    case OUTCOME_FILE_FAILED:
        // A station goes on: the next data set may find room (a second with names free, a
        // disk with space again); the run still ends with status 4. A counted run ends now.
        gCap.fileFailed = 1;
        if (!gCap.options.continuous) gCap.endStatus = EXIT_FILE;
        break;
    case OUTCOME_STOPPED: gCap.stopped = 1; break;
    default: break;
    }
    if (gCap.options.json) {
        JsonEventStart("finished", gCap.begun);
        JsonField("outcome", OutcomeName(r.outcome));
        JsonField("path", path[0] ? path : nullptr);
        JsonNumber("records", r.records);
        JsonNumber("bytes", r.bytes);
        JsonObjectStart("receiveErrors");
        JsonNumber("rxover", r.lineErrors[COMM_ERR_RXOVER]);
        JsonNumber("overrun", r.lineErrors[COMM_ERR_OVERRUN]);
        JsonNumber("frame", r.lineErrors[COMM_ERR_FRAME]);
        JsonNumber("parity", r.lineErrors[COMM_ERR_PARITY]);
        JsonNumber("break", r.lineErrors[COMM_ERR_BREAK]);
        JsonObjectEnd();
        if (message[0]) JsonField("message", message);
        JsonEventEnd();
    } else if (path[0]) {
        // A data set that made no file is said on stderr only.
        char line[PATH_SIZE + 64];
        snprintf(line, sizeof line, "%s %lu %lu %s", OutcomeName(r.outcome), (unsigned long)r.records,
                 (unsigned long)r.bytes, path);
        ReportLine(line);
    }
}

void OnSkipped(void*, uint32_t lines, uint32_t bytes)
{
    ReportError("%s: %lu %s (%lu bytes) outside a data set, not stored", gCap.options.port, (unsigned long)lines,
                lines == 1 ? "line" : "lines", (unsigned long)bytes);
    if (gCap.options.json) {
        JsonEventStart("skipped", DataSetNumber());
        JsonNumber("lines", lines);
        JsonNumber("bytes", bytes);
        JsonEventEnd();
    }
}

// ---------------------------------------------------------------- the run

// Polls the station until the run is over; the status it ends with.
int Run(void)
{
    static const StationFrontEnd frontEnd = {nullptr,     OnPortOpened, OnPortFailed, OnReceived, OnDataSetStarted,
                                             OnRecord,    OnDataSetEnded, OnSkipped};
    StationRequest request = {gCap.device, gCap.options.port, gCap.options.baudRate, gCap.folder};
    gCap.idleTick = PlatGetTickCount();
    if (StationOpen(&request, &frontEnd) != 0) return EXIT_PORT;
    for (;;) {
        if (ConsoleStopRequested()) {
            // Every byte the port holds is read and every whole record written first.
            StationStop();
            return EXIT_STOPPED;
        }
        uint32_t now = PlatGetTickCount();
        if (StationPortOpen()) {
            StationPoll();
        } else if (gCap.retrying && now - gCap.retryTick >= (uint32_t)RETRY_MS) {
            gCap.retryTick = now;
            if (StationReopen() != 0 && !gCap.options.continuous) gCap.endStatus = EXIT_PORT;
        }
        if (gCap.endStatus) break;
        if (gCap.options.count && gCap.ended >= gCap.options.count) break;
        now = PlatGetTickCount();
        if (!StationInDataSet()) gCap.idleMs += now - gCap.idleTick;
        gCap.idleTick = now;
        if (gCap.options.waitSeconds && !StationInDataSet() &&
            gCap.idleMs >= (uint64_t)gCap.options.waitSeconds * 1000u) {
            ReportError("%s: no data set began within %ld s", gCap.options.port, gCap.options.waitSeconds);
            StationClose();
            return EXIT_NO_DATA_SET;
        }
        ShowProgress(0);
        ConsoleSleep(STATION_POLL_MS);
    }
    StationClose();
    return gCap.endStatus;
}

}  // namespace

int main(int argc, char** argv)
{
    int parsed = ParseOptions(argc, argv, &gCap.options);
    if (parsed >= 0) return parsed;
    // The window's texts for the boxes a data set may end with (file failures, receive errors).
    MessagesFillDefaults(1);
    if (!ConsoleFullFolder(gCap.options.folder, gCap.folder, sizeof gCap.folder)) {
        ReportError("%s: the folder's full path cannot be formed (is the current folder still there?)", gCap.options.folder);
        return EXIT_FILE;
    }
    // Told now, not at the first data set hours later.
    unsigned refusal = ConsoleFolderRefusal(gCap.folder);
    if (refusal != 0) {
        char reason[512];
        ReasonText(refusal, reason, sizeof reason);
        ReportError("%s: no file can be made in this folder: %s", gCap.folder, reason);
        return EXIT_FILE;
    }
    ConsoleDeviceName(gCap.options.port, gCap.device, sizeof gCap.device);
    if (gCap.options.raw) {
        gCap.raw = fopen(gCap.options.raw, "ab");
        if (!gCap.raw) {
            ReportError("%s: the raw copy cannot be opened: %s", gCap.options.raw, strerror(errno));
            return EXIT_FILE;
        }
    }
    ConsoleInit();
    ProgressEnable(!gCap.options.quiet && ConsoleStderrIsTerminal());

    int status = Run();
    ProgressClear();
    if (gCap.raw) {
        if (!PlatFileSync(gCap.raw) && !gCap.rawFailed) {
            ReportError("%s: the raw copy could not be written to the disk", gCap.options.raw);
            gCap.rawFailed = 1;
        }
        fclose(gCap.raw);
    }
    if (status == 0 && gCap.fileFailed) status = EXIT_FILE;
    if (status == 0 && gCap.stopped) status = EXIT_STOPPED;
    if (status == 0 && gCap.sawIncomplete) status = EXIT_INCOMPLETE;
    if (status == 0 && gCap.rawFailed) status = EXIT_FILE;
    fflush(stdout);
    MessagesFreeAll();
    ConsoleFinished();
    return status;
}
