// Win32 implementation of the serial device operations.
#include <windows.h>
#include "platform/comm.h"

static_assert(sizeof(DCB) == PLAT_DCB_SIZE, "DCB size");
static_assert(PLAT_CE_RXOVER == CE_RXOVER && PLAT_CE_OVERRUN == CE_OVERRUN &&
                  PLAT_CE_RXPARITY == CE_RXPARITY && PLAT_CE_FRAME == CE_FRAME &&
                  PLAT_CE_BREAK == CE_BREAK,
              "receive error bits");

// Every field of the DCB, in its order; the copies below go through all of them so that
// fields the logic does not set keep the values the driver reported.
#define DCB_FIELDS(X)                                                                          \
    X(DCBlength) X(BaudRate) X(fBinary) X(fParity) X(fOutxCtsFlow) X(fOutxDsrFlow)            \
    X(fDtrControl) X(fDsrSensitivity) X(fTXContinueOnXoff) X(fOutX) X(fInX) X(fErrorChar)    \
    X(fNull) X(fRtsControl) X(fAbortOnError) X(XonLim) X(XoffLim) X(ByteSize) X(Parity)      \
    X(StopBits) X(XonChar) X(XoffChar) X(ErrorChar) X(EofChar) X(EvtChar)

#define COPY_FIELD(name) to->name = from.name;

static void DcbToPlat(const DCB& from, PlatDcb* to) { DCB_FIELDS(COPY_FIELD) }

static void DcbFromPlat(const PlatDcb& from, DCB* to)
{
    ZeroMemory(to, sizeof(*to));
    DCB_FIELDS(COPY_FIELD)
}

#undef COPY_FIELD

PlatHandle PlatCommOpenDevice(const char* name)
{
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
}

int PlatCloseHandle(PlatHandle handle) { return CloseHandle(handle) ? 1 : 0; }

int PlatGetCommState(PlatHandle handle, PlatDcb* dcb)
{
    DCB state;
    ZeroMemory(&state, sizeof(state));
    state.DCBlength = dcb->DCBlength;
    if (!GetCommState(handle, &state)) return 0;
    DcbToPlat(state, dcb);
    return 1;
}

int PlatSetCommState(PlatHandle handle, const PlatDcb* dcb)
{
    DCB state;
    DcbFromPlat(*dcb, &state);
    return SetCommState(handle, &state) ? 1 : 0;
}

int PlatSetupComm(PlatHandle handle, uint32_t inQueue, uint32_t outQueue)
{
    return SetupComm(handle, inQueue, outQueue) ? 1 : 0;
}

int PlatSetCommMask(PlatHandle handle, uint32_t mask) { return SetCommMask(handle, mask) ? 1 : 0; }

int PlatSetCommTimeouts(PlatHandle handle, const PlatCommTimeouts* timeouts)
{
    COMMTIMEOUTS values;
    values.ReadIntervalTimeout = timeouts->ReadIntervalTimeout;
    values.ReadTotalTimeoutMultiplier = timeouts->ReadTotalTimeoutMultiplier;
    values.ReadTotalTimeoutConstant = timeouts->ReadTotalTimeoutConstant;
    values.WriteTotalTimeoutMultiplier = timeouts->WriteTotalTimeoutMultiplier;
    values.WriteTotalTimeoutConstant = timeouts->WriteTotalTimeoutConstant;
    return SetCommTimeouts(handle, &values) ? 1 : 0;
}

int PlatClearCommError(PlatHandle handle, uint32_t* errors, PlatComStat* status)
{
    DWORD errorWord = 0;
    COMSTAT comStat;
    ZeroMemory(&comStat, sizeof(comStat));
    if (!ClearCommError(handle, &errorWord, status ? &comStat : NULL)) return 0;
    if (errors) *errors = errorWord;
    if (status) {
        status->cbInQue = comStat.cbInQue;
        status->cbOutQue = comStat.cbOutQue;
    }
    return 1;
}

int PlatPurgeComm(PlatHandle handle, uint32_t flags) { return PurgeComm(handle, flags) ? 1 : 0; }

int PlatReadFile(PlatHandle handle, void* buffer, uint32_t count, uint32_t* bytesRead)
{
    DWORD got = 0;
    BOOL ok = ReadFile(handle, buffer, count, &got, NULL);
    *bytesRead = got;
    return ok ? 1 : 0;
}
