// Receive buffer and CR LF framing: bytes from the port collect in a fixed buffer and leave
// it one complete line at a time, without the CR LF, through a fixed line buffer.
#include "serial/rx_buffer.h"

#include <string.h>

#include "serial/comm_port.h"

RxState gRx;

void RxReset(void)
{
    memset(gRx.buffer, 0, sizeof(gRx.buffer));
    memset(gRx.line, 0, sizeof(gRx.line));
    gRx.fillCount = 0;
}

int RxFill(void)
{
    uint32_t room = RX_BUFFER_SIZE - gRx.fillCount;
    uint32_t got = 0;
    // A full buffer asks for 0 bytes, which CommRead answers with COMM_NO_DATA.
    int result = CommRead(gRx.buffer + gRx.fillCount, room, &got);
    if (result != COMM_OK) return result;
    if (got == 0) return COMM_NO_BLOCKS;
    // A driver never hands back more than asked; trust it no further than the buffer's end.
    if (got > room) got = room;
    gRx.fillCount += got;
    return COMM_OK;
}

uint32_t RxNextLine(void)
{
    uint32_t fill = gRx.fillCount;
    if (fill < 2) return 0;
    // The first CR LF pair: memchr finds each CR before the last byte (a CR there has no LF
    // yet), and the byte after it decides. A buffer left full without a line is scanned on
    // every poll, so the scan goes at memchr's pace, not a byte at a time.
    const unsigned char* from = gRx.buffer;
    const unsigned char* last = gRx.buffer + fill - 1;
    uint32_t i = fill;
    while (from < last) {
        const unsigned char* cr = static_cast<const unsigned char*>(memchr(from, '\r', (size_t)(last - from)));
        if (cr == nullptr) break;
        if (cr[1] == '\n') {
            i = (uint32_t)(cr - gRx.buffer);
            break;
        }
        from = cr + 1;
    }
    if (i + 1 >= fill) return 0;

    // i <= RX_BUFFER_SIZE - 2, so the line and its NUL always fit the line buffer.
    memcpy(gRx.line, gRx.buffer, i);
    gRx.line[i] = '\0';
    uint32_t used = i + 2;
    if (used == fill) {
        gRx.fillCount = 0;
    } else {
        memmove(gRx.buffer, gRx.buffer + used, fill - used);
        gRx.fillCount = fill - used;
    }
    return i;
}

char* RxLine(void) { return gRx.line; }

void RxClearLine(void) { gRx.line[0] = '\0'; }
