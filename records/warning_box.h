// The one warning box every message of the program goes through, and the system's texts
// for its error codes. The box for the last error, which may need a catalogue text, is the
// catalogue's (records/messages.h).
#pragma once
#include <stddef.h>
#include "platform/types.h"

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
