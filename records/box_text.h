// Composing the text of a box into a bounded field: pieces go in as whole characters, and
// placeholders (%PATH%, %COUNT%, ...) are replaced by their values.
#pragma once
#include <stddef.h>

// A caller's field of `size` bytes being filled, always terminated inside it. Once a piece
// had to be cut, the field is full: a shorter piece after it (a line break, a value) would
// end the box in a bare CR or in a fragment that reads as if it were whole.
struct BoxField {
    char* text;
    size_t size;
    int full;
};

// Starts the field empty.
void BoxFieldStart(BoxField* field, char* text, size_t size);

// Appends as many whole characters of part as fit before the field's last byte. A lead byte
// without its trail (cut by the field, or the last byte of the part) is left out: it would
// swallow the next character, a line break included.
void AppendCharacters(BoxField* field, const char* part);
// The same for one piece added to a terminated text, as a field of its own.
void AppendCharacters(char* text, size_t size, const char* part);

// A value that a box text places with a placeholder: its name between percent signs, matched
// without regard to ASCII case.
struct TextValue {
    const char* name;
    const char* value;
    int mustShow;   // 1: a value the text does not place goes on a line of its own after it
};

// Appends the pattern with each placeholder replaced by its value, every occurrence alike.
// Values are copied as they are, never read as placeholders or as a format; a percent sign
// that starts no known placeholder stays as written. A value with mustShow that the pattern
// does not place follows on a line of its own, unless it is empty.
void AppendPattern(BoxField* field, const char* pattern, const TextValue* values, int count);
