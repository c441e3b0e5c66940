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
    int labelShown[3];  // 1 once the label's list was placed; a missing list's label is not drawn
};

extern Layout gLayout;

void OnPaint(PlatWindow window);
void LayoutDialog(PlatWindow window, PlatDc dc);
void PaintTexts(PlatDc dc);
