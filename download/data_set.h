// The data-set rules, whichever lifecycle runs them: what a line of the device means, when
// silence ends a data set, and what the port's receive errors say about it. The window's
// download and the station both ask here; neither copies a rule.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include "serial/comm_port.h"

enum { DATA_SET_SILENCE_LIMIT_MS = 30000 };

// What a line (without its CR LF, up to its first NUL) means.
enum LineMeaning {
    LINE_EMPTY = 0,     // nothing: skipped wherever it comes
    LINE_OPENS = 1,     // the STX line outside a data set: one begins
    LINE_OUTSIDE = 2,   // any other line outside a data set: not part of one
    LINE_RECORD = 3,    // two or more bytes inside a data set: a record for the file
    LINE_CLOSES = 4,    // the ETX line inside a data set: it is whole
    LINE_BREAKS = 5,    // any other one-byte line inside a data set (STX too): it ends badly
};

// inside: 1 while a data set runs (its STX came), 0 while one is awaited.
int DataSetLineMeaning(int inside, const char* line);
// 1 for the STX line itself (a breaking line that also begins the next data set, for a
// lifecycle that keeps listening).
int DataSetIsStx(const char* line);
// 1 when the silence since lastByteTick, read now, ends a data set: more than 30000 ms.
// Exactly 30000 ms does not; a tick count that wrapped between the two reads is no silence.
int DataSetSilenceEnds(uint32_t lastByteTick, uint32_t now);
// 1 when any kind of receive error was counted.
int DataSetHadLineErrors(const uint32_t counts[COMM_ERR_KINDS]);
// The box text for receive errors, counted by kind: what the port reported, how often, that
// records may be missing or damaged, and what to check. Empty when nothing was counted.
void DataSetLineErrorText(const uint32_t counts[COMM_ERR_KINDS], char* text, size_t size);

// Room for DataSetLineErrorText: every kind with its count and advice.
enum { LINE_ERROR_TEXT_SIZE = 1536 };
