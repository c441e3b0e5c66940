// A station's lifecycle over the data-set rules: the port is opened once and kept across data
// sets and silences; a data set begins at its STX line, whenever it comes, and its file is
// made then (NAME.part while it is written, synced and renamed when it ends); lines outside a
// data set are only counted. The port is opened again only after it failed. It knows no
// window and no console: a front end runs StationPoll on its clock and is told what happened.
#pragma once
#include <stddef.h>
#include "platform/types.h"
#include "serial/comm_port.h"

struct StationRequest {
    const char* deviceName;   // the device as the system opens it ("\\.\COM3", "/dev/ttyUSB0")
    const char* portName;     // the port as the user knows it, for messages
    int baudRate;             // one of the six listed rates
    const char* folder;       // the destination folder
};

// Why a data set ended. Every end but ETX leaves it incomplete; its file is kept.
enum DataSetEnd {
    END_ETX = 0,            // its ETX line: complete, unless the port reported receive errors
    END_SILENCE = 1,        // 30 s without a byte inside the data set
    END_ONE_BYTE_LINE = 2,  // a one-byte line other than ETX or STX
    END_NEW_STX = 3,        // an STX line: this data set ends and the next begins
    END_LONG_LINE = 4,      // a line longer than the receive buffer holds
    END_PORT_FAILED = 5,    // the port failed (a hang-up, an adapter pulled)
    END_STOPPED = 6,        // the program was asked to stop
    END_FILE_FAILED = 7     // the file could not be written, synced or renamed
};

struct StationReport {
    int outcome;                          // DownloadOutcome: COMPLETE, INCOMPLETE, STOPPED, FILE_FAILED
    int end;                              // DataSetEnd
    const char* path;                     // the file as it stands now: its own name, or NAME.part
                                          // when the rename failed
    uint32_t records;
    uint32_t bytes;                       // each record's CR LF included
    uint32_t lineErrors[COMM_ERR_KINDS];  // receive errors during this data set, by kind
    unsigned portError;                   // the system's reason with END_PORT_FAILED, else 0
    const char* text;                     // the window's box text for it (file failure, receive
                                          // errors), empty when there is none
};

struct StationFrontEnd {
    void* context;
    // The port is open and read from now on (the first time and after each reopening).
    void (*portOpened)(void* context);
    // The port could not be opened, or failed while open; it is closed now. text: the
    // refusal as the window words it ("COM3 is not enabled." and the setting refused).
    void (*portFailed)(void* context, unsigned error, const char* text);
    // Bytes as read from the port, unchanged (for a raw copy).
    void (*received)(void* context, const unsigned char* bytes, size_t count);
    // An STX line began a data set; its file is made: path is its own name, partPath the
    // name it is written under until it ends.
    void (*dataSetStarted)(void* context, const char* path, const char* partPath);
    // A record just written to the file.
    void (*record)(void* context, const char* line);
    void (*dataSetEnded)(void* context, const StationReport* report);
    // Lines outside a data set (not STX), and bytes that never became a line, just dropped.
    void (*skipped)(void* context, uint32_t lines, uint32_t bytes);
};

// Opens the port. Nothing it has queued is purged, now or later: it may be the start of a
// data set. 0 when it is open, else the CommResult; the front end was told either way.
int StationOpen(const StationRequest* request, const StationFrontEnd* frontEnd);
// Opens the port again after it failed, without purging. 0 when open.
int StationReopen(void);
// Reads everything the port has queued and handles every line in it; ends a data set by its
// silence. Call it every STATION_POLL_MS or so while the port is open.
void StationPoll(void);
// A stop: reads what the port has queued, writes every whole record, ends a data set that
// runs as stopped (complete if its ETX came) and closes the port.
void StationStop(void);
// Closes the port after the last data set the run wanted; a data set that runs is stopped.
void StationClose(void);
int StationPortOpen(void);
// 1 while a data set runs.
int StationInDataSet(void);
// The tick of the last byte received (for a progress line).
uint32_t StationLastByteTick(void);

enum { STATION_POLL_MS = 100 };
