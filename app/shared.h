// Helpers every subsystem uses: the executable's folder, text slots and the system-error box.
#pragma once
#include "platform/types.h"

// Writes the executable's folder (at least PLAT_MAX_PATH bytes of room), or "." when the
// module path cannot be obtained.
void GetExeFolder(char* folder);

// Builds folder + "\" + name into path (PLAT_MAX_PATH bytes). Returns 1, or 0 with an empty
// path when the result would not fit.
int BuildPathBesideExe(char* path, const char* name);

// Fills an empty slot with a heap copy of a non-empty text and returns it; otherwise leaves
// the slot as it is and returns null. A copy that cannot be allocated leaves the slot empty.
char* SetTextOnce(char** slot, const char* text);
// Frees a slot's string and empties the slot.
void FreeText(char** slot);

// A warning box with the system's text for the last error and the caption "Error".
void ShowLastError(PlatWindow owner);
