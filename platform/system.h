// Process-level platform operations: module path, code page, special folders, errors,
// heap, time, and opening of files by path.
#pragma once
#include <stddef.h>
#include <stdio.h>
#include "platform/types.h"

// GetModuleFileNameA: writes the executable's full path and returns its length, 0 on
// failure. A path that does not fit is cut and `size` returned; the cut path may then lack
// its terminating zero (Windows XP).
unsigned PlatGetModulePath(char* buffer, unsigned size);

// IsDBCSLeadByte: 1 if the byte starts a double-byte character in the ANSI code page.
int PlatIsLeadByte(unsigned char byte);

// MultiByteToWideChar from UTF-8, then WideCharToMultiByte to the ANSI code page with
// WC_NO_BEST_FIT_CHARS: a character the code page lacks, and a byte that is not UTF-8,
// becomes the code page's default character ("?"), never a look-alike. The text may be up to
// 255 bytes long. Writes the result, terminated, into size bytes and returns its length; -1
// when the system cannot convert it (as when the ANSI code page is UTF-8 itself).
int PlatUtf8ToAnsi(const char* utf8, char* ansi, size_t size);

// SHGetSpecialFolderPathA with no owner and create = FALSE; buffer of PLAT_MAX_PATH bytes.
// Returns 1 on success, 0 when the folder is not known.
int PlatGetSpecialFolder(int csidl, char* buffer);

// GetLastError / SetLastError.
unsigned PlatGetLastError(void);
void PlatSetLastError(unsigned code);

// FormatMessageA from the system table, default language, buffer allocated by the system.
// Returns null when there is no text; free with PlatFreeSystemMessage.
char* PlatFormatSystemMessage(unsigned code);
void PlatFreeSystemMessage(char* text);

// Heap for text slots and the serial link's blocks; null when memory is short.
void* PlatHeapAlloc(size_t size);
void PlatHeapFree(void* block);

// GetLocalTime, GetTickCount, Sleep.
void PlatGetLocalTime(PlatTime* time);
uint32_t PlatGetTickCount(void);
void PlatSleep(uint32_t milliseconds);

// Files stay the C library's streams; only their opening and removal by path go through
// the layer (paths use backslashes; the host build maps them onto its own separator).
FILE* PlatFileOpen(const char* path, const char* mode);
// Creates a new file for binary writing, never touching an existing one. Returns the
// stream, or null with *exists set to 1 when the name is taken, 0 for any other failure
// (the reason is then in PlatGetLastError).
FILE* PlatFileCreateNew(const char* path, int* exists);
// Removes a file by path; 0 on success (as remove()).
int PlatFileRemove(const char* path);

// Flushes the stream and has the system write the file to the disk (fflush, then
// FlushFileBuffers / fsync). 1 on success; 0 with the reason in PlatGetLastError.
int PlatFileSync(FILE* file);
// Gives a closed file a new name in the same folder, never replacing a file that has it
// (MoveFileEx without MOVEFILE_REPLACE_EXISTING; renameat2 RENAME_NOREPLACE). 1 on success,
// 0 with the reason in PlatGetLastError (and *exists set to 1 when the name is taken).
int PlatFileRenameNew(const char* from, const char* to, int* exists);
