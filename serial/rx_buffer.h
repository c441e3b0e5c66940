// Receive buffer and CR LF line framing over the serial link.
#pragma once
#include <stdint.h>

enum { RX_BUFFER_SIZE = 2048, RX_LINE_SIZE = 2048 };

struct RxState {
    unsigned char buffer[RX_BUFFER_SIZE];
    uint32_t fillCount;
    char line[RX_LINE_SIZE];
};

extern RxState gRx;

void RxReset(void);
int RxFill(void);
uint32_t RxNextLine(void);
char* RxLine(void);
void RxClearLine(void);
