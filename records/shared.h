// Helpers every subsystem uses: the executable's folder, text slots, the one warning box and
// the system's error texts, and the line reader that config.csv and message.csv share.
#pragma once
#include <stddef.h>
#include <stdio.h>
#include "platform/types.h"

// Writes the executable's folder (at least PLAT_MAX_PATH bytes of room; "." for a module
// path without a folder part) and returns 1. Returns 0 with an empty folder when the module
// path cannot be obtained or its folder is too long for PLAT_MAX_PATH bytes.
int GetExeFolder(char* folder);

// Builds folder + "\" + name into path (PLAT_MAX_PATH bytes). Returns 1, or 0 with an empty
// path when the result would not fit.
int BuildPathBesideExe(char* path, const char* name);

// Fills an empty slot with a heap copy of a non-empty text and returns it; otherwise leaves
// the slot as it is and returns null. A copy that cannot be allocated leaves the slot empty.
char* SetTextOnce(char** slot, const char* text);
// Frees a slot's string and empties the slot.
void FreeText(char** slot);

// The two kinds of warning box, told apart by their captions: "Error" for start-up problems
// and system errors, "ERROR" for what the window refuses.
enum WarningKind { WARN_SYSTEM = 0, WARN_REFUSAL = 1 };

// Every warning box of the program: the text, the caption of its kind, a warning icon and an
// OK button. owner may be null (before the main window exists).
void WarningBox(PlatWindow owner, int kind, const char* text);

// Room for a system error text: the longest FormatMessage gives is a few hundred bytes.
enum { SYSTEM_TEXT_SIZE = 512 };

// The system's text for an error code, without the line break and blanks FormatMessage ends
// it with; empty when the system has no text for the code. Always terminated within size.
void SystemErrorText(unsigned code, char* text, size_t size);

// A warning box with the system's text for the last error and the caption "Error".
void ShowLastError(PlatWindow owner);

// --- key,value files beside the executable (config.csv, message.csv) ---

enum { CSV_LINE_SIZE = 256 };

// Opens a file beside the executable with mode "rb". Null when the path does not fit, the
// file cannot be opened, or it is not readable at all (a folder of that name).
FILE* CsvOpenBesideExe(const char* name);

// Reads the next line (at most CSV_LINE_SIZE - 1 bytes, up to and including its LF) into
// line, cuts it at its first CR and splits it at its first comma. Returns 1 with key and
// value pointing into line; 0 when the parse ends: end of file, a read error, or a line
// without CR or without comma. The line is a C string: a NUL byte before the first CR
// hides that CR, so such a line ends the parse too.
int CsvNextLine(FILE* file, char* line, char** key, char** value);

// 1 when the two texts are equal, ignoring the case of the ASCII letters only.
int AsciiEqualNoCase(const char* a, const char* b);

// Base-10 text to integer as strtol reads it (leading white space, one sign, digits up to
// the first other byte, 0 without digits), clamped to the signed 32-bit range on every
// platform (long is 32 bits on Windows and 64 bits on Linux).
int32_t TextToInt32(const char* text);
