// serialcheck: runs the program's own serial link (CommStart, CommProbe, RxFill, RxNextLine)
// against a real COM port, for the Wine tests. One command per run; output is one line per fact.
// Usage: first | probe N | start N BAUD [FLOW] | read N BAUD COUNT TIMEOUT_MS [FLOW]
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "serial/comm_port.h"
#include "serial/rx_buffer.h"

static int Usage()
{
    std::fprintf(stderr,
                 "usage: serialcheck first | probe N | start N BAUD [FLOW]"
                 " | read N BAUD COUNT TIMEOUT_MS [FLOW]\n");
    return 2;
}

// Milliseconds with sub-millisecond resolution: GetTickCount steps in 10-16 ms on Windows.
static double NowMs()
{
    LARGE_INTEGER freq, count;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&count);
    return (double)count.QuadPart * 1000.0 / (double)freq.QuadPart;
}

static void PrintLine(const char* line, uint32_t length)
{
    std::printf("LINE %u ", (unsigned)length);
    for (uint32_t i = 0; i < length; i++) std::printf("%02x", (unsigned char)line[i]);
    std::printf("\n");
    std::fflush(stdout);
}

// Polls as the download timer does: every complete line out, then one read, then a pause.
static int ReadLines(int port, int baud, int flow, int count, DWORD timeoutMs)
{
    int result = CommStart(port, baud, flow);
    std::printf("START %d\n", result);
    std::fflush(stdout);  // the test writes the device's bytes only after this line
    if (result != COMM_OK) return 1;

    int lines = 0;
    int lastFill = -1;
    DWORD start = GetTickCount();
    while (lines < count && GetTickCount() - start < timeoutMs) {
        for (;;) {
            uint32_t before = gRx.fillCount;
            uint32_t length = RxNextLine();
            if (gRx.fillCount == before) break;  // an empty line also gives 0: look at the count
            PrintLine(RxLine(), length);
            RxClearLine();
            lines++;
        }
        if (lines >= count) break;
        int fill = RxFill();
        // Failures are reported once per change, so a vanished port does not flood the output.
        if (fill != COMM_OK && fill != COMM_NO_DATA && fill != lastFill) {
            std::printf("FILL %d\n", fill);
            std::fflush(stdout);
        }
        lastFill = fill;
        if (fill != COMM_OK) Sleep(20);
    }
    std::printf("END %d BUFFERED %u\n", lines, (unsigned)gRx.fillCount);
    CommClose();
    std::printf("OPEN %d\n", CommIsOpen());
    std::fflush(stdout);
    return lines >= count ? 0 : 1;
}

int main(int argc, char** argv)
{
    if (argc < 2) return Usage();
    const char* cmd = argv[1];
    if (std::strcmp(cmd, "first") == 0 && argc == 2) {
        double t = NowMs();
        int first = CommFirstAvailable();
        std::printf("FIRST %d MS %.3f\n", first, NowMs() - t);
        return 0;
    }
    if (std::strcmp(cmd, "probe") == 0 && argc == 3) {
        double t = NowMs();
        int usable = CommProbe(std::atoi(argv[2]));
        std::printf("PROBE %d MS %.3f\n", usable, NowMs() - t);
        return 0;
    }
    if (std::strcmp(cmd, "start") == 0 && (argc == 4 || argc == 5)) {
        int flow = argc == 5 ? std::atoi(argv[4]) : 1;
        double t = NowMs();
        int result = CommStart(std::atoi(argv[2]), std::atoi(argv[3]), flow);
        double ms = NowMs() - t;
        std::printf("START %d MS %.3f OPEN %d\n", result, ms, CommIsOpen());
        CommClose();
        return 0;
    }
    if (std::strcmp(cmd, "read") == 0 && (argc == 6 || argc == 7)) {
        int flow = argc == 7 ? std::atoi(argv[6]) : 1;
        return ReadLines(std::atoi(argv[2]), std::atoi(argv[3]), flow, std::atoi(argv[4]),
                         (DWORD)std::strtoul(argv[5], NULL, 10));
    }
    return Usage();
}
