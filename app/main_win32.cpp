// The Win32 entry: single-instance check, start-up, the dialog window, the message loop,
// and the window procedure that unpacks each message for its handler in handlers.cpp.
#include <windows.h>

#include "app/handlers.h"
#include "records/ids.h"
#include "records/messages.h"
#include "records/settings.h"
#include "records/warning_box.h"

// Older SDK headers lack it; the value is fixed by Windows 8.1.
#ifndef WM_DPICHANGED
#define WM_DPICHANGED 0x02E0
#endif

static HINSTANCE g_instance;
static HWND g_mainWindow;

static PlatWindow Plat(HWND window) { return reinterpret_cast<PlatWindow>(window); }

// Both the class's window procedure and the dialog procedure: the template names our
// class, so every message of the dialog window arrives here, WM_INITDIALOG included.
static LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG: OnInitDialog(Plat(window)); return 0;
    case WM_PAINT: OnPaint(Plat(window)); return 0;
    case WM_TIMER: OnTimer(Plat(window), (unsigned)wParam); return 0;
    case WM_CLOSE: OnClose(Plat(window)); return 0;
    case WM_DESTROY: OnDestroy(Plat(window)); return 0;
    case WM_DPICHANGED: {
        // The new DPI in both words of wParam; lParam the rectangle the system suggests.
        const RECT* r = reinterpret_cast<const RECT*>(lParam);
        PlatRect suggested = {r->left, r->top, r->right, r->bottom};
        OnDpiChanged(Plat(window), HIWORD(wParam), &suggested);
        return 0;
    }
    case WM_COMMAND: {
        long result = OnCommand(Plat(window), HIWORD(wParam), LOWORD(wParam));
        if (result == ROUTE_TO_DEFAULT) break;
        return result;
    }
    default: break;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

static INT_PTR CALLBACK MainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return (INT_PTR)MainWindowProc(window, message, wParam, lParam);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand)
{
    HWND running = FindWindowA(MAIN_WINDOW_CLASS, NULL);
    if (running) {
        SetForegroundWindow(running);
        return 0;
    }

    g_instance = instance;
    MessagesFreeAll();
    MessagesLoad();
    SettingsLoad();

    WNDCLASSA windowClass;
    ZeroMemory(&windowClass, sizeof(windowClass));
    windowClass.style = 0;
    windowClass.lpfnWndProc = MainWindowProc;
    windowClass.cbClsExtra = 0;
    windowClass.cbWndExtra = DLGWINDOWEXTRA;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_MAIN));
    windowClass.hCursor = LoadCursorA(NULL, (LPCSTR)IDC_ARROW);
    windowClass.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    windowClass.lpszMenuName = NULL;
    windowClass.lpszClassName = MAIN_WINDOW_CLASS;
    if (!RegisterClassA(&windowClass)) {
        ShowLastError(nullptr);
        MessagesFreeAll();
        return 0;
    }

    g_mainWindow = CreateDialogParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), NULL, MainDialogProc, 0);
    if (!g_mainWindow) {
        ShowLastError(nullptr);
        MessagesFreeAll();
        return 0;
    }
    ShowWindow(g_mainWindow, showCommand);
    UpdateWindow(g_mainWindow);

    MSG message;
    // GetMessage answers -1 on an error; treating that as a message would spin forever.
    while (GetMessageA(&message, NULL, 0, 0) > 0) {
        if (IsDialogMessageA(g_mainWindow, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }

    SettingsSave();
    MessagesFreeAll();
    return (int)message.wParam;
}
