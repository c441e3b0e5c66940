// The capture program's console on Windows: a control handler sets a flag; a console close,
// log-off or shut-down waits for the files to be closed before letting the system go on.
#include <windows.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "capture/console.h"

namespace {

volatile LONG gStop = 0;
HANDLE gStopEvent = NULL;
HANDLE gFinishedEvent = NULL;

BOOL WINAPI OnConsoleControl(DWORD kind)
{
    InterlockedExchange(&gStop, 1);
    if (gStopEvent) SetEvent(gStopEvent);
    // After this handler returns from a close, log-off or shut-down, the process is ended
    // (after 5 s at the latest): hold it until the main loop has closed the file.
    if (kind == CTRL_CLOSE_EVENT || kind == CTRL_LOGOFF_EVENT || kind == CTRL_SHUTDOWN_EVENT) {
        if (gFinishedEvent) WaitForSingleObject(gFinishedEvent, 4000);
    }
    return TRUE;
}

}  // namespace

void ConsoleInit(void)
{
    gStopEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    gFinishedEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

int ConsoleStopRequested(void) { return InterlockedCompareExchange(&gStop, 0, 0) ? 1 : 0; }

void ConsoleFinished(void)
{
    if (gFinishedEvent) SetEvent(gFinishedEvent);
}

int ConsoleStderrIsTerminal(void) { return _isatty(_fileno(stderr)) ? 1 : 0; }

// Waiting on the event rather than Sleep lets a Ctrl+C end the wait at once.
void ConsoleSleep(uint32_t milliseconds)
{
    if (gStopEvent)
        WaitForSingleObject(gStopEvent, milliseconds);
    else
        Sleep(milliseconds);
}

int ConsoleDeviceName(const char* port, char* out, size_t size)
{
    int written;
    // "\\.\COMn" reaches every port; the plain "COMn" only ports 1 to 9.
    if (_strnicmp(port, "COM", 3) == 0 && port[3] >= '0' && port[3] <= '9')
        written = snprintf(out, size, "\\\\.\\%s", port);
    else
        written = snprintf(out, size, "%s", port);
    if (written >= 0 && (size_t)written < size) return 1;
    if (size) out[0] = '\0';
    return 0;
}

int ConsoleFullFolder(const char* folder, char* out, size_t size)
{
    DWORD length = GetFullPathNameA(folder, (DWORD)size, out, NULL);
    if (length == 0 || length >= size) return 0;
    // "C:\data\" and "C:\" lose the separator the program puts back between folder and name;
    // a trail byte of a double-byte character that equals the backslash is not one.
    for (;;) {
        DWORD last = (DWORD)-1;
        for (DWORD i = 0; i < length; i++) {
            if (IsDBCSLeadByte((BYTE)out[i]) && i + 1 < length) {
                i++;
                continue;
            }
            last = i;
        }
        if (length == 0 || last != length - 1 || (out[last] != '\\' && out[last] != '/')) break;
        out[--length] = '\0';
    }
    return length > 0 ? 1 : 0;
}

void ConsoleNativePath(const char* path, char* out, size_t size) { snprintf(out, size, "%s", path); }

void ConsoleToUtf8(const char* text, char* out, size_t size)
{
    if (size == 0) return;
    out[0] = '\0';
    int wide = MultiByteToWideChar(CP_ACP, 0, text, -1, NULL, 0);
    if (wide <= 0) return;
    WCHAR* buffer = (WCHAR*)malloc((size_t)wide * sizeof(WCHAR));
    if (!buffer) return;
    MultiByteToWideChar(CP_ACP, 0, text, -1, buffer, wide);
    if (WideCharToMultiByte(CP_UTF8, 0, buffer, -1, out, (int)size, NULL, NULL) == 0) out[0] = '\0';
    free(buffer);
}

unsigned ConsoleFolderRefusal(const char* folder)
{
    DWORD attributes = GetFileAttributesA(folder);
    if (attributes == INVALID_FILE_ATTRIBUTES) return GetLastError();
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return ERROR_DIRECTORY;
    // Whether the folder takes a new file shows only when one is made; a read-only
    // attribute on a folder does not forbid it.
    return 0;
}

void ConsoleToOutput(const char* text, char* out, size_t size, int toStderr)
{
    if (size == 0) return;
    snprintf(out, size, "%s", text);
    HANDLE stream = GetStdHandle(toStderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode;
    // A console shows bytes in its output code page; cmd reads a file or a pipe in the OEM
    // code page. Program text is ANSI: the e-acute of 1252 (0xE9) would read as U-acute in 850.
    UINT codePage = GetConsoleMode(stream, &mode) ? GetConsoleOutputCP() : GetOEMCP();
    if (codePage == 0 || codePage == GetACP()) return;
    int wide = MultiByteToWideChar(CP_ACP, 0, text, -1, NULL, 0);
    if (wide <= 0) return;
    WCHAR* buffer = (WCHAR*)malloc((size_t)wide * sizeof(WCHAR));
    if (!buffer) return;
    MultiByteToWideChar(CP_ACP, 0, text, -1, buffer, wide);
    // No best fit: a path must not turn into a look-alike of another one. UTF-8 and UTF-7
    // take no flags.
    DWORD flags = codePage == CP_UTF8 || codePage == CP_UTF7 ? 0 : WC_NO_BEST_FIT_CHARS;
    // A text that does not fit converted stays as it was (cut to size).
    if (WideCharToMultiByte(codePage, flags, buffer, -1, out, (int)size, NULL, NULL) == 0)
        snprintf(out, size, "%s", text);
    free(buffer);
}
