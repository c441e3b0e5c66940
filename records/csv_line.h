// The line reader and number conversion of the two key,value files beside the executable
// (config.csv, message.csv).
#pragma once
#include <stdint.h>
#include <stdio.h>

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
