// Serial device operations, one per Win32 communications call the serial link needs.
#pragma once
#include "platform/types.h"

// The line-settings block: the fields of the system DCB, in its order. The Win32 layer
// copies every field both ways, so fields the logic does not set keep the driver's values.
struct PlatDcb {
    uint32_t DCBlength;
    uint32_t BaudRate;
    uint32_t fBinary;
    uint32_t fParity;
    uint32_t fOutxCtsFlow;
    uint32_t fOutxDsrFlow;
    uint32_t fDtrControl;
    uint32_t fDsrSensitivity;
    uint32_t fTXContinueOnXoff;
    uint32_t fOutX;
    uint32_t fInX;
    uint32_t fErrorChar;
    uint32_t fNull;
    uint32_t fRtsControl;
    uint32_t fAbortOnError;
    uint16_t XonLim;
    uint16_t XoffLim;
    uint8_t ByteSize;
    uint8_t Parity;
    uint8_t StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
};

// The size of the system DCB record, which DCBlength must hold.
enum { PLAT_DCB_SIZE = 28 };

struct PlatCommTimeouts {
    uint32_t ReadIntervalTimeout;
    uint32_t ReadTotalTimeoutMultiplier;
    uint32_t ReadTotalTimeoutConstant;
    uint32_t WriteTotalTimeoutMultiplier;
    uint32_t WriteTotalTimeoutConstant;
};

// The receive errors of ClearCommError's error word (CE_*): each bit says the error happened
// at least once since the previous call, not how often.
enum {
    PLAT_CE_RXOVER = 0x0001,    // the input queue was full: received bytes were dropped
    PLAT_CE_OVERRUN = 0x0002,   // the hardware lost a byte before the driver took it
    PLAT_CE_RXPARITY = 0x0004,  // a parity error
    PLAT_CE_FRAME = 0x0008,     // a framing error (a missing stop bit)
    PLAT_CE_BREAK = 0x0010      // a break (the line held low for longer than a byte)
};

// What ClearCommError reports in its COMSTAT record that the logic reads.
struct PlatComStat {
    uint32_t cbInQue;
    uint32_t cbOutQue;
};

// CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
// FILE_ATTRIBUTE_NORMAL, NULL): PLAT_INVALID_HANDLE on failure.
PlatHandle PlatCommOpenDevice(const char* name);
int PlatCloseHandle(PlatHandle handle);
// Each returns non-zero on success, as the Win32 call.
int PlatGetCommState(PlatHandle handle, PlatDcb* dcb);
int PlatSetCommState(PlatHandle handle, const PlatDcb* dcb);
int PlatSetupComm(PlatHandle handle, uint32_t inQueue, uint32_t outQueue);
int PlatSetCommMask(PlatHandle handle, uint32_t mask);
int PlatSetCommTimeouts(PlatHandle handle, const PlatCommTimeouts* timeouts);
// status may be null.
int PlatClearCommError(PlatHandle handle, uint32_t* errors, PlatComStat* status);
int PlatPurgeComm(PlatHandle handle, uint32_t flags);
// Synchronous ReadFile.
int PlatReadFile(PlatHandle handle, void* buffer, uint32_t count, uint32_t* bytesRead);
