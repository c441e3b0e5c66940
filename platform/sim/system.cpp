// The simulated process (platform/system.h): module path, the code page and its lead bytes,
// special folders, local time, the clock and sleeps, the heap, files on the host or on a
// memory disk, and system messages; with their Sim* controls.
#include "platform/sim/sim_world.h"

#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

using namespace sim_world;

namespace {

// The memory disk's key for a path: the host path, built in one reused string, so that
// a lookup allocates nothing (a begin step may test 99 candidate names).
const std::string& MemKey(const char* path)
{
    static std::string key;
    key.assign(path);
    for (char& c : key)
        if (c == '\\') c = '/';
    return key;
}

}  // namespace

// ---------------------------------------------------------------- control panel

void SimSetModulePath(const char* path)
{
    World().modulePathSet = path != nullptr;
    World().modulePath = path ? path : "";
}

void SimSetCodePage(int codePage) { World().codePage = codePage; }

void SimSetSpecialFolder(int csidl, const char* path)
{
    if (path)
        World().folders[csidl] = path;
    else
        World().folders.erase(csidl);
}

void SimSetLocalTime(const PlatTime& time) { World().localTime = time; }
long SimHeapBlocksOutstanding(void) { return World().heapBlocks; }
void SimSetDiskFull(int full) { World().diskFull = full; }

std::string SimHostPath(const char* path)
{
    std::string host = path;
    for (char& c : host)
        if (c == '\\') c = '/';
    return host;
}

void SimUseMemoryFiles(int on) { World().memoryFiles = on; }
void SimMemoryFolder(const char* path) { World().memFolders.insert(SimHostPath(path)); }

void SimMemoryFileSet(const char* path, const std::string& bytes)
{
    World().memFiles[SimHostPath(path)] = std::make_shared<std::string>(bytes);
    World().memChanges++;
}

unsigned long SimMemoryChanges(void) { return World().memChanges; }
size_t SimMemoryFileCount(void) { return World().memFiles.size(); }

const std::string* SimMemoryFile(const char* path)
{
    auto found = World().memFiles.find(MemKey(path));
    return found == World().memFiles.end() ? nullptr : found->second.get();
}

uint32_t SimNow(void) { return World().now; }
void SimSetTick(uint32_t tick) { World().now = tick; }
void SimAdvance(uint32_t milliseconds) { World().now += milliseconds; }

uint32_t SimSleptMs(void) { return World().slept; }
int SimSleepCalls(void) { return World().sleepCalls; }

// ---------------------------------------------------------------- system.h

unsigned PlatGetModulePath(char* buffer, unsigned size)
{
    SimWorld& w = World();
    if (Fails(SIM_OP_MODULE_PATH) || !w.modulePathSet) return 0;
    if (w.modulePath.size() + 1 > size) {
        // As XP does: the path cut to the buffer, without a terminating zero.
        memcpy(buffer, w.modulePath.data(), size);
        w.lastError = 122;  // ERROR_INSUFFICIENT_BUFFER
        return size;
    }
    memcpy(buffer, w.modulePath.c_str(), w.modulePath.size() + 1);
    return (unsigned)w.modulePath.size();
}

int PlatIsLeadByte(unsigned char byte)
{
    if (World().codePage != 932) return 0;
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

// The code page an ANSI text call converts by: the selected font's character set names it,
// and only the default set stands for the system's ANSI code page.
int sim_world::CharsetCodePage(int charset)
{
    switch (charset) {
    case SIM_CHARSET_ANSI:
        return 1252;
    case SIM_CHARSET_SHIFTJIS:
        return 932;
    default:
        return World().codePage;
    }
}

namespace {

// The next code point of UTF-8 text and its length in bytes; a byte that starts no valid
// sequence is one U+FFFD, as MultiByteToWideChar gives for it.
uint32_t NextCodePoint(const unsigned char* p, size_t* length)
{
    static const uint32_t kLeast[5] = {0, 0, 0x80, 0x800, 0x10000};
    size_t count = p[0] < 0x80 ? 1 : p[0] >= 0xC2 && p[0] < 0xE0 ? 2 : p[0] >= 0xE0 && p[0] < 0xF0 ? 3
                 : p[0] >= 0xF0 && p[0] < 0xF5 ? 4 : 0;
    *length = 1;
    if (count == 0) return 0xFFFD;
    uint32_t code = count == 1 ? p[0] : p[0] & (0x3F >> (count - 1));
    for (size_t i = 1; i < count; i++) {
        if ((p[i] & 0xC0) != 0x80) return 0xFFFD;
        code = code << 6 | (p[i] & 0x3F);
    }
    if (code < kLeast[count] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0xFFFD;
    *length = count;
    return code;
}

}  // namespace

// The simulated code page's table is the C library's (iconv); a character it lacks, or a
// byte that is not UTF-8, becomes "?" as Windows' default character.
int PlatUtf8ToAnsi(const char* utf8, char* ansi, size_t size)
{
    if (Fails(SIM_OP_UTF8_TO_ANSI) || size == 0) return -1;
    iconv_t convert = iconv_open(World().codePage == 932 ? "CP932" : "CP1252", "UTF-32LE");
    if (convert == (iconv_t)-1) return -1;
    size_t used = 0;
    int fits = 1;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(utf8);
    while (*p != 0 && fits) {
        size_t length = 0;
        uint32_t code = NextCodePoint(p, &length);
        p += length;
        char in[4] = {(char)(code & 0xFF), (char)(code >> 8 & 0xFF), (char)(code >> 16 & 0xFF), 0};
        char out[8];
        char* inAt = in;
        char* outAt = out;
        size_t inLeft = sizeof in;
        size_t outLeft = sizeof out;
        iconv(convert, nullptr, nullptr, nullptr, nullptr);
        size_t bytes = iconv(convert, &inAt, &inLeft, &outAt, &outLeft) == (size_t)-1 ? 0 : sizeof out - outLeft;
        if (bytes == 0) {
            out[0] = '?';
            bytes = 1;
        }
        fits = used + bytes < size;
        if (fits) memcpy(ansi + used, out, bytes);
        used += fits ? bytes : 0;
    }
    iconv_close(convert);
    if (!fits) return -1;
    ansi[used] = '\0';
    return (int)used;
}

int PlatGetSpecialFolder(int csidl, char* buffer)
{
    SimWorld& w = World();
    if (Fails(SIM_OP_SPECIAL_FOLDER)) return 0;
    auto found = w.folders.find(csidl);
    if (found == w.folders.end() || found->second.size() + 1 > PLAT_MAX_PATH) return 0;
    memcpy(buffer, found->second.c_str(), found->second.size() + 1);
    return 1;
}

unsigned PlatGetLastError(void) { return World().lastError; }
void PlatSetLastError(unsigned code) { World().lastError = code; }

void SimSetSystemMessage(unsigned code, const char* text) { World().systemMessages[code] = text; }

char* PlatFormatSystemMessage(unsigned code)
{
    if (code == 0xFFFF) return nullptr;  // a code with no text, for tests
    const auto own = World().systemMessages.find(code);
    if (own != World().systemMessages.end()) return strdup(own->second.c_str());
    char* text = static_cast<char*>(malloc(64));
    snprintf(text, 64, "System error %u.\r\n", code);
    return text;
}

void PlatFreeSystemMessage(char* text) { free(text); }

void* PlatHeapAlloc(size_t size)
{
    if (Fails(SIM_OP_HEAP_ALLOC)) return nullptr;
    World().heapBlocks++;
    return malloc(size ? size : 1);
}

void PlatHeapFree(void* block)
{
    if (!block) return;
    World().heapBlocks--;
    free(block);
}

void PlatGetLocalTime(PlatTime* time) { *time = World().localTime; }
uint32_t PlatGetTickCount(void)
{
    Observe(SIM_CALL_TICK_COUNT, 0);
    return World().now;
}

void PlatSleep(uint32_t milliseconds)
{
    Observe(SIM_CALL_SLEEP, milliseconds);
    World().now += milliseconds;
    World().slept += milliseconds;
    World().sleepCalls++;
}

namespace {

ssize_t MemRead(void* cookie, char* buffer, size_t size)
{
    SimMemStream* stream = static_cast<SimMemStream*>(cookie);
    const std::string& bytes = *stream->file;
    if (stream->position >= bytes.size()) return 0;
    size_t count = std::min(size, bytes.size() - stream->position);
    memcpy(buffer, bytes.data() + stream->position, count);
    stream->position += count;
    return (ssize_t)count;
}

ssize_t MemWrite(void* cookie, const char* buffer, size_t size)
{
    SimMemStream* stream = static_cast<SimMemStream*>(cookie);
    if (stream->full) {
        errno = ENOSPC;
        return 0;
    }
    World().memChanges++;
    std::string& bytes = *stream->file;
    if (bytes.size() < stream->position) bytes.resize(stream->position);
    bytes.replace(stream->position, std::min(size, bytes.size() - stream->position), buffer, size);
    stream->position += size;
    return (ssize_t)size;
}

// A file on disk can be read again from its start (rewind); so can one on the memory disk.
int MemSeek(void* cookie, off64_t* offset, int whence)
{
    SimMemStream* stream = static_cast<SimMemStream*>(cookie);
    off64_t base = whence == SEEK_SET ? 0
                   : whence == SEEK_CUR ? (off64_t)stream->position
                                        : (off64_t)stream->file->size();
    if (base + *offset < 0) {
        errno = EINVAL;
        return -1;
    }
    stream->position = (size_t)(base + *offset);
    *offset = (off64_t)stream->position;
    return 0;
}

int MemClose(void* cookie)
{
    SimMemStream* stream = static_cast<SimMemStream*>(cookie);
    stream->file.reset();
    // A stream closed after the machine was given back has no machine to return to.
    if (g_world)
        g_world->spareStreams.push_back(stream);
    else
        delete stream;
    return 0;
}

// The folder part of a host path, in one reused string like MemKey's.
const std::string& FolderOf(const std::string& hostPath)
{
    static std::string folder;
    size_t slash = hostPath.rfind('/');
    if (slash == std::string::npos)
        folder.assign(".");
    else
        folder.assign(hostPath, 0, slash);
    return folder;
}

// A stream over a file of the memory disk (creating or emptying it for writing). Null with
// errno set as the C library would: no such file, no such folder, or a folder by that name.
FILE* MemOpen(const char* path, int write, int full)
{
    SimWorld& w = World();
    const std::string& host = MemKey(path);
    if (w.memFolders.count(host)) {
        errno = EISDIR;
        return nullptr;
    }
    SimMemFile file;
    auto found = w.memFiles.find(host);
    if (write) {
        if (!w.memFolders.count(FolderOf(host))) {
            errno = ENOENT;
            return nullptr;
        }
        file = std::make_shared<std::string>();
        w.memFiles[host] = file;
        w.memChanges++;
    } else {
        if (found == w.memFiles.end()) {
            errno = ENOENT;
            return nullptr;
        }
        file = found->second;
    }
    cookie_io_functions_t functions = {MemRead, MemWrite, MemSeek, MemClose};
    SimMemStream* stream;
    if (w.spareStreams.empty()) {
        stream = new SimMemStream;
    } else {
        stream = w.spareStreams.back();
        w.spareStreams.pop_back();
    }
    stream->file = file;
    stream->position = 0;
    stream->full = full;
    FILE* result = fopencookie(stream, write ? "wb" : "rb", functions);
    if (!result) {
        stream->file.reset();
        w.spareStreams.push_back(stream);
        return nullptr;
    }
    setvbuf(result, stream->buffer, _IOFBF, sizeof stream->buffer);
    return result;
}

}  // namespace

FILE* PlatFileOpen(const char* path, const char* mode)
{
    if (Fails(SIM_OP_FILE_OPEN)) return nullptr;
    if (World().memoryFiles) return MemOpen(path, strchr(mode, 'w') != nullptr, 0);
    return fopen(SimHostPath(path).c_str(), mode);
}

FILE* PlatFileCreateNew(const char* path, int* exists)
{
    *exists = 0;
    if (Fails(SIM_OP_FILE_CREATE)) return nullptr;
    if (World().memoryFiles) {
        SimWorld& w = World();
        const std::string& host = MemKey(path);
        if (w.memFiles.count(host) || w.memFolders.count(host)) {
            *exists = 1;
            w.lastError = 80;  // ERROR_FILE_EXISTS
            return nullptr;
        }
        if (!w.memFolders.count(FolderOf(host))) {
            w.lastError = 3;  // ERROR_PATH_NOT_FOUND
            return nullptr;
        }
        return MemOpen(path, 1, w.diskFull);
    }
    int fd = open(SimHostPath(path).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0) {
        if (errno == EEXIST) {
            *exists = 1;
            World().lastError = 80;  // ERROR_FILE_EXISTS
        } else {
            World().lastError = errno == ENOENT ? 3 : 5;  // PATH_NOT_FOUND, ACCESS_DENIED
        }
        return nullptr;
    }
    if (World().diskFull) {
        // The name exists, but every byte written to the stream fails, as on a full disk.
        close(fd);
        return fopen("/dev/full", "wb");
    }
    return fdopen(fd, "wb");
}

int PlatFileRemove(const char* path)
{
    if (Fails(SIM_OP_FILE_REMOVE)) return -1;
    if (World().memoryFiles) {
        if (World().memFiles.erase(MemKey(path)) == 1) return World().memChanges++, 0;
        errno = ENOENT;
        return -1;
    }
    return remove(SimHostPath(path).c_str());
}

int PlatFileSync(FILE* file)
{
    if (Fails(SIM_OP_FILE_SYNC)) return 0;
    if (fflush(file) != 0) {
        World().lastError = 112;  // ERROR_DISK_FULL
        return 0;
    }
    World().fileSyncs++;
    return 1;
}

int PlatFileRenameNew(const char* from, const char* to, int* exists)
{
    *exists = 0;
    if (Fails(SIM_OP_FILE_RENAME)) return 0;
    SimWorld& w = World();
    if (w.memoryFiles) {
        std::string source = MemKey(from);
        const std::string& target = MemKey(to);
        if (w.memFiles.count(target) || w.memFolders.count(target)) {
            *exists = 1;
            w.lastError = 183;  // ERROR_ALREADY_EXISTS
            return 0;
        }
        auto found = w.memFiles.find(source);
        if (found == w.memFiles.end()) {
            w.lastError = 2;  // ERROR_FILE_NOT_FOUND
            return 0;
        }
        w.memFiles[target] = found->second;
        w.memFiles.erase(source);
        w.memChanges++;
        return 1;
    }
    // link() refuses an existing name, as MoveFileEx without REPLACE_EXISTING does.
    std::string source = SimHostPath(from);
    std::string target = SimHostPath(to);
    if (link(source.c_str(), target.c_str()) != 0) {
        *exists = errno == EEXIST;
        w.lastError = errno == EEXIST ? 183 : errno == ENOENT ? 2 : 5;
        return 0;
    }
    unlink(source.c_str());
    return 1;
}

int SimFileSyncs(void) { return World().fileSyncs; }
