// The capture program's console on POSIX: signals set a flag, nanosleep returns at a signal.
#include "capture/console.h"

#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t gStop = 0;

void OnStopSignal(int) { gStop = 1; }

// Appends one byte when it fits with the terminator.
void Put(char* out, size_t size, size_t* used, char c)
{
    if (*used + 1 < size) out[(*used)++] = c;
}

// The length of the valid UTF-8 sequence at text, 0 when it is not one.
size_t Utf8Length(const unsigned char* text)
{
    unsigned char c = text[0];
    size_t length = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (length == 0 || (length == 2 && c < 0xC2) || c > 0xF4) return 0;
    for (size_t i = 1; i < length; i++)
        if ((text[i] & 0xC0) != 0x80) return 0;
    if (length == 3 && ((c == 0xE0 && text[1] < 0xA0) || (c == 0xED && text[1] >= 0xA0))) return 0;
    if (length == 4 && ((c == 0xF0 && text[1] < 0x90) || (c == 0xF4 && text[1] >= 0x90))) return 0;
    return length;
}

}  // namespace

void ConsoleInit(void)
{
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a sleep ends at the signal, so the stop is seen at once.
    sigaction(SIGTERM, &action, nullptr);
    // A signal ignored at the start stays ignored, as a shell leaves it: nohup ignores
    // SIGHUP so the run outlives the log-out, and a background job started by a shell
    // without job control has SIGINT ignored so the terminal's Ctrl+C is not for it.
    const int inherited[] = {SIGINT, SIGHUP};
    for (int signalNumber : inherited) {
        struct sigaction before;
        if (sigaction(signalNumber, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) continue;
        sigaction(signalNumber, &action, nullptr);
    }
    // A reader of stdout that went away must not kill the program before its file is closed.
    signal(SIGPIPE, SIG_IGN);
}

int ConsoleStopRequested(void) { return gStop ? 1 : 0; }

void ConsoleFinished(void) {}

int ConsoleStderrIsTerminal(void) { return isatty(STDERR_FILENO) ? 1 : 0; }

void ConsoleSleep(uint32_t milliseconds)
{
    if (gStop) return;
    struct timespec wait = {(time_t)(milliseconds / 1000), (long)(milliseconds % 1000) * 1000000L};
    nanosleep(&wait, nullptr);
}

int ConsoleDeviceName(const char* port, char* out, size_t size)
{
    int written = snprintf(out, size, "%s", port);
    if (written >= 0 && (size_t)written < size) return 1;
    if (size) out[0] = '\0';
    return 0;
}

int ConsoleFullFolder(const char* folder, char* out, size_t size)
{
    char cwd[PATH_MAX];
    int written;
    if (folder[0] == '/') {
        written = snprintf(out, size, "%s", folder);
    } else {
        if (!getcwd(cwd, sizeof(cwd))) return 0;
        if (strcmp(folder, ".") == 0 || strcmp(folder, "./") == 0)
            written = snprintf(out, size, "%s", cwd);
        else
            written = snprintf(out, size, "%s/%s", strcmp(cwd, "/") == 0 ? "" : cwd, folder);
    }
    if (written < 0 || (size_t)written >= size) return 0;
    size_t length = (size_t)written;
    while (length > 1 && out[length - 1] == '/') out[--length] = '\0';
    return 1;
}

void ConsoleNativePath(const char* path, char* out, size_t size)
{
    snprintf(out, size, "%s", path);
    char* separator = strrchr(out, '\\');
    if (separator) *separator = '/';
}

void ConsoleToUtf8(const char* text, char* out, size_t size)
{
    size_t used = 0;
    const unsigned char* p = (const unsigned char*)text;
    while (*p) {
        size_t length = Utf8Length(p);
        if (length == 0) {
            // The byte as U+DC80..U+DCFF, written as UTF-8 would write it (ED B2..B3 xx):
            // Python's surrogateescape, so a reader gets the byte back, where U+FFFD lost it.
            if (used + 3 >= size) break;
            Put(out, size, &used, (char)0xED);
            Put(out, size, &used, (char)(0xB0 | (*p >> 6)));
            Put(out, size, &used, (char)(0x80 | (*p & 0x3F)));
            p++;
            continue;
        }
        if (used + length >= size) break;
        for (size_t i = 0; i < length; i++) Put(out, size, &used, (char)p[i]);
        p += length;
    }
    if (size) out[used] = '\0';
}

unsigned ConsoleFolderRefusal(const char* folder)
{
    struct stat info;
    if (stat(folder, &info) != 0) return (unsigned)errno;
    if (!S_ISDIR(info.st_mode)) return ENOTDIR;
    if (access(folder, W_OK | X_OK) != 0) return (unsigned)errno;
    return 0;
}

void ConsoleToOutput(const char* text, char* out, size_t size, int) { snprintf(out, size, "%s", text); }
