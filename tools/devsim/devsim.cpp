// devsim: plays the measuring device's side of a serial line on a tty path (a socat pty end or a
// real adapter). Sends one data set - STX line, record lines, ETX line, each ended by CR LF -
// paced at the line rate, honouring XON/XOFF, with faults on request to exercise the receiver.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

enum ExitCode { EXIT_OK = 0, EXIT_IO = 1, EXIT_USAGE = 2 };

enum Fault : unsigned {
    FAULT_NO_STX = 1u << 0,
    FAULT_BAD_FIRST = 1u << 1,
    FAULT_ONE_BYTE = 1u << 2,
    FAULT_SILENCE = 1u << 3,
    FAULT_GARBAGE = 1u << 4,
    FAULT_NO_CRLF = 1u << 5,
    FAULT_SPLIT = 1u << 6,
};

struct FaultName {
    const char* name;
    unsigned bit;
};

const FaultName kFaults[] = {
    {"no-stx", FAULT_NO_STX}, {"bad-first", FAULT_BAD_FIRST}, {"one-byte", FAULT_ONE_BYTE},
    {"silence", FAULT_SILENCE}, {"garbage", FAULT_GARBAGE},   {"no-crlf", FAULT_NO_CRLF},
    {"split", FAULT_SPLIT},
};

// The line put where STX belongs by the bad-first fault; any line of 2+ bytes would do.
const char kBadFirstLine[] = "NO STX";

struct Options {
    const char* device = nullptr;
    long baud = 9600;
    bool ignoreXoff = false;
    const char* file = nullptr;
    long count = -1;
    long length = -1;
    bool flood = false;
    long delayMs = 0;
    bool waitOpen = false;
    unsigned faults = 0;
    unsigned long long seed = 1;
    long garbageLen = 64;
    long splitBytes = 3;
    long splitMs = 30;
    bool haveAfterEtx = false;
    std::string afterEtx;
    long holdMs = 1000;
    bool drainAtEnd = false;
    bool quiet = false;
    const char* stampFile = nullptr;
};

enum PieceKind { PIECE_STX, PIECE_RECORD, PIECE_ETX, PIECE_RAW };

// One write unit of the outgoing stream: a whole line with its CR LF, or raw bytes.
struct Piece {
    PieceKind kind;
    std::string bytes;
};

// Progress of the send, shared by the writer, the pacer and the progress reporter.
struct SendState {
    int fd = -1;
    const char* device = "";
    long baud = 9600;
    bool paced = true;
    bool quiet = false;
    double start = 0;
    double anchorTime = 0;
    long long anchorBytes = 0;
    long long bytes = 0;
    long records = 0;
    double nextReport = 0;
};

SendState g_send;

void PrintUsage(FILE* out) {
    fprintf(out,
            "usage: devsim [options] DEVICE\n"
            "Sends one data set to the tty DEVICE as the measuring device would:\n"
            "a line holding only STX (0x02), the record lines, a line holding only ETX (0x03),\n"
            "every line ended by CR LF.\n"
            "\n"
            "records (one source required):\n"
            "  --file PATH        each line of PATH (its LF or CR LF stripped) is one record, sent\n"
            "                     byte-exact; empty lines are sent as empty lines\n"
            "  --count N --length L\n"
            "                     N generated records of exactly L bytes: for record i (from 1)\n"
            "                     the text \"%%06d,\" of i followed by the letters A..Z cycled from\n"
            "                     letter (i-1) mod 26, cut to L bytes\n"
            "line:\n"
            "  --baud RATE        1200|2400|4800|9600|19200|38400 (default 9600), 8N1, raw\n"
            "  --ignore-xoff      do not honour XON/XOFF from the receiver (default: honour)\n"
            "  --flood            write as fast as the line accepts (default: paced at RATE/10\n"
            "                     bytes per second)\n"
            "timing:\n"
            "  --delay-ms N       wait N ms after opening DEVICE before sending (default 0)\n"
            "  --wait-open        if DEVICE does not exist yet, retry for up to 10 s\n"
            "  --hold-ms N        keep DEVICE open N ms after the last byte (default 1000)\n"
            "  --tcdrain          wait for the output queue to drain before holding\n"
            "faults (repeatable, or comma-separated):\n"
            "  --fault no-stx     skip the STX line\n"
            "  --fault bad-first  send the line \"%s\" before the STX line\n"
            "  --fault one-byte   insert the one-byte record \"X\" after the first half of records\n"
            "  --fault silence    send STX and the first half (rounded down) of the records,\n"
            "                     then nothing more; stays open for --hold-ms\n"
            "  --fault garbage    send --garbage-len random bytes (no CR LF pair) before STX\n"
            "  --fault no-crlf    send the last record without its CR LF, and no ETX\n"
            "  --fault split      write every line in pieces of --split-bytes with --split-ms\n"
            "                     pauses between, always cutting between CR and LF\n"
            "  --seed N           seed of the garbage bytes (default 1)\n"
            "  --garbage-len N    number of garbage bytes (default 64)\n"
            "  --split-bytes N    piece size for split (default 3)\n"
            "  --split-ms N       pause between pieces for split (default 30)\n"
            "  --after-etx TEXT   bytes sent after the ETX line; escapes \\r \\n \\t \\\\ \\xHH\n"
            "output:\n"
            "  --stamp-file PATH  write the CLOCK_REALTIME time (s.ns) at which the ETX line\n"
            "                     was written\n"
            "  --quiet            no progress on stderr\n"
            "  --help             this text\n"
            "\n"
            "At the end stdout gets one line \"sent records=N bytes=M\": N counts every line sent\n"
            "other than the STX and ETX lines (injected fault lines included), M every byte\n"
            "written to DEVICE. Exit 0 on success, 1 on I/O errors, 2 on usage errors.\n",
            kBadFirstLine);
}

int UsageError(const char* what, const char* arg) {
    fprintf(stderr, "devsim: %s%s%s\n", what, arg ? ": " : "", arg ? arg : "");
    fprintf(stderr, "devsim: try --help\n");
    return EXIT_USAGE;
}

double MonoNow() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Returns 1 and stores the value when text is a whole decimal number within [lo, hi].
int ParseLong(const char* text, long lo, long hi, long* value) {
    if (text == nullptr || *text == '\0') return 0;
    errno = 0;
    char* end = nullptr;
    long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi) return 0;
    *value = v;
    return 1;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Turns the --after-etx text into bytes; returns 0 on a malformed escape.
int ParseEscapes(const char* text, std::string* out) {
    out->clear();
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p != '\\') {
            out->push_back(*p);
            continue;
        }
        ++p;
        switch (*p) {
        case 'r': out->push_back('\r'); break;
        case 'n': out->push_back('\n'); break;
        case 't': out->push_back('\t'); break;
        case '\\': out->push_back('\\'); break;
        case 'x': {
            int hi = HexDigit(p[1]);
            int lo = hi < 0 ? -1 : HexDigit(p[2]);
            if (lo < 0) return 0;
            out->push_back(static_cast<char>(hi * 16 + lo));
            p += 2;
            break;
        }
        default: return 0;
        }
    }
    return 1;
}

int ParseFaults(const char* text, unsigned* faults) {
    std::string list(text);
    size_t pos = 0;
    while (pos <= list.size()) {
        size_t comma = list.find(',', pos);
        if (comma == std::string::npos) comma = list.size();
        std::string name = list.substr(pos, comma - pos);
        int found = 0;
        for (const FaultName& f : kFaults) {
            if (name == f.name) {
                *faults |= f.bit;
                found = 1;
            }
        }
        if (!found) return 0;
        pos = comma + 1;
    }
    return 1;
}

// Parses argv into opt; returns EXIT_OK, EXIT_USAGE, or -1 when --help was handled.
int ParseArgs(int argc, char** argv, Options* opt) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        const char* value = nullptr;
        std::string inlineValue;
        size_t eq = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            inlineValue = arg.substr(eq + 1);
            arg.resize(eq);
        }
        // Fetches the option's value from "--opt=VALUE" or from the next argument.
        auto next = [&]() -> const char* {
            if (eq != std::string::npos && arg.compare(0, 2, "--") == 0) return inlineValue.c_str();
            if (i + 1 >= argc) return nullptr;
            return argv[++i];
        };
        long n = 0;
        if (arg == "--help" || arg == "-h") {
            PrintUsage(stdout);
            return -1;
        } else if (arg == "--baud") {
            value = next();
            if (!ParseLong(value, 1, 1000000, &n)) return UsageError("bad --baud", value);
            if (n != 1200 && n != 2400 && n != 4800 && n != 9600 && n != 19200 && n != 38400)
                return UsageError("unsupported --baud", value);
            opt->baud = n;
        } else if (arg == "--ignore-xoff") {
            opt->ignoreXoff = true;
        } else if (arg == "--file") {
            value = next();
            if (value == nullptr || *value == '\0') return UsageError("--file needs a path", nullptr);
            opt->file = value;
        } else if (arg == "--count") {
            value = next();
            if (!ParseLong(value, 0, 100000000, &n)) return UsageError("bad --count", value);
            opt->count = n;
        } else if (arg == "--length") {
            value = next();
            if (!ParseLong(value, 0, 1048576, &n)) return UsageError("bad --length", value);
            opt->length = n;
        } else if (arg == "--flood") {
            opt->flood = true;
        } else if (arg == "--delay-ms") {
            value = next();
            if (!ParseLong(value, 0, 86400000, &n)) return UsageError("bad --delay-ms", value);
            opt->delayMs = n;
        } else if (arg == "--wait-open") {
            opt->waitOpen = true;
        } else if (arg == "--hold-ms") {
            value = next();
            if (!ParseLong(value, 0, 86400000, &n)) return UsageError("bad --hold-ms", value);
            opt->holdMs = n;
        } else if (arg == "--tcdrain") {
            opt->drainAtEnd = true;
        } else if (arg == "--fault") {
            value = next();
            if (value == nullptr || !ParseFaults(value, &opt->faults))
                return UsageError("unknown --fault", value);
        } else if (arg == "--seed") {
            value = next();
            if (!ParseLong(value, 0, 2147483647L, &n)) return UsageError("bad --seed", value);
            opt->seed = static_cast<unsigned long long>(n);
        } else if (arg == "--garbage-len") {
            value = next();
            if (!ParseLong(value, 0, 1048576, &n)) return UsageError("bad --garbage-len", value);
            opt->garbageLen = n;
        } else if (arg == "--split-bytes") {
            value = next();
            if (!ParseLong(value, 1, 1048576, &n)) return UsageError("bad --split-bytes", value);
            opt->splitBytes = n;
        } else if (arg == "--split-ms") {
            value = next();
            if (!ParseLong(value, 0, 60000, &n)) return UsageError("bad --split-ms", value);
            opt->splitMs = n;
        } else if (arg == "--after-etx") {
            value = next();
            if (value == nullptr || !ParseEscapes(value, &opt->afterEtx))
                return UsageError("bad --after-etx", value);
            opt->haveAfterEtx = true;
        } else if (arg == "--stamp-file") {
            value = next();
            if (value == nullptr || *value == '\0')
                return UsageError("--stamp-file needs a path", nullptr);
            opt->stampFile = value;
        } else if (arg == "--quiet" || arg == "-q") {
            opt->quiet = true;
        } else if (arg.compare(0, 1, "-") == 0 && arg.size() > 1) {
            return UsageError("unknown option", argv[i]);
        } else if (opt->device == nullptr) {
            opt->device = argv[i];
        } else {
            return UsageError("more than one DEVICE", argv[i]);
        }
    }
    if (opt->device == nullptr) return UsageError("no DEVICE given", nullptr);
    bool generated = opt->count >= 0 || opt->length >= 0;
    if (opt->file != nullptr && generated)
        return UsageError("--file and --count/--length exclude each other", nullptr);
    if (opt->file == nullptr && !generated)
        return UsageError("need --file PATH or --count N --length L", nullptr);
    if (generated && (opt->count < 0 || opt->length < 0))
        return UsageError("--count and --length go together", nullptr);
    return EXIT_OK;
}

std::string GeneratedRecord(long index, long length) {
    char head[32];
    snprintf(head, sizeof head, "%06ld,", index);
    std::string rec(head);
    long letter = (index - 1) % 26;
    while (static_cast<long>(rec.size()) < length) {
        rec.push_back(static_cast<char>('A' + letter));
        letter = (letter + 1) % 26;
    }
    rec.resize(static_cast<size_t>(length));
    return rec;
}

// Reads the records of a file: one per line, LF or CR LF stripped, every other byte kept.
int LoadRecordFile(const char* path, std::vector<std::string>* records) {
    FILE* f = fopen(path, "rb");
    if (f == nullptr) {
        fprintf(stderr, "devsim: cannot open %s: %s\n", path, strerror(errno));
        return EXIT_IO;
    }
    std::string data;
    char buf[65536];
    size_t got = 0;
    while ((got = fread(buf, 1, sizeof buf, f)) > 0) {
        data.append(buf, got);
        if (data.size() > 256u * 1024u * 1024u) {
            fprintf(stderr, "devsim: %s is larger than 256 MiB\n", path);
            fclose(f);
            return EXIT_IO;
        }
    }
    int readError = ferror(f);
    fclose(f);
    if (readError) {
        fprintf(stderr, "devsim: cannot read %s\n", path);
        return EXIT_IO;
    }
    size_t pos = 0;
    while (pos < data.size()) {
        size_t lf = data.find('\n', pos);
        size_t end = lf == std::string::npos ? data.size() : lf;
        size_t cut = end;
        if (lf != std::string::npos && cut > pos && data[cut - 1] == '\r') --cut;
        records->push_back(data.substr(pos, cut - pos));
        pos = lf == std::string::npos ? data.size() : lf + 1;
    }
    return EXIT_OK;
}

// splitmix64: a fixed generator so the same --seed gives the same garbage everywhere.
unsigned long long NextRandom(unsigned long long* state) {
    unsigned long long z = (*state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

std::string Garbage(unsigned long long seed, long length) {
    unsigned long long state = seed;
    std::string out;
    while (static_cast<long>(out.size()) < length) {
        char c = static_cast<char>(NextRandom(&state) & 0xFF);
        // No CR LF pair anywhere, so the receiver cannot find a line inside the garbage.
        if (c == '\n' && !out.empty() && out.back() == '\r') continue;
        out.push_back(c);
    }
    return out;
}

// Lays out the whole outgoing stream, faults applied, as pieces in sending order.
std::vector<Piece> BuildStream(const Options& opt, const std::vector<std::string>& records) {
    std::vector<Piece> stream;
    const std::string crlf = "\r\n";
    if (opt.faults & FAULT_GARBAGE) stream.push_back({PIECE_RAW, Garbage(opt.seed, opt.garbageLen)});
    if (opt.faults & FAULT_BAD_FIRST) stream.push_back({PIECE_RECORD, kBadFirstLine + crlf});
    if (!(opt.faults & FAULT_NO_STX)) stream.push_back({PIECE_STX, "\x02" + crlf});

    size_t total = records.size();
    size_t half = total / 2;
    size_t sendCount = (opt.faults & FAULT_SILENCE) ? half : total;
    for (size_t i = 0; i < sendCount; ++i) {
        if ((opt.faults & FAULT_ONE_BYTE) && i == half) stream.push_back({PIECE_RECORD, "X" + crlf});
        bool last = i + 1 == total;
        if (last && (opt.faults & FAULT_NO_CRLF)) {
            stream.push_back({PIECE_RECORD, records[i]});
        } else {
            stream.push_back({PIECE_RECORD, records[i] + crlf});
        }
    }
    if ((opt.faults & FAULT_ONE_BYTE) && total == 0) stream.push_back({PIECE_RECORD, "X" + crlf});
    if (opt.faults & (FAULT_SILENCE | FAULT_NO_CRLF)) return stream;
    stream.push_back({PIECE_ETX, "\x03" + crlf});
    if (opt.haveAfterEtx && !opt.afterEtx.empty()) stream.push_back({PIECE_RAW, opt.afterEtx});
    return stream;
}

void ReportProgress(bool final) {
    double now = MonoNow();
    if (final) {
        if (!g_send.quiet)
            fprintf(stderr, "devsim: sent %ld records, %lld bytes in %.3f s\n", g_send.records,
                    g_send.bytes, now - g_send.start);
        return;
    }
    if (now < g_send.nextReport) return;
    g_send.nextReport = now + 1.0;
    if (!g_send.quiet)
        fprintf(stderr, "devsim: %ld records, %lld bytes so far\n", g_send.records, g_send.bytes);
}

// Sleeps until the monotonic time t, waking each 200 ms to keep the progress report going.
void SleepUntil(double t) {
    for (;;) {
        double left = t - MonoNow();
        if (left <= 0) return;
        if (left > 0.2) left = 0.2;
        timespec ts{};
        ts.tv_sec = static_cast<time_t>(left);
        ts.tv_nsec = static_cast<long>((left - static_cast<double>(ts.tv_sec)) * 1e9);
        nanosleep(&ts, nullptr);
        ReportProgress(false);
    }
}

// Restarts the pacing clock at the current byte, so time lost to XOFF or to a deliberate pause
// is not made up later by a burst faster than the line rate.
void Reanchor() {
    g_send.anchorTime = MonoNow();
    g_send.anchorBytes = g_send.bytes;
}

// Waits until the line would be ready for the next byte at the configured rate.
void Pace() {
    if (!g_send.paced) return;
    double due = g_send.anchorTime +
                 static_cast<double>(g_send.bytes - g_send.anchorBytes) * 10.0 /
                     static_cast<double>(g_send.baud);
    if (MonoNow() > due + 0.05) {
        Reanchor();
        return;
    }
    SleepUntil(due);
}

// Writes all n bytes. The descriptor is non-blocking so a receiver's XOFF, which stops the tty,
// shows as "not writable" here rather than an endless block without progress reports.
int WriteAll(const char* data, size_t n) {
    size_t done = 0;
    while (done < n) {
        ssize_t w = write(g_send.fd, data + done, n - done);
        if (w > 0) {
            done += static_cast<size_t>(w);
            g_send.bytes += w;
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            fprintf(stderr, "devsim: write to %s: %s\n", g_send.device, strerror(errno));
            return EXIT_IO;
        }
        pollfd pfd{g_send.fd, POLLOUT, 0};
        int r = poll(&pfd, 1, 200);
        if (r < 0 && errno != EINTR) {
            fprintf(stderr, "devsim: poll on %s: %s\n", g_send.device, strerror(errno));
            return EXIT_IO;
        }
        if (r > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) && !(pfd.revents & POLLOUT)) {
            fprintf(stderr, "devsim: %s hung up\n", g_send.device);
            return EXIT_IO;
        }
        ReportProgress(false);
    }
    return EXIT_OK;
}

// Sends bytes at the line rate in chunks of about 10 ms of line time, or all at once in flood.
int SendPaced(const char* data, size_t n) {
    size_t chunk = n;
    if (g_send.paced) {
        chunk = static_cast<size_t>(g_send.baud / 1000);
        if (chunk < 1) chunk = 1;
    }
    size_t done = 0;
    while (done < n) {
        size_t len = n - done < chunk ? n - done : chunk;
        Pace();
        int rc = WriteAll(data + done, len);
        if (rc != EXIT_OK) return rc;
        done += len;
        ReportProgress(false);
    }
    return EXIT_OK;
}

// Sends one piece, cut into small writes with pauses when the split fault is on.
int SendPiece(const Piece& piece, const Options& opt) {
    const std::string& b = piece.bytes;
    if (!(opt.faults & FAULT_SPLIT)) return SendPaced(b.data(), b.size());
    size_t pos = 0;
    while (pos < b.size()) {
        size_t len = static_cast<size_t>(opt.splitBytes);
        if (len > b.size() - pos) len = b.size() - pos;
        // Always cut between CR and LF: the receiver must join a pair split across reads.
        for (size_t k = pos; k < pos + len; ++k) {
            if (b[k] == '\r' && k + 1 < b.size() && b[k + 1] == '\n') {
                len = k + 1 - pos;
                break;
            }
        }
        // Pause before every write but the stream's first, across line ends too, so no two
        // pieces reach the receiver in one read.
        if (g_send.bytes > 0 && opt.splitMs > 0) {
            SleepUntil(MonoNow() + static_cast<double>(opt.splitMs) / 1000.0);
            Reanchor();
        }
        int rc = SendPaced(b.data() + pos, len);
        if (rc != EXIT_OK) return rc;
        pos += len;
    }
    return EXIT_OK;
}

int WriteStamp(const char* path, const timespec& ts) {
    FILE* f = fopen(path, "w");
    if (f == nullptr) {
        fprintf(stderr, "devsim: cannot write %s: %s\n", path, strerror(errno));
        return EXIT_IO;
    }
    fprintf(f, "%lld.%09ld\n", static_cast<long long>(ts.tv_sec), static_cast<long>(ts.tv_nsec));
    if (fclose(f) != 0) {
        fprintf(stderr, "devsim: cannot write %s: %s\n", path, strerror(errno));
        return EXIT_IO;
    }
    return EXIT_OK;
}

speed_t SpeedOf(long baud) {
    switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 19200: return B19200;
    case 38400: return B38400;
    default: return B9600;
    }
}

int OpenDevice(const Options& opt, int* fdOut) {
    // Non-blocking open: a real port without carrier would otherwise block in open().
    const int flags = O_RDWR | O_NOCTTY | O_NONBLOCK;
    int fd = open(opt.device, flags);
    if (fd < 0 && opt.waitOpen && errno == ENOENT) {
        // socat creates its pty links a moment after it starts.
        double giveUp = MonoNow() + 10.0;
        while (fd < 0 && errno == ENOENT && MonoNow() < giveUp) {
            usleep(50 * 1000);
            fd = open(opt.device, flags);
        }
    }
    if (fd < 0) {
        fprintf(stderr, "devsim: cannot open %s: %s\n", opt.device, strerror(errno));
        return EXIT_IO;
    }
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        if (errno != ENOTTY) {
            fprintf(stderr, "devsim: tcgetattr on %s: %s\n", opt.device, strerror(errno));
            close(fd);
            return EXIT_IO;
        }
        // A plain file or pipe: handy for looking at the stream; there is no line to set up.
        if (!opt.quiet) fprintf(stderr, "devsim: %s is not a terminal; line settings skipped\n", opt.device);
        *fdOut = fd;
        return EXIT_OK;
    }
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS);
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    if (!opt.ignoreXoff) tio.c_iflag |= IXON;  // the kernel stops our output on XOFF
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    speed_t speed = SpeedOf(opt.baud);
    if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0 ||
        tcsetattr(fd, TCSANOW, &tio) != 0) {
        fprintf(stderr, "devsim: cannot set line settings on %s: %s\n", opt.device, strerror(errno));
        close(fd);
        return EXIT_IO;
    }
    // An XOFF left from an earlier session would keep the tty stopped; stale input would
    // hold flow-control bytes meant for it.
    tcflush(fd, TCIFLUSH);
    tcflow(fd, TCOON);
    *fdOut = fd;
    return EXIT_OK;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    int rc = ParseArgs(argc, argv, &opt);
    if (rc < 0) return EXIT_OK;
    if (rc != EXIT_OK) return rc;

    std::vector<std::string> records;
    if (opt.file != nullptr) {
        rc = LoadRecordFile(opt.file, &records);
        if (rc != EXIT_OK) return rc;
    } else {
        records.reserve(static_cast<size_t>(opt.count));
        for (long i = 1; i <= opt.count; ++i) records.push_back(GeneratedRecord(i, opt.length));
    }
    std::vector<Piece> stream = BuildStream(opt, records);

    int fd = -1;
    rc = OpenDevice(opt, &fd);
    if (rc != EXIT_OK) return rc;

    g_send.fd = fd;
    g_send.device = opt.device;
    g_send.baud = opt.baud;
    g_send.paced = !opt.flood;
    g_send.quiet = opt.quiet;
    if (opt.delayMs > 0) SleepUntil(MonoNow() + static_cast<double>(opt.delayMs) / 1000.0);
    g_send.start = MonoNow();
    g_send.nextReport = g_send.start + 1.0;
    Reanchor();

    for (const Piece& piece : stream) {
        rc = SendPiece(piece, opt);
        if (rc != EXIT_OK) break;
        if (piece.kind == PIECE_RECORD) ++g_send.records;
        if (piece.kind == PIECE_ETX && opt.stampFile != nullptr) {
            timespec ts{};
            clock_gettime(CLOCK_REALTIME, &ts);
            rc = WriteStamp(opt.stampFile, ts);
            if (rc != EXIT_OK) break;
        }
    }
    if (rc == EXIT_OK && g_send.paced) {
        // The last chunk went out at its due time; the line needs its own time to carry it.
        SleepUntil(g_send.anchorTime + static_cast<double>(g_send.bytes - g_send.anchorBytes) *
                                           10.0 / static_cast<double>(g_send.baud));
    }
    if (rc == EXIT_OK && opt.drainAtEnd && tcdrain(fd) != 0 && errno != ENOTTY) {
        fprintf(stderr, "devsim: tcdrain on %s: %s\n", opt.device, strerror(errno));
        rc = EXIT_IO;
    }
    ReportProgress(true);
    printf("sent records=%ld bytes=%lld\n", g_send.records, g_send.bytes);
    fflush(stdout);
    // Hold the line open so the receiver reads the tail before the device goes away.
    if (rc == EXIT_OK && opt.holdMs > 0) SleepUntil(MonoNow() + static_cast<double>(opt.holdMs) / 1000.0);
    close(fd);
    return rc;
}
