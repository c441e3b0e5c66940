// Download control: the timer-driven state machine that runs one download.
#pragma once
#include <stdio.h>
#include "platform/types.h"

enum DownloadPhase { PHASE_IDLE = 0, PHASE_OPEN = 1, PHASE_RECEIVE = 2, PHASE_FINISH = 3 };
enum TransferState { XFER_IDLE = 0, XFER_WAIT_STX = 1, XFER_RECORDS = 2, XFER_DONE = 3 };

enum {
    DOWNLOAD_START_DELAY_MS = 250,
    DOWNLOAD_POLL_MS = 100,
    DOWNLOAD_SILENCE_LIMIT_MS = 30000
};

struct DownloadState {
    unsigned timerId;
    int phase;
    int transferState;
    uint32_t lastActivityTick;
    FILE* outputFile;   // owned by the output file operations
    char* outputPath;   // heap text, owned by the output file operations
};

extern DownloadState gDownload;

void DownloadToggle(PlatWindow window);
int DownloadOnTimer(PlatWindow window, unsigned timerId);
// What the begin step did. 3 covers two cases, both leaving everything as it was: the
// recovery closes a file left open, if there is one, and otherwise names the missing list.
enum BeginResult {
    BEGIN_OK = 0,            // file created and open, port started, the silence clock set
    BEGIN_PORT_FAILED = 1,   // the port did not start; the file this step created is open
    BEGIN_NOT_CREATED = 2,   // no output file was created (OutputFileCreate's CREATE_FAILED)
    BEGIN_NOT_READY = 3      // an output file was already open, or the destination list is missing
};
int DownloadBegin(PlatWindow window);
int DownloadPoll(PlatWindow window);
void DownloadFinish(PlatWindow window);
