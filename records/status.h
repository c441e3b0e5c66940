// What the status area shows: set by the download control and the layout, drawn by the painter.
#pragma once
#include "platform/types.h"

enum StatusIndex {
    STATUS_READY = 0,
    STATUS_RECEIVING = 1,
    STATUS_COMPLETE = 2,
    STATUS_TIMEOUT = 3
};

enum { LAST_RECORD_SIZE = 128 };

struct StatusDisplay {
    int statusIndex;
    char lastRecord[LAST_RECORD_SIZE];
    PlatRect statusRect;
};

extern StatusDisplay gStatus;
