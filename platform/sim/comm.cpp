// The simulated serial ports (platform/comm.h): 33 COM ports with a driver's input queue,
// line settings, time-outs and receive errors; with their Sim* controls.
#include "platform/sim/sim_world.h"

#include <stdio.h>
#include <string.h>

using namespace sim_world;

// Every field the program writes differs from what it writes (for a download, XON/XOFF on):
// a write left out would leave a value that a test sees.
PlatDcb sim_world::DefaultDcb()
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

namespace {

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

}  // namespace

// ---------------------------------------------------------------- control panel

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
