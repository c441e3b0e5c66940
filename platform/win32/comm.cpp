// Win32 implementation of the serial device operations.
#include <windows.h>
#include "platform/comm.h"

static_assert(sizeof(DCB) == PLAT_DCB_SIZE, "DCB size");

static void DcbToPlat(const DCB& from, PlatDcb* to)
{
    to->DCBlength = from.DCBlength;
    to->BaudRate = from.BaudRate;
    to->fBinary = from.fBinary;
    to->fParity = from.fParity;
    to->fOutxCtsFlow = from.fOutxCtsFlow;
    to->fOutxDsrFlow = from.fOutxDsrFlow;
    to->fDtrControl = from.fDtrControl;
    to->fDsrSensitivity = from.fDsrSensitivity;
    to->fTXContinueOnXoff = from.fTXContinueOnXoff;
    to->fOutX = from.fOutX;
    to->fInX = from.fInX;
    to->fErrorChar = from.fErrorChar;
    to->fNull = from.fNull;
    to->fRtsControl = from.fRtsControl;
    to->fAbortOnError = from.fAbortOnError;
    to->XonLim = from.XonLim;
    to->XoffLim = from.XoffLim;
    to->ByteSize = from.ByteSize;
    to->Parity = from.Parity;
    to->StopBits = from.StopBits;
    to->XonChar = from.XonChar;
    to->XoffChar = from.XoffChar;
    to->ErrorChar = from.ErrorChar;
    to->EofChar = from.EofChar;
    to->EvtChar = from.EvtChar;
}

static void DcbFromPlat(const PlatDcb& from, DCB* to)
{
    ZeroMemory(to, sizeof(*to));
    to->DCBlength = from.DCBlength;
    to->BaudRate = from.BaudRate;
    to->fBinary = from.fBinary;
    to->fParity = from.fParity;
    to->fOutxCtsFlow = from.fOutxCtsFlow;
    to->fOutxDsrFlow = from.fOutxDsrFlow;
    to->fDtrControl = from.fDtrControl;
    to->fDsrSensitivity = from.fDsrSensitivity;
    to->fTXContinueOnXoff = from.fTXContinueOnXoff;
    to->fOutX = from.fOutX;
    to->fInX = from.fInX;
    to->fErrorChar = from.fErrorChar;
    to->fNull = from.fNull;
    to->fRtsControl = from.fRtsControl;
    to->fAbortOnError = from.fAbortOnError;
    to->XonLim = from.XonLim;
    to->XoffLim = from.XoffLim;
    to->ByteSize = from.ByteSize;
    to->Parity = from.Parity;
    to->StopBits = from.StopBits;
    to->XonChar = from.XonChar;
    to->XoffChar = from.XoffChar;
    to->ErrorChar = from.ErrorChar;
    to->EofChar = from.EofChar;
    to->EvtChar = from.EvtChar;
}

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
