// One-time layout from measured text, and painting of labels, status and last record.
#pragma once
#include "platform/types.h"

struct PlatPoint {
    int32_t x;
    int32_t y;
};

struct Layout {
    PlatFont textFont;
    int layoutDone;
    PlatPoint labelPos[3];
    PlatRect labelArea;
    PlatPoint statusTextPos;
    PlatPoint lastRecordPos;
};

extern Layout gLayout;

void OnPaint(PlatWindow window);
void LayoutDialog(PlatWindow window, PlatDc dc);
void PaintTexts(PlatDc dc);
