// The executable's folder, read from its module path whatever its length, and the paths of
// config.csv and message.csv beside it.
#include "records/exe_folder.h"

#include <stdio.h>
#include <string.h>
#include "platform/system.h"

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
