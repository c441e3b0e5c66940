// timing_model: how the download keeps up with a paced serial line on Windows, and under Wine,
// in virtual time. The program's own logic runs on the simulated platform; every platform call
// it makes is charged what that call costs on the system modelled (the figures and where they
// come from are below). A device sends generated records at the line rate (10 bits a byte)
// into the driver's 1024-byte input queue; with the queue full it is held back, as XON/XOFF
// holds a device that honours it. Per case: the share of the line rate the program achieved,
// the largest backlog (bytes the device had to send by then, not yet taken by the program:
// what the driver would have to hold without flow control), whether that backlog outgrew the
// queue, the longest timer step (the longest the window cannot answer the user), and how long
// after the ETX line arrived the status read "Complete.". Achieved / offered is the line time
// of the data set up to its last record, over the time from the device's first byte to that
// record being in the file: the last record's own latency (two polls, about 0.25 s) is in it,
// which is why each data set lasts a minute of line time.
//
// Each record's write + flush is charged when the record reaches the file (the model watches
// the file grow), each repaint when the program asks for one: the window paints the latest
// record at most once per display frame, so the two counts differ.
//
// Usage: timing_model [--seconds S] [--record-factor F] [--wine COSTS] [--windows COSTS]
//   S: line time of each data set (default 60); F: multiplies what a record and a repaint
//   cost (write, flush, repaint) under both timings, to see how the figures move (default 1);
//   COSTS: figures in microseconds that replace the ones below, as
//   repaint=US,write=US,sleep1=US,clearcommerror=US (--wine: record_cost's measurements;
//   --windows: the same but sleep1, since Sleep there ends on the clock tick)
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <string>
#include <vector>
#include "bench/devsim_record.h"
#include "tests/support/sim_session.h"

namespace {

// The file name the simulated platform's local time (14:05:09, 19 February 2010) gives.
const char kBaseName[] = "KM-740_02192010_140509";

// ---------------------------------------------------------------- what each call costs

// Microseconds per call. Sleep and the timer are modelled as rules, not as one figure.
struct Timing {
    const char* name;
    double tickUs;          // > 0: Sleep and WM_TIMER end on this system clock tick grid
    double sleepExtraUs;    // tickUs == 0: Sleep(n) lasts n ms plus this
    double repaintUs;       // UpdateWindow that repaints the status area (WM_PAINT, TextOut)
    double writeFlushUs;    // one record's fwrite + fflush (WriteFile of a few bytes)
    double invalidateUs;    // InvalidateRect
    double clearCommErrorUs;
    double readFileUs;      // ReadFile of bytes already queued
    double timerCallUs;     // SetTimer, KillTimer
    double tickCountUs;     // GetTickCount
};

// Windows 10 2004 and later, default timer resolution.
// - Sleep and WM_TIMER: the system clock ticks every 15.625 ms (64 Hz) unless a process asks
//   for finer; since Windows 10 version 2004 timeBeginPeriod no longer reaches other processes
//   (Microsoft's documentation of timeBeginPeriod), and this program asks nothing. A wait ends
//   at the first tick at or after its due time, so Sleep(1) lasts up to a whole tick and
//   SetTimer(100) fires after 109.4 ms (7 ticks) when armed on a tick.
// - Repaint 200 us: our working figure for a synchronous repaint of one line of text; the
//   same order as the 161 us measured under Wine on this machine (bench/results.md).
// - The rest are estimates, chosen high: a kernel round trip each. fwrite + fflush of a
//   record is one WriteFile into the file cache (20 us; 2 us measured under Wine); the two
//   serial calls each go to the port driver and return at once (50 us each); InvalidateRect,
//   SetTimer, KillTimer are user32 calls without a wait (5 us); GetTickCount reads shared
//   memory (0.1 us).
Timing gWindows = {"Windows", 15625.0, 0.0, 200.0, 20.0, 5.0, 50.0, 50.0, 5.0, 0.1};

// Under Wine 8.0 on this machine, as bench/record_cost.cpp measures them (medians of 5 runs of
// 500; bench/run.sh passes the figures of its own run with --wine, see bench/results.md "What
// one record costs"). Without --wine, those of 2026-12-07 on a quiet machine: Sleep(1)
// 1095 us (so n ms + 95 us), invalidate + immediate repaint 161 us, write + flush 2 us,
// ClearCommError 1 us. Timers fire on time (the Wine bench sees 103 ms periods for 100 ms
// with 2-3 ms steps). Not measured, so estimated like Windows: ReadFile (50 us), the
// user32 calls.
Timing gWine = {"Wine", 0.0, 95.0, 161.0, 2.0, 5.0, 1.0, 50.0, 5.0, 0.1};

// repaint=US,write=US,sleep1=US,clearcommerror=US (any of them; sleep1 only where Sleep is
// not on a clock tick): --wine takes record_cost's figures, --windows what-ifs such as a slow
// display.
int SetCosts(Timing* timing, const char* list)
{
    std::string text = list;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find(',', at);
        if (end == std::string::npos) end = text.size();
        std::string item = text.substr(at, end - at);
        size_t eq = item.find('=');
        if (eq == std::string::npos) return 0;
        std::string key = item.substr(0, eq);
        double value = atof(item.c_str() + eq + 1);
        if (key == "repaint") timing->repaintUs = value;
        else if (key == "write") timing->writeFlushUs = value;
        else if (key == "sleep1" && timing->tickUs == 0) timing->sleepExtraUs = value - 1000.0;
        else if (key == "clearcommerror") timing->clearCommErrorUs = value;
        else return 0;
        at = end + 1;
    }
    return 1;
}

// ---------------------------------------------------------------- the modelled world

struct Model {
    const Timing* timing;
    double now;               // us
    double armedAt;           // when the timer was last armed, and for how long
    uint32_t armedMs;
    // The line.
    const std::string* stream;
    double byteUs;
    int lineOn;
    double lineStart;         // when the device began sending
    double deviceAt;          // when the next byte has left the device, if not held
    size_t sent;              // bytes in the driver's queue or taken since
    int held;
    double lastRead;          // the last ReadFile, when a held device may go on
    size_t maxBacklog;
    size_t maxLaterBacklog;   // from 1 s after the device began
    double etxAt;             // the ETX line's last byte arrived
    // What the program did.
    long recordBytes;         // a record in the file, CR LF included
    long records;             // in the file, each charged its write + flush
    long repaints;
    double lastRecordAt;
};

Model m;
double gRecordFactor = 1.0;

size_t Taken(void) { return m.sent - SimPortQueued(1); }

// The device sends every byte that is due by `m.now` and fits into the driver's queue.
void RunLine(void)
{
    if (!m.lineOn) return;
    size_t limit = SimPortQueueSize(1);
    if (m.held && SimPortQueued(1) < limit) {
        // XON: the device goes on from when the program made room.
        m.held = 0;
        m.deviceAt = std::max(m.deviceAt, m.lastRead + m.byteUs);
    }
    size_t first = m.sent;
    while (m.sent < m.stream->size() && m.deviceAt <= m.now) {
        if (SimPortQueued(1) + (m.sent - first) >= limit) {
            m.held = 1;
            break;
        }
        m.sent++;
        if (m.sent == m.stream->size()) m.etxAt = m.deviceAt;
        m.deviceAt += m.byteUs;
    }
    if (m.sent > first) SimPortFeed(1, m.stream->data() + first, m.sent - first);
    // Without flow control the device would have sent everything due by now.
    double due = floor((m.now - m.lineStart) / m.byteUs);
    size_t scheduled = (size_t)std::min(std::max(due, 0.0), (double)m.stream->size());
    size_t taken = Taken();
    if (scheduled > taken) {
        m.maxBacklog = std::max(m.maxBacklog, scheduled - taken);
        if (m.now >= m.lineStart + 1e6) m.maxLaterBacklog = std::max(m.maxLaterBacklog, scheduled - taken);
    }
}

// Charges the records that reached the file since the last call: the file grows by exactly
// one record per write (every record of a data set has the same length). Run before every
// observed call and after each step, so a write is charged before anything that follows it.
void ChargeWrites(void)
{
    if (gDownload.outputFile == nullptr) return;
    long inFile = ftell(gDownload.outputFile) / m.recordBytes;
    if (inFile <= m.records) return;
    m.now += (inFile - m.records) * m.timing->writeFlushUs * gRecordFactor;
    m.records = inFile;
    m.lastRecordAt = m.now;
}

double SleepEnd(double from, uint32_t ms)
{
    const Timing& t = *m.timing;
    if (t.tickUs > 0) return ceil((from + ms * 1000.0) / t.tickUs) * t.tickUs;
    return from + ms * 1000.0 + t.sleepExtraUs;
}

void OnCall(SimCall call, uint32_t figure)
{
    const Timing& t = *m.timing;
    ChargeWrites();
    switch (call) {
    case SIM_CALL_SLEEP:
        m.now = SleepEnd(m.now, figure);
        break;
    case SIM_CALL_SET_TIMER:
        m.now += t.timerCallUs;
        m.armedAt = m.now;
        m.armedMs = figure;
        break;
    case SIM_CALL_KILL_TIMER:
        m.now += t.timerCallUs;
        break;
    case SIM_CALL_TICK_COUNT:
        m.now += t.tickCountUs;
        break;
    case SIM_CALL_INVALIDATE:
        m.now += t.invalidateUs;
        break;
    case SIM_CALL_REPAINT:
        // Only an UpdateWindow with something invalidated paints.
        if (figure) {
            m.now += t.repaintUs * gRecordFactor;
            m.repaints++;
        }
        break;
    case SIM_CALL_CLEAR_COMM_ERROR:
        RunLine();
        m.now += t.clearCommErrorUs;
        break;
    case SIM_CALL_READ_FILE:
        m.now += t.readFileUs;
        m.lastRead = m.now;
        break;
    default:
        break;
    }
    // What the program reads from GetTickCount, and what SetTimer counts from.
    SimSetTick((uint32_t)(m.now / 1000.0));
}

// ---------------------------------------------------------------- one case

struct Result {
    int rate;
    int length;
    long records;
    long repaints;
    double achieved;          // of the offered line rate
    size_t maxBacklog;
    size_t maxLaterBacklog;
    double longestStepMs;
    double longestLaterStepMs;   // from 1 s after the device began: the steady state
    double etxToCompleteMs;
    int ok;                   // "Complete.", the file exact, every record charged
};

std::string Slurp(const std::string& path)
{
    std::string content;
    if (FILE* f = fopen(path.c_str(), "rb")) {
        char buf[65536];
        size_t got;
        while ((got = fread(buf, 1, sizeof buf, f)) > 0) content.append(buf, got);
        fclose(f);
    }
    return content;
}

Result RunCase(const Timing& timing, int rate, int length, double seconds, const std::string& dir)
{
    const double byteUs = 10.0 * 1e6 / rate;
    const long count = std::max(1L, (long)(seconds * rate / 10.0 / (length + 2)));
    std::string stream;
    std::string expected;
    DevsimDataSet(count, length, &stream, &expected);
    const size_t dataBytes = stream.size() - 3;  // up to the last record's CR LF

    SimSessionReset(rate);
    SimSessionSetFolders(dir.c_str(), dir.c_str());
    PlatWindow window = SimSessionDialog();
    m = Model();
    m.timing = &timing;
    m.stream = &stream;
    m.byteUs = byteUs;
    m.recordBytes = length + 2;
    SimObserveCalls(OnCall);

    DownloadToggle(window);
    double longest = 0;
    double longestLater = 0;
    double completeAt = 0;
    while (!SimTimers().empty()) {
        const Timing& t = *m.timing;
        double due = m.armedAt + m.armedMs * 1000.0;
        double fire = t.tickUs > 0 ? ceil(due / t.tickUs) * t.tickUs : due;
        m.now = std::max(m.now, fire);
        SimSetTick((uint32_t)(m.now / 1000.0));
        int phase = gDownload.phase;
        double start = m.now;
        DownloadOnTimer(window, SimTimers()[0].id);
        ChargeWrites();
        longest = std::max(longest, m.now - start);
        if (m.lineOn && start >= m.lineStart + 1e6) longestLater = std::max(longestLater, m.now - start);
        if (phase == PHASE_FINISH) completeAt = m.now;
        if (phase == PHASE_OPEN && gDownload.phase == PHASE_RECEIVE) {
            // The user makes the device send once "Receiving data..." shows.
            m.lineOn = 1;
            m.lineStart = m.now;
            m.deviceAt = m.now + byteUs;
        }
        SimClearPaintLog();
    }
    SimObserveCalls(nullptr);

    std::string path = dir + "/" + kBaseName + ".csv";
    std::string content = Slurp(path);
    remove(path.c_str());
    Result r;
    r.rate = rate;
    r.length = length;
    r.records = count;
    r.repaints = m.repaints;
    double span = m.lastRecordAt - m.lineStart;
    double offeredSpan = dataBytes * byteUs;
    r.achieved = span > 0 ? offeredSpan / span : 0;
    r.maxBacklog = m.maxBacklog;
    r.maxLaterBacklog = m.maxLaterBacklog;
    r.longestStepMs = longest / 1000.0;
    r.longestLaterStepMs = longestLater / 1000.0;
    r.etxToCompleteMs = (completeAt - m.etxAt) / 1000.0;
    r.ok = gStatus.statusIndex == STATUS_COMPLETE && content == expected && m.records == count &&
           SimPort(1).dropped == 0 && SimPort(1).readsBeyondQueue == 0;
    return r;
}

// Two decimals, cut rather than rounded, so that 0.989 never reads 0.99.
double Floor2(double value) { return floor(value * 100.0 + 1e-9) / 100.0; }

}  // namespace

int main(int argc, char** argv)
{
    double seconds = 60;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = atof(argv[++i]);
        } else if (strcmp(argv[i], "--record-factor") == 0 && i + 1 < argc) {
            gRecordFactor = atof(argv[++i]);
        } else if (strcmp(argv[i], "--wine") == 0 && i + 1 < argc && SetCosts(&gWine, argv[i + 1])) {
            i++;
        } else if (strcmp(argv[i], "--windows") == 0 && i + 1 < argc &&
                   SetCosts(&gWindows, argv[i + 1])) {
            i++;
        } else {
            fprintf(stderr, "usage: timing_model [--seconds S] [--record-factor F] "
                            "[--wine repaint=US,write=US,sleep1=US,clearcommerror=US] "
                            "[--windows repaint=US,write=US,clearcommerror=US]\n");
            return 2;
        }
    }
    char pattern[] = "/tmp/km740_model_XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    std::string dir = pattern;

    const int rates[] = {1200, 2400, 4800, 9600, 19200, 38400};
    const int lengths[] = {2, 10, 38, 200};
    const Timing* timings[] = {&gWindows, &gWine};
    printf("Timing model: the download logic on the simulated platform in virtual time, each "
           "platform call charged its cost (bench/timing_model.cpp says where each figure comes "
           "from). Each data set is %.0f s of line time; achieved / offered is that line time "
           "over the time from the first byte sent to the last record in the file (its latency "
           "included). The device starts when the status reads \"Receiving data...\" and is "
           "held back while the 1024-byte driver queue is full. Backlog: bytes the device had to "
           "send by then, not yet taken by the program (what the driver would have to hold "
           "without flow control). Longest step: the longest timer step, in which the window "
           "cannot answer. \"From 1 s on\": the same past the first poll's catch-up of the 250 "
           "ms wait after the begin step. Each record's write + flush is charged as the file "
           "grows by it, each repaint as the window makes it (repaints: how many).\n\n", seconds);
    printf("| charged per call, us | %s | %s |\n|---|---|---|\n", gWindows.name, gWine.name);
    printf("| Sleep(n) | to the next %.3f ms clock tick at or after n ms | n ms + %.0f |\n",
           gWindows.tickUs / 1000.0, gWine.sleepExtraUs);
    printf("| WM_TIMER after SetTimer(n) | the next clock tick at or after n ms | n ms |\n");
    printf("| repaint of the status area (UpdateWindow) | %.0f | %.0f |\n", gWindows.repaintUs,
           gWine.repaintUs);
    printf("| fwrite + fflush of a record | %.0f | %.0f |\n", gWindows.writeFlushUs,
           gWine.writeFlushUs);
    printf("| ClearCommError | %.0f | %.0f |\n", gWindows.clearCommErrorUs, gWine.clearCommErrorUs);
    printf("| ReadFile | %.0f | %.0f |\n", gWindows.readFileUs, gWine.readFileUs);
    printf("| InvalidateRect | %.0f | %.0f |\n", gWindows.invalidateUs, gWine.invalidateUs);
    printf("| SetTimer, KillTimer | %.0f | %.0f |\n", gWindows.timerCallUs, gWine.timerCallUs);
    printf("| GetTickCount | %.1f | %.1f |\n", gWindows.tickCountUs, gWine.tickCountUs);
    if (gRecordFactor != 1.0)
        printf("| factor on write + flush and on a repaint | %.2f | %.2f |\n",
               gRecordFactor, gRecordFactor);
    printf("\n");
    printf("| rate bps | record bytes | records");
    for (const Timing* t : timings)
        printf(" | %s: achieved / offered | max backlog B (/ 1024) (from 1 s on) | overrun without flow control "
               "| longest step ms (from 1 s on) | ETX -> Complete. ms | repaints", t->name);
    printf(" |\n|---|---|---");
    for (size_t i = 0; i < sizeof timings / sizeof timings[0]; i++) printf("|---|---|---|---|---|---");
    printf("|\n");

    double worst = 1e9;
    int worstRate = 0, worstLength = 0, failed = 0;
    for (int rate : rates) {
        for (int length : lengths) {
            printf("| %d | %d |", rate, length);
            int first = 1;
            for (const Timing* t : timings) {
                Result r = RunCase(*t, rate, length, seconds, dir);
                if (first) printf(" %ld |", r.records);
                first = 0;
                printf(" %.3f | %zu (%.2f) (%zu) | %s | %.1f (%.1f) | %.0f | %ld |", r.achieved,
                       r.maxBacklog, r.maxBacklog / 1024.0, r.maxLaterBacklog,
                       r.maxBacklog > 1024 ? "yes" : "no", r.longestStepMs, r.longestLaterStepMs,
                       r.etxToCompleteMs, r.repaints);
                if (!r.ok) {
                    failed = 1;
                    fprintf(stderr, "timing_model: %s, %d bps, %d-byte records: the download did not "
                            "end complete and exact\n", t->name, rate, length);
                }
                if (r.achieved < worst) {
                    worst = r.achieved;
                    worstRate = rate;
                    worstLength = length;
                }
            }
            printf("\n");
        }
    }
    rmdir(dir.c_str());
    printf("\nworst achieved/offered: %.2f (%d bps, %d-byte records)\n", Floor2(worst), worstRate,
           worstLength);
    return failed;
}
