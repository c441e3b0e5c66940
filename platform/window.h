// Window, control, timer and painting operations, one per Win32 call the logic needs.
#pragma once
#include "platform/types.h"

// Window message numbers the logic posts (same values as Win32).
enum { PLAT_WM_CLOSE = 0x0010 };

// GetDlgItem: a control of the dialog by id, null if missing.
PlatWindow PlatGetDlgItem(PlatWindow dialog, int id);
// EnableWindow, SetWindowTextA.
void PlatEnableWindow(PlatWindow window, int enable);
int PlatSetWindowText(PlatWindow window, const char* text);
// DestroyWindow.
int PlatDestroyWindow(PlatWindow window);
// PostMessageA with wParam 0 and lParam 0.
int PlatPostMessage(PlatWindow window, unsigned message);
// MessageBoxA; owner may be null. Returns the button pressed.
int PlatMessageBox(PlatWindow owner, const char* text, const char* caption, unsigned style);

// Combo-box messages: CB_ADDSTRING (index or -1), CB_SETCURSEL, CB_GETCURSEL (-1 = none).
int PlatComboAddString(PlatWindow list, const char* text);
int PlatComboSetCurSel(PlatWindow list, int index);
int PlatComboGetCurSel(PlatWindow list);

// GetSystemMetrics(SM_CXSCREEN / SM_CYSCREEN) and MoveWindow.
int PlatGetScreenWidth(void);
int PlatGetScreenHeight(void);
int PlatMoveWindow(PlatWindow window, int x, int y, int width, int height, int repaint);

// SetTimer with no callback (the timer id, 0 on failure) and KillTimer.
unsigned PlatSetTimer(PlatWindow window, unsigned id, unsigned milliseconds);
int PlatKillTimer(PlatWindow window, unsigned id);

// InvalidateRect (rect null = whole client area) and UpdateWindow.
int PlatInvalidateRect(PlatWindow window, const PlatRect* rect, int erase);
int PlatUpdateWindow(PlatWindow window);

// One paint's record (PAINTSTRUCT), held by the caller from BeginPaint to EndPaint. Each
// paint needs its own: a modal box opened while painting runs its own message loop, which
// can deliver another WM_PAINT to the same window.
struct PlatPaint {
    PlatDc dc;
    alignas(8) unsigned char system[96];
};

// BeginPaint / EndPaint with the caller's paint record.
PlatDc PlatBeginPaint(PlatWindow window, PlatPaint* paint);
void PlatEndPaint(PlatWindow window, PlatPaint* paint);

// GetClientRect; SetWindowPos with SWP_NOZORDER | SWP_SHOWWINDOW; GetWindowRect of a
// control converted with ScreenToClient of the dialog (its rectangle in client coordinates).
int PlatGetClientRect(PlatWindow window, PlatRect* rect);
int PlatSetWindowPos(PlatWindow control, int x, int y, int width, int height);
int PlatGetControlRect(PlatWindow dialog, PlatWindow control, PlatRect* rect);

// The DPI of the monitor the window is on: GetDpiForWindow where the system has it
// (Windows 10 1607 on), else LOGPIXELSY of the window's device context. 96 is 100%.
int PlatGetDpiForWindow(PlatWindow window);

// The icon-title font sized for the given DPI: SystemParametersInfoForDpi where the system
// has it, else SystemParametersInfoA(SPI_GETICONTITLELOGFONT, 60, ...) with the height
// scaled from the system DPI. Fills an opaque description (a LOGFONTA) that
// CreateFontIndirectA turns into a font.
struct PlatLogFont {
    unsigned char bytes[60];
};
int PlatGetIconTitleLogFont(PlatLogFont* description, int dpi);
// The character set of the system's ANSI code page (TranslateCharsetInfo of GetACP), or
// DEFAULT_CHARSET (1) when the system does not name one; and a description with that set.
int PlatAnsiCharset(void);
void PlatSetLogFontCharset(PlatLogFont* description, int charset);
PlatFont PlatCreateFont(const PlatLogFont* description);
void PlatDeleteFont(PlatFont font);
// WM_SETFONT to a control, with redraw.
void PlatSetControlFont(PlatWindow control, PlatFont font);

// GetDC / ReleaseDC: a device context of the window for measuring outside a paint.
PlatDc PlatGetDc(PlatWindow window);
void PlatReleaseDc(PlatWindow window, PlatDc dc);

// Drawing on a paint device context.
PlatFont PlatSelectFont(PlatDc dc, PlatFont font);
int PlatGetTextExtent(PlatDc dc, const char* text, int length, PlatSize* size);
uint32_t PlatGetSysColor(int index);
uint32_t PlatSetBkColor(PlatDc dc, uint32_t colour);
uint32_t PlatSetTextColor(PlatDc dc, uint32_t colour);
int PlatRectVisible(PlatDc dc, const PlatRect* rect);
int PlatTextOut(PlatDc dc, int x, int y, const char* text, int length);

// PostQuitMessage.
void PlatPostQuitMessage(int exitCode);
