// What km740cap says: messages on stderr ("km740cap: ..."), one plain line per data set on
// stdout, or one JSON object per event. Every text passes through here, so the live line is
// cleared first and each output is flushed at once for a script reading it.
#pragma once
#include <stdint.h>

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void ReportError(const char* format, ...);
// A box's text of the window's rules as stderr lines: CR LF becomes LF, trailing breaks go.
void ReportBox(const char* text);
// A plain line on stdout.
void ReportLine(const char* text);

// JSON: an event opens with its name and the data set's number; fields follow; the event
// ends with a line break and a flush.
void JsonEventStart(const char* event, long dataSet);
void JsonField(const char* name, const char* text);   // a string, or null when text is null
void JsonNumber(const char* name, unsigned long value);
// Opens a nested object field: JsonNumber calls follow, then JsonObjectEnd.
void JsonObjectStart(const char* name);
void JsonObjectEnd(void);
void JsonEventEnd(void);
