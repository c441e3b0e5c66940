// km740cap: the console front end over the download rules. It runs their steps on a clock,
// prints one line per finished data set (or JSON events), shows live progress on a terminal,
// and ends with an exit status a script can act on.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "capture/console.h"
#include "download/download.h"
#include "platform/system.h"
#include "records/messages.h"
#include "records/settings.h"
#include "serial/comm_port.h"

#ifndef KM_VERSION_TEXT
#define KM_VERSION_TEXT "unknown"
#endif

namespace {

enum ExitStatus {
    EXIT_COMPLETE = 0,
    EXIT_INCOMPLETE = 1,
    EXIT_USAGE = 2,
    EXIT_PORT = 3,
    EXIT_FILE = 4,
    EXIT_STOPPED = 130
};

enum {
    PATH_SIZE = 4096,
    MESSAGE_SIZE = 4096,
    PROGRESS_EVERY_MS = 200,
    // A station waits this long before it opens a port that went away again.
    RETRY_MS = 5000
};

const char kHelp[] =
    "usage: km740cap --port PORT --baud RATE [--out FOLDER]\n"
    "                [--count N | --continuous] [--quiet] [--json]\n"
    "       km740cap --help | --version\n"
    "\n"
    "Receives data sets from the device on a serial port and stores each one in a\n"
    "new file, KM-740_MMDDYYYY_HHMMSS.csv, named and written as KM-740 TOOL does.\n"
    "\n"
    "  --port PORT    the serial port: COM3 on Windows, a device such as\n"
    "                 /dev/ttyUSB0 on Linux\n"
    "  --baud RATE    1200, 2400, 4800, 9600, 19200 or 38400\n"
    "  --out FOLDER   where the files go (default: the current folder)\n"
    "  --count N      take N data sets, one after the other (default 1)\n"
    "  --continuous   take data sets until stopped; while the device is silent,\n"
    "                 wait without making empty files; if the port goes away,\n"
    "                 open it again every 5 s\n"
    "  --quiet        no progress line on stderr\n"
    "  --json         stdout: one JSON object per line per event instead\n"
    "  --help         this text\n"
    "  --version      the program's version\n"
    "\n"
    "A data set ends complete with its ETX line; it ends incomplete after 30 s of\n"
    "silence, at a line out of place, at a receive error the port reports, or when\n"
    "the port hangs up. Each finished data set gives one line on stdout: the\n"
    "outcome (complete, incomplete, stopped or file-failed), the records, the bytes\n"
    "and the file's path, separated by spaces. Messages go to stderr.\n"
    "\n"
    "Exit status:\n"
    "  0    every data set complete\n"
    "  1    a data set did not end properly (its file is kept)\n"
    "  2    usage error\n"
    "  3    the port cannot be opened or configured\n"
    "  4    a file cannot be created or written\n"
    "  130  stopped by Ctrl+C or SIGTERM (the file keeps every record received)\n";

struct Options {
    const char* port;
    int baudRate;
    const char* folder;
    long count;          // data sets to take; 0 with continuous
    int continuous;
    int quiet;
    int json;
};

// One run of the program: what the current data set has done and what the run came to.
struct Capture {
    Options options;
    char device[PATH_SIZE];
    char folder[PATH_SIZE];
    long dataSet;            // 1 for the first
    int ended;
    DownloadReport report;
    char reportPath[PATH_SIZE];
    char message[MESSAGE_SIZE];   // the boxes of this data set, for JSON
    int scheduled;
    uint32_t dueTick;
    int listening;
    uint32_t listenTick;          // the silence clock at the begin step
    int started;                  // STX arrived
    int progress;                 // stderr shows the live line
    size_t progressWidth;         // characters of the line on show
    uint32_t progressTick;
    int portOpenedOnce;
    int retrying;                 // the port went away; retried until it opens
};

Capture gCap;

const char* OutcomeName(int outcome)
{
    switch (outcome) {
    case OUTCOME_COMPLETE: return "complete";
    case OUTCOME_INCOMPLETE: return "incomplete";
    case OUTCOME_NO_PORT: return "no-port";
    case OUTCOME_FILE_FAILED: return "file-failed";
    case OUTCOME_CANCELLED: return "cancelled";
    default: return "stopped";
    }
}

// ---------------------------------------------------------------- output

void ClearProgress(void)
{
    if (gCap.progressWidth == 0) return;
    fprintf(stderr, "\r%*s\r", (int)gCap.progressWidth, "");
    gCap.progressWidth = 0;
    fflush(stderr);
}

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void ErrorLine(const char* format, ...)
{
    ClearProgress();
    fputs("km740cap: ", stderr);
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fputc('\n', stderr);
    fflush(stderr);
}

void JsonString(const char* text)
{
    static char utf8[PATH_SIZE * 3];
    ConsoleToUtf8(text, utf8, sizeof utf8);
    putchar('"');
    for (const unsigned char* p = (const unsigned char*)utf8; *p; p++) {
        switch (*p) {
        case '"': fputs("\\\"", stdout); break;
        case '\\': fputs("\\\\", stdout); break;
        case '\n': fputs("\\n", stdout); break;
        case '\r': fputs("\\r", stdout); break;
        case '\t': fputs("\\t", stdout); break;
        default:
            if (*p < 0x20)
                printf("\\u%04x", *p);
            else
                putchar(*p);
        }
    }
    putchar('"');
}

void JsonEventStart(const char* event)
{
    ClearProgress();
    printf("{\"event\":\"%s\",\"dataSet\":%ld", event, gCap.dataSet);
}

void JsonEventEnd(void)
{
    fputs("}\n", stdout);
    fflush(stdout);
}

// The live line: records, bytes and the seconds since the last byte.
void ShowProgress(int force)
{
    if (!gCap.progress || !gCap.listening) return;
    uint32_t now = PlatGetTickCount();
    if (!force && now - gCap.progressTick < PROGRESS_EVERY_MS) return;
    gCap.progressTick = now;
    uint32_t silent = now - gDownload.lastActivityTick;
    char count[32];
    if (gCap.options.continuous)
        snprintf(count, sizeof count, "%ld", gCap.dataSet);
    else
        snprintf(count, sizeof count, "%ld/%ld", gCap.dataSet, gCap.options.count);
    char line[160];
    if (!gCap.started)
        snprintf(line, sizeof line, "[%s] waiting for the data set, %u.%u s since the last byte", count,
                 (unsigned)(silent / 1000), (unsigned)(silent % 1000 / 100));
    else
        snprintf(line, sizeof line, "[%s] %lu records, %lu bytes, %u.%u s since the last byte", count,
                 (unsigned long)gDownload.records, (unsigned long)gDownload.bytes, (unsigned)(silent / 1000),
                 (unsigned)(silent % 1000 / 100));
    size_t width = strlen(line);
    fprintf(stderr, "\r%s", line);
    if (width < gCap.progressWidth) fprintf(stderr, "%*s", (int)(gCap.progressWidth - width), "");
    gCap.progressWidth = width;
    fflush(stderr);
}

// A box's text on one or more stderr lines, CR LF as the window writes them turned into LF.
void PrintBox(const char* text)
{
    char copy[MESSAGE_SIZE];
    size_t used = 0;
    for (const char* p = text; *p && used + 1 < sizeof copy; p++)
        if (*p != '\r') copy[used++] = *p;
    while (used > 0 && copy[used - 1] == '\n') used--;
    copy[used] = '\0';
    if (used > 0) ErrorLine("%s", copy);
}

// ---------------------------------------------------------------- the front end

void OnShowRecord(void*, const char*) { ShowProgress(0); }

void OnDataSetStarted(void*)
{
    gCap.started = 1;
    if (gCap.options.json) {
        JsonEventStart("started");
        fputs(",\"path\":", stdout);
        char path[PATH_SIZE];
        ConsoleNativePath(SlotText(gDownload.outputPath), path, sizeof path);
        JsonString(path);
        JsonEventEnd();
    }
    ShowProgress(1);
}

void OnShowBox(void*, const char* text)
{
    size_t length = strlen(gCap.message);
    if (length > 0 && length + 2 < sizeof gCap.message) snprintf(gCap.message + length, sizeof gCap.message - length, "\n");
    length = strlen(gCap.message);
    for (const char* p = text; *p && length + 1 < sizeof gCap.message; p++)
        if (*p != '\r') gCap.message[length++] = *p;
    gCap.message[length] = '\0';
}

int OnSchedule(void*, unsigned milliseconds)
{
    gCap.scheduled = 1;
    gCap.dueTick = PlatGetTickCount() + milliseconds;
    return 1;
}

void OnUnschedule(void*) { gCap.scheduled = 0; }

void OnEnded(void*, const DownloadReport* report)
{
    gCap.ended = 1;
    gCap.report = *report;
    ConsoleNativePath(report->path ? report->path : "", gCap.reportPath, sizeof gCap.reportPath);
    gCap.report.path = gCap.reportPath;
    gCap.scheduled = 0;
}

// ---------------------------------------------------------------- one data set

// 1 when the data set ended with nothing received at all: no byte since the begin step.
int NothingArrived(void)
{
    return gCap.listening && !gCap.started && gCap.report.records == 0 &&
           gDownload.lastActivityTick == gCap.listenTick;
}

// Removes the empty file of a data set into which nothing came, when it is still empty.
void DropEmptyFile(const char* path)
{
    FILE* file = PlatFileOpen(SlotText(gDownload.outputPath), "rb");
    if (!file) return;
    int empty = fgetc(file) == EOF;
    fclose(file);
    if (empty && PlatFileRemove(SlotText(gDownload.outputPath)) != 0)
        ErrorLine("%s: the empty file could not be removed", path);
}

// Why a data set without a box ended incomplete: the silence limit, or a line the rules
// do not take at that place.
void IncompleteMessage(const char* path)
{
    uint32_t silent = PlatGetTickCount() - gDownload.lastActivityTick;
    const char* why;
    if (silent > (uint32_t)DOWNLOAD_SILENCE_LIMIT_MS)
        why = gCap.started ? "the data set did not end (no ETX line) before the device fell silent for 30 s"
                           : "no data set began (no STX line) before the device fell silent for 30 s";
    else
        why = gCap.started ? "a line out of place (a one-byte line other than ETX, or a second STX) ended the data set"
                           : "the first line was not STX: what came is not a data set";
    snprintf(gCap.message, sizeof gCap.message, "%s: %s", path, why);
}

// "PORT: what: the system's reason" into gCap.message, replacing the window's box text.
void PortMessage(const char* what)
{
    char* reason = PlatFormatSystemMessage(gCap.report.portError);
    snprintf(gCap.message, sizeof gCap.message, "%s: %s: %s", gCap.options.port, what,
             reason ? reason : "no reason given by the system");
    PlatFreeSystemMessage(reason);
    // FormatMessage ends its text with CR LF.
    size_t length = strlen(gCap.message);
    while (length > 0 && (gCap.message[length - 1] == '\n' || gCap.message[length - 1] == '\r' ||
                          gCap.message[length - 1] == ' ' || gCap.message[length - 1] == '.'))
        gCap.message[--length] = '\0';
}

void PrintResult(void)
{
    DownloadReport r = gCap.report;
    // A file that could not be created names no file; the message says which path failed.
    if (r.outcome == OUTCOME_FILE_FAILED && !gCap.listening) r.path = "";
    if (gCap.options.json) {
        JsonEventStart("finished");
        printf(",\"outcome\":\"%s\",\"path\":", OutcomeName(r.outcome));
        if (r.path[0])
            JsonString(r.path);
        else
            fputs("null", stdout);
        printf(",\"records\":%lu,\"bytes\":%lu", (unsigned long)r.records, (unsigned long)r.bytes);
        printf(",\"receiveErrors\":{\"rxover\":%lu,\"overrun\":%lu,\"frame\":%lu,\"parity\":%lu,\"break\":%lu}",
               (unsigned long)r.lineErrors[COMM_ERR_RXOVER], (unsigned long)r.lineErrors[COMM_ERR_OVERRUN],
               (unsigned long)r.lineErrors[COMM_ERR_FRAME], (unsigned long)r.lineErrors[COMM_ERR_PARITY],
               (unsigned long)r.lineErrors[COMM_ERR_BREAK]);
        if (gCap.message[0]) {
            fputs(",\"message\":", stdout);
            JsonString(gCap.message);
        }
        JsonEventEnd();
        return;
    }
    // A data set that made no file is said on stderr only.
    if (!r.path[0]) return;
    ClearProgress();
    printf("%s %lu %lu %s\n", OutcomeName(r.outcome), (unsigned long)r.records, (unsigned long)r.bytes, r.path);
    fflush(stdout);
}

void AnnounceListening(void)
{
    gCap.listening = 1;
    gCap.listenTick = gDownload.lastActivityTick;
    gCap.portOpenedOnce = 1;
    if (gCap.retrying) {
        gCap.retrying = 0;
        if (!gCap.options.quiet || gCap.options.json) ErrorLine("%s: the port is open again", gCap.options.port);
    }
    if (gCap.options.json) {
        char path[PATH_SIZE];
        ConsoleNativePath(SlotText(gDownload.outputPath), path, sizeof path);
        JsonEventStart("listening");
        fputs(",\"port\":", stdout);
        JsonString(gCap.options.port);
        printf(",\"baud\":%d,\"path\":", gCap.options.baudRate);
        JsonString(path);
        JsonEventEnd();
    }
    ShowProgress(1);
}

// Runs one request to its end: its report is in gCap.report after.
void RunRequest(void)
{
    static const DownloadFrontEnd frontEnd = {
        nullptr, nullptr, OnShowRecord, OnDataSetStarted, OnShowBox, nullptr, OnSchedule, OnUnschedule,
        nullptr, OnEnded};
    DownloadRequest request = {0, gCap.device, gCap.options.port, gCap.options.baudRate, gCap.folder, 1};
    gCap.ended = 0;
    gCap.listening = 0;
    gCap.started = 0;
    gCap.message[0] = '\0';
    gCap.scheduled = 0;
    if (!DownloadRequestStart(&request, &frontEnd)) {
        // Only one download runs; after the previous one's end none does.
        snprintf(gCap.message, sizeof gCap.message, "a download is already running");
        gCap.report = DownloadReport{OUTCOME_FILE_FAILED, "", 0, 0, {0, 0, 0, 0, 0}, 0};
        gCap.ended = 1;
        return;
    }
    while (!gCap.ended) {
        if (ConsoleStopRequested()) {
            // Ends as closing the window does: the port closed, the file kept whole.
            DownloadStop();
            if (!gCap.ended) {
                gCap.report = DownloadReport{OUTCOME_STOPPED, "", 0, 0, {0, 0, 0, 0, 0}, 0};
                gCap.ended = 1;
            }
            break;
        }
        if (!gCap.scheduled) {
            // The rules always schedule their next step or end; never wait for nothing.
            DownloadStop();
            break;
        }
        int32_t wait = (int32_t)(gCap.dueTick - PlatGetTickCount());
        if (wait > 0) {
            ConsoleSleep(gCap.progress && (uint32_t)wait > (uint32_t)PROGRESS_EVERY_MS ? (uint32_t)PROGRESS_EVERY_MS : (uint32_t)wait);
            ShowProgress(0);
            continue;
        }
        gCap.scheduled = 0;
        DownloadStep();
        // On disk at every step: a station that is switched off, or a task the scheduler
        // ends hard, loses at most the records of one poll.
        if (gDownload.outputFile) fflush(gDownload.outputFile);
        if (!gCap.listening && !gCap.ended && DownloadIsBusy()) AnnounceListening();
    }
    ClearProgress();
}

// What the run does after a data set: 0 go on, or the exit status to end with.
int AfterDataSet(int* sawIncomplete)
{
    const DownloadReport& r = gCap.report;
    switch (r.outcome) {
    case OUTCOME_COMPLETE:
        if (gCap.message[0]) PrintBox(gCap.message);
        PrintResult();
        return 0;
    case OUTCOME_INCOMPLETE:
        // A station does not collect an empty file every 30 s while the device is idle.
        if (gCap.options.continuous && NothingArrived() && !ConsoleStopRequested()) {
            DropEmptyFile(r.path);
            return -1;
        }
        if (r.portError)
            PortMessage("the port failed, the data set is cut short");
        else if (!gCap.message[0])
            IncompleteMessage(r.path);
        PrintBox(gCap.message);
        PrintResult();
        *sawIncomplete = 1;
        return 0;
    case OUTCOME_NO_PORT:
        PortMessage("the port cannot be opened or configured");
        if (!gCap.retrying) {
            PrintBox(gCap.message);
            if (gCap.options.json) PrintResult();
        }
        // A station keeps waiting for an adapter that was unplugged; a port that never
        // opened is a mistake to report at once.
        if (gCap.options.continuous && gCap.portOpenedOnce) {
            if (!gCap.retrying) ErrorLine("%s: trying again every %d s", gCap.options.port, RETRY_MS / 1000);
            gCap.retrying = 1;
            ConsoleSleep(RETRY_MS);
            return -1;
        }
        return EXIT_PORT;
    case OUTCOME_FILE_FAILED:
        if (gCap.message[0]) PrintBox(gCap.message);
        PrintResult();
        return EXIT_FILE;
    default:
        // Stopped while waiting, before a single byte: an empty file would only be clutter.
        if (NothingArrived()) {
            DropEmptyFile(r.path);
            gCap.report.path = "";
        }
        PrintResult();
        return EXIT_STOPPED;
    }
}

// ---------------------------------------------------------------- command line

// "km740cap: " before, the value and after, then the pointer to --help.
int Usage(const char* before, const char* value = "", const char* after = "")
{
    fprintf(stderr, "km740cap: %s%s%s\nTry 'km740cap --help'.\n", before, value, after);
    return EXIT_USAGE;
}

// Parses the command line; -1 when the run goes on, else the exit status.
int ParseOptions(int argc, char** argv, Options* options)
{
    *options = Options{nullptr, 0, ".", 1, 0, 0, 0};
    int haveCount = 0;
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        char name[32];
        const char* value = nullptr;
        const char* equals = strchr(arg, '=');
        if (strncmp(arg, "--", 2) == 0 && equals) {
            snprintf(name, sizeof name, "%.*s", (int)(equals - arg < 31 ? equals - arg : 31), arg);
            value = equals + 1;
        } else {
            snprintf(name, sizeof name, "%s", arg);
        }
        int takesValue = strcmp(name, "--port") == 0 || strcmp(name, "--baud") == 0 ||
                         strcmp(name, "--out") == 0 || strcmp(name, "--count") == 0;
        if (takesValue && !value) {
            if (i + 1 >= argc) return Usage("", name, " needs a value");
            value = argv[++i];
        } else if (!takesValue && value) {
            return Usage("", name, " takes no value");
        }
        if (strcmp(name, "--help") == 0 || strcmp(name, "-h") == 0) {
            fputs(kHelp, stdout);
            return 0;
        } else if (strcmp(name, "--version") == 0) {
            printf("km740cap %s\n", KM_VERSION_TEXT);
            return 0;
        } else if (strcmp(name, "--port") == 0) {
            if (!value[0]) return Usage("--port needs a port");
            options->port = value;
        } else if (strcmp(name, "--baud") == 0) {
            char* end = nullptr;
            long rate = strtol(value, &end, 10);
            // The window's six rates, from the same table its list is filled from.
            if (end == value || *end || rate < 0 || rate > 38400 || !IsListedBaudRate((int32_t)rate))
                return Usage("--baud ", value, ": not one of 1200, 2400, 4800, 9600, 19200, 38400");
            options->baudRate = (int)rate;
        } else if (strcmp(name, "--out") == 0) {
            if (!value[0]) return Usage("--out needs a folder");
            options->folder = value;
        } else if (strcmp(name, "--count") == 0) {
            char* end = nullptr;
            long count = strtol(value, &end, 10);
            if (end == value || *end || value[0] == '-' || count < 1 || count > 1000000000L)
                return Usage("--count ", value, ": not a number from 1 up");
            options->count = count;
            haveCount = 1;
        } else if (strcmp(name, "--continuous") == 0) {
            options->continuous = 1;
        } else if (strcmp(name, "--quiet") == 0) {
            options->quiet = 1;
        } else if (strcmp(name, "--json") == 0) {
            options->json = 1;
        } else if (arg[0] == '-') {
            return Usage("unknown option ", arg);
        } else {
            return Usage("unexpected argument ", arg);
        }
    }
    if (haveCount && options->continuous) return Usage("--count and --continuous exclude each other");
    if (!options->port) return Usage("--port is required");
    if (!options->baudRate) return Usage("--baud is required");
    if (options->continuous) options->count = 0;
    return -1;
}

}  // namespace

int main(int argc, char** argv)
{
    int parsed = ParseOptions(argc, argv, &gCap.options);
    if (parsed >= 0) return parsed;
    MessagesFillDefaults(1);
    if (!ConsoleFullFolder(gCap.options.folder, gCap.folder, sizeof gCap.folder)) {
        ErrorLine("%s: the folder's path is too long", gCap.options.folder);
        return EXIT_FILE;
    }
    ConsoleDeviceName(gCap.options.port, gCap.device, sizeof gCap.device);
    ConsoleInit();
    gCap.progress = !gCap.options.quiet && ConsoleStderrIsTerminal();

    int status = EXIT_COMPLETE;
    int sawIncomplete = 0;
    long done = 0;
    while (gCap.options.continuous || done < gCap.options.count) {
        if (ConsoleStopRequested()) {
            status = EXIT_STOPPED;
            break;
        }
        gCap.dataSet = done + 1;
        RunRequest();
        int next = AfterDataSet(&sawIncomplete);
        if (next > 0) {
            status = next;
            break;
        }
        if (next == 0) done++;
    }
    if (status == EXIT_COMPLETE && sawIncomplete) status = EXIT_INCOMPLETE;
    fflush(stdout);
    MessagesFreeAll();
    ConsoleFinished();
    return status;
}
