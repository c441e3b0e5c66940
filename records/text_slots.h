// Text slots: heap-owned, zero-terminated strings that a program-wide record holds.
#pragma once

// Fills an empty slot with a heap copy of a non-empty text and returns it; otherwise leaves
// the slot as it is and returns null. A copy that cannot be allocated leaves the slot empty.
char* SetTextOnce(char** slot, const char* text);
// Frees a slot's string and empties the slot.
void FreeText(char** slot);
