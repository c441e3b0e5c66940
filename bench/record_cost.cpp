// record_cost: under Wine, times what the program does for every record it receives - write +
// flush a short line to a file, invalidate + immediate repaint of a text area - and Sleep(1),
// which it did per record before that pause was dropped, each alone, N times; with a COM port,
// also the ClearCommError every poll makes. Prints the mean microseconds of each, for the timing model
// (bench/timing_model.cpp).
// Usage: record_cost FILE [N [PORT]]     PORT like \\.\COM1, opened as the program opens it
#include <windows.h>

#include <cstdio>
#include <cstdlib>

static const char kText[] = "000123,ABC";

static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_PAINT) {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(window, &ps);
        SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
        TextOutA(dc, 8, 8, kText, (int)sizeof kText - 1);
        EndPaint(window, &ps);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

static double Now(LARGE_INTEGER freq)
{
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return (double)t.QuadPart * 1e6 / (double)freq.QuadPart;
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: record_cost FILE [N]\n");
        return 2;
    }
    int n = argc > 2 ? std::atoi(argv[2]) : 500;
    if (n < 1) n = 1;
    LARGE_INTEGER freq;
    QueryPerformanceFrequency(&freq);

    FILE *file = std::fopen(argv[1], "wb");
    if (!file) return 1;
    double t0 = Now(freq);
    for (int i = 0; i < n; i++) {
        std::fwrite(kText, 1, sizeof kText - 1, file);
        std::fwrite("\r\n", 1, 2, file);
        std::fflush(file);
    }
    double write = (Now(freq) - t0) / n;
    std::fclose(file);

    WNDCLASSA wc;
    ZeroMemory(&wc, sizeof wc);
    wc.lpfnWndProc = Proc;
    wc.hInstance = GetModuleHandleA(NULL);
    wc.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    wc.lpszClassName = "RECORD_COST";
    RegisterClassA(&wc);
    HWND window = CreateWindowA("RECORD_COST", "record cost", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                0, 0, 400, 240, NULL, NULL, wc.hInstance, NULL);
    if (!window) return 1;
    UpdateWindow(window);
    RECT area = {8, 8, 380, 40};
    t0 = Now(freq);
    for (int i = 0; i < n; i++) {
        InvalidateRect(window, &area, TRUE);
        UpdateWindow(window);
    }
    double paint = (Now(freq) - t0) / n;
    DestroyWindow(window);

    t0 = Now(freq);
    for (int i = 0; i < n; i++) Sleep(1);
    double sleep = (Now(freq) - t0) / n;

    double clear = -1;
    if (argc > 3) {
        HANDLE port = CreateFileA(argv[3], GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, NULL);
        if (port == INVALID_HANDLE_VALUE) return 1;
        DWORD errors = 0;
        COMSTAT status;
        t0 = Now(freq);
        for (int i = 0; i < n; i++) ClearCommError(port, &errors, &status);
        clear = (Now(freq) - t0) / n;
        CloseHandle(port);
    }

    std::printf("write_flush_us=%.1f repaint_us=%.1f sleep1_us=%.1f", write, paint, sleep);
    if (clear >= 0) std::printf(" clearcommerror_us=%.1f", clear);
    std::printf(" n=%d\n", n);
    return 0;
}
