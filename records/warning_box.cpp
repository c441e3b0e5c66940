// The warning box, the system's error texts, and the box for the last error.
#include "records/warning_box.h"

#include <stdio.h>
#include <string.h>
#include "platform/system.h"
#include "platform/window.h"
#include "records/messages.h"

void WarningBox(PlatWindow owner, int kind, const char* text)
{
    const char* caption = kind == WARN_REFUSAL ? "ERROR" : "Error";
    PlatMessageBox(owner, text, caption, PLAT_MB_ICONWARNING | PLAT_MB_OK);
}

void SystemErrorText(unsigned code, char* text, size_t size)
{
    if (size == 0) return;
    text[0] = '\0';
    char* message = PlatFormatSystemMessage(code);
    if (message == nullptr) return;
    snprintf(text, size, "%s", message);
    PlatFreeSystemMessage(message);
    // FormatMessage ends its text with a line break, which would only pad a box or a line.
    size_t length = strlen(text);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == ' '))
        text[--length] = '\0';
}

void ShowLastError(PlatWindow owner)
{
    unsigned code = PlatGetLastError();
    char text[SYSTEM_TEXT_SIZE];
    SystemErrorText(code, text, sizeof text);
    // Some codes have no text in the system table; an empty box would tell the user nothing.
    if (text[0] == '\0') {
        char number[16];
        snprintf(number, sizeof number, "%u", code);
        const TextValue values[] = {{"CODE", number, 1}};
        AppendBoxText(text, sizeof text, BOX_ERROR_CODE, values, 1);
    }
    WarningBox(owner, WARN_SYSTEM, text);
}
