// The one serial port the program uses: open, configure, probe, read without waiting.
#pragma once
#include "platform/comm.h"

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
};

extern CommState gComm;

int CommStart(int portNumber, int baudRate, int flowControl);
// The same for a device named as the system opens it; any name, not only COM1 to COM16.
int CommStartDevice(const char* deviceName, int baudRate, int flowControl);
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
