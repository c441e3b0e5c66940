// Fuzz target: the receive buffer and its CR LF framing against a reference framer kept here.
// The input decides the bytes queued at the port, how many each read may take, and when the
// lines are taken out; every line must come out whole and in order, and a buffer that fills
// without a line end must take nothing more.
#include <stdint.h>
#include <string.h>
#include <algorithm>
#include <string>
#include "platform/sim/sim.h"
#include "serial/comm_port.h"
#include "serial/rx_buffer.h"
#include "tests/fuzz/fuzz_common.h"

namespace {

struct Reference {
    std::string queued;   // sent to the port; the bytes from queuedAt on still wait there
    size_t queuedAt;
    std::string held;     // in the receive buffer
    int limit;            // bytes per read, -1 = no limit
};

// More waiting bytes than this show nothing new (the receive buffer takes 2048 at most) and
// only slow the run down.
enum { QUEUE_CAP = 1 << 16 };

void Send(Reference& ref, const std::string& bytes)
{
    if (ref.queued.size() - ref.queuedAt > QUEUE_CAP) return;
    // A full driver queue (1024 bytes) drops the rest.
    size_t took = SimPortFeed(1, bytes.data(), bytes.size());
    ref.queued += bytes.substr(0, took);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CommClose();
    SimReset();
    RxReset();
    SimSetPort(1, SIM_PORT_PRESENT);
    if (CommStart(1, 9600, 1) != COMM_OK) abort();
    Reference ref{"", 0, "", -1};

    size_t at = 0;
    auto next = [&]() -> uint8_t { return at < size ? data[at++] : 0; };
    while (at < size) {
        uint8_t op = next();
        switch (op % 5) {
        case 0: {  // the device sends a piece, with CR and LF made likely
            size_t count = next() % 80 + 1;
            std::string bytes;
            while (count-- > 0 && at < size) {
                uint8_t byte = next();
                bytes += byte >= 0xF0 ? '\r' : byte >= 0xE0 ? '\n' : (char)byte;
            }
            Send(ref, bytes);
            break;
        }
        case 1: {  // a long run without line ends
            size_t count = (size_t)next() * 16;
            Send(ref, std::string(count, 'x'));
            break;
        }
        case 2: {
            uint8_t limit = next();
            ref.limit = limit == 255 ? -1 : limit % 40;
            SimSetReadLimit(ref.limit);
            break;
        }
        case 3: {
            int result = RxFill();
            size_t take = std::min(ref.queued.size() - ref.queuedAt, RX_BUFFER_SIZE - ref.held.size());
            if (ref.limit >= 0) take = std::min(take, (size_t)ref.limit);
            if (take == 0) {
                FUZZ_CHECK(result != COMM_OK);
            } else {
                FUZZ_CHECK(result == COMM_OK);
                ref.held.append(ref.queued, ref.queuedAt, take);
                ref.queuedAt += take;
            }
            break;
        }
        default: {
            uint32_t length = RxNextLine();
            size_t end = ref.held.find("\r\n");
            if (end == std::string::npos) {
                FUZZ_CHECK(length == 0);
            } else {
                FUZZ_CHECK(length == end);
                FUZZ_CHECK(memcmp(RxLine(), ref.held.data(), end) == 0);
                FUZZ_CHECK(RxLine()[end] == '\0');
                ref.held.erase(0, end + 2);
            }
            break;
        }
        }
        FUZZ_CHECK(gRx.fillCount == ref.held.size());
        FUZZ_CHECK(memcmp(gRx.buffer, ref.held.data(), ref.held.size()) == 0);
        FUZZ_CHECK(SimPortQueued(1) == ref.queued.size() - ref.queuedAt);
    }
    CommClose();
    SimRelease();
    return 0;
}
