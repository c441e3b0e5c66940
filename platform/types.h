// Handle and value types shared by every platform operation.
// The logic sees only these opaque types; platform/win32 maps them onto Win32 handles,
// platform/sim onto its own records.
#pragma once
#include <stdint.h>

typedef struct PlatWindowRec* PlatWindow;   // a top-level window or a control (HWND)
typedef struct PlatDcRec* PlatDc;           // a paint device context (HDC)
typedef struct PlatFontRec* PlatFont;       // a GDI font (HFONT)
typedef void* PlatHandle;                   // a kernel object such as an open COM device (HANDLE)

// The system's invalid-handle value (all bits set), the not-open value of a device handle.
#define PLAT_INVALID_HANDLE ((PlatHandle)(intptr_t)-1)

struct PlatRect {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
};

struct PlatSize {
    int32_t cx;
    int32_t cy;
};

// Local date and time, the fields of SYSTEMTIME that the program uses.
struct PlatTime {
    int year;
    int month;
    int day;
    int hour;
    int minute;
    int second;
    int milliseconds;
};

// Message box styles and answers (same values as Win32).
enum {
    PLAT_MB_OK = 0x00000000,
    PLAT_MB_ICONWARNING = 0x00000030,
    PLAT_IDOK = 1
};

// System colour indices (same values as Win32).
enum {
    PLAT_COLOR_BTNFACE = 15,
    PLAT_COLOR_BTNTEXT = 18
};

// Special folder identifiers (CSIDL values).
enum {
    PLAT_CSIDL_DESKTOP = 0,
    PLAT_CSIDL_PERSONAL = 5
};

// The platform's path limit with its terminator: MAX_PATH on Windows and in the simulated
// platform; the POSIX build sets KM_PLAT_MAX_PATH to the system's PATH_MAX, so that a Linux
// path is taken whole rather than cut or refused at Windows' length.
#if defined(KM_PLAT_MAX_PATH)
enum { PLAT_MAX_PATH = KM_PLAT_MAX_PATH };
#else
enum { PLAT_MAX_PATH = 260 };
#endif
