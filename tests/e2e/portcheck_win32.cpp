// portcheck: opens a COM port the way the tool does and reports the result; proves the Wine bed.
// Usage: portcheck COMn [read N [timeout_ms]] | --scan | --undefine COMn... | --box CAPTION TEXT
//        | --window
// Output: "OK" or "ERR <code>", then (with read) "READ <hex bytes>"; exit 0 opened, 1 failed, 2 usage.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

static int Usage()
{
    std::fprintf(stderr, "usage: portcheck COMn [read N [timeout_ms]] | --scan | --undefine COMn...\n"
                         "       | --box CAPTION TEXT | --window\n");
    return 2;
}

// Reads up to want bytes, polling the queue so a silent line ends at the deadline
// instead of blocking in ReadFile.
static int ReadBytes(HANDLE port, int want, DWORD timeoutMs)
{
    unsigned char buf[4096];
    if (want > (int)sizeof buf) want = (int)sizeof buf;
    COMMTIMEOUTS to = {};
    to.ReadIntervalTimeout = MAXDWORD; // return at once with whatever is queued
    if (!SetCommTimeouts(port, &to)) {
        std::printf("ERR SetCommTimeouts %lu\n", GetLastError());
        return 1;
    }
    int got = 0;
    DWORD start = GetTickCount();
    while (got < want && GetTickCount() - start < timeoutMs) {
        DWORD n = 0;
        if (!ReadFile(port, buf + got, (DWORD)(want - got), &n, NULL)) {
            std::printf("ERR ReadFile %lu\n", GetLastError());
            return 1;
        }
        got += (int)n;
        if (n == 0) Sleep(10);
    }
    std::printf("READ");
    for (int i = 0; i < got; i++) std::printf(" %02x", buf[i]);
    std::printf("\n");
    return got == want ? 0 : 1;
}

// --window: a stand-in main window with the tool's class and control ids, so the UI driver can
// be proven before the tool exists. START toggles to CANCEL; picking COM3 is refused with a box.
static LRESULT CALLBACK StandInProc(HWND w, UINT msg, WPARAM wp, LPARAM lp)
{
    if (msg == WM_COMMAND && LOWORD(wp) == 1001 && HIWORD(wp) == BN_CLICKED) {
        char cap[16];
        GetWindowTextA((HWND)lp, cap, (int)sizeof cap);
        SetWindowTextA((HWND)lp, std::strcmp(cap, "START") == 0 ? "CANCEL" : "START");
        return 0;
    }
    if (msg == WM_COMMAND && LOWORD(wp) == 1002 && HIWORD(wp) == CBN_SELCHANGE) {
        LRESULT sel = SendMessageA((HWND)lp, CB_GETCURSEL, 0, 0);
        std::printf("SELCHANGE %d\n", (int)sel);
        std::fflush(stdout);
        if (sel == 2) {
            MessageBoxA(w, "COM3 is not enabled.", "ERROR", MB_OK | MB_ICONWARNING);
            SendMessageA((HWND)lp, CB_SETCURSEL, 0, 0);
        }
        return 1;
    }
    if (msg == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(w, msg, wp, lp);
}

static int StandInWindow()
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = StandInProc;
    wc.hInstance = GetModuleHandleA(NULL);
    wc.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    wc.lpszClassName = "DLG_KM_740_TOOL";
    if (!RegisterClassA(&wc)) return 1;
    HWND w = CreateWindowA("DLG_KM_740_TOOL", "Stand-in", WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU,
                           100, 100, 400, 240, NULL, NULL, wc.hInstance, NULL);
    if (w == NULL) return 1;
    CreateWindowA("BUTTON", "START", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 10, 10, 80, 24, w,
                  (HMENU)(INT_PTR)1001, wc.hInstance, NULL);
    CreateWindowA("BUTTON", "Close", WS_CHILD | WS_VISIBLE | WS_DISABLED | BS_PUSHBUTTON, 100, 10,
                  80, 24, w, (HMENU)(INT_PTR)1000, wc.hInstance, NULL);
    HWND combo = CreateWindowA("COMBOBOX", "", WS_CHILD | WS_VISIBLE | CBS_DROPDOWNLIST, 10, 50,
                               120, 200, w, (HMENU)(INT_PTR)1002, wc.hInstance, NULL);
    const char *items[] = {"COM1", "COM2", "COM3"};
    for (const char *it : items) SendMessageA(combo, CB_ADDSTRING, 0, (LPARAM)it);
    SendMessageA(combo, CB_SETCURSEL, 0, 0);
    ShowWindow(w, SW_SHOW);
    UpdateWindow(w);
    MSG m;
    while (GetMessageA(&m, NULL, 0, 0) > 0) {
        TranslateMessage(&m);
        DispatchMessageA(&m);
    }
    std::printf("WINDOW CLOSED\n");
    return 0;
}

// Opens and closes the port; returns 0 or the error code.
static DWORD TryOpen(const char *name)
{
    char path[64];
    std::snprintf(path, sizeof path, "\\\\.\\%s", name);
    HANDLE port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (port == INVALID_HANDLE_VALUE) return GetLastError();
    CloseHandle(port);
    return 0;
}

// --scan: the state of COM1..COM16 as the tool's probe sees it, one line each.
static int Scan()
{
    for (int n = 1; n <= 16; n++) {
        char name[16];
        std::snprintf(name, sizeof name, "COM%d", n);
        DWORD err = TryOpen(name);
        if (err == 0) std::printf("%s OK\n", name);
        else std::printf("%s ERR %lu\n", name, err);
    }
    return 0;
}

// --undefine: removes the \??\COMn links Wine made for the host's own serial devices, so
// that only the bed's ports exist (removing the dosdevices link alone leaves them openable).
// The mount manager makes the dosdevices link first and the \??\COMn object a moment later,
// in the background of the first client: a removal between the two fails with error 2 and
// the object then appears anyway. So each object is waited for (bounded) before it goes.
static int Undefine(int argc, char **argv)
{
    const DWORD kWaitMs = 10000;
    int rc = 0;
    for (int i = 2; i < argc; i++) {
        char target[MAX_PATH];
        DWORD start = GetTickCount();
        DWORD found = 0;
        while ((found = QueryDosDeviceA(argv[i], target, sizeof target)) == 0 &&
               GetTickCount() - start < kWaitMs)
            Sleep(10);
        if (found == 0) {
            std::printf("%s ERR %lu (never defined within %lu ms)\n", argv[i], GetLastError(),
                        kWaitMs);
            rc = 1;
        } else if (DefineDosDeviceA(DDD_REMOVE_DEFINITION, argv[i], NULL)) {
            std::printf("%s removed (was %s, after %lu ms)\n", argv[i], target,
                        GetTickCount() - start);
        } else {
            std::printf("%s ERR %lu\n", argv[i], GetLastError());
            rc = 1;
        }
    }
    return rc;
}

int main(int argc, char **argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--scan") == 0) return Scan();
    if (argc >= 3 && std::strcmp(argv[1], "--undefine") == 0) return Undefine(argc, argv);
    if (argc == 2 && std::strcmp(argv[1], "--window") == 0) return StandInWindow();
    if (argc >= 4 && std::strcmp(argv[1], "--box") == 0) {
        // Stand-in for the tool's warning boxes, so the driver can be tested before the tool exists.
        MessageBoxA(NULL, argv[3], argv[2], MB_OK | MB_ICONWARNING);
        std::printf("BOX CLOSED\n");
        return 0;
    }
    if (argc != 2 && argc != 4 && argc != 5) return Usage();
    if (argc >= 4 && std::strcmp(argv[2], "read") != 0) return Usage();

    char path[64];
    std::snprintf(path, sizeof path, "\\\\.\\%s", argv[1]);
    HANDLE port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (port == INVALID_HANDLE_VALUE) {
        std::printf("ERR %lu\n", GetLastError());
        std::fflush(stdout);
        return 1;
    }
    std::printf("OK\n");
    std::fflush(stdout);
    int rc = 0;
    if (argc >= 4) {
        int want = std::atoi(argv[3]);
        DWORD timeoutMs = argc == 5 ? (DWORD)std::strtoul(argv[4], NULL, 10) : 2000;
        rc = ReadBytes(port, want, timeoutMs);
    }
    CloseHandle(port);
    std::fflush(stdout);
    return rc;
}
