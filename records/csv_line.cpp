// The line rule of config.csv and message.csv: a file beside the executable opened as bytes,
// read a line at a time into a 256-byte buffer, cut at its first CR (message.csv: or its LF,
// or the end of the file) and split at its first comma; keys compared without regard to
// ASCII case; numbers as strtol reads them.
#include "records/csv_line.h"

#include <string.h>
#include "platform/system.h"
#include "records/exe_folder.h"

FILE* CsvOpenBesideExe(const char* name)
{
    char path[PLAT_MAX_PATH];
    if (!BuildPathBesideExe(path, name)) return nullptr;
    FILE* file = PlatFileOpen(path, "rb");
    if (file == nullptr) return nullptr;
    // Windows refuses to open a folder as a file, while the C library on Linux opens it and
    // fails the first read. Probe one byte so both count as a file that cannot be opened.
    int first = getc(file);
    if (first == EOF) {
        if (ferror(file)) {
            fclose(file);
            return nullptr;
        }
    } else {
        ungetc(first, file);
    }
    return file;
}

// As fgets, with the number of bytes read: a NUL byte in a line must not hide its end.
static size_t ReadLine(FILE* file, char* line)
{
    size_t length = 0;
    int c = 0;
    while (length < CSV_LINE_SIZE - 1 && c != '\n' && (c = getc(file)) != EOF) line[length++] = (char)c;
    line[length] = '\0';
    return length;
}

int CsvNextLine(FILE* file, char* line, int ends, char** key, char** value)
{
    size_t length = ReadLine(file, line);
    if (length == 0) return 0;
    char* end = static_cast<char*>(memchr(line, '\r', length));
    if (ends == CSV_ENDS_ANY) {
        int lineFeed = line[length - 1] == '\n';
        if (end == nullptr && lineFeed) end = line + length - 1;
        // Shorter than the buffer and without LF: the read stopped at the end of the file.
        if (end == nullptr && length < CSV_LINE_SIZE - 1) end = line + length;
        // What follows the CR belongs to this line, also past the buffer: its LF included.
        if (end != nullptr && !lineFeed) {
            int c;
            while ((c = getc(file)) != EOF && c != '\n') {
            }
        }
    }
    if (end == nullptr || memchr(line, '\0', (size_t)(end - line)) != nullptr) return 0;
    *end = '\0';
    char* comma = strchr(line, ',');
    if (comma == nullptr) return 0;
    *comma = '\0';
    *key = line;
    *value = comma + 1;
    return 1;
}

int CsvSkipUtf8Mark(FILE* file)
{
    static const unsigned char kMark[3] = {0xEF, 0xBB, 0xBF};
    for (int i = 0; i < 3; i++) {
        if (getc(file) != kMark[i]) {
            rewind(file);
            return 0;
        }
    }
    return 1;
}

static char AsciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c;
}

int AsciiEqualNoCase(const char* a, const char* b)
{
    for (;; a++, b++) {
        if (AsciiLower(*a) != AsciiLower(*b)) return 0;
        if (*a == '\0') return 1;
    }
}

int32_t TextToInt32(const char* text)
{
    const char* p = text;
    // The C locale's white space, the set strtol skips.
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') p++;
    int negative = 0;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        p++;
    }
    // Accumulate in 64 bits and stop growing past the limit, so any digit count is safe.
    const int64_t limit = negative ? 2147483648LL : 2147483647LL;
    int64_t magnitude = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > limit) magnitude = limit;
    }
    return (int32_t)(negative ? -magnitude : magnitude);
}
