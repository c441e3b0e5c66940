// The download rules: one download from its request to its end (the file and its names, the
// port, the device's lines, the silence limit, receive errors, every failure's outcome), told
// to whichever front end runs it through a small record of functions. The dialog is one front
// end (ui/download_window), the console capture program another.
#pragma once
#include <stdio.h>
#include "platform/types.h"
#include "download/data_set.h"
#include "serial/comm_port.h"

enum DownloadPhase { PHASE_IDLE = 0, PHASE_OPEN = 1, PHASE_RECEIVE = 2, PHASE_FINISH = 3 };
enum TransferState { XFER_IDLE = 0, XFER_WAIT_STX = 1, XFER_RECORDS = 2, XFER_DONE = 3 };

enum {
    DOWNLOAD_START_DELAY_MS = 250,
    DOWNLOAD_POLL_MS = 100,
    DOWNLOAD_SILENCE_LIMIT_MS = DATA_SET_SILENCE_LIMIT_MS
};

// What the begin step did. 3 covers two cases, both leaving everything as it was: the
// recovery closes a file left open, if there is one, and otherwise names the missing folder.
enum BeginResult {
    BEGIN_OK = 0,            // file created and open, port started, the silence clock set
    BEGIN_PORT_FAILED = 1,   // the port did not start; the file this step created is open
    BEGIN_NOT_CREATED = 2,   // no output file was created (OutputFileCreate's CREATE_FAILED)
    BEGIN_NOT_READY = 3      // an output file was already open, or the destination is missing
};

// What one download is to do. The window asks for a listed COM number; the console names
// any device the system opens.
struct DownloadRequest {
    int portNumber;           // COM1..COM16, used when deviceName is null
    const char* deviceName;   // the device as the system opens it ("\\.\COM3", "/dev/ttyUSB0")
    const char* portName;     // the port as the user knows it, for messages ("COM3")
    int baudRate;             // one of the six listed rates
    const char* folder;       // the destination folder; null or empty: none is known
    // 1: a port that fails mid download (an adapter pulled, a tty hung up) ends it at once;
    // 0: failed reads count as silence until the limit, as the window has always had it.
    int portFailureEnds;
};

// How a download ended, for a front end that reports each one.
enum DownloadOutcome {
    OUTCOME_COMPLETE = 0,     // ETX arrived, the file holds every record, no receive error
    OUTCOME_INCOMPLETE = 1,   // silence, a line out of place, or receive errors: file kept
    OUTCOME_NO_PORT = 2,      // the port could not be opened or configured: no file
    OUTCOME_FILE_FAILED = 3,  // the file could not be created, written or completed
    OUTCOME_CANCELLED = 4,    // cancelled: the file is deleted (or named in the box if not)
    OUTCOME_STOPPED = 5       // stopped from outside (window closed, Ctrl+C): the file is kept
};

struct DownloadReport {
    int outcome;                          // DownloadOutcome
    const char* path;                     // the output file's path; empty when none was made
    uint32_t records;                     // records written
    uint32_t bytes;                       // bytes written, each record's CR LF included
    uint32_t lineErrors[COMM_ERR_KINDS];  // receive errors the port reported, by kind
    // The system's reason when the port refused to start, or failed mid download with
    // portFailureEnds; 0 when it did neither.
    unsigned portError;
};

// What a front end provides. Every function gets the front end's own context. Any but
// schedule may be null: a front end that has no use for a report leaves it out.
struct DownloadFrontEnd {
    void* context;
    // The status to show: a StatusIndex.
    void (*showStatus)(void* context, int statusIndex);
    // A record just written to the file, whole, as a zero-terminated line.
    void (*showRecord)(void* context, const char* record);
    // The STX line arrived: the data set has begun.
    void (*dataSetStarted)(void* context);
    // A box's text: everything that went wrong, in one message for the user.
    void (*showBox)(void* context, const char* text);
    // 1: a download runs from now on (the window disables its lists); 0: idle again.
    void (*setBusy)(void* context, int busy);
    // Run DownloadStep after the given milliseconds. 0 when it cannot be scheduled; the
    // reason is then the platform's last error.
    int (*schedule)(void* context, unsigned milliseconds);
    // The step scheduled is no longer wanted.
    void (*unschedule)(void* context);
    // The destination as it stands when the begin step runs; 0 when it cannot be told (the
    // window's list is gone). Null: the request's folder is the destination.
    int (*chooseFolder)(void* context, const char** folder);
    // A download has ended, with how and what it wrote. Called once per DownloadRequestStart
    // that was accepted, after the status and any box.
    void (*ended)(void* context, const DownloadReport* report);
};

struct DownloadState {
    unsigned timerId;          // the dialog's pending step: its timer, 0 when none is armed
    int phase;
    int transferState;
    uint32_t lastActivityTick;
    FILE* outputFile;          // owned by the output file operations
    char* outputPath;          // heap text, owned by the output file operations
    uint32_t records;          // written in this download
    uint32_t bytes;            // the same in bytes, CR LF included
};

extern DownloadState gDownload;

// Starts a download: the front end is told it is busy and the first step is scheduled.
// 0 when one already runs (nothing changes), 1 when started (its end is always reported).
int DownloadRequestStart(const DownloadRequest* request, const DownloadFrontEnd* frontEnd);
// The step the front end runs when the time it was asked for has come.
void DownloadStep(void);
// Cancel: stops at once and deletes the file of this download.
void DownloadCancel(void);
// Stopped from outside (the program ends): the port is closed and the file kept with every
// record received so far. Nothing is shown.
void DownloadStop(void);
// 1 while the port is open for a download.
int DownloadIsBusy(void);

// Takes the request and the front end for the steps that follow, without starting anything:
// for a front end or a test that runs the steps one by one.
void DownloadUse(const DownloadRequest* request, const DownloadFrontEnd* frontEnd);
// The three steps.
int DownloadBeginRequest(void);
int DownloadPollLines(void);
void DownloadFinishRequest(void);
