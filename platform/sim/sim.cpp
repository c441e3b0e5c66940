// The simulated platform's control panel proper: the machine's reset and release, the
// injected failures and call counts, and the call observer, over every double alike.
#include "platform/sim/sim_world.h"

#include <new>

using namespace sim_world;

SimWorld* sim_world::g_world = nullptr;

namespace {

// The machine lives in this block: the fuzz targets make a fresh one for every input, and a
// 9 KB allocation each time came back through the sanitizers' quarantine cold every time.
alignas(SimWorld) unsigned char g_worldStorage[sizeof(SimWorld)];

}  // namespace

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
    w.fileSyncs = 0;
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
void SimObserveCalls(SimCallObserver observer) { World().observer = observer; }
