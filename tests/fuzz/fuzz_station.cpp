// Fuzz target: a station's lifecycle on the simulated platform. The input is a script: lines
// and noise the device sends (mostly STX, ETX, one-byte lines, records, stray CR and LF),
// handed to the port in pieces, clock moves (silences around the 30 s limit), polls, a port
// that goes away and is opened again, receive errors, file failures, and a stop or a close at
// the end. After every step the files on the memory disk and what the front end was told are
// checked against a reference model of the data-set rules kept here, apart from the program's
// framing.
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <algorithm>
#include <map>
#include <string>
#include <vector>
#include "download/download.h"
#include "download/output_file.h"
#include "download/station.h"
#include "platform/sim/sim.h"
#include "serial/comm_port.h"
#include "serial/rx_buffer.h"
#include "tests/fuzz/fuzz_common.h"
#include "tests/support/sim_session.h"

namespace {

const char kFolder[] = "C:\\Users\\fuzz\\Station";
enum { BUFFER = 2048, SILENCE_MS = 30000, KINDS = COMM_ERR_KINDS };

// ---------------------------------------------------------------- reference model

struct ModelSet {
    std::string name;                  // NAME.csv; empty when no file could be made
    std::string content;               // its records as written, each with CR LF
    uint32_t records, bytes;
    uint32_t errors[KINDS];
    int full;                          // made on a full disk: every write fails
    int writeFailed;
    int renameBlocked;                 // someone made NAME.csv meanwhile
    int ended, end, outcome, sealed;   // sealed: renamed to NAME.csv
    uint32_t skippedBefore;            // lines skipped before its STX
    size_t told;                       // where the front end's list of starts names it
};

struct Model {
    std::vector<ModelSet> sets;
    std::vector<std::string> records;  // of every data set, in order
    size_t made, ended;                // data sets that made a file; that ended
    std::map<std::string, int> files;  // path -> data set, or -1 for a file made here
    size_t lineStart;                  // in the delivered bytes
    size_t scanned;                    // no CR LF begins between lineStart and here
    size_t delivered;
    int inside;
    int discarding;                    // the rest of a dropped long line is not a line
    int portOpen;
    uint32_t lastByte;
    uint32_t pendingErrors;            // PLAT_CE_* bits the port has not reported yet
    int syncFails, renameFails, diskFull;
    uint32_t skippedLines, skippedBytes;
    std::string base;                  // the base name for the local time now
};

Model m;

ModelSet& Current(void) { return m.sets.back(); }

void ModelBegin(void)
{
    ModelSet set{};
    set.skippedBefore = m.skippedLines;
    for (int number = 1; number <= 99 && set.name.empty(); number++) {
        char name[128];
        if (number == 1)
            snprintf(name, sizeof name, "%s\\%s.csv", kFolder, m.base.c_str());
        else
            snprintf(name, sizeof name, "%s\\%s(%d).csv", kFolder, m.base.c_str(), number);
        if (!m.files.count(name) && !m.files.count(std::string(name) + ".part")) set.name = name;
    }
    if (set.name.empty()) {
        // All 99 names taken: no file, so the data set ends at once and its lines are outside.
        set.ended = 1;
        set.end = END_FILE_FAILED;
        set.outcome = OUTCOME_FILE_FAILED;
        m.sets.push_back(set);
        m.ended++;
        return;
    }
    set.full = m.diskFull;
    set.told = 2 * m.made;
    m.files[set.name + ".part"] = (int)m.sets.size();
    m.sets.push_back(set);
    m.made++;
    m.inside = 1;
}

void ModelEnd(int end)
{
    ModelSet& set = Current();
    int whole = !set.writeFailed;
    if (m.syncFails) {  // every sealed file is synced once, failing or not
        m.syncFails = 0;
        whole = 0;
    }
    if (whole && m.renameFails) {
        m.renameFails = 0;
        whole = 0;
    } else if (whole && set.renameBlocked) {
        whole = 0;
    }
    if (whole) {
        m.files.erase(set.name + ".part");
        m.files[set.name] = (int)m.sets.size() - 1;
        set.sealed = 1;
    }
    int errors = 0;
    for (uint32_t count : set.errors) errors |= count != 0;
    set.outcome = !whole ? OUTCOME_FILE_FAILED
                  : end == END_STOPPED ? OUTCOME_STOPPED
                  : end == END_ETX && !errors ? OUTCOME_COMPLETE
                                              : OUTCOME_INCOMPLETE;
    set.end = end;
    set.ended = 1;
    m.ended++;
    m.inside = 0;
}

void ModelLine(const char* raw, size_t length)
{
    size_t textLength = strnlen(raw, length);
    if (textLength == 0) return;
    int one = textLength == 1;
    if (!m.inside) {
        if (one && raw[0] == '\x02') {
            ModelBegin();
        } else {
            m.skippedLines++;
            m.skippedBytes += (uint32_t)length + 2;
        }
        return;
    }
    if (one) {
        ModelEnd(raw[0] == '\x03' ? END_ETX : raw[0] == '\x02' ? END_NEW_STX : END_ONE_BYTE_LINE);
        if (raw[0] == '\x02') ModelBegin();
        return;
    }
    ModelSet& set = Current();
    if (set.full) {
        set.writeFailed = 1;
        ModelEnd(END_FILE_FAILED);
        return;
    }
    m.records.emplace_back(raw, textLength);
    set.content.append(raw, textLength).append("\r\n");
    set.records++;
    set.bytes += (uint32_t)textLength + 2;
}

// The delivered bytes up to `delivered`: CR LF lines, and a line that would not fit the
// 2048-byte receive buffer with its CR LF dropped 2048 bytes at a time (2047 when the last
// is a CR, which may begin the CR LF), its rest up to its CR LF dropped as well.
void ModelFrame(const std::string& bytes, size_t delivered)
{
    m.delivered = delivered;
    for (;;) {
        size_t limit = std::min(delivered, m.lineStart + BUFFER);
        size_t at = std::max(m.lineStart, m.scanned);
        size_t found = std::string::npos;
        while (at + 1 < limit) {
            const char* cr = static_cast<const char*>(memchr(bytes.data() + at, '\r', limit - 1 - at));
            if (!cr) break;
            at = (size_t)(cr - bytes.data());
            if (bytes[at + 1] == '\n') {
                found = at;
                break;
            }
            at++;
        }
        if (found != std::string::npos) {
            if (m.discarding)
                m.skippedBytes += (uint32_t)(found - m.lineStart + 2);
            else
                ModelLine(bytes.data() + m.lineStart, found - m.lineStart);
            m.discarding = 0;
            m.lineStart = found + 2;
            m.scanned = m.lineStart;
            continue;
        }
        if (limit - m.lineStart < BUFFER) {
            m.scanned = limit > 0 ? std::max(m.lineStart, limit - 1) : 0;
            return;
        }
        if (m.inside) ModelEnd(END_LONG_LINE);
        size_t keep = bytes[m.lineStart + BUFFER - 1] == '\r' ? 1 : 0;
        m.skippedBytes += (uint32_t)(BUFFER - keep);
        m.discarding = 1;
        m.lineStart += BUFFER - keep;
        m.scanned = m.lineStart;
    }
}

// The port reports what it saw at the first read of a poll, when every line already
// delivered has been taken: the data set running then is the one marked.
void ModelReportErrors(void)
{
    static const uint32_t bits[KINDS] = {PLAT_CE_RXOVER, PLAT_CE_OVERRUN, PLAT_CE_FRAME, PLAT_CE_RXPARITY,
                                         PLAT_CE_BREAK};
    if (m.inside)
        for (int kind = 0; kind < KINDS; kind++)
            if (m.pendingErrors & bits[kind]) Current().errors[kind]++;
    m.pendingErrors = 0;
}

void ModelDropPartial(void)
{
    m.skippedBytes += (uint32_t)(m.delivered - m.lineStart);
    m.lineStart = m.scanned = m.delivered;
    m.discarding = 0;
}

// ---------------------------------------------------------------- the session

struct Ended {
    StationReport report;
    std::string path;
    std::string text;
};

struct Session {
    const uint8_t* data;
    size_t size;
    size_t at;
    std::string device;      // bytes the device has yet to send
    std::string sent;        // bytes the port's queue took
    std::string received;    // as the front end was told
    int vanished;
    int readLimit;
    uint32_t startTick;
    // What the front end was told.
    int opened, failed;
    std::vector<std::string> started;     // path, then partPath
    std::vector<uint32_t> skippedAtStart; // skipped lines told before each
    std::vector<std::string> records;
    std::vector<Ended> ended;
    uint32_t skippedLines, skippedBytes;
    size_t checkedSets, checkedRecords, receivedChecked;
    unsigned long diskChecked;  // the memory disk's change count at the last file check
};

Session s;

uint8_t Next(void) { return s.at < s.size ? s.data[s.at++] : 0; }

void OnOpened(void*) { s.opened++; }
void OnFailed(void*, unsigned, const char*) { s.failed++; }
void OnReceived(void*, const unsigned char* bytes, size_t count) { s.received.append((const char*)bytes, count); }
void OnStarted(void*, const char* path, const char* partPath)
{
    s.started.push_back(path);
    s.started.push_back(partPath);
    s.skippedAtStart.push_back(s.skippedLines);
}
void OnRecord(void*, const char* line) { s.records.push_back(line); }
void OnEnded(void*, const StationReport* report)
{
    s.ended.push_back(Ended{*report, report->path ? report->path : "(null)", report->text ? report->text : "(null)"});
}
void OnSkipped(void*, uint32_t lines, uint32_t bytes)
{
    FUZZ_CHECK(lines > 0 || bytes > 0);
    s.skippedLines += lines;
    s.skippedBytes += bytes;
}

const StationFrontEnd kFrontEnd = {nullptr, OnOpened, OnFailed, OnReceived, OnStarted, OnRecord, OnEnded, OnSkipped};

// The local time follows the tick clock from 2010-02-19 14:05:09; the model names files by it.
void FollowClock(void)
{
    time_t now = 1266588309 + (time_t)((SimNow() - s.startTick) / 1000);
    struct tm t;
    gmtime_r(&now, &t);
    SimSetLocalTime(PlatTime{t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, 0});
    char base[40];
    snprintf(base, sizeof base, "KM-740_%02d%02d%04d_%02d%02d%02d", t.tm_mon + 1, t.tm_mday, t.tm_year + 1900,
             t.tm_hour, t.tm_min, t.tm_sec);
    m.base = base;
}

// ---------------------------------------------------------------- checks

void CheckFile(const std::string& path, int owner)
{
    const std::string* bytes = SimMemoryFile(path.c_str());
    FUZZ_CHECK(bytes != nullptr);
    FUZZ_CHECK(owner < 0 ? bytes->empty() : *bytes == m.sets[owner].content);
}

void CheckReport(const Ended& told, const ModelSet& set)
{
    const StationReport& r = told.report;
    // FUZZ_TRACE=1 prints each report beside the model's when a crash is reproduced.
    if (getenv("FUZZ_TRACE"))
        fprintf(stderr, "report outcome %d/%d end %d/%d records %u/%u bytes %u/%u path %s\n", r.outcome,
                set.outcome, r.end, set.end, r.records, set.records, r.bytes, set.bytes, told.path.c_str());
    FUZZ_CHECK(r.outcome == set.outcome);
    FUZZ_CHECK(r.end == set.end);
    FUZZ_CHECK(r.records == set.records);
    FUZZ_CHECK(r.bytes == set.bytes);
    int errors = 0;
    for (int kind = 0; kind < KINDS; kind++) {
        FUZZ_CHECK(r.lineErrors[kind] == set.errors[kind]);
        errors |= set.errors[kind] != 0;
    }
    FUZZ_CHECK(r.portError == (set.end == END_PORT_FAILED ? 21u : 0u));
    // A box text exactly when the file failed or the port reported errors.
    FUZZ_CHECK(told.text.empty() == (set.outcome != OUTCOME_FILE_FAILED && !errors));
    if (set.name.empty())
        FUZZ_CHECK(told.path.empty());
    else
        FUZZ_CHECK(told.path == (set.sealed ? set.name : set.name + ".part"));
}

// A data set's start as told: its name, its NAME.part, and the lines skipped before it.
void CheckStarted(const ModelSet& set)
{
    size_t at = set.told;
    FUZZ_CHECK(s.started[at] == set.name && s.started[at + 1] == set.name + ".part");
    // The lines skipped before a data set are told before it.
    FUZZ_CHECK(s.skippedAtStart[at / 2] == set.skippedBefore);
}

// After every call into the station: its state, what it told, and the disk against the model.
void Check(void)
{
    FUZZ_CHECK(StationPortOpen() == m.portOpen);
    FUZZ_CHECK(StationInDataSet() == m.inside);
    // A file is open exactly while a data set runs, and only while the port is open.
    FUZZ_CHECK((gDownload.outputFile != nullptr) == (m.inside != 0));
    FUZZ_CHECK(!m.inside || m.portOpen);
    FUZZ_CHECK(gRx.fillCount <= BUFFER);
    // The raw copy is every byte read, unchanged.
    FUZZ_CHECK(s.received.size() == m.delivered);
    FUZZ_CHECK(s.received.compare(s.receivedChecked, std::string::npos, s.sent, s.receivedChecked,
                                  m.delivered - s.receivedChecked) == 0);
    s.receivedChecked = m.delivered;
    FUZZ_CHECK(s.skippedLines == m.skippedLines && s.skippedBytes == m.skippedBytes);

    // The front end heard of every data set the model has, in order; what was checked
    // once stays as it was.
    FUZZ_CHECK(s.started.size() == 2 * m.made);
    FUZZ_CHECK(s.ended.size() == m.ended);
    FUZZ_CHECK(s.records.size() == m.records.size());
    for (; s.checkedSets < m.sets.size(); s.checkedSets++) {
        const ModelSet& set = m.sets[s.checkedSets];
        if (!set.ended && s.checkedSets + 1 == m.sets.size()) break;
        if (!set.name.empty()) CheckStarted(set);
        CheckReport(s.ended[s.checkedSets], set);
    }
    if (!m.sets.empty() && !Current().ended) CheckStarted(Current());
    for (; s.checkedRecords < s.records.size(); s.checkedRecords++)
        FUZZ_CHECK(s.records[s.checkedRecords] == m.records[s.checkedRecords]);

    // The disk holds exactly the model's files: the running one, the ended ones, the
    // names taken here. An ended data set's file no longer changes; only the last may.
    FUZZ_CHECK(SimMemoryFileCount() == m.files.size());
    if (s.diskChecked == SimMemoryChanges() || m.sets.empty() || Current().name.empty()) return;
    s.diskChecked = SimMemoryChanges();
    const ModelSet& set = Current();
    CheckFile(set.sealed ? set.name : set.name + ".part", (int)m.sets.size() - 1);
    if (set.sealed && !m.files.count(set.name + ".part"))
        FUZZ_CHECK(SimMemoryFile((set.name + ".part").c_str()) == nullptr);
}

void CheckAllFiles(void)
{
    for (const auto& file : m.files) CheckFile(file.first, file.second);
}

// ---------------------------------------------------------------- steps

size_t Delivered(void) { return s.sent.size() - SimPortQueued(1); }

void Poll(void)
{
    FollowClock();
    int wasOpen = m.portOpen;
    StationPoll();
    if (wasOpen && s.vanished) {
        m.portOpen = 0;
        if (m.inside) ModelEnd(END_PORT_FAILED);
        ModelDropPartial();
    } else if (wasOpen) {
        ModelReportErrors();
        size_t before = m.delivered;
        ModelFrame(s.sent, Delivered());
        if (m.delivered > before) m.lastByte = SimNow();
        if (m.inside && SimNow() - m.lastByte > (uint32_t)SILENCE_MS) ModelEnd(END_SILENCE);
    }
    Check();
}

// Hands up to `count` of the device's bytes to the port; past the queue's room only when
// asked (the queue drops them and the port reports an overrun).
void Deliver(size_t count, int overflow)
{
    size_t room = SimPortQueueSize(1) - std::min(SimPortQueueSize(1), SimPortQueued(1));
    if (!overflow) count = std::min(count, room);
    count = std::min(count, s.device.size());
    size_t took = SimPortFeed(1, s.device.data(), count);
    if (took < count) m.pendingErrors |= PLAT_CE_RXOVER;
    s.sent.append(s.device, 0, took);
    s.device.erase(0, count);
}

// One thing the device sends, mostly what the rules give meaning to.
void Say(void)
{
    uint8_t kind = Next();
    std::string& d = s.device;
    switch (kind % 16) {
    case 0: case 1: case 2: d += "\x02\r\n"; break;
    case 3: case 4: d += "\x03\r\n"; break;
    case 5: d += (char)Next(); d += "\r\n"; break;                     // a one-byte line
    case 6: d += kind & 0x10 ? "\r" : "\n"; break;                       // a stray CR or LF
    case 7: d += "\r\n"; break;
    case 8: {  // noise from the script itself
        size_t count = std::min<size_t>(Next() % 32, s.size - s.at);
        d.append((const char*)s.data + s.at, count);
        s.at += count;
        break;
    }
    case 9: {  // a line near the receive buffer's size, maybe ending in STX or CR
        size_t length = 2040 + Next() % 16;
        d.append(length, 'L');
        if (kind & 0x10) d += '\x02';
        if (kind & 0x20) d += "\r";
        if (kind & 0x40) d += "\r\n";
        break;
    }
    default: {  // a record, sometimes with a NUL in it
        size_t count = 2 + Next() % 24;
        for (size_t i = 0; i < count; i++) d += (char)('0' + (s.at + i) % 10);
        if (kind & 0x10) d[d.size() - count / 2] = '\0';
        d += "\r\n";
        break;
    }
    }
}

void Step(void)
{
    uint8_t op = Next();
    switch (op % 20) {
    case 0: case 1: case 2: case 3: case 4: case 5:
        Say();
        break;
    case 6: case 7:  // the device's bytes reach the port, then a poll
        Deliver(op & 0x80 ? s.device.size() : (size_t)Next() * 4 + 1, (op & 0x60) == 0x60);
        SimAdvance((uint32_t)Next() * 8);
        Poll();
        break;
    case 8:
        Poll();
        break;
    case 9: {  // a silence just around the limit, counted from the last byte
        int delta = (int)(Next() % 5) - 2;
        uint32_t target = m.lastByte + (uint32_t)(SILENCE_MS + delta);
        if (target - SimNow() < 0x80000000u) SimSetTick(target);
        Poll();
        break;
    }
    case 10: {  // the clock moves on: up to 65 s
        uint32_t ms = (uint32_t)Next() << 8;
        SimAdvance(ms | Next());
        Poll();
        break;
    }
    case 11:  // the adapter is pulled
        SimPortVanish(1);
        s.vanished = 1;
        break;
    case 12:  // it is back, and the station tries again
        if (op & 0x20) {
            SimSetPort(1, SIM_PORT_PRESENT);
            s.vanished = 0;
        }
        if (StationReopen() == 0 && !m.portOpen) {
            FUZZ_CHECK(!s.vanished);
            m.portOpen = 1;
            m.lastByte = SimNow();
        }
        Check();
        break;
    case 13: {
        static const uint32_t bits[] = {PLAT_CE_RXOVER, PLAT_CE_OVERRUN, PLAT_CE_FRAME, PLAT_CE_RXPARITY,
                                        PLAT_CE_BREAK};
        uint32_t raised = bits[Next() % 5];
        SimPortRaiseErrors(1, raised);
        m.pendingErrors |= raised;
        break;
    }
    case 14:
        m.diskFull = Next() & 1;
        SimSetDiskFull(m.diskFull);
        break;
    case 15:
        if (op & 0x20) {
            SimFail(SIM_OP_FILE_SYNC, 0, 1);
            m.syncFails = 1;
        } else {
            SimFail(SIM_OP_FILE_RENAME, 0, 1);
            m.renameFails = 1;
        }
        break;
    case 16:  // someone makes the running data set's own name meanwhile
        if (m.inside && !Current().renameBlocked) {
            SimMemoryFileSet(Current().name.c_str(), "");
            m.files[Current().name] = -1;
            Current().renameBlocked = 1;
        }
        break;
    case 17: {  // names of this second already taken, in either form
        FollowClock();
        int count = Next() % 100;
        for (int number = 1; number <= count; number++) {
            char name[128];
            if (number == 1)
                snprintf(name, sizeof name, "%s\\%s.csv%s", kFolder, m.base.c_str(), op & 0x20 ? ".part" : "");
            else
                snprintf(name, sizeof name, "%s\\%s(%d).csv%s", kFolder, m.base.c_str(), number,
                         op & 0x20 ? ".part" : "");
            if (m.files.count(name)) continue;
            SimMemoryFileSet(name, "");
            m.files[name] = -1;
            // The running data set's own name taken: its rename must fail.
            if (m.inside && Current().name == name) Current().renameBlocked = 1;
        }
        break;
    }
    case 18: {
        uint8_t limit = Next();
        s.readLimit = limit >= 128 ? -1 : limit % 8;
        SimSetReadLimit(s.readLimit);
        break;
    }
    default:  // polls a tenth of a second apart
        for (int i = Next() % 16; i >= 0; i--) {
            SimAdvance(STATION_POLL_MS);
            Poll();
        }
        break;
    }
}

void End(int close)
{
    FollowClock();
    if (close) {
        StationClose();
    } else {
        StationStop();
        if (m.portOpen && s.vanished) {
            if (m.inside) ModelEnd(END_PORT_FAILED);
        } else if (m.portOpen) {
            ModelReportErrors();
            ModelFrame(s.sent, Delivered());
            // Everything queued is read first when the port hands it over freely.
            if (s.readLimit < 0) FUZZ_CHECK(SimPortQueued(1) == 0);
        }
    }
    if (m.inside) ModelEnd(END_STOPPED);
    if (m.portOpen) ModelDropPartial();
    m.portOpen = 0;
    Check();
    FUZZ_CHECK(!CommIsOpen() && gRx.fillCount == 0);
    CheckAllFiles();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    SimSessionReset(9600);
    SimUseMemoryFiles(1);
    SimMemoryFolder(kFolder);
    m = Model{};
    s = Session{};
    s.data = data;
    s.size = size;
    s.readLimit = -1;
    uint8_t setup = Next();
    // Sometimes a tick count about to wrap: silences are measured across it.
    if (setup & 1) SimSetTick(0xFFFFFFFFu - (uint32_t)(setup >> 2) * 1000u);
    s.startTick = SimNow();
    FollowClock();

    StationRequest request = {"\\\\.\\COM1", "COM1", 9600, kFolder};
    FUZZ_CHECK(StationOpen(&request, &kFrontEnd) == 0);
    m.portOpen = 1;
    m.lastByte = SimNow();
    FUZZ_CHECK(s.opened == 1);
    Check();
    while (s.at < s.size) Step();
    End(setup & 2);

    StationClose();
    OutputFileRelease();
    CommClose();
    MessagesFreeAll();
    SimRelease();
    m = Model{};
    s = Session{};
    return 0;
}
