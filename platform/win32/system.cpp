// Win32 implementation of the process-level operations: a line or two of Win32 each, all
// kernel32 (the shell's special folders are in folders.cpp, for the window program only).
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <stdlib.h>
#include "platform/system.h"

unsigned PlatGetModulePath(char* buffer, unsigned size)
{
    return GetModuleFileNameA(NULL, buffer, size);
}

int PlatIsLeadByte(unsigned char value) { return IsDBCSLeadByte(value) ? 1 : 0; }

int PlatUtf8ToAnsi(const char* utf8, char* ansi, size_t size)
{
    // 255 bytes of UTF-8 are at most 255 UTF-16 units.
    WCHAR wide[256];
    int units = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide, 256);
    if (units <= 0) return -1;
    int bytes = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, units, ansi, (int)size, NULL, NULL);
    if (bytes <= 0) return -1;
    return bytes - 1;
}

unsigned PlatGetLastError(void) { return GetLastError(); }
void PlatSetLastError(unsigned code) { SetLastError(code); }

char* PlatFormatSystemMessage(unsigned code)
{
    char* text = NULL;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  NULL, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                  (LPSTR)&text, 0, NULL);
    if (length == 0) return NULL;
    return text;
}

void PlatFreeSystemMessage(char* text)
{
    if (text) LocalFree(text);
}

void* PlatHeapAlloc(size_t size) { return malloc(size); }
void PlatHeapFree(void* block) { free(block); }

void PlatGetLocalTime(PlatTime* time)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    time->year = now.wYear;
    time->month = now.wMonth;
    time->day = now.wDay;
    time->hour = now.wHour;
    time->minute = now.wMinute;
    time->second = now.wSecond;
    time->milliseconds = now.wMilliseconds;
}

uint32_t PlatGetTickCount(void) { return GetTickCount(); }
void PlatSleep(uint32_t milliseconds) { Sleep(milliseconds); }

FILE* PlatFileOpen(const char* path, const char* mode) { return fopen(path, mode); }

FILE* PlatFileCreateNew(const char* path, int* exists)
{
    *exists = 0;
    // CREATE_NEW fails on an existing name, so a file that appeared after the existence
    // test, or one that refuses reading, is never emptied. The C library's "x" mode is not
    // available in every runtime the program may be linked against.
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) *exists = 1;
        return NULL;
    }
    int fd = _open_osfhandle((intptr_t)file, _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        DWORD error = GetLastError();
        CloseHandle(file);
        DeleteFileA(path);
        SetLastError(error ? error : ERROR_TOO_MANY_OPEN_FILES);
        return NULL;
    }
    FILE* stream = _fdopen(fd, "wb");
    if (!stream) {
        _close(fd);
        DeleteFileA(path);
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        return NULL;
    }
    return stream;
}

int PlatFileRemove(const char* path) { return remove(path); }

int PlatFileSync(FILE* file)
{
    // The C runtime keeps the system's reason for a failed write in _doserrno; the caller
    // reads GetLastError, which later calls may have changed.
    _doserrno = 0;
    if (fflush(file) != 0) {
        SetLastError(_doserrno ? (DWORD)_doserrno : ERROR_WRITE_FAULT);
        return 0;
    }
    HANDLE handle = (HANDLE)_get_osfhandle(_fileno(file));
    if (handle == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return FlushFileBuffers(handle) ? 1 : 0;
}

int PlatFileRenameNew(const char* from, const char* to, int* exists)
{
    *exists = 0;
    // No MOVEFILE_REPLACE_EXISTING: a file that took the name meanwhile is never replaced.
    // WRITE_THROUGH returns only once the new name is on the disk.
    // A virus scanner or an indexer opens a file the moment it is closed, and the rename
    // fails while it reads: given a second, it lets go.
    DWORD error = 0;
    for (int attempt = 0; attempt < 10; attempt++) {
        if (MoveFileExA(from, to, MOVEFILE_WRITE_THROUGH)) return 1;
        error = GetLastError();
        if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED && error != ERROR_LOCK_VIOLATION) break;
        Sleep(100);
    }
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) *exists = 1;
    SetLastError(error);
    return 0;
}
