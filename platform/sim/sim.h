// Control panel of the simulated platform, for host tests: a virtual clock, simulated
// COM ports, controls that remember what was done to them, recorded boxes and paints,
// and failures a test can inject into any operation.
#pragma once
#include <stddef.h>
#include <string>
#include <vector>
#include "platform/comm.h"
#include "platform/system.h"
#include "platform/window.h"

// Operations a test can make fail.
enum SimOp {
    SIM_OP_MODULE_PATH,
    SIM_OP_SPECIAL_FOLDER,
    SIM_OP_HEAP_ALLOC,
    SIM_OP_FILE_OPEN,
    SIM_OP_FILE_CREATE,
    SIM_OP_FILE_REMOVE,
    SIM_OP_COMM_OPEN,
    SIM_OP_CLOSE_HANDLE,
    SIM_OP_GET_COMM_STATE,
    SIM_OP_SET_COMM_STATE,
    SIM_OP_SETUP_COMM,
    SIM_OP_SET_COMM_MASK,
    SIM_OP_SET_COMM_TIMEOUTS,
    SIM_OP_CLEAR_COMM_ERROR,
    SIM_OP_PURGE_COMM,
    SIM_OP_READ_FILE,
    SIM_OP_SET_TIMER,
    SIM_OP_ICON_TITLE_FONT,
    SIM_OP_CREATE_FONT,
    SIM_OP_TEXT_EXTENT,
    SIM_OP_UTF8_TO_ANSI,
    SIM_OP_FILE_SYNC,
    SIM_OP_FILE_RENAME,
    SIM_OP_COUNT
};

// Everything back to a fresh machine: ports absent, clock at 0, no windows, logs empty,
// no injected failures, code page 1252, module path empty (so the folder is ".").
void SimReset(void);
// Gives back every block the simulated machine holds (the next call starts a fresh one), so
// that a fuzzing run ends with all it took returned and is not run again to look for leaks.
void SimRelease(void);

// Fault injection: after `skip` more successful calls, the next `count` calls of the
// operation fail (count < 0: every later call). A failing call sets the last error to
// `error` (0 keeps a generic code).
void SimFail(SimOp op, int skip = 0, int count = 1, unsigned error = 0);
// How many times the operation was called since the reset.
int SimCalls(SimOp op);

// --- process ---
void SimSetModulePath(const char* path);     // null: the call fails
void SimSetCodePage(int codePage);           // 932 (Shift-JIS lead bytes) or 1252 (none)
// The character set the icon-title font's description names (0 after a reset). A Windows
// set to another code page for programs that are not Unicode may keep a Western one.
void SimSetIconTitleCharset(int charset);
void SimSetSpecialFolder(int csidl, const char* path);  // null: not found
void SimSetLocalTime(const PlatTime& time);
// The text PlatFormatSystemMessage gives for the code from now on, in place of the
// simulated "System error <code>.\r\n".
void SimSetSystemMessage(unsigned code, const char* text);
// Bytes allocated through PlatHeapAlloc and not yet freed.
long SimHeapBlocksOutstanding(void);
// Streams from PlatFileCreateNew then fail on write, as on a full disk.
void SimSetDiskFull(int full);
// Files on a memory disk instead of the host's (the fuzz targets make thousands of files a
// second): every file operation of the layer then works there, keyed by host path. Off
// after a reset, with the memory disk empty. Files can only be made in a folder declared
// with SimMemoryFolder.
void SimUseMemoryFiles(int on);
void SimMemoryFolder(const char* path);
void SimMemoryFileSet(const char* path, const std::string& bytes);
// The file's bytes as far as they reached the system (flushed); null when there is no file.
// Valid until the next file operation.
const std::string* SimMemoryFile(const char* path);
// Counts every change to the memory disk (a file made, written, replaced or removed): while
// it stays the same, every file holds the same bytes.
unsigned long SimMemoryChanges(void);
// Files on the memory disk (folders not counted): with each expected file found, none else.
size_t SimMemoryFileCount(void);
// PlatFileSync calls that succeeded since the reset.
int SimFileSyncs(void);
// Host path for a program path (backslashes become slashes).
std::string SimHostPath(const char* path);

// --- clock and timers ---
uint32_t SimNow(void);
void SimSetTick(uint32_t tick);
void SimAdvance(uint32_t milliseconds);      // moves the clock; timers do not fire by themselves
struct SimTimer {
    PlatWindow window;
    unsigned id;
    uint32_t interval;
    uint32_t due;
};
// The armed timers, in arming order.
const std::vector<SimTimer>& SimTimers(void);
// Moves the clock to the earliest due timer and returns 1 with its window and id (the
// timer stays armed, as a Win32 timer does until killed); 0 when none is armed.
int SimNextTimer(PlatWindow* window, unsigned* id);
// Total milliseconds spent in PlatSleep and the number of calls.
uint32_t SimSleptMs(void);
int SimSleepCalls(void);

// --- windows and controls ---
// Creates the main dialog with its five controls laid out as in the template; the client
// area is the outer size less a 6 x 29 pixel frame.
PlatWindow SimCreateMainDialog(void);
// Removes one control from the dialog (to test a missing control).
void SimRemoveControl(PlatWindow dialog, int id);
struct SimWindowInfo {
    int id;
    std::string text;
    std::vector<std::string> items;
    int curSel;
    int enabled;
    int visible;
    PlatFont font;
    PlatRect rect;           // controls: client coordinates of the dialog; dialog: screen
    int placedHeight;        // the height given to the last PlatSetWindowPos
    int destroyed;           // 1 once PlatDestroyWindow ran on it
};
const SimWindowInfo* SimWindow(PlatWindow window);
void SimSetScreenSize(int width, int height);
// The closed field of a drop-down list is the font's height plus this many pixels at
// 96 DPI, scaled with the DPI (20 pixels in all before it has a font).
enum { SIM_COMBO_EDGE = 6 };
// Frame and caption around the client area at 96 DPI, scaled with the DPI.
enum { SIM_FRAME_WIDTH = 6, SIM_FRAME_HEIGHT = 29 };
// The DPI of the monitor the windows are on (96 after a reset). The icon-title font, the
// frames and the drop-down fields follow it.
void SimSetDpi(int dpi);
// Device contexts taken with PlatGetDc and not yet released.
int SimDcsHeld(void);

struct SimMessageBox {
    PlatWindow owner;
    std::string text;
    std::string caption;
    unsigned style;
};
const std::vector<SimMessageBox>& SimMessageBoxes(void);
// Runs inside every message box after it is recorded, as the box's own message loop: a
// test delivers window messages from there (null: none).
void SimSetBoxHook(void (*hook)(PlatWindow owner, void* context), void* context);
void SimClearMessageBoxes(void);

struct SimPosted {
    PlatWindow window;
    unsigned message;
};
const std::vector<SimPosted>& SimPostedMessages(void);
int SimQuitPosted(void);     // 1 once PlatPostQuitMessage ran
int SimQuitCode(void);

// --- painting ---
struct SimInvalidation {
    PlatWindow window;
    int whole;               // 1 when the rect was null
    PlatRect rect;
    int erase;
};
const std::vector<SimInvalidation>& SimInvalidations(void);
int SimUpdateWindowCalls(void);
struct SimTextOut {
    std::string text;
    int x;
    int y;
    PlatFont font;
    uint32_t background;
    uint32_t foreground;
    int codePage;            // the code page the text was converted by (see below)
};
const std::vector<SimTextOut>& SimTextOuts(void);
void SimClearPaintLog(void);
// The fixed-metric font: at its 96-DPI height of SIM_FONT_EM pixels every byte is
// SIM_CHAR_WIDTH pixels wide and every line SIM_LINE_HEIGHT high; a font made for another
// DPI is taller by its height's ratio, and so are both metrics (rounded as MulDiv does).
enum { SIM_CHAR_WIDTH = 8, SIM_LINE_HEIGHT = 16, SIM_FONT_EM = 13 };
// The height (|lfHeight|) a font was made with.
int SimFontHeight(PlatFont font);
// Character sets (lfCharSet values) and the one a font was made with (default for none).
enum { SIM_CHARSET_ANSI = 0, SIM_CHARSET_DEFAULT = 1, SIM_CHARSET_SHIFTJIS = 128 };
int SimFontCharset(PlatFont font);
// As the system does, the ANSI text calls (TextOutA, GetTextExtentPointA) convert their
// bytes by the code page of the selected font's character set (the default set: the ANSI
// code page). Counts the calls since the reset whose set named another code page than the
// system's ANSI one: each drew or measured mojibake.
int SimMisconverted(void);
// Measurements of exactly this text fail (in addition to SimFail).
void SimFailExtentOf(const char* text);
// The font selected into the innermost open paint's device context (or the last ended
// one's), and fonts alive.
PlatFont SimSelectedFont(void);
// Paints begun and not yet ended, and EndPaint calls with a record that is not the
// innermost open paint's (such a paint is left open).
int SimOpenPaints(void);
int SimPaintMismatches(void);
int SimFontsAlive(void);
// Fonts deleted while a control still held them.
int SimFontsDeletedInUse(void);
enum { SIM_COLOR_BTNFACE = 0xF0F0F0, SIM_COLOR_BTNTEXT = 0x000000 };

// --- serial ports ---
enum SimPortState { SIM_PORT_ABSENT = 0, SIM_PORT_PRESENT = 1, SIM_PORT_HELD = 2 };
void SimSetPort(int number, SimPortState state);
// Bytes the device has sent, into the driver's input queue. The queue holds as many bytes as
// the last SetupComm asked for (SIM_DEFAULT_IN_QUEUE before any); bytes past that are
// dropped, and the next ClearCommError reports CE_RXOVER, as a Windows driver does. Returns
// how many bytes the queue took.
enum { SIM_DEFAULT_IN_QUEUE = 4096 };
size_t SimPortFeed(int number, const void* bytes, size_t count);
size_t SimPortFeedText(int number, const std::string& bytes);
size_t SimPortQueued(int number);
// The size of the driver's input queue, as above.
size_t SimPortQueueSize(int number);
// Receive errors the line suffered (PLAT_CE_* bits): the next ClearCommError reports them
// in its error word and clears them, as it clears CE_RXOVER.
void SimPortRaiseErrors(int number, uint32_t bits);
// The device disappears: calls on open handles fail (error 21), new opens fail.
void SimPortVanish(int number);
// At most this many bytes per successful ReadFile (-1: no limit; 0: reads deliver nothing).
void SimSetReadLimit(int maximum);
struct SimPortInfo {
    SimPortState state;
    int openHandles;         // handles open now
    int opens;               // successful opens since the reset
    int closes;
    std::string lastName;    // the device name last opened
    PlatDcb dcb;             // the driver's line settings (initially its defaults)
    int dcbApplied;
    PlatCommTimeouts timeouts;
    int timeoutsApplied;
    uint32_t inQueue;
    uint32_t outQueue;
    uint32_t mask;
    int purges;
    uint32_t lastPurgeFlags;
    int reads;               // ReadFile calls
    uint32_t largestRead;    // the most bytes one ReadFile asked for
    // ReadFile calls that asked for more than was queued: each waited out the read
    // time-outs (virtual time) as a Windows driver does, with the user-interface thread.
    int readsBeyondQueue;
    uint32_t waitedMs;       // virtual milliseconds those reads waited
    size_t dropped;          // bytes the full input queue dropped
};
const SimPortInfo& SimPort(int number);
// Name of the last device any open was tried on (also failed opens).
const std::string& SimLastOpenName(void);
// The defaults a driver reports before the program changes anything: every field the
// program writes holds another value here, so a write the program leaves out shows.
PlatDcb SimDefaultDcb(void);

// --- observing calls (the host timing model in bench/) ---
// Calls whose cost on a real system the model charges, each announced on entry, before the
// simulated call acts, with one figure: Sleep and SetTimer their milliseconds, ReadFile the
// bytes asked for, UpdateWindow 1 when an invalidation since the last UpdateWindow makes it
// repaint (0: nothing to paint), the others 0.
enum SimCall {
    SIM_CALL_SLEEP,
    SIM_CALL_SET_TIMER,
    SIM_CALL_KILL_TIMER,
    SIM_CALL_TICK_COUNT,
    SIM_CALL_INVALIDATE,
    SIM_CALL_REPAINT,
    SIM_CALL_CLEAR_COMM_ERROR,
    SIM_CALL_READ_FILE,
    SIM_CALL_COUNT
};
typedef void (*SimCallObserver)(SimCall call, uint32_t figure);
// Null stops the observing; SimReset stops it too.
void SimObserveCalls(SimCallObserver observer);
