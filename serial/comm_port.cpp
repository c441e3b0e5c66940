// The one serial port of the program: opened exclusively, configured for 8N1 at one of six
// rates, read only for bytes already queued so the user-interface thread never waits.
#include "serial/comm_port.h"

#include <stdio.h>

#include "platform/system.h"
#include "records/messages.h"
#include "records/settings.h"
#include "records/warning_box.h"
#include "serial/rx_buffer.h"

CommState gComm = {PLAT_INVALID_HANDLE, 1, nullptr, nullptr, {}, nullptr, COMM_CALL_NONE, 0};

namespace {

enum {
    COMM_QUEUE_IN = 1024,
    COMM_QUEUE_OUT = 1024,
    COMM_PURGE_ALL = 15,      // PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR
    COMM_NAME_SIZE = 32
};

// "\\.\COMn" for every number: the plain "COMn" form only reaches ports 1 to 9.
PlatHandle OpenPortDevice(int portNumber)
{
    char name[COMM_NAME_SIZE];
    snprintf(name, sizeof(name), "\\\\.\\COM%d", portNumber);
    return PlatCommOpenDevice(name);
}

void FreeBlocks(void)
{
    PlatHeapFree(gComm.lineSettings);
    gComm.lineSettings = nullptr;
    PlatHeapFree(gComm.timeouts);
    gComm.timeouts = nullptr;
}

// Counts each receive error the error word of ClearCommError reports.
void CountLineErrors(uint32_t errors)
{
    static const uint32_t bits[COMM_ERR_KINDS] = {PLAT_CE_RXOVER, PLAT_CE_OVERRUN, PLAT_CE_FRAME,
                                                  PLAT_CE_RXPARITY, PLAT_CE_BREAK};
    for (int kind = 0; kind < COMM_ERR_KINDS; kind++)
        if (errors & bits[kind]) gComm.lineErrors[kind]++;
}

// Keeps which call failed and the system's reason, taken before anything else can change it.
int Failed(int call, int result)
{
    gComm.failedCall = call;
    gComm.failedError = PlatGetLastError();
    return result;
}

// Every failure after the device opened inside CommOpen gives the device back at once.
int DropDevice(int call, int result)
{
    Failed(call, result);
    PlatCloseHandle(gComm.device);
    gComm.device = PLAT_INVALID_HANDLE;
    return result;
}

}  // namespace

int CommIsOpen(void) { return gComm.device != PLAT_INVALID_HANDLE ? 1 : 0; }

// Opens and configures the port gComm names; purge: 1 to drop what was queued before.
static int StartNamedPort(int baudRate, int flowControl, int purge);

int CommStart(int portNumber, int baudRate, int flowControl)
{
    gComm.failedCall = COMM_CALL_NONE;
    gComm.failedError = 0;
    if (!IsListedPort(portNumber)) return COMM_BAD_PORT;
    if (!IsListedBaudRate(baudRate)) return COMM_BAD_BAUD;

    // Recorded before the open, so even a refusal as already open records the new number.
    gComm.portNumber = portNumber;
    gComm.deviceName = nullptr;
    return StartNamedPort(baudRate, flowControl, 1);
}

static int StartDevice(const char* deviceName, int baudRate, int flowControl, int purge)
{
    gComm.failedCall = COMM_CALL_NONE;
    gComm.failedError = 0;
    if (deviceName == nullptr || deviceName[0] == '\0') return COMM_BAD_PORT;
    if (!IsListedBaudRate(baudRate)) return COMM_BAD_BAUD;
    gComm.deviceName = deviceName;
    return StartNamedPort(baudRate, flowControl, purge);
}

int CommStartDevice(const char* deviceName, int baudRate, int flowControl)
{
    return StartDevice(deviceName, baudRate, flowControl, 1);
}

int CommListenDevice(const char* deviceName, int baudRate, int flowControl)
{
    return StartDevice(deviceName, baudRate, flowControl, 0);
}

static int StartNamedPort(int baudRate, int flowControl, int purge)
{
    int result = CommOpen();
    if (result != COMM_OK) return result;

    PlatDcb* dcb = gComm.lineSettings;
    uint32_t xonXoff = flowControl != 0 ? 1u : 0u;
    dcb->BaudRate = (uint32_t)baudRate;
    dcb->ByteSize = 8;
    dcb->Parity = 0;            // NOPARITY
    dcb->StopBits = 0;          // ONESTOPBIT
    dcb->fParity = 1;
    dcb->fOutxCtsFlow = 0;
    dcb->fOutxDsrFlow = 0;
    dcb->fDtrControl = 1;       // DTR_CONTROL_ENABLE
    dcb->fDsrSensitivity = 0;
    dcb->fOutX = xonXoff;
    dcb->fInX = xonXoff;
    dcb->fNull = 0;             // NUL bytes are data
    dcb->fRtsControl = 1;       // RTS_CONTROL_ENABLE

    result = CommApply();
    if (result != COMM_OK) {
        CommClose();
        return result;
    }
    // A failed purge only means stale bytes may reach the framing; the start goes on.
    if (purge) (void)CommPurge();
    // Errors of bytes that came before the start went with them.
    for (uint32_t& count : gComm.lineErrors) count = 0;
    RxReset();
    return COMM_OK;
}

int CommOpen(void)
{
    if (CommIsOpen()) return COMM_ALREADY_OPEN;

    gComm.device = gComm.deviceName != nullptr ? PlatCommOpenDevice(gComm.deviceName)
                                                : OpenPortDevice(gComm.portNumber);
    if (gComm.device == PLAT_INVALID_HANDLE) return Failed(COMM_CALL_OPEN, COMM_OPEN_FAILED);

    PlatHeapFree(gComm.lineSettings);
    gComm.lineSettings = static_cast<PlatDcb*>(PlatHeapAlloc(sizeof(PlatDcb)));
    if (!gComm.lineSettings) return DropDevice(COMM_CALL_MEMORY, COMM_NO_BLOCKS);

    gComm.lineSettings->DCBlength = PLAT_DCB_SIZE;
    if (!PlatGetCommState(gComm.device, gComm.lineSettings)) return DropDevice(COMM_CALL_GET_STATE, COMM_API_FAILED);

    PlatHeapFree(gComm.timeouts);
    gComm.timeouts = static_cast<PlatCommTimeouts*>(PlatHeapAlloc(sizeof(PlatCommTimeouts)));
    if (!gComm.timeouts) return DropDevice(COMM_CALL_MEMORY, COMM_API_FAILED);

    // Only a driver that delivers less than it reported queued ever lets these run out.
    gComm.timeouts->ReadIntervalTimeout = 100;
    gComm.timeouts->ReadTotalTimeoutMultiplier = 50;
    gComm.timeouts->ReadTotalTimeoutConstant = 100;
    gComm.timeouts->WriteTotalTimeoutMultiplier = 50;
    gComm.timeouts->WriteTotalTimeoutConstant = 100;
    return COMM_OK;
}

int CommApply(void)
{
    if (!CommIsOpen()) return COMM_NOT_OPEN;
    if (!gComm.lineSettings || !gComm.timeouts) return COMM_NO_BLOCKS;
    if (!PlatSetupComm(gComm.device, COMM_QUEUE_IN, COMM_QUEUE_OUT)) return Failed(COMM_CALL_SETUP, COMM_API_FAILED);
    // No events are watched: the window timer polls the link.
    if (!PlatSetCommMask(gComm.device, 0)) return Failed(COMM_CALL_MASK, COMM_API_FAILED);
    if (!PlatSetCommTimeouts(gComm.device, gComm.timeouts)) return Failed(COMM_CALL_TIMEOUTS, COMM_API_FAILED);
    if (!PlatSetCommState(gComm.device, gComm.lineSettings)) return Failed(COMM_CALL_SET_STATE, COMM_API_FAILED);
    return COMM_OK;
}

int CommPurge(void)
{
    if (!CommIsOpen()) return COMM_NOT_OPEN;
    uint32_t errors = 0;
    if (!PlatClearCommError(gComm.device, &errors, nullptr)) return COMM_API_FAILED;
    if (!PlatPurgeComm(gComm.device, COMM_PURGE_ALL)) return COMM_API_FAILED;
    return COMM_OK;
}

int CommRead(void* buffer, uint32_t maximum, uint32_t* bytesRead)
{
    if (!CommIsOpen()) return COMM_NOT_OPEN;
    uint32_t errors = 0;
    PlatComStat status = {0, 0};
    // Also clears overrun, framing and parity errors, which would otherwise block reads. The
    // bytes they concern are gone or damaged, so each is counted for the download to report.
    if (!PlatClearCommError(gComm.device, &errors, &status)) return COMM_API_FAILED;
    CountLineErrors(errors);
    uint32_t count = status.cbInQue < maximum ? status.cbInQue : maximum;
    if (count == 0) return COMM_NO_DATA;
    // Asking only for what is queued makes ReadFile return at once.
    if (!PlatReadFile(gComm.device, buffer, count, bytesRead)) return COMM_READ_FAILED;
    return COMM_OK;
}

void CommClose(void)
{
    if (!CommIsOpen()) return;
    PlatCloseHandle(gComm.device);
    gComm.device = PLAT_INVALID_HANDLE;
    FreeBlocks();
}

int CommHadLineErrors(void)
{
    for (uint32_t count : gComm.lineErrors)
        if (count != 0) return 1;
    return 0;
}

void CommRefusalText(BoxField* field, const char* portName)
{
    // What each call sets, in the terms of a serial port's settings, which read the same in
    // every language the catalogue may be in.
    static const char* const kSettings[] = {
        "", "", "",
        "GetCommState",
        "SetupComm (1024, 1024)",
        "SetCommMask (0)",
        "SetCommTimeouts (100, 50, 100)",
        "SetCommState (baud rate, 8N1, flow control)",
    };
    AppendPortNotEnabled(field, portName);
    // A port that is missing or held is what the sentence says; a port that was found and
    // refused a setting would send the user looking for a missing port without this line.
    if (gComm.failedCall < COMM_CALL_GET_STATE || gComm.failedCall > COMM_CALL_SET_STATE) return;
    char reason[SYSTEM_TEXT_SIZE];
    reason[0] = '\0';
    if (gComm.failedError != 0) SystemReasonText(gComm.failedError, reason, sizeof reason);
    const TextValue values[] = {{"SETTING", kSettings[gComm.failedCall], 1}, {"REASON", reason, 1}};
    AppendCharacters(field, "\r\n");
    AppendBoxText(field, BOX_PORT_SETTING_REFUSED, values, 2);
}

int CommProbe(int portNumber)
{
    // A second exclusive open of our own port would fail, yet the port is in use by us.
    if (CommIsOpen() && gComm.deviceName == nullptr && portNumber == gComm.portNumber) return 1;
    PlatHandle device = OpenPortDevice(portNumber);
    if (device == PLAT_INVALID_HANDLE) return 0;
    PlatCloseHandle(device);
    return 1;
}

int CommFirstAvailable(void)
{
    for (int port = PORT_FIRST; port <= PORT_LAST; port++)
        if (CommProbe(port)) return port;
    return 0;
}
