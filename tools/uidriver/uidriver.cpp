// uidriver: drives the tool's dialog from outside under Wine, one command per run.
// Result on stdout (UTF-8, LF line ends); exit 0 ok, 1 failed or timed out, 2 usage.
// Run "uidriver" without arguments for the command list.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

static const char kMainClass[] = "DLG_KM_740_TOOL";
static const char kBoxClass[] = "#32770";
static const int kBoxTextId = 0xFFFF;    // the static control holding a message box's text
static const UINT kSendTimeoutMs = 2000; // a hung or modal target never blocks us longer
static const DWORD kPollMs = 20;
static const DWORD kDefaultWaitMs = 5000;

struct NamedId {
    const char *name;
    int id;
};

static const NamedId kIds[] = {
    {"close", 1000}, {"start", 1001}, {"port", 1002}, {"baud", 1003}, {"store", 1004},
};

static int Usage()
{
    std::fprintf(stderr,
                 "usage: uidriver COMMAND [args]\n"
                 "  wait-window [ms] | wait-gone [ms] | title | close\n"
                 "  client | client-origin | window-rect\n"
                 "  click ID | caption ID | wait-caption ID TEXT [ms] | enabled ID | visible ID\n"
                 "  rect ID | items ID | cursel ID | select ID INDEX\n"
                 "  boxes | wait-box [ms] | dismiss | acp | rendering [CHARSET]\n"
                 "  glyphs [dpi [CHARSET [HEX]]]\n"
                 "  dpi-changed DPI LEFT TOP RIGHT BOTTOM\n"
                 "ID: a number or close, start, port, baud, store\n"
                 "CHARSET: icon (the icon-title font's own), acp (the ANSI code page's) or a number;\n"
                 "HEX: ANSI text whose characters to paint, as hex bytes (default: 20..FF)\n");
    return 2;
}

// Parses a control id given as a number or as one of the dialog's names.
static int ParseId(const char *s, int *id)
{
    for (const NamedId &n : kIds) {
        if (_stricmp(s, n.name) == 0) {
            *id = n.id;
            return 1;
        }
    }
    char *end = NULL;
    long v = std::strtol(s, &end, 0);
    if (end == s || *end != '\0' || v < 0 || v > 0xFFFF) return 0;
    *id = (int)v;
    return 1;
}

static int ParseMs(int argc, char **argv, int at, DWORD *ms)
{
    *ms = kDefaultWaitMs;
    if (argc <= at) return 1;
    char *end = NULL;
    unsigned long v = std::strtoul(argv[at], &end, 10);
    if (end == argv[at] || *end != '\0') return 0;
    *ms = (DWORD)v;
    return 1;
}

// Prints wide text as UTF-8. The tool's texts are ANSI bytes; Wine hands them to us as UTF-16
// converted from the tool's ANSI code page, and UTF-8 is what the Python side compares against.
// With escape set, CR, LF and TAB become \r, \n, \t so one box stays on one line.
static void PrintWide(const wchar_t *w, int escape)
{
    char out[4096];
    int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, out, (int)sizeof out, NULL, NULL);
    if (n <= 0) {
        out[0] = '\0'; // too long to convert in one piece: print nothing rather than garbage
        n = 1;
    }
    for (int i = 0; i < n - 1; i++) {
        char c = out[i];
        if (escape && (c == '\r' || c == '\n' || c == '\t')) {
            std::fputc('\\', stdout);
            std::fputc(c == '\r' ? 'r' : c == '\n' ? 'n' : 't', stdout);
        } else {
            std::fputc(c, stdout);
        }
    }
}

// WM_GETTEXT with a timeout: SendMessageW so Wine marshals the text across processes.
static int GetText(HWND w, wchar_t *buf, int cap)
{
    buf[0] = L'\0';
    DWORD_PTR got = 0;
    if (!SendMessageTimeoutW(w, WM_GETTEXT, (WPARAM)cap, (LPARAM)buf, SMTO_ABORTIFHUNG,
                             kSendTimeoutMs, &got))
        return 0;
    buf[cap - 1] = L'\0';
    return 1;
}

static HWND MainWindow()
{
    return FindWindowA(kMainClass, NULL);
}

static HWND WaitMain(DWORD ms, int wantGone)
{
    DWORD start = GetTickCount();
    for (;;) {
        HWND w = MainWindow();
        int present = w != NULL && IsWindowVisible(w);
        if (wantGone ? w == NULL : present) return wantGone ? (HWND)1 : w;
        if (GetTickCount() - start >= ms) return NULL;
        Sleep(kPollMs);
    }
}

static HWND Control(int id)
{
    HWND main = MainWindow();
    if (main == NULL) {
        std::printf("no window\n");
        return NULL;
    }
    HWND c = GetDlgItem(main, id);
    if (c == NULL) std::printf("no control %d\n", id);
    return c;
}

// ---- message boxes ----

struct BoxSearch {
    DWORD pid;      // 0: any process
    HWND found[16];
    int count;
};

static BOOL CALLBACK CollectBox(HWND w, LPARAM lp)
{
    BoxSearch *s = (BoxSearch *)lp;
    char cls[32];
    if (!GetClassNameA(w, cls, (int)sizeof cls) || std::strcmp(cls, kBoxClass) != 0) return TRUE;
    if (!IsWindowVisible(w)) return TRUE; // Wine keeps hidden #32770 helpers around
    if (GetDlgItem(w, kBoxTextId) == NULL) return TRUE; // a dialog, but not a message box
    if (s->pid != 0) {
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        if (pid != s->pid) return TRUE;
    }
    if (s->count < (int)(sizeof s->found / sizeof s->found[0])) s->found[s->count++] = w;
    return TRUE;
}

// Boxes of the tool's process when its window exists; otherwise every message box, since
// the tool shows its start-up warnings before it has a window.
static int FindBoxes(BoxSearch *s)
{
    s->pid = 0;
    s->count = 0;
    HWND main = MainWindow();
    if (main != NULL) GetWindowThreadProcessId(main, &s->pid);
    EnumWindows(CollectBox, (LPARAM)s);
    return s->count;
}

static void PrintBox(HWND box)
{
    wchar_t buf[2048];
    GetText(box, buf, 2048);
    PrintWide(buf, 1);
    std::fputc('\t', stdout);
    GetText(GetDlgItem(box, kBoxTextId), buf, 2048);
    PrintWide(buf, 1);
    std::fputc('\n', stdout);
}

// ---- commands ----

static int CmdWait(int argc, char **argv, int wantGone)
{
    DWORD ms;
    if (!ParseMs(argc, argv, 2, &ms)) return Usage();
    if (WaitMain(ms, wantGone) == NULL) {
        std::printf("timeout\n");
        return 1;
    }
    std::printf(wantGone ? "gone\n" : "ready\n");
    return 0;
}

// A click is posted as the button's WM_COMMAND to the main window rather than sent as
// BM_CLICK: the handler may open a modal box, and a sent BM_CLICK would then not return until
// the box is closed (SendMessageTimeout would give up with the click's fate unknown). A posted
// message always returns at once and is routed by the tool's own loop like a real click.
// A disabled or hidden button is refused, because a user could not press it either.
static int CmdClick(int id)
{
    HWND c = Control(id);
    if (c == NULL) return 1;
    if (!IsWindowEnabled(c) || !IsWindowVisible(c)) {
        std::printf("not clickable\n");
        return 1;
    }
    if (!PostMessageW(GetParent(c), WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)c)) {
        std::printf("post failed %lu\n", GetLastError());
        return 1;
    }
    std::printf("clicked\n");
    return 0;
}

static int CmdCaption(HWND w)
{
    if (w == NULL) return 1;
    wchar_t buf[2048];
    if (!GetText(w, buf, 2048)) {
        std::printf("no answer\n");
        return 1;
    }
    PrintWide(buf, 0);
    std::fputc('\n', stdout);
    return 0;
}

static int CmdWaitCaption(int argc, char **argv)
{
    int id;
    DWORD ms;
    if (argc < 4 || !ParseId(argv[2], &id) || !ParseMs(argc, argv, 4, &ms)) return Usage();
    // The text as given, from the wide command line: argv holds it converted to the ANSI code
    // page, and a text outside it (or one read as UTF-8 there) would never match.
    int wargc = 0;
    LPWSTR *wargv = CommandLineToArgvW(GetCommandLineW(), &wargc);
    if (wargv == NULL || wargc != argc || wcslen(wargv[3]) >= 1024) return Usage();
    wchar_t want[1024];
    wcscpy(want, wargv[3]);
    LocalFree(wargv);
    DWORD start = GetTickCount();
    wchar_t buf[2048];
    for (;;) {
        HWND main = MainWindow();
        HWND c = main ? GetDlgItem(main, id) : NULL;
        if (c != NULL && GetText(c, buf, 2048) && wcscmp(buf, want) == 0) {
            PrintWide(buf, 0);
            std::fputc('\n', stdout);
            return 0;
        }
        if (GetTickCount() - start >= ms) break;
        Sleep(kPollMs);
    }
    std::printf("timeout\n");
    return 1;
}

static int CmdRect(HWND w, int client)
{
    if (w == NULL) return 1;
    RECT r;
    if (!(client ? GetClientRect(w, &r) : GetWindowRect(w, &r))) {
        std::printf("no rect %lu\n", GetLastError());
        return 1;
    }
    std::printf("%ld %ld %ld %ld\n", r.left, r.top, r.right, r.bottom);
    return 0;
}

// The control's rectangle in the client coordinates of the main window.
static int CmdControlRect(int id)
{
    HWND c = Control(id);
    if (c == NULL) return 1;
    RECT r;
    if (!GetWindowRect(c, &r)) {
        std::printf("no rect %lu\n", GetLastError());
        return 1;
    }
    MapWindowPoints(NULL, GetParent(c), (POINT *)&r, 2);
    std::printf("%ld %ld %ld %ld\n", r.left, r.top, r.right, r.bottom);
    return 0;
}

static int CmdItems(int id)
{
    HWND c = Control(id);
    if (c == NULL) return 1;
    DWORD_PTR count = 0;
    if (!SendMessageTimeoutW(c, CB_GETCOUNT, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &count) ||
        (LRESULT)count == CB_ERR) {
        std::printf("no answer\n");
        return 1;
    }
    for (int i = 0; i < (int)count; i++) {
        DWORD_PTR len = 0;
        wchar_t buf[1024];
        // Ask the length first: CB_GETLBTEXT has no buffer size and would overrun a short one.
        if (!SendMessageTimeoutW(c, CB_GETLBTEXTLEN, (WPARAM)i, 0, SMTO_ABORTIFHUNG,
                                 kSendTimeoutMs, &len) ||
            (LRESULT)len == CB_ERR || len >= 1024) {
            std::printf("bad item %d\n", i);
            return 1;
        }
        DWORD_PTR got = 0;
        buf[0] = L'\0';
        if (!SendMessageTimeoutW(c, CB_GETLBTEXT, (WPARAM)i, (LPARAM)buf, SMTO_ABORTIFHUNG,
                                 kSendTimeoutMs, &got) ||
            (LRESULT)got == CB_ERR) {
            std::printf("bad item %d\n", i);
            return 1;
        }
        buf[len] = L'\0';
        PrintWide(buf, 1);
        std::fputc('\n', stdout);
    }
    return 0;
}

static int CmdCursel(int id)
{
    HWND c = Control(id);
    if (c == NULL) return 1;
    DWORD_PTR sel = 0;
    if (!SendMessageTimeoutW(c, CB_GETCURSEL, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &sel)) {
        std::printf("no answer\n");
        return 1;
    }
    std::printf("%d\n", (int)(LRESULT)sel); // CB_ERR (-1): nothing selected
    return 0;
}

// Selects like a user pick: the list changes first, then the parent hears CBN_SELCHANGE.
// The notification is posted because the tool may answer it with a modal refusal box.
static int CmdSelect(int id, int index)
{
    HWND c = Control(id);
    if (c == NULL) return 1;
    if (!IsWindowEnabled(c)) {
        std::printf("disabled\n");
        return 1;
    }
    DWORD_PTR r = 0;
    if (!SendMessageTimeoutW(c, CB_SETCURSEL, (WPARAM)index, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs,
                             &r)) {
        std::printf("no answer\n");
        return 1;
    }
    if ((LRESULT)r == CB_ERR && index != -1) {
        std::printf("no item %d\n", index);
        return 1;
    }
    if (!PostMessageW(GetParent(c), WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), (LPARAM)c)) {
        std::printf("post failed %lu\n", GetLastError());
        return 1;
    }
    std::printf("selected %d\n", index);
    return 0;
}

static int CmdBoxes()
{
    BoxSearch s;
    FindBoxes(&s);
    for (int i = 0; i < s.count; i++) PrintBox(s.found[i]);
    return 0;
}

static int CmdWaitBox(int argc, char **argv)
{
    DWORD ms;
    if (!ParseMs(argc, argv, 2, &ms)) return Usage();
    DWORD start = GetTickCount();
    BoxSearch s;
    while (FindBoxes(&s) == 0) {
        if (GetTickCount() - start >= ms) {
            std::printf("timeout\n");
            return 1;
        }
        Sleep(kPollMs);
    }
    PrintBox(s.found[0]);
    return 0;
}

// Presses OK on the first box by posting IDOK to it (what the OK button itself sends), then
// waits until the box is gone so the next command sees the tool after the box.
static int CmdDismiss()
{
    BoxSearch s;
    if (FindBoxes(&s) == 0) {
        std::printf("no box\n");
        return 1;
    }
    HWND box = s.found[0];
    if (!PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                      (LPARAM)GetDlgItem(box, IDOK))) {
        std::printf("post failed %lu\n", GetLastError());
        return 1;
    }
    DWORD start = GetTickCount();
    while (IsWindow(box)) {
        if (GetTickCount() - start >= kDefaultWaitMs) {
            std::printf("box stays\n");
            return 1;
        }
        Sleep(kPollMs);
    }
    std::printf("dismissed\n");
    return 0;
}

// The tool is per-monitor DPI aware; so is the driver (set at its start), or Wine would hand
// it coordinates and font sizes scaled back to 96 DPI. Looked up by name, as in the tool.
typedef void (*AnyProc)(void);
static AnyProc User32Proc(const char *name)
{
    return reinterpret_cast<AnyProc>(GetProcAddress(GetModuleHandleA("user32.dll"), name));
}

static void BecomeDpiAware()
{
    typedef BOOL(WINAPI * SetContextProc)(HANDLE);
    typedef BOOL(WINAPI * SetAwareProc)(void);
    SetContextProc setContext = reinterpret_cast<SetContextProc>(User32Proc("SetProcessDpiAwarenessContext"));
    // DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2, then _PER_MONITOR_AWARE.
    if (setContext && (setContext((HANDLE)(LONG_PTR)-4) || setContext((HANDLE)(LONG_PTR)-3))) return;
    SetAwareProc setAware = reinterpret_cast<SetAwareProc>(User32Proc("SetProcessDPIAware"));
    if (setAware) setAware();
}

// The DPI the tool's layout reads at start: its window's, or the screen's before it runs.
static int ToolDpi()
{
    HDC screen = GetDC(NULL);
    int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(NULL, screen);
    return dpi;
}

// Which character set a font is made with: the icon-title font's own, the ANSI code page's, or
// a number given.
static const int kCharsetIcon = -1;
static const int kCharsetAcp = -2;

static int ParseCharset(const char *s, int *charset)
{
    if (std::strcmp(s, "icon") == 0) *charset = kCharsetIcon;
    else if (std::strcmp(s, "acp") == 0) *charset = kCharsetAcp;
    else {
        char *end = NULL;
        long v = std::strtol(s, &end, 0);
        if (end == s || *end != '\0' || v < 0 || v > 255) return 0;
        *charset = (int)v;
    }
    return 1;
}

static BYTE AcpCharset()
{
    CHARSETINFO info;
    if (!TranslateCharsetInfo((DWORD *)(UINT_PTR)GetACP(), &info, TCI_SRCCODEPAGE)) return DEFAULT_CHARSET;
    return (BYTE)info.ciCharset;
}

static BYTE ChosenCharset(int charset, BYTE own)
{
    return charset == kCharsetIcon ? own : charset == kCharsetAcp ? AcpCharset() : (BYTE)charset;
}

// The icon-title font as the tool makes it for a DPI (platform/win32/window.cpp):
// SystemParametersInfoForDpi where there is one, else the plain call scaled; with the
// character set chosen.
static HFONT ToolFont(int dpi, int charset)
{
    typedef BOOL(WINAPI * ForDpiProc)(UINT, UINT, PVOID, UINT, UINT);
    ForDpiProc forDpi = reinterpret_cast<ForDpiProc>(User32Proc("SystemParametersInfoForDpi"));
    LOGFONTW wide;
    if (forDpi && forDpi(SPI_GETICONTITLELOGFONT, sizeof wide, &wide, 0, (UINT)dpi)) {
        wide.lfCharSet = ChosenCharset(charset, wide.lfCharSet);
        return CreateFontIndirectW(&wide);
    }
    LOGFONTA lf;
    if (!SystemParametersInfoA(SPI_GETICONTITLELOGFONT, sizeof lf, &lf, 0)) return NULL;
    int system = ToolDpi();
    if (dpi != system) lf.lfHeight = MulDiv(lf.lfHeight, dpi, system);
    lf.lfCharSet = ChosenCharset(charset, lf.lfCharSet);
    return CreateFontIndirectA(&lf);
}

// The character set the icon-title font's description names.
static int IconCharset()
{
    LOGFONTA lf;
    if (!SystemParametersInfoA(SPI_GETICONTITLELOGFONT, sizeof lf, &lf, 0)) return -1;
    return lf.lfCharSet;
}

// What decides how the tool's text looks on screen: the face that the icon-title font (the
// layout's font) really gets, its cell height, the width of a sample, and font smoothing.
// The bed compares this with what its screen reading was made for.
static int CmdRendering(int charset)
{
    const int dpi = ToolDpi();
    HFONT font = ToolFont(dpi, charset);
    if (font == NULL) {
        std::printf("no icon-title font %lu\n", GetLastError());
        return 1;
    }
    LOGFONTW lf;
    GetObjectW(font, sizeof lf, &lf);
    HDC dc = GetDC(NULL);
    HGDIOBJ old = SelectObject(dc, font);
    wchar_t face[LF_FACESIZE] = L"";
    GetTextFaceW(dc, LF_FACESIZE, face);
    TEXTMETRICA tm;
    GetTextMetricsA(dc, &tm);
    static const char kSample[] = "Receiving data...";
    SIZE extent = {0, 0};
    GetTextExtentPoint32A(dc, kSample, (int)sizeof kSample - 1, &extent);
    SelectObject(dc, old);
    DeleteObject(font);
    ReleaseDC(NULL, dc);
    BOOL smoothing = FALSE;
    UINT type = 0;
    SystemParametersInfoA(SPI_GETFONTSMOOTHING, 0, &smoothing, 0);
    SystemParametersInfoA(SPI_GETFONTSMOOTHINGTYPE, 0, &type, 0);
    // Face names may hold spaces: "key=value" items, one a line.
    std::printf("requested=");
    PrintWide(lf.lfFaceName, 1);
    std::printf("\nface=");
    PrintWide(face, 1);
    std::printf("\nheight=%ld\nsample=%ld\nsmoothing=%d\ntype=%u\ndpi=%d\nlfheight=%ld\n"
                "charset=%d\niconcharset=%d\nacp=%u\n",
                tm.tmHeight, extent.cx, smoothing ? 1 : 0, type, dpi, lf.lfHeight, lf.lfCharSet,
                IconCharset(), GetACP());
    return 0;
}

// The glyphs of the icon-title font as the tool paints them (opaque, button-face background,
// button-text colour), one per character: of the ANSI text given (a lead byte of the code page
// and its trail byte make one), else one per byte 0x20..0xFF. For each "G HEX advance height
// pad" (HEX: the character's bytes) and then one line of RRGGBB pixels per row, pad columns on
// each side of the advance cell. The bed reads painted text by matching these against the
// screen, pixel for pixel.
static int CmdGlyphs(int dpi, int charset, const char *hex)
{
    unsigned char text[1024];
    int length = 0;
    if (hex == NULL) {
        for (int code = 0x20; code <= 0xFF; code++) text[length++] = (unsigned char)code;
    } else {
        for (const char *p = hex; p[0] && p[1]; p += 2) {
            unsigned int b;
            if (length == (int)sizeof text || std::sscanf(p, "%2x", &b) != 1) return Usage();
            text[length++] = (unsigned char)b;
        }
    }
    HFONT font = ToolFont(dpi > 0 ? dpi : ToolDpi(), charset);
    if (font == NULL) {
        std::printf("no font\n");
        return 1;
    }
    const int kPad = 4;
    HDC screen = GetDC(NULL);
    HDC dc = CreateCompatibleDC(screen);
    ReleaseDC(NULL, screen);
    HGDIOBJ oldFont = SelectObject(dc, font);
    TEXTMETRICA tm;
    GetTextMetricsA(dc, &tm);
    const int height = (int)tm.tmHeight;
    const int width = (int)tm.tmMaxCharWidth * 2 + 2 * kPad;
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = width;
    bi.bmiHeader.biHeight = -height; // top-down rows
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void *bits = NULL;
    HBITMAP bitmap = CreateDIBSection(dc, &bi, DIB_RGB_COLORS, &bits, NULL, 0);
    if (bitmap == NULL || bits == NULL) {
        std::printf("no bitmap\n");
        return 1;
    }
    HGDIOBJ oldBitmap = SelectObject(dc, bitmap);
    COLORREF face = GetSysColor(COLOR_BTNFACE);
    HBRUSH brush = CreateSolidBrush(face);
    SetBkColor(dc, face);
    SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
    RECT all = {0, 0, width, height};
    const UINT acp = GetACP();
    for (int at = 0; at < length;) {
        const char *c = reinterpret_cast<const char *>(text + at);
        int n = hex != NULL && at + 1 < length && IsDBCSLeadByteEx(acp, text[at]) ? 2 : 1;
        at += n;
        SIZE extent = {0, 0};
        GetTextExtentPoint32A(dc, c, n, &extent);
        FillRect(dc, &all, brush);
        TextOutA(dc, kPad, 0, c, n);
        GdiFlush();
        int cell = (int)extent.cx + 2 * kPad;
        if (cell > width) cell = width;
        std::printf("G ");
        for (int k = 0; k < n; k++) std::printf("%02x", (unsigned char)c[k]);
        std::printf(" %ld %d %d\n", extent.cx, height, kPad);
        const DWORD *px = static_cast<const DWORD *>(bits);
        for (int y = 0; y < height; y++) {
            for (int x = 0; x < cell; x++) std::printf("%06lx", px[y * width + x] & 0xFFFFFF);
            std::printf("\n");
        }
    }
    SelectObject(dc, oldBitmap);
    SelectObject(dc, oldFont);
    DeleteObject(brush);
    DeleteObject(bitmap);
    DeleteObject(font);
    DeleteDC(dc);
    return 0;
}

// WM_DPICHANGED as Windows sends it when the window is dragged onto a monitor of another
// scale (Wine has one DPI for all monitors and never sends it): the new DPI in both words
// of wParam, lParam the suggested window rectangle, written into the tool's own memory.
static int CmdDpiChanged(char **argv)
{
    HWND main = MainWindow();
    if (main == NULL) {
        std::printf("no window\n");
        return 1;
    }
    const int dpi = std::atoi(argv[2]);
    RECT suggested = {std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]), std::atoi(argv[6])};
    DWORD pid = 0;
    GetWindowThreadProcessId(main, &pid);
    HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_WRITE, FALSE, pid);
    if (process == NULL) {
        std::printf("open process failed %lu\n", GetLastError());
        return 1;
    }
    void *remote = VirtualAllocEx(process, NULL, sizeof suggested, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    int rc = 1;
    if (remote != NULL && WriteProcessMemory(process, remote, &suggested, sizeof suggested, NULL)) {
        DWORD_PTR result = 0;
        if (SendMessageTimeoutW(main, 0x02E0 /* WM_DPICHANGED */, MAKEWPARAM(dpi, dpi), (LPARAM)remote,
                                SMTO_ABORTIFHUNG, kSendTimeoutMs * 5, &result)) {
            std::printf("sent\n");
            rc = 0;
        } else {
            std::printf("send failed %lu\n", GetLastError());
        }
    } else {
        std::printf("remote rectangle failed %lu\n", GetLastError());
    }
    if (remote != NULL) VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    CloseHandle(process);
    return rc;
}

static int CmdClose()
{
    HWND main = MainWindow();
    if (main == NULL) {
        std::printf("no window\n");
        return 1;
    }
    if (!PostMessageW(main, WM_CLOSE, 0, 0)) {
        std::printf("post failed %lu\n", GetLastError());
        return 1;
    }
    std::printf("posted\n");
    return 0;
}

int main(int argc, char **argv)
{
    // LF line ends, so the Python side sees exactly what was printed.
    _setmode(_fileno(stdout), _O_BINARY);
    BecomeDpiAware();
    if (argc < 2) return Usage();
    const char *cmd = argv[1];
    int id = 0;
    int rc;

    if (std::strcmp(cmd, "wait-window") == 0) rc = CmdWait(argc, argv, 0);
    else if (std::strcmp(cmd, "wait-gone") == 0) rc = CmdWait(argc, argv, 1);
    else if (std::strcmp(cmd, "title") == 0 && argc == 2) {
        HWND main = MainWindow();
        if (main == NULL) std::printf("no window\n");
        rc = CmdCaption(main);
    } else if (std::strcmp(cmd, "client") == 0 && argc == 2) {
        HWND main = MainWindow();
        if (main == NULL) std::printf("no window\n");
        rc = CmdRect(main, 1);
    } else if (std::strcmp(cmd, "client-origin") == 0 && argc == 2) {
        // Where the client area sits on the screen, for cropping screenshots.
        HWND main = MainWindow();
        POINT p = {0, 0};
        if (main == NULL || !ClientToScreen(main, &p)) {
            std::printf("no window\n");
            rc = 1;
        } else {
            std::printf("%ld %ld\n", p.x, p.y);
            rc = 0;
        }
    } else if (std::strcmp(cmd, "window-rect") == 0 && argc == 2) {
        HWND main = MainWindow();
        if (main == NULL) std::printf("no window\n");
        rc = CmdRect(main, 0);
    } else if (std::strcmp(cmd, "close") == 0 && argc == 2) rc = CmdClose();
    else if (std::strcmp(cmd, "boxes") == 0 && argc == 2) rc = CmdBoxes();
    else if (std::strcmp(cmd, "wait-box") == 0) rc = CmdWaitBox(argc, argv);
    else if (std::strcmp(cmd, "dismiss") == 0 && argc == 2) rc = CmdDismiss();
    else if (std::strcmp(cmd, "rendering") == 0 && argc <= 3) {
        int charset = kCharsetIcon;
        if (argc == 3 && !ParseCharset(argv[2], &charset)) return Usage();
        rc = CmdRendering(charset);
    } else if (std::strcmp(cmd, "glyphs") == 0 && argc <= 5) {
        int charset = kCharsetIcon;
        if (argc >= 4 && !ParseCharset(argv[3], &charset)) return Usage();
        rc = CmdGlyphs(argc >= 3 ? std::atoi(argv[2]) : 0, charset, argc == 5 ? argv[4] : NULL);
    }
    else if (std::strcmp(cmd, "dpi-changed") == 0 && argc == 7) rc = CmdDpiChanged(argv);
    else if (std::strcmp(cmd, "acp") == 0 && argc == 2) {
        std::printf("%u\n", GetACP()); // the code page the tool's ANSI texts are read in
        rc = 0;
    } else if (std::strcmp(cmd, "wait-caption") == 0) rc = CmdWaitCaption(argc, argv);
    else if (argc == 3 && ParseId(argv[2], &id)) {
        if (std::strcmp(cmd, "click") == 0) rc = CmdClick(id);
        else if (std::strcmp(cmd, "caption") == 0) rc = CmdCaption(Control(id));
        else if (std::strcmp(cmd, "enabled") == 0 || std::strcmp(cmd, "visible") == 0) {
            HWND c = Control(id);
            if (c == NULL) return 1;
            int on = cmd[0] == 'e' ? IsWindowEnabled(c) : IsWindowVisible(c);
            std::printf("%d\n", on ? 1 : 0);
            rc = 0;
        } else if (std::strcmp(cmd, "rect") == 0) rc = CmdControlRect(id);
        else if (std::strcmp(cmd, "items") == 0) rc = CmdItems(id);
        else if (std::strcmp(cmd, "cursel") == 0) rc = CmdCursel(id);
        else rc = Usage();
    } else if (argc == 4 && std::strcmp(cmd, "select") == 0 && ParseId(argv[2], &id)) {
        char *end = NULL;
        long index = std::strtol(argv[3], &end, 10);
        if (end == argv[3] || *end != '\0' || index < -1 || index > 0xFFFF) return Usage();
        rc = CmdSelect(id, (int)index);
    } else rc = Usage();

    std::fflush(stdout);
    return rc;
}
