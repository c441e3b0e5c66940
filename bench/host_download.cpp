// host_download: one whole download of N generated records of L bytes through the download
// logic on the simulated platform, for callgrind to count instructions per received byte.
// Usage: host_download COUNT LENGTH OUTDIR. Prints what it fed and what the file holds.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <dirent.h>
#include <string>
#include "bench/devsim_record.h"
#include "download/download.h"
#include "download/output_file.h"
#include "platform/sim/sim.h"
#include "records/ids.h"
#include "records/messages.h"
#include "records/settings.h"
#include "records/status.h"
#include "serial/comm_port.h"
#include "serial/rx_buffer.h"
#include "tests/support/sim_session.h"

namespace {

// The only call callgrind collects (--toggle-collect), so the harness's own work - building
// the stream, feeding the simulated port - stays out of the count.
__attribute__((noinline)) int BenchTick(PlatWindow target, unsigned id)
{
    return DownloadOnTimer(target, id);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: host_download COUNT LENGTH OUTDIR\n");
        return 2;
    }
    long count = atol(argv[1]);
    long length = atol(argv[2]);
    std::string dir = argv[3];
    if (count < 0 || length < 2) {
        fprintf(stderr, "host_download: need COUNT >= 0 and LENGTH >= 2\n");
        return 2;
    }
    mkdir(dir.c_str(), 0755);

    SimSessionReset(38400);
    SimSessionSetFolders(dir.c_str(), dir.c_str());
    PlatWindow window = SimSessionDialog();

    std::string stream;
    std::string expected;
    DevsimDataSet(count, length, &stream, &expected);

    DownloadToggle(window);
    // Feeds as a flow-controlled line would: the driver's queue (1024 bytes, as the program
    // asks) is topped up before every tick, so every read finds a full queue and none drops.
    size_t fed = 0;
    long ticks = 0;
    PlatWindow target = nullptr;
    unsigned id = 0;
    while (SimNextTimer(&target, &id)) {
        if (gDownload.phase == PHASE_RECEIVE) {
            size_t queued = SimPortQueued(1);
            size_t room = SimPortQueueSize(1) - queued;
            if (room > 0 && fed < stream.size()) {
                size_t take = std::min(stream.size() - fed, room);
                SimPortFeed(1, stream.data() + fed, take);
                fed += take;
            }
        }
        BenchTick(target, id);
        ++ticks;
        SimClearPaintLog();
    }

    std::string path = dir + "/";
    std::string found;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            if (strncmp(e->d_name, "KM-740_", 7) == 0) found = e->d_name;
        }
        closedir(d);
    }
    std::string content;
    if (FILE* f = fopen((path + found).c_str(), "rb")) {
        char buf[65536];
        size_t got;
        while ((got = fread(buf, 1, sizeof buf, f)) > 0) content.append(buf, got);
        fclose(f);
        remove((path + found).c_str());
    }
    int same = !found.empty() && content == expected;
    printf("records=%ld length=%ld bytes_fed=%zu ticks=%ld file_bytes=%zu status=%d same=%s\n",
           count, length, fed, ticks, content.size(), gStatus.statusIndex, same ? "yes" : "NO");
    return same && gStatus.statusIndex == STATUS_COMPLETE ? 0 : 1;
}
