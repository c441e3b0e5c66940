// km740cap's output: stderr messages, plain result lines and JSON events, with JSON's string
// escaping. Paths are bytes of the system's; JSON carries them as UTF-8.
#include "capture/report.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "capture/console.h"
#include "capture/progress.h"

namespace {

// Room for any message: the window's longest box texts hold two paths of the system's limit.
enum { TEXT_SIZE = 16384, MESSAGE_SIZE = TEXT_SIZE };

int gFirstField;   // the next field of the event is its first after the two opening ones

void JsonString(const char* text)
{
    static char utf8[TEXT_SIZE * 3];
    ConsoleToUtf8(text, utf8, sizeof utf8);
    putchar('"');
    for (const unsigned char* p = (const unsigned char*)utf8; *p; p++) {
        // A byte of the path that was not UTF-8 (see ConsoleToUtf8): Python's json.loads
        // and open() give that byte back from \udcXX.
        if (p[0] == 0xED && (p[1] == 0xB2 || p[1] == 0xB3) && (p[2] & 0xC0) == 0x80) {
            printf("\\udc%02x", (unsigned)(((p[1] & 0x03) << 6) | (p[2] & 0x3F)));
            p += 2;
            continue;
        }
        switch (*p) {
        case '"': fputs("\\\"", stdout); break;
        case '\\': fputs("\\\\", stdout); break;
        case '\n': fputs("\\n", stdout); break;
        case '\r': fputs("\\r", stdout); break;
        case '\t': fputs("\\t", stdout); break;
        default:
            if (*p < 0x20)
                printf("\\u%04x", *p);
            else
                putchar(*p);
        }
    }
    putchar('"');
}

void FieldName(const char* name)
{
    if (!gFirstField) putchar(',');
    gFirstField = 0;
    printf("\"%s\":", name);
}

}  // namespace

void ReportError(const char* format, ...)
{
    ProgressClear();
    char message[MESSAGE_SIZE];
    static char shown[MESSAGE_SIZE * 3];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
    ConsoleToOutput(message, shown, sizeof shown, 1);
    fputs("km740cap: ", stderr);
    fputs(shown, stderr);
    fputc('\n', stderr);
    fflush(stderr);
}

void ReportBox(const char* text)
{
    // CR LF as the window writes its boxes becomes LF; the converter then sees one text.
    static char copy[TEXT_SIZE];
    size_t used = 0;
    for (const char* p = text; *p && used + 1 < sizeof copy; p++)
        if (*p != '\r') copy[used++] = *p;
    while (used > 0 && copy[used - 1] == '\n') used--;
    copy[used] = '\0';
    if (used > 0) ReportError("%s", copy);
}

void ReportLine(const char* text)
{
    ProgressClear();
    static char shown[TEXT_SIZE * 3];
    ConsoleToOutput(text, shown, sizeof shown, 0);
    fputs(shown, stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

void JsonEventStart(const char* event, long dataSet)
{
    ProgressClear();
    printf("{\"event\":\"%s\",\"dataSet\":%ld", event, dataSet);
    gFirstField = 0;
}

void JsonField(const char* name, const char* text)
{
    FieldName(name);
    if (text)
        JsonString(text);
    else
        fputs("null", stdout);
}

void JsonNumber(const char* name, unsigned long value)
{
    FieldName(name);
    printf("%lu", value);
}

void JsonObjectStart(const char* name)
{
    FieldName(name);
    putchar('{');
    gFirstField = 1;
}

void JsonObjectEnd(void)
{
    putchar('}');
    gFirstField = 0;
}

void JsonEventEnd(void)
{
    fputs("}\n", stdout);
    fflush(stdout);
}
