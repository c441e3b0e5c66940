// One-time layout from measured text, the layout again for a new DPI, and painting of the
// labels, the status and the last record.
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
    int dpi;            // the DPI textFont and the positions were made for (0 until the first layout)
};

// The DPI at which a fixed size in pixels is taken as it stands (100%).
enum { DPI_DEFAULT = 96 };
// A size of pixels at 96 DPI, at the given DPI (MulDiv's rounding); unchanged at 96.
int32_t DpiScale(int32_t pixels, int dpi);

extern Layout gLayout;

void LayoutDialog(PlatWindow window, PlatDc dc);
void PaintTexts(PlatDc dc);
// WM_DPICHANGED: takes the suggested window rectangle, makes the font for the new DPI and
// lays the controls out again, leaving lists, captions and status as they are.
void LayoutForDpi(PlatWindow window, int dpi, const PlatRect* suggested);
