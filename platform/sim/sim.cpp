// The simulated platform: a deterministic double of every platform operation, for host
// tests. Plain records and standard containers; nothing here is the product.
#include "platform/sim/sim.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <unordered_map>
#include <unordered_set>

namespace {

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

struct SimFontRec {
    int alive;
    int em;                  // the font's height in pixels (the description's |lfHeight|)
    int charset;             // the description's lfCharSet
};

// Where LOGFONTA keeps lfCharSet: after five 32-bit fields and three flag bytes.
enum { LOGFONT_CHARSET_OFFSET = 23 };

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

SimWorld* g_world = nullptr;
// The machine lives in this block: the fuzz targets make a fresh one for every input, and a
// 9 KB allocation each time came back through the sanitizers' quarantine cold every time.
alignas(SimWorld) unsigned char g_worldStorage[sizeof(SimWorld)];

SimWorld& World()
{
    if (!g_world) SimReset();
    return *g_world;
}

// Consumes one call of the operation and answers whether it fails.
bool Fails(SimOp op)
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

void Observe(SimCall call, uint32_t figure)
{
    if (World().observer) World().observer(call, figure);
}

SimWindowRec* Rec(PlatWindow window) { return reinterpret_cast<SimWindowRec*>(window); }

bool Alive(PlatWindow window)
{
    for (SimWindowRec* rec : World().windows)
        if (reinterpret_cast<PlatWindow>(rec) == window && !rec->removed) return true;
    return false;
}

SimWindowRec* NewWindow(SimWindowRec* parent, int id, const char* text, int isCombo, PlatRect rect)
{
    SimWindowRec* rec = new SimWindowRec();
    rec->parent = parent;
    rec->isCombo = isCombo;
    rec->removed = 0;
    rec->info.id = id;
    rec->info.text = text;
    rec->info.curSel = -1;
    rec->info.enabled = 1;
    rec->info.visible = 1;
    rec->info.font = nullptr;
    rec->info.rect = rect;
    rec->info.placedHeight = rect.bottom - rect.top;
    World().windows.push_back(rec);
    return rec;
}

// MulDiv's rounding (half away from zero) for the non-negative sizes scaled here.
int ScaleBy(int value, int numerator, int denominator)
{
    return (int)(((int64_t)value * numerator + denominator / 2) / denominator);
}

int FontEm(PlatFont font)
{
    for (SimFontRec* rec : World().fonts)
        if (reinterpret_cast<PlatFont>(rec) == font) return rec->em;
    return SIM_FONT_EM;
}

int LineHeightOf(PlatFont font) { return ScaleBy(SIM_LINE_HEIGHT, FontEm(font), SIM_FONT_EM); }
int CharWidthOf(PlatFont font) { return ScaleBy(SIM_CHAR_WIDTH, FontEm(font), SIM_FONT_EM); }

int ComboClosedHeight(const SimWindowRec* rec)
{
    if (!rec->info.font) return 20;
    return LineHeightOf(rec->info.font) + ScaleBy(SIM_COMBO_EDGE, World().dpi, 96);
}

// Every field the program writes differs from what it writes (for a download, XON/XOFF on):
// a write left out would leave a value that a test sees.
PlatDcb DefaultDcb()
{
    PlatDcb dcb;
    memset(&dcb, 0, sizeof(dcb));
    dcb.DCBlength = PLAT_DCB_SIZE;
    dcb.BaudRate = 115200;   // none of the six rates the program accepts
    dcb.fBinary = 1;
    dcb.fTXContinueOnXoff = 1;
    dcb.fErrorChar = 1;
    dcb.fAbortOnError = 1;
    dcb.fDtrControl = 2;
    dcb.fRtsControl = 2;
    dcb.fOutxCtsFlow = 1;
    dcb.fOutxDsrFlow = 1;
    dcb.fDsrSensitivity = 1;
    dcb.fNull = 1;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.ByteSize = 7;
    dcb.Parity = 2;
    dcb.StopBits = 2;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.ErrorChar = '?';
    dcb.EofChar = 0x1A;
    dcb.EvtChar = '\n';
    return dcb;
}

int PortFromName(const char* name)
{
    int number = -1;
    char tail = 0;
    if (sscanf(name, "\\\\.\\COM%d%c", &number, &tail) != 1) return -1;
    if (number < 0 || number > 32) return -1;
    return number;
}

// Newest first: handles are kept after they close, and the port a download polls on every
// tick is the one opened last, behind all the earlier downloads' handles.
SimHandleRec* Handle(PlatHandle handle)
{
    const std::vector<SimHandleRec*>& handles = World().handles;
    for (size_t i = handles.size(); i-- > 0;)
        if (reinterpret_cast<PlatHandle>(handles[i]) == handle) return handles[i];
    return nullptr;
}

// The open handle's port, or null with the last error set when the handle is bad or the
// device has gone.
SimPortRec* PortOf(PlatHandle handle)
{
    SimHandleRec* rec = Handle(handle);
    if (!rec || !rec->open) {
        World().lastError = 6;  // ERROR_INVALID_HANDLE
        return nullptr;
    }
    SimPortRec& port = World().ports[rec->port];
    if (port.vanished) {
        World().lastError = 21;  // ERROR_NOT_READY, as a vanished pty reports
        return nullptr;
    }
    return &port;
}

bool Intersects(const PlatRect& a, const PlatRect& b)
{
    return a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom;
}

}  // namespace

// ---------------------------------------------------------------- control panel

void SimRelease(void)
{
    if (!g_world) return;
    for (SimWindowRec* rec : g_world->windows) delete rec;
    for (SimHandleRec* rec : g_world->handles) delete rec;
    for (SimFontRec* rec : g_world->fonts) delete rec;
    for (SimDcRec* rec : g_world->paints) delete rec;
    for (SimMemStream* stream : g_world->spareStreams) delete stream;
    g_world->~SimWorld();
    g_world = nullptr;
}

void SimReset(void)
{
    SimRelease();
    g_world = new (g_worldStorage) SimWorld();
    SimWorld& w = *g_world;
    for (int i = 0; i < SIM_OP_COUNT; i++) {
        w.fail[i] = FailRule{0, 0, 0};
        w.calls[i] = 0;
    }
    w.lastError = 0;
    w.modulePathSet = 0;
    w.codePage = 1252;
    w.iconTitleCharset = 0;
    w.misconverted = 0;
    w.localTime = PlatTime{2010, 2, 19, 14, 5, 9, 0};
    w.heapBlocks = 0;
    w.diskFull = 0;
    w.memoryFiles = 0;
    w.memChanges = 0;
    w.now = 0;
    w.slept = 0;
    w.sleepCalls = 0;
    w.screenWidth = 1024;
    w.screenHeight = 768;
    w.quitPosted = 0;
    w.quitCode = 0;
    w.pendingWhole = 0;
    w.updateCalls = 0;
    w.lastPaint = SimDcRec{nullptr, {}, nullptr, 0xFFFFFF, 0};
    w.paintMismatches = 0;
    w.boxHook = nullptr;
    w.boxContext = nullptr;
    w.measureDc = SimDcRec{nullptr, {}, nullptr, 0xFFFFFF, 0};
    w.dcsHeld = 0;
    w.dpi = 96;
    w.fontsDeletedInUse = 0;
    for (SimPortRec& port : w.ports) {
        port.info = SimPortInfo();
        port.info.state = SIM_PORT_ABSENT;
        port.info.dcb = DefaultDcb();
        port.queue.clear();
        port.vanished = 0;
        port.errors = 0;
    }
    w.readLimit = -1;
    w.observer = nullptr;
    w.invalidatedSinceUpdate = 0;
}

void SimFail(SimOp op, int skip, int count, unsigned error) { World().fail[op] = FailRule{skip, count, error}; }
int SimCalls(SimOp op) { return World().calls[op]; }

void SimSetModulePath(const char* path)
{
    World().modulePathSet = path != nullptr;
    World().modulePath = path ? path : "";
}

void SimSetCodePage(int codePage) { World().codePage = codePage; }
void SimSetIconTitleCharset(int charset) { World().iconTitleCharset = charset; }

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

const std::string* SimMemoryFile(const char* path)
{
    auto found = World().memFiles.find(MemKey(path));
    return found == World().memFiles.end() ? nullptr : found->second.get();
}


uint32_t SimNow(void) { return World().now; }
void SimSetTick(uint32_t tick) { World().now = tick; }
void SimAdvance(uint32_t milliseconds) { World().now += milliseconds; }
const std::vector<SimTimer>& SimTimers(void) { return World().timers; }

int SimNextTimer(PlatWindow* window, unsigned* id)
{
    SimWorld& w = World();
    if (w.timers.empty()) return 0;
    size_t best = 0;
    for (size_t i = 1; i < w.timers.size(); i++)
        if ((int32_t)(w.timers[i].due - w.timers[best].due) < 0) best = i;
    SimTimer& timer = w.timers[best];
    if ((int32_t)(timer.due - w.now) > 0) w.now = timer.due;
    timer.due = w.now + timer.interval;
    *window = timer.window;
    *id = timer.id;
    return 1;
}

uint32_t SimSleptMs(void) { return World().slept; }
int SimSleepCalls(void) { return World().sleepCalls; }

PlatWindow SimCreateMainDialog(void)
{
    // The template's 120 x 62 dialog units come out at about 180 x 101 pixels with the
    // dialog font; controls likewise at 1.5 x 1.625 pixels per unit.
    SimWindowRec* dialog = NewWindow(nullptr, 0, "KM-740 TOOL", 0, PlatRect{0, 0, 186, 130});
    struct ControlDef {
        int id;
        const char* text;
        int isCombo;
        int x, y, cx, cy;
    };
    static const ControlDef controls[] = {
        {1001, "START", 0, 63, 7, 50, 14},  {1000, "CLOSE", 0, 63, 24, 50, 14},
        {1002, "", 1, 7, 7, 48, 30},        {1003, "", 1, 7, 21, 48, 30},
        {1004, "", 1, 7, 35, 48, 30},
    };
    for (const ControlDef& def : controls) {
        PlatRect rect = {def.x * 3 / 2, def.y * 13 / 8, (def.x + def.cx) * 3 / 2, 0};
        SimWindowRec* rec = NewWindow(dialog, def.id, def.text, def.isCombo, rect);
        rec->info.placedHeight = def.cy * 13 / 8;
        rec->info.rect.bottom = rect.top + (def.isCombo ? ComboClosedHeight(rec) : def.cy * 13 / 8);
    }
    return reinterpret_cast<PlatWindow>(dialog);
}

void SimRemoveControl(PlatWindow dialog, int id)
{
    for (SimWindowRec* rec : World().windows)
        if (rec->parent == Rec(dialog) && rec->info.id == id) rec->removed = 1;
}

const SimWindowInfo* SimWindow(PlatWindow window)
{
    if (!window || !Alive(window)) return nullptr;
    return &Rec(window)->info;
}

void SimSetScreenSize(int width, int height)
{
    World().screenWidth = width;
    World().screenHeight = height;
}

const std::vector<SimMessageBox>& SimMessageBoxes(void) { return World().boxes; }
void SimClearMessageBoxes(void) { World().boxes.clear(); }
const std::vector<SimPosted>& SimPostedMessages(void) { return World().posted; }
int SimQuitPosted(void) { return World().quitPosted; }
int SimQuitCode(void) { return World().quitCode; }
const std::vector<SimInvalidation>& SimInvalidations(void) { return World().invalidations; }
int SimUpdateWindowCalls(void) { return World().updateCalls; }
const std::vector<SimTextOut>& SimTextOuts(void) { return World().textOuts; }

void SimClearPaintLog(void)
{
    World().textOuts.clear();
    World().invalidations.clear();
}

void SimFailExtentOf(const char* text) { World().failExtents.insert(text); }
PlatFont SimSelectedFont(void)
{
    const SimWorld& w = World();
    return w.paints.empty() ? w.lastPaint.selected : w.paints.back()->selected;
}

int SimOpenPaints(void) { return (int)World().paints.size(); }
int SimPaintMismatches(void) { return World().paintMismatches; }

void SimSetBoxHook(void (*hook)(PlatWindow owner, void* context), void* context)
{
    World().boxHook = hook;
    World().boxContext = context;
}

void SimSetDpi(int dpi) { World().dpi = dpi; }
int SimDcsHeld(void) { return World().dcsHeld; }
int SimFontsDeletedInUse(void) { return World().fontsDeletedInUse; }
int SimFontHeight(PlatFont font) { return FontEm(font); }

int SimFontCharset(PlatFont font)
{
    return font ? reinterpret_cast<SimFontRec*>(font)->charset : SIM_CHARSET_DEFAULT;
}

int SimMisconverted(void) { return World().misconverted; }

// The code page an ANSI text call converts by: the selected font's character set names it,
// and only the default set stands for the system's ANSI code page.
static int ConversionCodePage(PlatFont font)
{
    switch (SimFontCharset(font)) {
    case SIM_CHARSET_ANSI:
        return 1252;
    case SIM_CHARSET_SHIFTJIS:
        return 932;
    default:
        return World().codePage;
    }
}

static int ConvertText(PlatFont font)
{
    int codePage = ConversionCodePage(font);
    if (codePage != World().codePage) World().misconverted++;
    return codePage;
}

int SimFontsAlive(void)
{
    int alive = 0;
    for (SimFontRec* rec : World().fonts) alive += rec->alive;
    return alive;
}

void SimSetPort(int number, SimPortState state)
{
    SimPortRec& port = World().ports[number];
    port.info.state = state;
    port.vanished = 0;
}

size_t SimPortQueueSize(int number)
{
    uint32_t size = World().ports[number].info.inQueue;
    return size != 0 ? (size_t)size : (size_t)SIM_DEFAULT_IN_QUEUE;
}

size_t SimPortFeed(int number, const void* bytes, size_t count)
{
    SimPortRec& port = World().ports[number];
    size_t limit = SimPortQueueSize(number);
    size_t room = port.queue.size() < limit ? limit - port.queue.size() : 0;
    size_t take = count < room ? count : room;
    const unsigned char* p = static_cast<const unsigned char*>(bytes);
    port.queue.append(p, take);
    if (take < count) {
        port.info.dropped += count - take;
        port.errors |= PLAT_CE_RXOVER;
    }
    return take;
}

size_t SimPortFeedText(int number, const std::string& bytes) { return SimPortFeed(number, bytes.data(), bytes.size()); }
size_t SimPortQueued(int number) { return World().ports[number].queue.size(); }
void SimPortRaiseErrors(int number, uint32_t bits) { World().ports[number].errors |= bits; }

void SimPortVanish(int number)
{
    World().ports[number].vanished = 1;
    World().ports[number].info.state = SIM_PORT_ABSENT;
}

void SimSetReadLimit(int maximum) { World().readLimit = maximum; }
const SimPortInfo& SimPort(int number) { return World().ports[number].info; }
const std::string& SimLastOpenName(void) { return World().lastOpenName; }
PlatDcb SimDefaultDcb(void) { return DefaultDcb(); }
void SimObserveCalls(SimCallObserver observer) { World().observer = observer; }

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
    cookie_io_functions_t functions = {MemRead, MemWrite, nullptr, MemClose};
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

// ---------------------------------------------------------------- window.h

PlatWindow PlatGetDlgItem(PlatWindow dialog, int id)
{
    for (SimWindowRec* rec : World().windows)
        if (rec->parent == Rec(dialog) && rec->info.id == id && !rec->removed)
            return reinterpret_cast<PlatWindow>(rec);
    return nullptr;
}

void PlatEnableWindow(PlatWindow window, int enable)
{
    if (Alive(window)) Rec(window)->info.enabled = enable ? 1 : 0;
}

int PlatSetWindowText(PlatWindow window, const char* text)
{
    if (!Alive(window)) return 0;
    Rec(window)->info.text = text;
    return 1;
}

int PlatDestroyWindow(PlatWindow window)
{
    if (!Alive(window)) return 0;
    Rec(window)->info.destroyed = 1;
    return 1;
}

int PlatPostMessage(PlatWindow window, unsigned message)
{
    World().posted.push_back(SimPosted{window, message});
    return 1;
}

int PlatMessageBox(PlatWindow owner, const char* text, const char* caption, unsigned style)
{
    SimWorld& w = World();
    w.boxes.push_back(SimMessageBox{owner, text ? text : "", caption ? caption : "", style});
    // The box's own message loop runs until it is closed.
    if (w.boxHook) w.boxHook(owner, w.boxContext);
    return PLAT_IDOK;
}

int PlatComboAddString(PlatWindow list, const char* text)
{
    if (!Alive(list)) return -1;
    std::vector<std::string>& items = Rec(list)->info.items;
    if (items.empty()) items.reserve(8);  // the baud list's six in one block
    items.push_back(text);
    return (int)Rec(list)->info.items.size() - 1;
}

int PlatComboSetCurSel(PlatWindow list, int index)
{
    if (!Alive(list)) return -1;
    SimWindowInfo& info = Rec(list)->info;
    if (index < 0 || index >= (int)info.items.size()) {
        info.curSel = -1;
        return -1;
    }
    info.curSel = index;
    return index;
}

int PlatComboGetCurSel(PlatWindow list)
{
    if (!Alive(list)) return -1;
    return Rec(list)->info.curSel;
}

int PlatGetScreenWidth(void) { return World().screenWidth; }
int PlatGetScreenHeight(void) { return World().screenHeight; }

int PlatMoveWindow(PlatWindow window, int x, int y, int width, int height, int)
{
    if (!Alive(window)) return 0;
    Rec(window)->info.rect = PlatRect{x, y, x + width, y + height};
    return 1;
}

unsigned PlatSetTimer(PlatWindow window, unsigned id, unsigned milliseconds)
{
    Observe(SIM_CALL_SET_TIMER, milliseconds);
    if (Fails(SIM_OP_SET_TIMER)) return 0;
    SimWorld& w = World();
    for (SimTimer& timer : w.timers)
        if (timer.window == window && timer.id == id) {
            timer.interval = milliseconds;
            timer.due = w.now + milliseconds;
            return id;
        }
    w.timers.push_back(SimTimer{window, id, milliseconds, w.now + milliseconds});
    return id;
}

int PlatKillTimer(PlatWindow window, unsigned id)
{
    Observe(SIM_CALL_KILL_TIMER, 0);
    SimWorld& w = World();
    for (size_t i = 0; i < w.timers.size(); i++)
        if (w.timers[i].window == window && w.timers[i].id == id) {
            w.timers.erase(w.timers.begin() + (long)i);
            return 1;
        }
    return 0;
}

int PlatInvalidateRect(PlatWindow window, const PlatRect* rect, int erase)
{
    Observe(SIM_CALL_INVALIDATE, 0);
    SimWorld& w = World();
    w.invalidatedSinceUpdate = 1;
    SimInvalidation entry = {window, rect == nullptr, rect ? *rect : PlatRect{0, 0, 0, 0}, erase};
    w.invalidations.push_back(entry);
    if (rect)
        w.pendingPaint.push_back(*rect);
    else
        w.pendingWhole = 1;
    return 1;
}

int PlatUpdateWindow(PlatWindow)
{
    SimWorld& w = World();
    Observe(SIM_CALL_REPAINT, (uint32_t)w.invalidatedSinceUpdate);
    w.invalidatedSinceUpdate = 0;
    w.updateCalls++;
    return 1;
}

PlatDc PlatBeginPaint(PlatWindow window, PlatPaint* paint)
{
    SimWorld& w = World();
    SimDcRec* dc = new SimDcRec{window, {}, nullptr, 0xFFFFFF, 0};
    if (w.pendingWhole) {
        PlatRect client;
        PlatGetClientRect(window, &client);
        dc->clip.push_back(client);
    } else {
        dc->clip = w.pendingPaint;
    }
    w.pendingPaint.clear();
    w.pendingWhole = 0;
    w.paints.push_back(dc);
    paint->dc = reinterpret_cast<PlatDc>(dc);
    memset(paint->system, 0, sizeof paint->system);
    memcpy(paint->system, &dc, sizeof dc);
    return paint->dc;
}

void PlatEndPaint(PlatWindow window, PlatPaint* paint)
{
    SimWorld& w = World();
    SimDcRec* dc = nullptr;
    memcpy(&dc, paint->system, sizeof dc);
    // Paints end innermost first, each with its own record; anything else is the fault of
    // a shared record, and leaves a device context unreleased.
    if (w.paints.empty() || w.paints.back() != dc || dc->window != window) {
        w.paintMismatches++;
        return;
    }
    w.paints.pop_back();
    w.lastPaint = *dc;
    w.lastPaint.clip.clear();
    delete dc;
}

int PlatGetClientRect(PlatWindow window, PlatRect* rect)
{
    if (!Alive(window)) return 0;
    const PlatRect& outer = Rec(window)->info.rect;
    rect->left = 0;
    rect->top = 0;
    // The frame and caption grow with the DPI, as Windows draws them for a per-monitor
    // aware window.
    rect->right = outer.right - outer.left - ScaleBy(SIM_FRAME_WIDTH, World().dpi, 96);
    rect->bottom = outer.bottom - outer.top - ScaleBy(SIM_FRAME_HEIGHT, World().dpi, 96);
    return 1;
}

int PlatSetWindowPos(PlatWindow control, int x, int y, int width, int height)
{
    if (!Alive(control)) return 0;
    SimWindowRec* rec = Rec(control);
    rec->info.placedHeight = height;
    rec->info.visible = 1;
    // A drop-down list's window is only its closed field; the height given counts the
    // opened list as well.
    int shown = rec->isCombo ? ComboClosedHeight(rec) : height;
    rec->info.rect = PlatRect{x, y, x + width, y + shown};
    return 1;
}

int PlatGetControlRect(PlatWindow, PlatWindow control, PlatRect* rect)
{
    if (!Alive(control)) return 0;
    *rect = Rec(control)->info.rect;
    return 1;
}

int PlatGetDpiForWindow(PlatWindow) { return World().dpi; }

int PlatGetIconTitleLogFont(PlatLogFont* description, int dpi)
{
    if (Fails(SIM_OP_ICON_TITLE_FONT)) return 0;
    memset(description->bytes, 0, sizeof(description->bytes));
    // lfHeight, the first field: -13 at 96 DPI, as Windows reports 9 points, scaled.
    int32_t height = -ScaleBy(SIM_FONT_EM, dpi, 96);
    memcpy(description->bytes, &height, sizeof height);
    description->bytes[LOGFONT_CHARSET_OFFSET] = (unsigned char)World().iconTitleCharset;
    return 1;
}

int PlatAnsiCharset(void) { return World().codePage == 932 ? SIM_CHARSET_SHIFTJIS : SIM_CHARSET_ANSI; }

void PlatSetLogFontCharset(PlatLogFont* description, int charset)
{
    description->bytes[LOGFONT_CHARSET_OFFSET] = (unsigned char)charset;
}

PlatFont PlatCreateFont(const PlatLogFont* description)
{
    if (Fails(SIM_OP_CREATE_FONT)) return nullptr;
    int32_t height = 0;
    memcpy(&height, description->bytes, sizeof height);
    SimFontRec* rec = new SimFontRec{1, height < 0 ? -height : height > 0 ? height : SIM_FONT_EM,
                                     description->bytes[LOGFONT_CHARSET_OFFSET]};
    World().fonts.push_back(rec);
    return reinterpret_cast<PlatFont>(rec);
}

void PlatDeleteFont(PlatFont font)
{
    // A control left holding a deleted font would draw with a dead handle.
    for (SimWindowRec* rec : World().windows)
        if (!rec->removed && rec->parent && rec->info.font == font) World().fontsDeletedInUse++;
    for (SimFontRec* rec : World().fonts)
        if (reinterpret_cast<PlatFont>(rec) == font) rec->alive = 0;
}

void PlatSetControlFont(PlatWindow control, PlatFont font)
{
    if (!Alive(control)) return;
    SimWindowRec* rec = Rec(control);
    rec->info.font = font;
    if (rec->isCombo) rec->info.rect.bottom = rec->info.rect.top + ComboClosedHeight(rec);
}

PlatDc PlatGetDc(PlatWindow window)
{
    SimWorld& w = World();
    w.dcsHeld++;
    w.measureDc = SimDcRec{window, {}, nullptr, 0xFFFFFF, 0};
    return reinterpret_cast<PlatDc>(&w.measureDc);
}

void PlatReleaseDc(PlatWindow, PlatDc) { World().dcsHeld--; }

PlatFont PlatSelectFont(PlatDc dc, PlatFont font)
{
    SimDcRec* rec = reinterpret_cast<SimDcRec*>(dc);
    PlatFont previous = rec->selected;
    rec->selected = font;
    return previous;
}

int PlatGetTextExtent(PlatDc dc, const char* text, int length, PlatSize* size)
{
    if (Fails(SIM_OP_TEXT_EXTENT)) return 0;
    if (World().failExtents.count(std::string(text, (size_t)(length > 0 ? length : 0)))) return 0;
    PlatFont font = reinterpret_cast<SimDcRec*>(dc)->selected;
    ConvertText(font);
    size->cx = CharWidthOf(font) * length;
    size->cy = LineHeightOf(font);
    return 1;
}

uint32_t PlatGetSysColor(int index)
{
    return index == PLAT_COLOR_BTNFACE ? SIM_COLOR_BTNFACE : index == PLAT_COLOR_BTNTEXT ? SIM_COLOR_BTNTEXT : 0x808080;
}

uint32_t PlatSetBkColor(PlatDc dc, uint32_t colour)
{
    SimDcRec* rec = reinterpret_cast<SimDcRec*>(dc);
    uint32_t previous = rec->background;
    rec->background = colour;
    return previous;
}

uint32_t PlatSetTextColor(PlatDc dc, uint32_t colour)
{
    SimDcRec* rec = reinterpret_cast<SimDcRec*>(dc);
    uint32_t previous = rec->foreground;
    rec->foreground = colour;
    return previous;
}

int PlatRectVisible(PlatDc dc, const PlatRect* rect)
{
    SimDcRec* rec = reinterpret_cast<SimDcRec*>(dc);
    for (const PlatRect& clip : rec->clip)
        if (Intersects(clip, *rect)) return 1;
    return 0;
}

int PlatTextOut(PlatDc dc, int x, int y, const char* text, int length)
{
    SimDcRec* rec = reinterpret_cast<SimDcRec*>(dc);
    int codePage = ConvertText(rec->selected);
    World().textOuts.push_back(SimTextOut{std::string(text, (size_t)length), x, y, rec->selected, rec->background,
                                          rec->foreground, codePage});
    return 1;
}

void PlatPostQuitMessage(int exitCode)
{
    World().quitPosted = 1;
    World().quitCode = exitCode;
}

// ---------------------------------------------------------------- comm.h

PlatHandle PlatCommOpenDevice(const char* name)
{
    SimWorld& w = World();
    w.lastOpenName = name;
    if (Fails(SIM_OP_COMM_OPEN)) return PLAT_INVALID_HANDLE;
    int number = PortFromName(name);
    if (number < 0 || w.ports[number].info.state == SIM_PORT_ABSENT) {
        w.lastError = 2;  // ERROR_FILE_NOT_FOUND
        return PLAT_INVALID_HANDLE;
    }
    SimPortRec& port = w.ports[number];
    // Share mode 0: a device already open, here or in another program, refuses.
    if (port.info.state == SIM_PORT_HELD || port.info.openHandles > 0) {
        w.lastError = 5;  // ERROR_ACCESS_DENIED
        return PLAT_INVALID_HANDLE;
    }
    SimHandleRec* rec = new SimHandleRec{number, 1};
    w.handles.push_back(rec);
    port.info.openHandles++;
    port.info.opens++;
    port.info.lastName = name;
    return reinterpret_cast<PlatHandle>(rec);
}

int PlatCloseHandle(PlatHandle handle)
{
    if (Fails(SIM_OP_CLOSE_HANDLE)) return 0;
    SimHandleRec* rec = Handle(handle);
    if (!rec || !rec->open) {
        World().lastError = 6;
        return 0;
    }
    rec->open = 0;
    SimPortRec& port = World().ports[rec->port];
    port.info.openHandles--;
    port.info.closes++;
    return 1;
}

int PlatGetCommState(PlatHandle handle, PlatDcb* dcb)
{
    if (Fails(SIM_OP_GET_COMM_STATE)) return 0;
    SimPortRec* port = PortOf(handle);
    if (!port) return 0;
    if (dcb->DCBlength != PLAT_DCB_SIZE) {
        World().lastError = 87;  // ERROR_INVALID_PARAMETER
        return 0;
    }
    *dcb = port->info.dcb;
    return 1;
}

int PlatSetCommState(PlatHandle handle, const PlatDcb* dcb)
{
    if (Fails(SIM_OP_SET_COMM_STATE)) return 0;
    SimPortRec* port = PortOf(handle);
    if (!port) return 0;
    port->info.dcb = *dcb;
    port->info.dcbApplied++;
    return 1;
}

int PlatSetupComm(PlatHandle handle, uint32_t inQueue, uint32_t outQueue)
{
    if (Fails(SIM_OP_SETUP_COMM)) return 0;
    SimPortRec* port = PortOf(handle);
    if (!port) return 0;
    port->info.inQueue = inQueue;
    port->info.outQueue = outQueue;
    return 1;
}

int PlatSetCommMask(PlatHandle handle, uint32_t mask)
{
    if (Fails(SIM_OP_SET_COMM_MASK)) return 0;
    SimPortRec* port = PortOf(handle);
    if (!port) return 0;
    port->info.mask = mask;
    return 1;
}

int PlatSetCommTimeouts(PlatHandle handle, const PlatCommTimeouts* timeouts)
{
    if (Fails(SIM_OP_SET_COMM_TIMEOUTS)) return 0;
    SimPortRec* port = PortOf(handle);
    if (!port) return 0;
    port->info.timeouts = *timeouts;
    port->info.timeoutsApplied++;
    return 1;
}

int PlatClearCommError(PlatHandle handle, uint32_t* errors, PlatComStat* status)
{
    Observe(SIM_CALL_CLEAR_COMM_ERROR, 0);
    if (Fails(SIM_OP_CLEAR_COMM_ERROR)) return 0;
    SimPortRec* port = PortOf(handle);
    if (!port) return 0;
    // Reported once, then cleared: the next call reports only what happened since.
    if (errors) *errors = port->errors;
    port->errors = 0;
    if (status) {
        status->cbInQue = (uint32_t)port->queue.size();
        status->cbOutQue = 0;
    }
    return 1;
}

int PlatPurgeComm(PlatHandle handle, uint32_t flags)
{
    if (Fails(SIM_OP_PURGE_COMM)) return 0;
    SimPortRec* port = PortOf(handle);
    if (!port) return 0;
    port->info.purges++;
    port->info.lastPurgeFlags = flags;
    if (flags & 0x0008) port->queue.clear();  // PURGE_RXCLEAR
    return 1;
}

// How long a synchronous ReadFile for `count` bytes with `queued` waiting blocks before it
// returns what it has, by the COMMTIMEOUTS rules: nothing more arrives while it waits (the
// test, the only device, is not running). Interval MAXDWORD with both totals 0 returns at
// once; after a first byte the interval time-out ends the wait when it comes before the
// total one. All zero would block for ever; that shows as a read beyond the queue.
uint32_t ReadWaitMs(const PlatCommTimeouts& t, uint32_t count, size_t queued)
{
    if (t.ReadIntervalTimeout == 0xFFFFFFFFu && t.ReadTotalTimeoutMultiplier == 0 &&
        t.ReadTotalTimeoutConstant == 0)
        return 0;
    uint64_t total = (uint64_t)t.ReadTotalTimeoutMultiplier * count + t.ReadTotalTimeoutConstant;
    if (queued > 0 && t.ReadIntervalTimeout != 0 && (total == 0 || t.ReadIntervalTimeout < total))
        return t.ReadIntervalTimeout;
    return total > 0xFFFFFFFFu ? 0xFFFFFFFFu : (uint32_t)total;
}

int PlatReadFile(PlatHandle handle, void* buffer, uint32_t count, uint32_t* bytesRead)
{
    SimWorld& w = World();
    Observe(SIM_CALL_READ_FILE, count);
    if (Fails(SIM_OP_READ_FILE)) {
        *bytesRead = 0;
        return 0;
    }
    SimPortRec* port = PortOf(handle);
    if (!port) {
        *bytesRead = 0;
        return 0;
    }
    port->info.reads++;
    if (count > port->info.largestRead) port->info.largestRead = count;
    if (count > port->queue.size()) {
        uint32_t wait = ReadWaitMs(port->info.timeouts, count, port->queue.size());
        port->info.readsBeyondQueue++;
        port->info.waitedMs += wait;
        w.now += wait;
    }
    size_t take = count;
    if (take > port->queue.size()) take = port->queue.size();
    if (w.readLimit >= 0 && take > (size_t)w.readLimit) take = (size_t)w.readLimit;
    unsigned char* out = static_cast<unsigned char*>(buffer);
    for (size_t i = 0; i < take; i++) {
        out[i] = port->queue.front();
        port->queue.pop_front();
    }
    *bytesRead = (uint32_t)take;
    return 1;
}
