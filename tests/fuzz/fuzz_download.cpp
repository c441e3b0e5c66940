// Fuzz target: whole downloads on the simulated platform. The input is a script: what the
// device sends and in what pieces the port hands it over, how far the clock moves, when the
// user presses Start/Cancel or closes the window, and which system calls fail. After every
// step the window, the port, the file and the status are checked against a reference model
// of the device's line protocol kept here, apart from the program's own framing.
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <algorithm>
#include <string>
#include <vector>
#include "app/handlers.h"
#include "download/download.h"
#include "download/output_file.h"
#include "platform/sim/sim.h"
#include "records/ids.h"
#include "records/messages.h"
#include "records/settings.h"
#include "records/status.h"
#include "serial/comm_port.h"
#include "serial/rx_buffer.h"
#include "tests/fuzz/fuzz_common.h"
#include "tests/support/sim_session.h"

namespace {

// ---------------------------------------------------------------- reference model

enum ModelEnd { MODEL_OPEN = 0, MODEL_COMPLETE = 1, MODEL_FAILED = 2 };

struct ModelResult {
    std::vector<std::string> records;   // in order, each as written (text up to a NUL)
    int end;                             // ModelEnd
};

// The parse of the bytes delivered so far. They only grow until the next download's purge,
// so each check parses only the lines completed since the last one.
struct ModelParser {
    ModelResult result;
    size_t start;            // where the next line begins
    size_t scanned;          // no CR LF begins between start and here
    int inside;              // the STX line was seen
    int stopped;             // nothing after this point can mean anything
};

ModelParser gModel;

void ModelReset(void) { gModel = ModelParser{{{}, MODEL_OPEN}, 0, 0, 0, 0}; }

// Where the first CR LF at or after `from` begins within the first `length` bytes; npos
// when none has arrived whole.
size_t FindLineEnd(const std::string& bytes, size_t from, size_t length)
{
    const char* data = bytes.data();
    while (from + 1 < length) {
        const char* cr = static_cast<const char*>(memchr(data + from, '\r', length - 1 - from));
        if (cr == nullptr) break;
        size_t at = (size_t)(cr - data);
        if (data[at + 1] == '\n') return at;
        from = at + 1;
    }
    return std::string::npos;
}

// What the device's bytes mean: CR LF lines; a line is text up to its first NUL; empty lines
// skipped; first the lone STX, then records of two or more bytes, until a one-byte line
// (ETX: complete, else failed). A line of more than 2046 bytes cannot pass a 2048-byte
// receive buffer with its CR LF: nothing after it is ever seen. `bytes` holds the first
// `length` bytes delivered, and extends what the previous call with the same parser saw.
const ModelResult& ModelParse(ModelParser& m, const std::string& bytes, size_t length)
{
    while (!m.stopped) {
        // A check comes after every step, mostly with no new line: the delivered bytes
        // already scanned are not scanned again (a CR at the very end may still get its LF).
        size_t end = FindLineEnd(bytes, std::max(m.start, m.scanned), length);
        if (end == std::string::npos) {
            if (length > 0) m.scanned = std::max(m.scanned, length - 1);
            break;
        }
        if (end - m.start > 2046) {
            m.stopped = 1;
            break;
        }
        const char* raw = bytes.data() + m.start;
        size_t textLength = strnlen(raw, end - m.start);
        m.start = end + 2;
        if (textLength == 0) continue;
        if (!m.inside) {
            if (textLength != 1 || raw[0] != '\x02') {
                m.result.end = MODEL_FAILED;
                m.stopped = 1;
                break;
            }
            m.inside = 1;
            continue;
        }
        if (textLength == 1) {
            m.result.end = raw[0] == '\x03' ? MODEL_COMPLETE : MODEL_FAILED;
            m.stopped = 1;
            break;
        }
        m.result.records.emplace_back(raw, textLength);
    }
    return m.result;
}

// ---------------------------------------------------------------- the session

struct Session {
    const uint8_t* data;
    size_t size;
    size_t at;
    PlatWindow window;
    int destroyed;
    std::string sent;        // bytes fed to port 1 that the running download may have read
    std::string offered;     // the same, with the bytes the full driver queue dropped
    int portWasOpen;
    int active;              // a download holds an output file
    std::string path;        // its path
    size_t boxesAtStart;
    int fileChecked;         // the file was found to hold checkedRecords of the model's
    size_t checkedRecords;   // records, and the memory disk has not changed since
    unsigned long checkedAt;
    uint32_t startTick;      // the tick clock at the session's start
    uint32_t shownSecond;    // the second since then that the local time shows
};

Session s;

uint8_t Next(void) { return s.at < s.size ? s.data[s.at++] : 0; }
int More(void) { return s.at < s.size; }

// The driver's queue may be full: the bytes it drops never reach the program.
void Feed(const std::string& bytes)
{
    size_t took = SimPortFeed(1, bytes.data(), bytes.size());
    s.sent.append(bytes, 0, took);
    s.offered += bytes;
}

// How many of the sent bytes the program has read from the port.
size_t Delivered(void)
{
    size_t queued = SimPortQueued(1);
    return s.sent.size() - std::min(queued, s.sent.size());
}

const char kDesktop[] = "C:\\Users\\fuzz\\Desktop";
const char kDocuments[] = "C:\\Users\\fuzz\\Documents";

// The output file as far as it reached the system.
const std::string& FileBytes(const std::string& path)
{
    const std::string* bytes = SimMemoryFile(path.c_str());
    FUZZ_CHECK(bytes != nullptr);
    return *bytes;
}

// The controls' records, looked up once a session: they live as long as the dialog.
const SimWindowInfo* gControls[4];  // port, baud, store list, Start button

void FindControls(void)
{
    const int ids[4] = {IDC_PORT, IDC_BAUD, IDC_STORE, IDC_START};
    for (int i = 0; i < 4; i++) gControls[i] = SimWindow(PlatGetDlgItem(s.window, ids[i]));
}

int ListsEnabled(int enabled)
{
    for (int i = 0; i < 3; i++)
        if ((gControls[i]->enabled != 0) != (enabled != 0)) return 0;
    return 1;
}

// The button's caption, checked after every tick: lengths first, then the bytes of an
// equal-length caption (the library's compare measured the literal on every call).
template <size_t N>
int CaptionIs(const char (&want)[N])
{
    const std::string& text = gControls[3]->text;
    return text.size() == N - 1 && memcmp(text.data(), want, N - 1) == 0;
}

// The status area's record field ends inside its bounds.
int RecordTerminated(void)
{
    for (size_t i = 0; i < LAST_RECORD_SIZE; i++)
        if (gStatus.lastRecord[i] == '\0') return 1;
    return 0;
}

// The local time follows the tick clock, from the machine's default 2010-02-19 14:05:09.
// Standing still, it gave every download of an input the same base name, so the k-th
// download tested k-1 taken names first: most of a deep corpus's time went there.
void FollowClock(void)
{
    // 2010-02-19 14:05:09 UTC in seconds since 1970.
    const time_t kStart = 1266588309;
    uint32_t elapsed = SimNow() - s.startTick;
    if (elapsed / 1000 == s.shownSecond) return;
    s.shownSecond = elapsed / 1000;
    time_t now = kStart + (time_t)s.shownSecond;
    struct tm local;
    gmtime_r(&now, &local);
    SimSetLocalTime(PlatTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                             local.tm_min, local.tm_sec, 0});
}

// Names of the first second already taken in the destination, so that the numbered
// candidates, and all 99 taken, are reached by one download rather than a hundred.
void TakeNames(int count)
{
    char base[BASE_NAME_SIZE];
    MakeBaseName(base);
    for (int number = 1; number <= count; number++) {
        char path[PLAT_MAX_PATH];
        if (number == 1)
            snprintf(path, sizeof path, "%s\\%s.csv", kDesktop, base);
        else
            snprintf(path, sizeof path, "%s\\%s(%d).csv", kDesktop, base, number);
        SimMemoryFileSet(path, "");
    }
}

void NewSession(const uint8_t* data, size_t size)
{
    SimSessionReset(9600);
    // Files in memory: thousands of downloads a second, each file read back after every step.
    SimUseMemoryFiles(1);
    SimMemoryFolder(kDesktop);
    SimMemoryFolder(kDocuments);
    SimSessionSetFolders(kDesktop, kDocuments);

    s = Session{data, size, 0, nullptr, 0, "", "", 0, 0, "", 0, 0, 0, 0, 0, 0};
    ModelReset();
    s.window = SimSessionDialog();
    // The first paint's layout gives the button its catalogue caption.
    PlatSetWindowText(PlatGetDlgItem(s.window, IDC_START), "Start");
    FindControls();

    // The first byte sets the machine: a code page with lead bytes, and either a tick about
    // to wrap or names already taken (63: all of them).
    uint8_t setup = Next();
    if (setup & 1) SimSetCodePage(932);
    if (setup & 2)
        SimSetTick(0xFFFFFFFFu - (uint32_t)(setup >> 2) * 1000u);
    else
        TakeNames((setup >> 2) == 63 ? OUTPUT_LAST_CANDIDATE : setup >> 2);
    s.startTick = SimNow();
}

// ---------------------------------------------------------------- invariants


// The status area may cut a record between characters, never inside one.
void CheckShown(const std::string& record)
{
    size_t shown = strnlen(gStatus.lastRecord, LAST_RECORD_SIZE);
    size_t want = std::min(record.size(), (size_t)LAST_RECORD_SIZE - 1);
    FUZZ_CHECK(shown <= record.size() && memcmp(record.data(), gStatus.lastRecord, shown) == 0);
    FUZZ_CHECK(shown == want || (shown + 1 == want && shown > 0));
}

// How many of the model's records the file holds; aborts unless the file is exactly the
// first few of them, each with CR LF, and nothing else. The model's records only grow, so
// a file unchanged since it was last found good still is.
size_t CheckFile(const ModelResult& model)
{
    if (s.fileChecked && s.checkedAt == SimMemoryChanges()) return s.checkedRecords;
    const std::string& content = FileBytes(s.path);
    size_t at = 0;
    size_t count = 0;
    while (at < content.size()) {
        FUZZ_CHECK(count < model.records.size());
        const std::string& record = model.records[count];
        FUZZ_CHECK(content.size() - at >= record.size() + 2);
        FUZZ_CHECK(content.compare(at, record.size(), record) == 0);
        FUZZ_CHECK(content[at + record.size()] == '\r' && content[at + record.size() + 1] == '\n');
        at += record.size() + 2;
        count++;
    }
    s.fileChecked = 1;
    s.checkedRecords = count;
    s.checkedAt = SimMemoryChanges();
    return count;
}

int NewBoxSays(const char* words)
{
    const std::vector<SimMessageBox>& boxes = SimMessageBoxes();
    for (size_t i = s.boxesAtStart; i < boxes.size(); i++)
        if (boxes[i].text.find(words) != std::string::npos) return 1;
    return 0;
}

// The download has ended: the status, the boxes and the file against the model. Apart from
// Check, whose every call would otherwise set up this rare branch's locals.
void CheckEnded(const ModelResult& model, int wasCancel)
{
    if (wasCancel) {
        FUZZ_CHECK(gStatus.statusIndex == STATUS_READY);
        if (!NewBoxSays("could not be deleted")) FUZZ_CHECK(SimMemoryFile(s.path.c_str()) == nullptr);
        return;
    }
    size_t written = CheckFile(model);
    if (s.destroyed) return;
    FUZZ_CHECK(gStatus.lastRecord[0] == '\0');
    int told = SimMessageBoxes().size() > s.boxesAtStart;
    if (gStatus.statusIndex == STATUS_COMPLETE) {
        // Complete only with the whole data set in the file, and never when the driver
        // dropped bytes of it: the data set the device sent is the one the program read.
        FUZZ_CHECK(model.end == MODEL_COMPLETE);
        FUZZ_CHECK(written == model.records.size());
        FUZZ_CHECK(!told);
        ModelParser whole = ModelParser{{{}, MODEL_OPEN}, 0, 0, 0, 0};
        const ModelResult& sentModel = ModelParse(whole, s.offered, s.offered.size());
        FUZZ_CHECK(sentModel.end == MODEL_COMPLETE && sentModel.records == model.records);
        return;
    }
    FUZZ_CHECK(gStatus.statusIndex == STATUS_TIMEOUT);
    if (!told) {
        // A silent or wrong device: every record received before the end is in the file, and
        // a data set that had already arrived whole is not reported as failed.
        FUZZ_CHECK(model.end != MODEL_COMPLETE);
        FUZZ_CHECK(written == model.records.size());
    }
}

// wasCancel: the step was a press of the button while the port was open.
void Check(int wasCancel)
{
    FUZZ_CHECK(RecordTerminated());
    FUZZ_CHECK(gStatus.statusIndex >= STATUS_READY && gStatus.statusIndex <= STATUS_TIMEOUT);
    FUZZ_CHECK(gDownload.phase >= PHASE_IDLE && gDownload.phase <= PHASE_FINISH);

    int open = CommIsOpen();
    // The port and the file are open together, exactly while the download receives.
    int receiving = gDownload.phase == PHASE_RECEIVE || gDownload.phase == PHASE_FINISH;
    if (!s.destroyed) {
        FUZZ_CHECK(open == receiving);
        FUZZ_CHECK((gDownload.outputFile != nullptr) == receiving);
        if (gDownload.phase == PHASE_IDLE) {
            FUZZ_CHECK(ListsEnabled(1));
            FUZZ_CHECK(CaptionIs("Start"));
            FUZZ_CHECK(gDownload.timerId == 0);
        } else {
            // Never standing still: a running download always has its next step due.
            FUZZ_CHECK(gDownload.timerId != 0);
            FUZZ_CHECK(!SimTimers().empty());
            FUZZ_CHECK(ListsEnabled(0));
            FUZZ_CHECK(CaptionIs("Cancel"));
        }
    }

    // A download began: whatever it reads from now on comes after the purge.
    if (open && !s.portWasOpen) {
        size_t queued = SimPortQueued(1);
        s.sent.erase(0, s.sent.size() - std::min(queued, s.sent.size()));
        s.offered = s.sent;
        ModelReset();
        s.fileChecked = 0;
    }
    s.portWasOpen = open;

    if (!s.active && gDownload.outputFile != nullptr) {
        s.active = 1;
        s.path = gDownload.outputPath;
        s.fileChecked = 0;
        s.boxesAtStart = SimMessageBoxes().size();
        FUZZ_CHECK(FileBytes(s.path).empty());
    }
    if (!s.active) return;

    const ModelResult& model = ModelParse(gModel, s.sent, Delivered());
    if (gDownload.outputFile != nullptr && !s.destroyed) {
        size_t written = CheckFile(model);
        if (written > 0) CheckShown(model.records[written - 1]);
        return;
    }

    // The download has ended.
    s.active = 0;
    CheckEnded(model, wasCancel);
}

int Tick(void)
{
    PlatWindow target = nullptr;
    unsigned id = 0;
    if (!SimNextTimer(&target, &id)) return 0;
    FollowClock();
    DownloadOnTimer(target, id);
    Check(0);
    return 1;
}

const SimOp kFaults[] = {
    SIM_OP_READ_FILE,  SIM_OP_SET_TIMER,   SIM_OP_FILE_REMOVE,        SIM_OP_CLOSE_HANDLE,
    SIM_OP_FILE_CREATE, SIM_OP_COMM_OPEN,  SIM_OP_CLEAR_COMM_ERROR,
};

void Step(void)
{
    switch (Next() % 15) {
    case 0: {  // raw bytes from the device
        size_t count = (size_t)Next() + 1;
        count = std::min(count, s.size - s.at);
        Feed(std::string((const char*)s.data + s.at, count));
        s.at += count;
        break;
    }
    case 1: {  // one line from the device
        size_t count = Next() % 64;
        count = std::min(count, s.size - s.at);
        std::string bytes;
        bytes.reserve(count + 2);
        bytes.append((const char*)s.data + s.at, count).append("\r\n");
        s.at += count;
        Feed(bytes);
        break;
    }
    case 2:
        Feed("\x02\r\n");
        break;
    case 3:
        Feed("\x03\r\n");
        break;
    case 4: {  // a long line, near the receive buffer's size
        size_t length = 1900 + (size_t)Next() * 2;
        int ended = Next() & 1;
        std::string bytes;
        bytes.reserve(length + 2);
        bytes.assign(length, 'L');
        if (ended) bytes.append("\r\n");
        Feed(bytes);
        break;
    }
    case 5: {
        uint8_t limit = Next();
        SimSetReadLimit(limit == 255 ? -1 : limit % 32);
        break;
    }
    case 6: {  // the clock moves on without a tick: a busy or suspended machine
        uint32_t ms = (uint32_t)Next() << 8;
        ms |= Next();
        SimAdvance(ms);
        break;
    }
    case 7:
        Tick();
        break;
    case 8: {
        int ticks = Next() % 64 + 1;
        while (ticks-- > 0 && Tick()) {
        }
        break;
    }
    case 9: {
        int cancel = CommIsOpen();
        DownloadToggle(s.window);
        Check(cancel);
        break;
    }
    case 10: {
        SimOp op = kFaults[Next() % (sizeof kFaults / sizeof kFaults[0])];
        int skip = Next() % 8;
        int count = Next() % 4 + 1;
        SimFail(op, skip, count);
        break;
    }
    case 11:
        SimSetDiskFull(Next() & 1);
        break;
    case 12:
        if (Next() & 1)
            SimPortVanish(1);
        else
            SimSetPort(1, SIM_PORT_PRESENT);
        break;
    case 13:
        OnDestroy(s.window);
        s.destroyed = 1;
        Check(0);
        break;
    default:  // several ticks with the device quiet, up to past the time-out
        for (int i = 0; i < 330 && Tick(); i++) {
        }
        break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    NewSession(data, size);
    Check(0);
    while (More() && !s.destroyed) Step();
    // Let whatever runs come to its end: the port hands over the rest at once, so at most
    // a few polls per 2048 queued bytes, the time-out and the finish step remain.
    SimSetReadLimit(-1);
    for (int i = 0; i < 5000 && !s.destroyed && Tick(); i++) {
    }
    if (!s.destroyed) {
        FUZZ_CHECK(gDownload.phase == PHASE_IDLE);
        OnDestroy(s.window);
        s.destroyed = 1;
        Check(0);
    }
    // Everything this run took is given back, so libFuzzer sees no leak to chase.
    OutputFileRelease();
    CommClose();
    MessagesFreeAll();
    SimRelease();
    std::string().swap(s.sent);
    std::string().swap(s.path);
    gModel = ModelParser{};
    return 0;
}
