// Win32 implementation of the window, control, timer and painting operations.
#include <windows.h>

#include <stddef.h>
#include <string.h>
#include "platform/window.h"

static_assert(sizeof(LOGFONTA) == sizeof(PlatLogFont), "icon-title font description size");

static HWND ToHwnd(PlatWindow window) { return reinterpret_cast<HWND>(window); }
static HDC ToHdc(PlatDc dc) { return reinterpret_cast<HDC>(dc); }

PlatWindow PlatGetDlgItem(PlatWindow dialog, int id)
{
    return reinterpret_cast<PlatWindow>(GetDlgItem(ToHwnd(dialog), id));
}

void PlatEnableWindow(PlatWindow window, int enable) { EnableWindow(ToHwnd(window), enable ? TRUE : FALSE); }

int PlatSetWindowText(PlatWindow window, const char* text)
{
    return SetWindowTextA(ToHwnd(window), text) ? 1 : 0;
}

int PlatDestroyWindow(PlatWindow window) { return DestroyWindow(ToHwnd(window)) ? 1 : 0; }

int PlatPostMessage(PlatWindow window, unsigned message)
{
    return PostMessageA(ToHwnd(window), message, 0, 0) ? 1 : 0;
}

int PlatMessageBox(PlatWindow owner, const char* text, const char* caption, unsigned style)
{
    return MessageBoxA(ToHwnd(owner), text, caption, style);
}

int PlatComboAddString(PlatWindow list, const char* text)
{
    return (int)SendMessageA(ToHwnd(list), CB_ADDSTRING, 0, (LPARAM)text);
}

int PlatComboSetCurSel(PlatWindow list, int index)
{
    return (int)SendMessageA(ToHwnd(list), CB_SETCURSEL, (WPARAM)index, 0);
}

int PlatComboGetCurSel(PlatWindow list) { return (int)SendMessageA(ToHwnd(list), CB_GETCURSEL, 0, 0); }

int PlatGetScreenWidth(void) { return GetSystemMetrics(SM_CXSCREEN); }
int PlatGetScreenHeight(void) { return GetSystemMetrics(SM_CYSCREEN); }

int PlatMoveWindow(PlatWindow window, int x, int y, int width, int height, int repaint)
{
    return MoveWindow(ToHwnd(window), x, y, width, height, repaint ? TRUE : FALSE) ? 1 : 0;
}

unsigned PlatSetTimer(PlatWindow window, unsigned id, unsigned milliseconds)
{
    return (unsigned)SetTimer(ToHwnd(window), id, milliseconds, NULL);
}

int PlatKillTimer(PlatWindow window, unsigned id) { return KillTimer(ToHwnd(window), id) ? 1 : 0; }

int PlatInvalidateRect(PlatWindow window, const PlatRect* rect, int erase)
{
    RECT area;
    if (rect) {
        area.left = rect->left;
        area.top = rect->top;
        area.right = rect->right;
        area.bottom = rect->bottom;
    }
    return InvalidateRect(ToHwnd(window), rect ? &area : NULL, erase ? TRUE : FALSE) ? 1 : 0;
}

int PlatUpdateWindow(PlatWindow window) { return UpdateWindow(ToHwnd(window)) ? 1 : 0; }

static_assert(sizeof(PAINTSTRUCT) <= sizeof(((PlatPaint*)nullptr)->system), "PlatPaint too small");

static PAINTSTRUCT* SystemPaint(PlatPaint* paint) { return reinterpret_cast<PAINTSTRUCT*>(paint->system); }

PlatDc PlatBeginPaint(PlatWindow window, PlatPaint* paint)
{
    paint->dc = reinterpret_cast<PlatDc>(BeginPaint(ToHwnd(window), SystemPaint(paint)));
    return paint->dc;
}

void PlatEndPaint(PlatWindow window, PlatPaint* paint) { EndPaint(ToHwnd(window), SystemPaint(paint)); }

int PlatGetClientRect(PlatWindow window, PlatRect* rect)
{
    RECT client;
    if (!GetClientRect(ToHwnd(window), &client)) return 0;
    rect->left = client.left;
    rect->top = client.top;
    rect->right = client.right;
    rect->bottom = client.bottom;
    return 1;
}

int PlatSetWindowPos(PlatWindow control, int x, int y, int width, int height)
{
    return SetWindowPos(ToHwnd(control), NULL, x, y, width, height, SWP_NOZORDER | SWP_SHOWWINDOW)
               ? 1
               : 0;
}

int PlatGetControlRect(PlatWindow dialog, PlatWindow control, PlatRect* rect)
{
    RECT screen;
    if (!GetWindowRect(ToHwnd(control), &screen)) return 0;
    POINT topLeft = {screen.left, screen.top};
    POINT bottomRight = {screen.right, screen.bottom};
    ScreenToClient(ToHwnd(dialog), &topLeft);
    ScreenToClient(ToHwnd(dialog), &bottomRight);
    rect->left = topLeft.x;
    rect->top = topLeft.y;
    rect->right = bottomRight.x;
    rect->bottom = bottomRight.y;
    return 1;
}

// The per-monitor DPI calls exist only from Windows 10 1607 on (and in Wine); they are
// looked up by name so that the program still starts on older systems.
typedef UINT(WINAPI* GetDpiForWindowProc)(HWND);
typedef BOOL(WINAPI* SystemParametersInfoForDpiProc)(UINT, UINT, PVOID, UINT, UINT);

// As void (*)(void), the one function type GCC lets a caller cast to the real one.
typedef void (*AnyProc)(void);
static AnyProc User32Proc(const char* name)
{
    HMODULE user32 = GetModuleHandleA("user32.dll");
    return user32 ? reinterpret_cast<AnyProc>(GetProcAddress(user32, name)) : NULL;
}

// LOGPIXELSY of the window's device context (of the screen for no window): the system DPI.
static int DeviceDpi(HWND window)
{
    HDC dc = GetDC(window);
    if (!dc) return 96;
    int dpi = GetDeviceCaps(dc, LOGPIXELSY);
    ReleaseDC(window, dc);
    return dpi > 0 ? dpi : 96;
}

int PlatGetDpiForWindow(PlatWindow window)
{
    GetDpiForWindowProc getDpi = reinterpret_cast<GetDpiForWindowProc>(User32Proc("GetDpiForWindow"));
    if (getDpi) {
        UINT dpi = getDpi(ToHwnd(window));
        if (dpi > 0) return (int)dpi;
    }
    return DeviceDpi(ToHwnd(window));
}

// SystemParametersInfoForDpi has only a wide form: its description is carried over into
// the ANSI one the program creates its font from. 0 if the call or the face name fails.
static int IconTitleFontForDpi(LOGFONTA* font, int dpi)
{
    SystemParametersInfoForDpiProc forDpi =
        reinterpret_cast<SystemParametersInfoForDpiProc>(User32Proc("SystemParametersInfoForDpi"));
    LOGFONTW wide;
    if (!forDpi || !forDpi(SPI_GETICONTITLELOGFONT, sizeof wide, &wide, 0, (UINT)dpi)) return 0;
    LOGFONTA narrow;
    ZeroMemory(&narrow, sizeof narrow);
    if (!WideCharToMultiByte(CP_ACP, 0, wide.lfFaceName, -1, narrow.lfFaceName, LF_FACESIZE, NULL, NULL))
        return 0;
    // Both forms lay out every field before the face name alike; only the name differs.
    static_assert(offsetof(LOGFONTA, lfFaceName) == offsetof(LOGFONTW, lfFaceName),
                  "LOGFONTA and LOGFONTW share their leading fields");
    memcpy(&narrow, &wide, offsetof(LOGFONTA, lfFaceName));
    *font = narrow;
    return 1;
}

int PlatGetIconTitleLogFont(PlatLogFont* description, int dpi)
{
    LOGFONTA font;
    if (!IconTitleFontForDpi(&font, dpi)) {
        if (!SystemParametersInfoA(SPI_GETICONTITLELOGFONT, sizeof font, &font, 0)) return 0;
        // The plain call answers for the system DPI; the window's monitor may have another.
        int systemDpi = DeviceDpi(NULL);
        if (dpi > 0 && dpi != systemDpi) font.lfHeight = MulDiv(font.lfHeight, dpi, systemDpi);
    }
    memcpy(description->bytes, &font, sizeof font);
    return 1;
}

int PlatAnsiCharset(void)
{
    CHARSETINFO info;
    if (!TranslateCharsetInfo(reinterpret_cast<DWORD*>(static_cast<UINT_PTR>(GetACP())), &info, TCI_SRCCODEPAGE))
        return DEFAULT_CHARSET;
    return (int)info.ciCharset;
}

void PlatSetLogFontCharset(PlatLogFont* description, int charset)
{
    LOGFONTA font;
    memcpy(&font, description->bytes, sizeof font);
    font.lfCharSet = (BYTE)charset;
    memcpy(description->bytes, &font, sizeof font);
}

PlatFont PlatCreateFont(const PlatLogFont* description)
{
    LOGFONTA font;
    memcpy(&font, description->bytes, sizeof font);
    return reinterpret_cast<PlatFont>(CreateFontIndirectA(&font));
}

void PlatDeleteFont(PlatFont font) { DeleteObject(reinterpret_cast<HFONT>(font)); }

void PlatSetControlFont(PlatWindow control, PlatFont font)
{
    SendMessageA(ToHwnd(control), WM_SETFONT, (WPARAM)font, TRUE);
}

PlatDc PlatGetDc(PlatWindow window) { return reinterpret_cast<PlatDc>(GetDC(ToHwnd(window))); }
void PlatReleaseDc(PlatWindow window, PlatDc dc) { ReleaseDC(ToHwnd(window), ToHdc(dc)); }

PlatFont PlatSelectFont(PlatDc dc, PlatFont font)
{
    return reinterpret_cast<PlatFont>(SelectObject(ToHdc(dc), reinterpret_cast<HGDIOBJ>(font)));
}

int PlatGetTextExtent(PlatDc dc, const char* text, int length, PlatSize* size)
{
    SIZE extent;
    if (!GetTextExtentPointA(ToHdc(dc), text, length, &extent)) return 0;
    size->cx = extent.cx;
    size->cy = extent.cy;
    return 1;
}

uint32_t PlatGetSysColor(int index) { return GetSysColor(index); }
uint32_t PlatSetBkColor(PlatDc dc, uint32_t colour) { return SetBkColor(ToHdc(dc), colour); }
uint32_t PlatSetTextColor(PlatDc dc, uint32_t colour) { return SetTextColor(ToHdc(dc), colour); }

int PlatRectVisible(PlatDc dc, const PlatRect* rect)
{
    RECT area = {rect->left, rect->top, rect->right, rect->bottom};
    return RectVisible(ToHdc(dc), &area) ? 1 : 0;
}

int PlatTextOut(PlatDc dc, int x, int y, const char* text, int length)
{
    return TextOutA(ToHdc(dc), x, y, text, length) ? 1 : 0;
}

void PlatPostQuitMessage(int exitCode) { PostQuitMessage(exitCode); }
