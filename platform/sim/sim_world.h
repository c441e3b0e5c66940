// The simulated machine's records, shared by the simulated platform's sources (sim.cpp,
// comm.cpp, system.cpp, window.cpp) and by nothing else: what each double reads and changes,
// and the helpers more than one of them uses.
#pragma once
#include "platform/sim/sim.h"

#include <stdint.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace sim_world {

struct FailRule {
    int skip;
    int count;
    unsigned error;
};

struct SimWindowRec {
    SimWindowInfo info;
    SimWindowRec* parent;
    int isCombo;
    int removed;
};

// A driver's input queue: appended at the end, taken from the front. Unlike a deque it
// takes no memory until bytes arrive, which matters to the fuzz targets, which make a
// machine with 33 ports for every input.
struct SimByteQueue {
    std::string bytes;
    size_t head = 0;

    size_t size() const { return bytes.size() - head; }
    unsigned char front() const { return (unsigned char)bytes[head]; }
    void pop_front()
    {
        if (++head == bytes.size()) {
            clear();
        } else if (head >= 4096 && head * 2 >= bytes.size()) {
            bytes.erase(0, head);  // a long-running feed keeps only what still waits
            head = 0;
        }
    }
    void clear()
    {
        bytes.clear();
        head = 0;
    }
    void append(const unsigned char* first, size_t count) { bytes.append((const char*)first, count); }
};

struct SimPortRec {
    SimPortInfo info;
    SimByteQueue queue;
    int vanished;
    uint32_t errors;         // CE_* bits not yet reported by ClearCommError
};

struct SimHandleRec {
    int port;
    int open;
};

// A file of the memory disk; a stream keeps its file alive after a remove, as a host file
// stays readable through an open descriptor.
typedef std::shared_ptr<std::string> SimMemFile;

struct SimMemStream {
    SimMemFile file;
    size_t position;
    int full;        // every write fails, as on a full disk
    // The stream's buffer: the C library's own would be a fresh 8 KB block per stream,
    // which under the fuzzers' AddressSanitizer costs more than the rest of an open.
    char buffer[512];
};

struct SimFontRec {
    int alive;
    int em;                  // the font's height in pixels (the description's |lfHeight|)
    int charset;             // the description's lfCharSet
};

struct SimDcRec {
    PlatWindow window;
    std::vector<PlatRect> clip;
    PlatFont selected;
    uint32_t background;
    uint32_t foreground;
};

struct SimWorld {
    FailRule fail[SIM_OP_COUNT];
    int calls[SIM_OP_COUNT];
    unsigned lastError;
    std::map<unsigned, std::string> systemMessages;  // texts a test gave the system
    std::string modulePath;
    int modulePathSet;
    int codePage;
    int iconTitleCharset;
    int misconverted;
    std::map<int, std::string> folders;
    PlatTime localTime;
    long heapBlocks;
    int diskFull;
    int memoryFiles;
    // Hashed: a begin step may test 99 candidate names, and ordered lookups compare long
    // paths many times over.
    std::unordered_map<std::string, SimMemFile> memFiles;     // by host path
    std::unordered_set<std::string> memFolders;
    unsigned long memChanges;
    int fileSyncs;                     // PlatFileSync calls that succeeded
    uint32_t now;
    std::vector<SimTimer> timers;
    uint32_t slept;
    int sleepCalls;
    std::vector<SimWindowRec*> windows;
    int screenWidth;
    int screenHeight;
    std::vector<SimMessageBox> boxes;
    std::vector<SimPosted> posted;
    int quitPosted;
    int quitCode;
    std::vector<SimInvalidation> invalidations;
    std::vector<PlatRect> pendingPaint;
    int pendingWhole;
    int updateCalls;
    std::vector<SimTextOut> textOuts;
    std::set<std::string> failExtents;
    std::vector<SimFontRec*> fonts;
    std::vector<SimDcRec*> paints;   // open paints, innermost last
    SimDcRec lastPaint;              // the paint that ended last
    int paintMismatches;
    void (*boxHook)(PlatWindow owner, void* context);
    void* boxContext;
    SimDcRec measureDc;      // the one PlatGetDc hands out
    int dcsHeld;
    int dpi;
    int fontsDeletedInUse;
    SimPortRec ports[33];
    std::vector<SimHandleRec*> handles;
    // Closed streams' records, for the next open: a download's begin step opens up to 99
    // candidate names to test them, and each fresh record cost an allocation.
    std::vector<SimMemStream*> spareStreams;
    std::string lastOpenName;
    int readLimit;
    SimCallObserver observer;
    int invalidatedSinceUpdate;
};

// The machine (null before the first reset and after a release); its storage is in sim.cpp.
extern SimWorld* g_world;

inline SimWorld& World()
{
    if (!g_world) SimReset();
    return *g_world;
}

// Consumes one call of the operation and answers whether it fails.
inline bool Fails(SimOp op)
{
    SimWorld& w = World();
    w.calls[op]++;
    FailRule& rule = w.fail[op];
    if (rule.count == 0) return false;
    if (rule.skip > 0) {
        rule.skip--;
        return false;
    }
    if (rule.count > 0) rule.count--;
    w.lastError = rule.error ? rule.error : 31;  // ERROR_GEN_FAILURE
    return true;
}

inline void Observe(SimCall call, uint32_t figure)
{
    if (World().observer) World().observer(call, figure);
}

// The defaults a driver reports before the program changes anything (comm.cpp).
PlatDcb DefaultDcb();

// The code page the ANSI text calls convert by for a font of this character set (system.cpp).
int CharsetCodePage(int charset);

}  // namespace sim_world
