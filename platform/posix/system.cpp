// POSIX implementation of the process-level operations, for the console program on Linux.
// Paths arrive in the program's form, "folder\name.csv"; the last backslash is the separator
// the logic put there, so only it becomes '/', and a folder keeps its bytes as given.
#include "platform/system.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "platform/posix/posix.h"

namespace {

unsigned gLastError = 0;

const char* const kOwnTexts[] = {
    "it is a regular file, not a serial device",
    "it is a folder, not a serial device",
    "it is not a serial device (it has no line settings)",
    "the serial device is in use by another program",
    "the serial line hung up (the adapter was unplugged or the device closed the line)",
    "the baud rate is not supported here",
};

// The logic's paths are as long as the system takes (see platform/types.h): one that fits
// there fits here, and one the system would refuse is never made.
static_assert(PLAT_MAX_PATH == PATH_MAX, "KM_PLAT_MAX_PATH must be the system's PATH_MAX");
enum { HOST_PATH_SIZE = PLAT_MAX_PATH };

// The host form of a path the logic built; 0 when it does not fit.
int HostPath(const char* path, char* out, size_t size)
{
    size_t length = strlen(path);
    if (length + 1 > size) {
        gLastError = ENAMETOOLONG;
        return 0;
    }
    memcpy(out, path, length + 1);
    char* separator = strrchr(out, '\\');
    if (separator) *separator = '/';
    return 1;
}

}  // namespace

void PosixSetError(unsigned code) { gLastError = code; }

unsigned PlatGetModulePath(char* buffer, unsigned size)
{
    if (size == 0) return 0;
    ssize_t got = readlink("/proc/self/exe", buffer, size);
    if (got <= 0) {
        gLastError = (unsigned)errno;
        return 0;
    }
    // As GetModuleFileNameA: a path that does not fit is cut and `size` returned.
    if ((unsigned)got >= size) return size;
    buffer[got] = '\0';
    return (unsigned)got;
}

// UTF-8 and the C locale have no double-byte characters whose trail byte could pass for a
// backslash.
int PlatIsLeadByte(unsigned char) { return 0; }

// The console program names its folder on the command line; no special folders here.
int PlatGetSpecialFolder(int, char* buffer)
{
    buffer[0] = '\0';
    return 0;
}

unsigned PlatGetLastError(void) { return gLastError; }
void PlatSetLastError(unsigned code) { gLastError = code; }

char* PlatFormatSystemMessage(unsigned code)
{
    const char* text = nullptr;
    if (code >= POSIX_ERR_FIRST && code <= POSIX_ERR_LAST)
        text = kOwnTexts[code - POSIX_ERR_FIRST];
    else if (code != 0)
        text = strerror((int)code);
    if (!text) return nullptr;
    return strdup(text);
}

void PlatFreeSystemMessage(char* text) { free(text); }

void* PlatHeapAlloc(size_t size) { return malloc(size); }
void PlatHeapFree(void* block) { free(block); }

void PlatGetLocalTime(PlatTime* out)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm local;
    time_t seconds = now.tv_sec;
    if (!localtime_r(&seconds, &local)) memset(&local, 0, sizeof(local));
    out->year = local.tm_year + 1900;
    out->month = local.tm_mon + 1;
    out->day = local.tm_mday;
    out->hour = local.tm_hour;
    out->minute = local.tm_min;
    out->second = local.tm_sec;
    out->milliseconds = (int)(now.tv_nsec / 1000000);
}

// Monotonic, so a change of the wall clock never looks like silence; it wraps as GetTickCount.
uint32_t PlatGetTickCount(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint32_t)((uint64_t)now.tv_sec * 1000u + (uint64_t)now.tv_nsec / 1000000u);
}

void PlatSleep(uint32_t milliseconds)
{
    struct timespec wait = {(time_t)(milliseconds / 1000), (long)(milliseconds % 1000) * 1000000L};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

FILE* PlatFileOpen(const char* path, const char* mode)
{
    char host[HOST_PATH_SIZE];
    if (!HostPath(path, host, sizeof(host))) return nullptr;
    FILE* file = fopen(host, mode);
    if (!file) gLastError = (unsigned)errno;
    return file;
}

FILE* PlatFileCreateNew(const char* path, int* exists)
{
    *exists = 0;
    char host[HOST_PATH_SIZE];
    if (!HostPath(path, host, sizeof(host))) return nullptr;
    // O_EXCL: a name taken after the existence test, or one that refuses reading, is never
    // emptied.
    int fd = open(host, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        gLastError = (unsigned)errno;
        if (errno == EEXIST) *exists = 1;
        return nullptr;
    }
    FILE* stream = fdopen(fd, "wb");
    if (!stream) {
        gLastError = (unsigned)errno;
        close(fd);
        unlink(host);
        return nullptr;
    }
    return stream;
}

int PlatFileRemove(const char* path)
{
    char host[HOST_PATH_SIZE];
    if (!HostPath(path, host, sizeof(host))) return -1;
    return remove(host);
}

int PlatFileSync(FILE* file)
{
    if (fflush(file) != 0 || fsync(fileno(file)) != 0) {
        gLastError = (unsigned)errno;
        return 0;
    }
    return 1;
}

int PlatFileRenameNew(const char* from, const char* to, int* exists)
{
    *exists = 0;
    char source[HOST_PATH_SIZE];
    char target[HOST_PATH_SIZE];
    if (!HostPath(from, source, sizeof source) || !HostPath(to, target, sizeof target)) return 0;
    int renamed = renameat2(AT_FDCWD, source, AT_FDCWD, target, RENAME_NOREPLACE) == 0;
    if (!renamed && (errno == EINVAL || errno == ENOSYS)) {
        // A file system without the flag (an older kernel, some network folders): link
        // refuses an existing name just as well. FAT has no links either; there the name
        // is checked first, which leaves only a moment in which another program could
        // take it.
        if (link(source, target) == 0) {
            unlink(source);
            renamed = 1;
        } else if (errno == EPERM || errno == EOPNOTSUPP) {
            if (access(target, F_OK) == 0)
                errno = EEXIST;
            else
                renamed = rename(source, target) == 0;
        }
    }
    if (!renamed) {
        *exists = errno == EEXIST;
        gLastError = (unsigned)errno;
        return 0;
    }
    // The new name on the disk too: without the folder's sync a power cut may bring back
    // the old one.
    char folder[HOST_PATH_SIZE];
    snprintf(folder, sizeof folder, "%s", target);
    char* slash = strrchr(folder, '/');
    if (slash) {
        slash[slash == folder ? 1 : 0] = '\0';
        int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            fsync(fd);
            close(fd);
        }
    }
    return 1;
}
