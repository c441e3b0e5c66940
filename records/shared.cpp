// Shared helpers: the executable's folder and paths beside it, text slots, the system-error
// box, and the line reader and number conversion of the two key,value files.
#include "records/shared.h"

#include <string.h>
#include "platform/system.h"
#include "platform/window.h"
#include "records/messages.h"

// Most bytes a module path can take: 32767 UTF-16 units, each up to two ANSI bytes.
enum { MODULE_PATH_MOST = 1 << 17 };

// Reads the module path into `size` bytes: 1 when it fitted (then terminated, its length
// set), -1 when it was cut, 0 when the call failed.
static int ModulePathInto(char* buffer, unsigned size, unsigned* length)
{
    unsigned got = PlatGetModulePath(buffer, size);
    if (got == 0) return 0;
    // A cut path comes back as the buffer's size, and on XP without its terminating zero.
    if (got >= size) return -1;
    buffer[got] = '\0';
    *length = got;
    return 1;
}

// The whole module path: in `local` (PLAT_MAX_PATH bytes) when it fits there, else in a heap
// block that grows until it fits (free with PlatHeapFree). Null when it cannot be had. A cut
// path would name some other folder.
static char* ReadModulePath(char* local, unsigned* length)
{
    int result = ModulePathInto(local, PLAT_MAX_PATH, length);
    if (result >= 0) return result == 1 ? local : nullptr;
    for (unsigned size = 2 * PLAT_MAX_PATH; size <= MODULE_PATH_MOST; size *= 2) {
        char* buffer = static_cast<char*>(PlatHeapAlloc(size));
        if (buffer == nullptr) return nullptr;
        result = ModulePathInto(buffer, size, length);
        if (result == 1) return buffer;
        PlatHeapFree(buffer);
        if (result == 0) return nullptr;
    }
    return nullptr;
}

int GetExeFolder(char* folder)
{
    folder[0] = '\0';
    char local[PLAT_MAX_PATH];
    unsigned length = 0;
    char* module = ReadModulePath(local, &length);
    if (module == nullptr) return 0;

    // Walk from the start so that a double-byte character is stepped over whole: in code
    // page 932 a trail byte can be 0x5C, the backslash, and must not be taken for one.
    long lastSeparator = -1;
    for (unsigned i = 0; i < length; i++) {
        unsigned char byte = (unsigned char)module[i];
        if (PlatIsLeadByte(byte) && i + 1 < length) {
            i++;
            continue;
        }
        if (byte == '\\') lastSeparator = (long)i;
    }
    int found = 1;
    if (lastSeparator < 0) {
        // A bare file name has no folder part: the program lies in the current directory.
        snprintf(folder, PLAT_MAX_PATH, "%s", ".");
    } else if (lastSeparator < PLAT_MAX_PATH) {
        memcpy(folder, module, (size_t)lastSeparator);
        folder[lastSeparator] = '\0';
    } else {
        // No file beside a folder this long has a path that fits either.
        found = 0;
    }
    if (module != local) PlatHeapFree(module);
    return found;
}

int BuildPathBesideExe(char* path, const char* name)
{
    char folder[PLAT_MAX_PATH];
    path[0] = '\0';
    // Without the program's own folder nothing is read or written: the current directory
    // may belong to anyone.
    if (!GetExeFolder(folder)) return 0;
    size_t folderLength = strlen(folder);
    size_t nameLength = strlen(name);
    // A folder too long for the path limit: no path at all rather than a cut one, which
    // could name some other file.
    if (folderLength + 1 + nameLength + 1 > PLAT_MAX_PATH) {
        path[0] = '\0';
        return 0;
    }
    memcpy(path, folder, folderLength);
    path[folderLength] = '\\';
    memcpy(path + folderLength + 1, name, nameLength + 1);
    return 1;
}

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

FILE* CsvOpenBesideExe(const char* name)
{
    char path[PLAT_MAX_PATH];
    if (!BuildPathBesideExe(path, name)) return nullptr;
    FILE* file = PlatFileOpen(path, "rb");
    if (file == nullptr) return nullptr;
    // Windows refuses to open a folder as a file, while the C library on Linux opens it and
    // fails the first read. Probe one byte so both count as a file that cannot be opened.
    int first = getc(file);
    if (first == EOF) {
        if (ferror(file)) {
            fclose(file);
            return nullptr;
        }
    } else {
        ungetc(first, file);
    }
    return file;
}

int CsvNextLine(FILE* file, char* line, char** key, char** value)
{
    if (fgets(line, CSV_LINE_SIZE, file) == nullptr) return 0;
    // fgets always terminates what it read, so the searches below stay inside it.
    char* cr = strchr(line, '\r');
    if (cr == nullptr) return 0;
    *cr = '\0';
    char* comma = strchr(line, ',');
    if (comma == nullptr) return 0;
    *comma = '\0';
    *key = line;
    *value = comma + 1;
    return 1;
}

static char AsciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c;
}

int AsciiEqualNoCase(const char* a, const char* b)
{
    for (;; a++, b++) {
        if (AsciiLower(*a) != AsciiLower(*b)) return 0;
        if (*a == '\0') return 1;
    }
}

int32_t TextToInt32(const char* text)
{
    const char* p = text;
    // The C locale's white space, the set strtol skips.
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') p++;
    int negative = 0;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        p++;
    }
    // Accumulate in 64 bits and stop growing past the limit, so any digit count is safe.
    const int64_t limit = negative ? 2147483648LL : 2147483647LL;
    int64_t magnitude = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > limit) magnitude = limit;
    }
    return (int32_t)(negative ? -magnitude : magnitude);
}
