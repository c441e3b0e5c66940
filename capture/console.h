// What the capture program needs of its console and process that differs between Windows and
// POSIX: stop requests, terminals, sleeping, device names and full paths.
#pragma once
#include <stddef.h>
#include <stdint.h>

// Installs the Ctrl+C / SIGTERM handling; from then on a stop request only sets a flag. On
// POSIX a SIGINT or SIGHUP ignored at the start (nohup, a background job) stays ignored.
void ConsoleInit(void);
// 1 once Ctrl+C, Ctrl+Break, SIGTERM, SIGHUP or a console close asked the program to stop.
int ConsoleStopRequested(void);
// Tells a console close handler waiting on Windows that the files are closed.
void ConsoleFinished(void);
// 1 when stderr is a terminal (the live progress line goes there only then).
int ConsoleStderrIsTerminal(void);
// Sleeps up to the given time; returns early when a stop is requested.
void ConsoleSleep(uint32_t milliseconds);
// The device the system opens for the user's PORT ("COM3" -> "\\.\COM3" on Windows); 0 when
// it does not fit in size bytes (out then holds nothing to open).
int ConsoleDeviceName(const char* port, char* out, size_t size);
// The folder as an absolute path without a trailing separator; 0 when it does not fit.
int ConsoleFullFolder(const char* folder, char* out, size_t size);
// The path as the system names it ("folder\name.csv" becomes "folder/name.csv" on POSIX).
void ConsoleNativePath(const char* path, char* out, size_t size);
// The path's bytes as UTF-8 for JSON (from the ANSI code page on Windows). On POSIX a byte
// that is not part of valid UTF-8 becomes the lone surrogate U+DC80..U+DCFF in UTF-8's
// three-byte form (ED B2..B3 xx), which JSON carries as \udcXX; valid UTF-8 never holds it.
void ConsoleToUtf8(const char* text, char* out, size_t size);
// 0 when files can be made in the folder (it exists, is a folder and may be written), else
// the system's error code for why not; nothing is created to find out.
unsigned ConsoleFolderRefusal(const char* folder);

// Program text (bytes of the ANSI code page) as the stream should carry it: on Windows in the
// console's output code page when the stream is a console, else in the OEM code page, which
// cmd reads redirected output in (for /f); on POSIX unchanged. toStderr picks the stream.
void ConsoleToOutput(const char* text, char* out, size_t size, int toStderr);
