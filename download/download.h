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
int DownloadBegin(PlatWindow window);
int DownloadPoll(PlatWindow window);
int DownloadFinish(PlatWindow window);
