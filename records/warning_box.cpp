// The warning box, and the system's texts for its error codes.
#include "records/warning_box.h"

#include <string.h>
#include "platform/system.h"
#include "platform/window.h"
#include "records/box_text.h"

void WarningBox(PlatWindow owner, int kind, const char* text)
{
    const char* caption = kind == WARN_REFUSAL ? "ERROR" : "Error";
    PlatMessageBox(owner, text, caption, PLAT_MB_ICONWARNING | PLAT_MB_OK);
}

void SystemErrorText(unsigned code, char* text, size_t size)
{
    if (size == 0) return;
    BoxField field;
    BoxFieldStart(&field, text, size);
    char* message = PlatFormatSystemMessage(code);
    if (message == nullptr) return;
    AppendCharacters(&field, message);
    PlatFreeSystemMessage(message);
    // FormatMessage ends its text with a line break, which would only pad a box or a line.
    size_t length = strlen(text);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == ' '))
        text[--length] = '\0';
}
