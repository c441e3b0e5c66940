// The one serial port the program uses: open, configure, probe, read without waiting.
#pragma once
#include "platform/comm.h"
#include "records/box_text.h"

enum CommResult {
    COMM_OK = 0,
    COMM_NO_BLOCKS = 1,
    COMM_ALREADY_OPEN = 2,
    COMM_NOT_OPEN = 3,
    COMM_OPEN_FAILED = 4,
    COMM_API_FAILED = 5,
    COMM_BAD_PORT = 6,
    COMM_BAD_BAUD = 7,
    COMM_NO_DATA = 8,
    COMM_READ_FAILED = 9
};

// The receive errors the driver can report, each counted on its own.
enum CommLineError {
    COMM_ERR_RXOVER = 0,     // input queue full: bytes dropped (CE_RXOVER)
    COMM_ERR_OVERRUN = 1,    // hardware overrun: bytes lost (CE_OVERRUN)
    COMM_ERR_FRAME = 2,      // framing error (CE_FRAME)
    COMM_ERR_PARITY = 3,     // parity error (CE_RXPARITY)
    COMM_ERR_BREAK = 4,      // break (CE_BREAK)
    COMM_ERR_KINDS = 5
};

// The system call at which the last CommStart failed on a port it had found.
enum CommCall {
    COMM_CALL_NONE = 0,        // nothing failed, or nothing was called (the start was refused)
    COMM_CALL_OPEN = 1,        // CreateFile: the port is missing or held by another program
    COMM_CALL_MEMORY = 2,      // a settings block could not be allocated
    COMM_CALL_GET_STATE = 3,   // GetCommState
    COMM_CALL_SETUP = 4,       // SetupComm
    COMM_CALL_MASK = 5,        // SetCommMask
    COMM_CALL_TIMEOUTS = 6,    // SetCommTimeouts
    COMM_CALL_SET_STATE = 7    // SetCommState: the rate or the line settings
};

struct CommState {
    PlatHandle device;            // PLAT_INVALID_HANDLE when not open
    int32_t portNumber;           // starts at 1
    PlatDcb* lineSettings;        // may be absent
    PlatCommTimeouts* timeouts;   // may be absent
    // How many reads found each error reported since the purge of the last CommStart.
    uint32_t lineErrors[COMM_ERR_KINDS];
    // The device opened by name instead of by portNumber, when not null (a console's "COM20"
    // or "/dev/ttyUSB0"); the caller keeps the text alive while the port is in use.
    const char* deviceName;
    // Why the last CommStart failed: the call (CommCall) and the system's error code at
    // that moment, before closing the port could replace it.
    int failedCall;
    unsigned failedError;
};

extern CommState gComm;

int CommStart(int portNumber, int baudRate, int flowControl);
// The same for a device named as the system opens it; any name, not only COM1 to COM16.
int CommStartDevice(const char* deviceName, int baudRate, int flowControl);
// The same for a port kept open across data sets: nothing the port already queued is purged,
// since it may be the start of what the device sends next.
int CommListenDevice(const char* deviceName, int baudRate, int flowControl);
int CommOpen(void);
int CommApply(void);
int CommPurge(void);
int CommRead(void* buffer, uint32_t maximum, uint32_t* bytesRead);
void CommClose(void);
int CommIsOpen(void);
int CommProbe(int portNumber);
int CommFirstAvailable(void);
// 1 when the driver reported any receive error since the purge of the last CommStart.
int CommHadLineErrors(void);
// The box for a port the last start could not use: its name, a blank and the NOT_ENABLED text,
// and for a port that opened but refused a setting, a line naming that setting with the
// system's reason.
void CommRefusalText(BoxField* field, const char* portName);
