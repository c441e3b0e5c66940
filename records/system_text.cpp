// The system's texts for its error codes (declared in warning_box.h). A file of its own so
// that a program without a window (km740cap) words system errors without linking the box.
#include "records/warning_box.h"

#include <string.h>
#include "platform/system.h"
#include "records/box_text.h"

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
