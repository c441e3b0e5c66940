// Text slots: filled once with a heap copy, freed and emptied.
#include "records/text_slots.h"

#include <string.h>
#include "platform/system.h"

char* SetTextOnce(char** slot, const char* text)
{
    if (slot == nullptr || *slot != nullptr || text == nullptr || text[0] == '\0') return nullptr;
    size_t length = strlen(text);
    char* copy = static_cast<char*>(PlatHeapAlloc(length + 1));
    if (copy == nullptr) return nullptr;
    memcpy(copy, text, length + 1);
    *slot = copy;
    return copy;
}

void FreeText(char** slot)
{
    if (slot == nullptr || *slot == nullptr) return;
    PlatHeapFree(*slot);
    *slot = nullptr;
}
