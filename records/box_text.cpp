// Box texts composed into bounded fields: the one place where a text is cut to its field, and
// the placeholders a catalogue text places its values with.
#include "records/box_text.h"

#include <string.h>
#include "platform/system.h"

void BoxFieldStart(BoxField* field, char* text, size_t size)
{
    field->text = text;
    field->size = size;
    field->full = 0;
    if (size > 0) text[0] = '\0';
}

// Appends up to `length` bytes of part, as many whole characters as fit before the field's
// last byte. A lead byte that ends the part is left out without filling the field: the next
// piece still belongs after it.
static void AppendBytes(BoxField* field, const char* part, size_t length)
{
    if (field->full || field->size == 0 || length == 0) return;
    size_t used = strnlen(field->text, field->size);
    size_t room = used + 1 < field->size ? field->size - 1 - used : 0;
    size_t keep = 0;
    while (keep < length) {
        size_t step = PlatIsLeadByte((unsigned char)part[keep]) ? 2 : 1;
        if (keep + step > length) break;
        if (keep + step > room) {
            field->full = 1;
            break;
        }
        keep += step;
    }
    if (used >= field->size) return;
    memcpy(field->text + used, part, keep);
    field->text[used + keep] = '\0';
}

void AppendCharacters(BoxField* field, const char* part) { AppendBytes(field, part, strlen(part)); }

void AppendCharacters(char* text, size_t size, const char* part)
{
    BoxField field = {text, size, 0};
    AppendCharacters(&field, part);
}

// The value whose placeholder starts at `at` (a percent sign): its index, with the
// placeholder's length, or -1 when no value's name closes with a percent sign there.
static int PlaceholderAt(const char* at, const TextValue* values, int count, size_t* length)
{
    for (int i = 0; i < count; i++) {
        size_t name = strlen(values[i].name);
        size_t k = 0;
        while (k < name && at[1 + k] != '\0') {
            char c = at[1 + k];
            if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
            if (c != values[i].name[k]) break;
            k++;
        }
        if (k == name && at[1 + name] == '%') {
            *length = name + 2;
            return i;
        }
    }
    return -1;
}

void AppendPattern(BoxField* field, const char* pattern, const TextValue* values, int count)
{
    enum { MOST_VALUES = 8 };
    int placed[MOST_VALUES] = {0};
    if (count > MOST_VALUES) count = MOST_VALUES;
    const char* run = pattern;
    const char* p = pattern;
    // Stepped a character at a time, so a trail byte is never read as the start of a
    // placeholder (the percent sign itself is never a trail byte in any ANSI code page).
    while (*p != '\0') {
        size_t length = 0;
        int value = *p == '%' ? PlaceholderAt(p, values, count, &length) : -1;
        if (value < 0) {
            p += PlatIsLeadByte((unsigned char)*p) && p[1] != '\0' ? 2 : 1;
            continue;
        }
        AppendBytes(field, run, (size_t)(p - run));
        AppendCharacters(field, values[value].value ? values[value].value : "");
        placed[value] = 1;
        p += length;
        run = p;
    }
    AppendBytes(field, run, (size_t)(p - run));
    for (int i = 0; i < count; i++) {
        if (placed[i] || !values[i].mustShow || values[i].value == nullptr || values[i].value[0] == '\0') continue;
        AppendCharacters(field, "\r\n");
        AppendCharacters(field, values[i].value);
    }
}
