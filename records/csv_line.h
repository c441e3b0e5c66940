// The line reader and number conversion of the two key,value files beside the executable
// (config.csv, message.csv).
#pragma once
#include <stdint.h>
#include <stdio.h>

enum { CSV_LINE_SIZE = 256 };

// Opens a file beside the executable with mode "rb". Null when the path does not fit, the
// file cannot be opened, or it is not readable at all (a folder of that name).
FILE* CsvOpenBesideExe(const char* name);

// How a line may end. config.csv, which the program writes, ends each line with CR LF;
// message.csv is written by people, whose editors may end a line with LF alone, or the last
// line with nothing at all.
enum CsvLineEnds { CSV_ENDS_CR = 0, CSV_ENDS_ANY = 1 };

// Reads the next line (at most CSV_LINE_SIZE - 1 bytes, up to and including its LF) into
// line, cuts it at its first CR and splits it at its first comma. Returns 1 with key and
// value pointing into line; 0 when the parse ends: end of file, a read error, a line without
// comma, a NUL byte before the line's end, or a line without its end: with CSV_ENDS_CR one
// without CR; with CSV_ENDS_ANY one longer than the buffer holds with its end. With
// CSV_ENDS_ANY a line also ends at a LF without CR, or at the end of the file, and the rest
// of a line behind its CR is skipped up to its LF, however long, never read as a line.
int CsvNextLine(FILE* file, char* line, int ends, char** key, char** value);

// Skips a UTF-8 byte-order mark at the start of the file: 1 when there was one. Without
// one, the file is read again from its start.
int CsvSkipUtf8Mark(FILE* file);

// 1 when the two texts are equal, ignoring the case of the ASCII letters only.
int AsciiEqualNoCase(const char* a, const char* b);

// Base-10 text to integer as strtol reads it (leading white space, one sign, digits up to
// the first other byte, 0 without digits), clamped to the signed 32-bit range on every
// platform (long is 32 bits on Windows and 64 bits on Linux).
int32_t TextToInt32(const char* text);
