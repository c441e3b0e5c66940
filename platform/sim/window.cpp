// The simulated windows (platform/window.h): the dialog and its controls, message boxes,
// timers, painting, fonts and the DPI; with their Sim* controls.
#include "platform/sim/sim_world.h"

#include <string.h>

using namespace sim_world;

namespace {

// Where LOGFONTA keeps lfCharSet: after five 32-bit fields and three flag bytes.
enum { LOGFONT_CHARSET_OFFSET = 23 };

SimWindowRec* Rec(PlatWindow window) { return reinterpret_cast<SimWindowRec*>(window); }

bool Alive(PlatWindow window)
{
    for (SimWindowRec* rec : World().windows)
        if (reinterpret_cast<PlatWindow>(rec) == window && !rec->removed) return true;
    return false;
}

SimWindowRec* NewWindow(SimWindowRec* parent, int id, const char* text, int isCombo, PlatRect rect)
{
    SimWindowRec* rec = new SimWindowRec();
    rec->parent = parent;
    rec->isCombo = isCombo;
    rec->removed = 0;
    rec->info.id = id;
    rec->info.text = text;
    rec->info.curSel = -1;
    rec->info.enabled = 1;
    rec->info.visible = 1;
    rec->info.font = nullptr;
    rec->info.rect = rect;
    rec->info.placedHeight = rect.bottom - rect.top;
    World().windows.push_back(rec);
    return rec;
}

// MulDiv's rounding (half away from zero) for the non-negative sizes scaled here.
int ScaleBy(int value, int numerator, int denominator)
{
    return (int)(((int64_t)value * numerator + denominator / 2) / denominator);
}

int FontEm(PlatFont font)
{
    for (SimFontRec* rec : World().fonts)
        if (reinterpret_cast<PlatFont>(rec) == font) return rec->em;
    return SIM_FONT_EM;
}

int LineHeightOf(PlatFont font) { return ScaleBy(SIM_LINE_HEIGHT, FontEm(font), SIM_FONT_EM); }
int CharWidthOf(PlatFont font) { return ScaleBy(SIM_CHAR_WIDTH, FontEm(font), SIM_FONT_EM); }

int ComboClosedHeight(const SimWindowRec* rec)
{
    if (!rec->info.font) return 20;
    return LineHeightOf(rec->info.font) + ScaleBy(SIM_COMBO_EDGE, World().dpi, 96);
}

bool Intersects(const PlatRect& a, const PlatRect& b)
{
    return a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom;
}

}  // namespace

// ---------------------------------------------------------------- control panel

void SimSetIconTitleCharset(int charset) { World().iconTitleCharset = charset; }

const std::vector<SimTimer>& SimTimers(void) { return World().timers; }

int SimNextTimer(PlatWindow* window, unsigned* id)
{
    SimWorld& w = World();
    if (w.timers.empty()) return 0;
    size_t best = 0;
    for (size_t i = 1; i < w.timers.size(); i++)
        if ((int32_t)(w.timers[i].due - w.timers[best].due) < 0) best = i;
    SimTimer& timer = w.timers[best];
    if ((int32_t)(timer.due - w.now) > 0) w.now = timer.due;
    timer.due = w.now + timer.interval;
    *window = timer.window;
    *id = timer.id;
    return 1;
}

PlatWindow SimCreateMainDialog(void)
{
    // The template's 120 x 62 dialog units come out at about 180 x 101 pixels with the
    // dialog font; controls likewise at 1.5 x 1.625 pixels per unit.
    SimWindowRec* dialog = NewWindow(nullptr, 0, "KM-740 TOOL", 0, PlatRect{0, 0, 186, 130});
    struct ControlDef {
        int id;
        const char* text;
        int isCombo;
        int x, y, cx, cy;
    };
    static const ControlDef controls[] = {
        {1001, "START", 0, 63, 7, 50, 14},  {1000, "CLOSE", 0, 63, 24, 50, 14},
        {1002, "", 1, 7, 7, 48, 30},        {1003, "", 1, 7, 21, 48, 30},
        {1004, "", 1, 7, 35, 48, 30},
    };
    for (const ControlDef& def : controls) {
        PlatRect rect = {def.x * 3 / 2, def.y * 13 / 8, (def.x + def.cx) * 3 / 2, 0};
        SimWindowRec* rec = NewWindow(dialog, def.id, def.text, def.isCombo, rect);
        rec->info.placedHeight = def.cy * 13 / 8;
        rec->info.rect.bottom = rect.top + (def.isCombo ? ComboClosedHeight(rec) : def.cy * 13 / 8);
    }
    return reinterpret_cast<PlatWindow>(dialog);
}

void SimRemoveControl(PlatWindow dialog, int id)
{
    for (SimWindowRec* rec : World().windows)
        if (rec->parent == Rec(dialog) && rec->info.id == id) rec->removed = 1;
}

const SimWindowInfo* SimWindow(PlatWindow window)
{
    if (!window || !Alive(window)) return nullptr;
    return &Rec(window)->info;
}

void SimSetScreenSize(int width, int height)
{
    World().screenWidth = width;
    World().screenHeight = height;
}

const std::vector<SimMessageBox>& SimMessageBoxes(void) { return World().boxes; }
void SimClearMessageBoxes(void) { World().boxes.clear(); }
const std::vector<SimPosted>& SimPostedMessages(void) { return World().posted; }
int SimQuitPosted(void) { return World().quitPosted; }
int SimQuitCode(void) { return World().quitCode; }
const std::vector<SimInvalidation>& SimInvalidations(void) { return World().invalidations; }
int SimUpdateWindowCalls(void) { return World().updateCalls; }
const std::vector<SimTextOut>& SimTextOuts(void) { return World().textOuts; }

void SimClearPaintLog(void)
{
    World().textOuts.clear();
    World().invalidations.clear();
}

void SimFailExtentOf(const char* text) { World().failExtents.insert(text); }
PlatFont SimSelectedFont(void)
{
    const SimWorld& w = World();
    return w.paints.empty() ? w.lastPaint.selected : w.paints.back()->selected;
}

int SimOpenPaints(void) { return (int)World().paints.size(); }
int SimPaintMismatches(void) { return World().paintMismatches; }

void SimSetBoxHook(void (*hook)(PlatWindow owner, void* context), void* context)
{
    World().boxHook = hook;
    World().boxContext = context;
}

void SimSetDpi(int dpi) { World().dpi = dpi; }
int SimDcsHeld(void) { return World().dcsHeld; }
int SimFontsDeletedInUse(void) { return World().fontsDeletedInUse; }
int SimFontHeight(PlatFont font) { return FontEm(font); }

int SimFontCharset(PlatFont font)
{
    return font ? reinterpret_cast<SimFontRec*>(font)->charset : SIM_CHARSET_DEFAULT;
}

int SimMisconverted(void) { return World().misconverted; }

// The code page a text call on a font converts by; one that is not the system's ANSI code
// page is counted as mojibake.
static int ConvertText(PlatFont font)
{
    int codePage = CharsetCodePage(SimFontCharset(font));
    if (codePage != World().codePage) World().misconverted++;
    return codePage;
}

int SimFontsAlive(void)
{
    int alive = 0;
    for (SimFontRec* rec : World().fonts) alive += rec->alive;
    return alive;
}

// ---------------------------------------------------------------- window.h

PlatWindow PlatGetDlgItem(PlatWindow dialog, int id)
{
    for (SimWindowRec* rec : World().windows)
        if (rec->parent == Rec(dialog) && rec->info.id == id && !rec->removed)
            return reinterpret_cast<PlatWindow>(rec);
    return nullptr;
}

void PlatEnableWindow(PlatWindow window, int enable)
{
    if (Alive(window)) Rec(window)->info.enabled = enable ? 1 : 0;
}

int PlatSetWindowText(PlatWindow window, const char* text)
{
    if (!Alive(window)) return 0;
    Rec(window)->info.text = text;
    return 1;
}

int PlatDestroyWindow(PlatWindow window)
{
    if (!Alive(window)) return 0;
    Rec(window)->info.destroyed = 1;
    return 1;
}

int PlatPostMessage(PlatWindow window, unsigned message)
{
    World().posted.push_back(SimPosted{window, message});
    return 1;
}

int PlatMessageBox(PlatWindow owner, const char* text, const char* caption, unsigned style)
{
    SimWorld& w = World();
    w.boxes.push_back(SimMessageBox{owner, text ? text : "", caption ? caption : "", style});
    // The box's own message loop runs until it is closed.
    if (w.boxHook) w.boxHook(owner, w.boxContext);
    return PLAT_IDOK;
}

int PlatComboAddString(PlatWindow list, const char* text)
{
    if (!Alive(list)) return -1;
    std::vector<std::string>& items = Rec(list)->info.items;
    if (items.empty()) items.reserve(8);  // the baud list's six in one block
    items.push_back(text);
    return (int)Rec(list)->info.items.size() - 1;
}

int PlatComboSetCurSel(PlatWindow list, int index)
{
    if (!Alive(list)) return -1;
    SimWindowInfo& info = Rec(list)->info;
    if (index < 0 || index >= (int)info.items.size()) {
        info.curSel = -1;
        return -1;
    }
    info.curSel = index;
    return index;
}

int PlatComboGetCurSel(PlatWindow list)
{
    if (!Alive(list)) return -1;
    return Rec(list)->info.curSel;
}

int PlatGetScreenWidth(void) { return World().screenWidth; }
int PlatGetScreenHeight(void) { return World().screenHeight; }

int PlatMoveWindow(PlatWindow window, int x, int y, int width, int height, int)
{
    if (!Alive(window)) return 0;
    Rec(window)->info.rect = PlatRect{x, y, x + width, y + height};
    return 1;
}

unsigned PlatSetTimer(PlatWindow window, unsigned id, unsigned milliseconds)
{
    Observe(SIM_CALL_SET_TIMER, milliseconds);
    if (Fails(SIM_OP_SET_TIMER)) return 0;
    SimWorld& w = World();
    for (SimTimer& timer : w.timers)
        if (timer.window == window && timer.id == id) {
            timer.interval = milliseconds;
            timer.due = w.now + milliseconds;
            return id;
        }
    w.timers.push_back(SimTimer{window, id, milliseconds, w.now + milliseconds});
    return id;
}

int PlatKillTimer(PlatWindow window, unsigned id)
{
    Observe(SIM_CALL_KILL_TIMER, 0);
    SimWorld& w = World();
    for (size_t i = 0; i < w.timers.size(); i++)
        if (w.timers[i].window == window && w.timers[i].id == id) {
            w.timers.erase(w.timers.begin() + (long)i);
            return 1;
        }
    return 0;
}

int PlatInvalidateRect(PlatWindow window, const PlatRect* rect, int erase)
{
    Observe(SIM_CALL_INVALIDATE, 0);
    SimWorld& w = World();
    w.invalidatedSinceUpdate = 1;
    SimInvalidation entry = {window, rect == nullptr, rect ? *rect : PlatRect{0, 0, 0, 0}, erase};
    w.invalidations.push_back(entry);
    if (rect)
        w.pendingPaint.push_back(*rect);
    else
        w.pendingWhole = 1;
    return 1;
}

int PlatUpdateWindow(PlatWindow)
{
    SimWorld& w = World();
    Observe(SIM_CALL_REPAINT, (uint32_t)w.invalidatedSinceUpdate);
    w.invalidatedSinceUpdate = 0;
    w.updateCalls++;
    return 1;
}

PlatDc PlatBeginPaint(PlatWindow window, PlatPaint* paint)
{
    SimWorld& w = World();
    SimDcRec* dc = new SimDcRec{window, {}, nullptr, 0xFFFFFF, 0};
    if (w.pendingWhole) {
        PlatRect client;
        PlatGetClientRect(window, &client);
        dc->clip.push_back(client);
    } else {
        dc->clip = w.pendingPaint;
    }
    w.pendingPaint.clear();
    w.pendingWhole = 0;
    w.paints.push_back(dc);
    paint->dc = reinterpret_cast<PlatDc>(dc);
    memset(paint->system, 0, sizeof paint->system);
    memcpy(paint->system, &dc, sizeof dc);
    return paint->dc;
}

void PlatEndPaint(PlatWindow window, PlatPaint* paint)
{
    SimWorld& w = World();
    SimDcRec* dc = nullptr;
    memcpy(&dc, paint->system, sizeof dc);
    // Paints end innermost first, each with its own record; anything else is the fault of
    // a shared record, and leaves a device context unreleased.
    if (w.paints.empty() || w.paints.back() != dc || dc->window != window) {
        w.paintMismatches++;
        return;
    }
    w.paints.pop_back();
    w.lastPaint = *dc;
    w.lastPaint.clip.clear();
    delete dc;
}

int PlatGetClientRect(PlatWindow window, PlatRect* rect)
{
    if (!Alive(window)) return 0;
    const PlatRect& outer = Rec(window)->info.rect;
    rect->left = 0;
    rect->top = 0;
    // The frame and caption grow with the DPI, as Windows draws them for a per-monitor
    // aware window.
    rect->right = outer.right - outer.left - ScaleBy(SIM_FRAME_WIDTH, World().dpi, 96);
    rect->bottom = outer.bottom - outer.top - ScaleBy(SIM_FRAME_HEIGHT, World().dpi, 96);
    return 1;
}

int PlatSetWindowPos(PlatWindow control, int x, int y, int width, int height)
{
    if (!Alive(control)) return 0;
    SimWindowRec* rec = Rec(control);
    rec->info.placedHeight = height;
    rec->info.visible = 1;
    // A drop-down list's window is only its closed field; the height given counts the
    // opened list as well.
    int shown = rec->isCombo ? ComboClosedHeight(rec) : height;
    rec->info.rect = PlatRect{x, y, x + width, y + shown};
    return 1;
}

int PlatGetControlRect(PlatWindow, PlatWindow control, PlatRect* rect)
{
    if (!Alive(control)) return 0;
    *rect = Rec(control)->info.rect;
    return 1;
}

int PlatGetDpiForWindow(PlatWindow) { return World().dpi; }

int PlatGetIconTitleLogFont(PlatLogFont* description, int dpi)
{
    if (Fails(SIM_OP_ICON_TITLE_FONT)) return 0;
    memset(description->bytes, 0, sizeof(description->bytes));
    // lfHeight, the first field: -13 at 96 DPI, as Windows reports 9 points, scaled.
    int32_t height = -ScaleBy(SIM_FONT_EM, dpi, 96);
    memcpy(description->bytes, &height, sizeof height);
    description->bytes[LOGFONT_CHARSET_OFFSET] = (unsigned char)World().iconTitleCharset;
    return 1;
}

// The character set of the system's ANSI code page: Shift-JIS on a 932 system, else the
// Western one.
int PlatAnsiCharset(void)
{
    return World().codePage == CharsetCodePage(SIM_CHARSET_SHIFTJIS) ? SIM_CHARSET_SHIFTJIS : SIM_CHARSET_ANSI;
}

void PlatSetLogFontCharset(PlatLogFont* description, int charset)
{
    description->bytes[LOGFONT_CHARSET_OFFSET] = (unsigned char)charset;
}

PlatFont PlatCreateFont(const PlatLogFont* description)
{
    if (Fails(SIM_OP_CREATE_FONT)) return nullptr;
    int32_t height = 0;
    memcpy(&height, description->bytes, sizeof height);
    SimFontRec* rec = new SimFontRec{1, height < 0 ? -height : height > 0 ? height : SIM_FONT_EM,
                                     description->bytes[LOGFONT_CHARSET_OFFSET]};
    World().fonts.push_back(rec);
    return reinterpret_cast<PlatFont>(rec);
}

void PlatDeleteFont(PlatFont font)
{
    // A control left holding a deleted font would draw with a dead handle.
    for (SimWindowRec* rec : World().windows)
        if (!rec->removed && rec->parent && rec->info.font == font) World().fontsDeletedInUse++;
    for (SimFontRec* rec : World().fonts)
        if (reinterpret_cast<PlatFont>(rec) == font) rec->alive = 0;
}

void PlatSetControlFont(PlatWindow control, PlatFont font)
{
    if (!Alive(control)) return;
    SimWindowRec* rec = Rec(control);
    rec->info.font = font;
    if (rec->isCombo) rec->info.rect.bottom = rec->info.rect.top + ComboClosedHeight(rec);
}

PlatDc PlatGetDc(PlatWindow window)
{
    SimWorld& w = World();
    w.dcsHeld++;
    w.measureDc = SimDcRec{window, {}, nullptr, 0xFFFFFF, 0};
    return reinterpret_cast<PlatDc>(&w.measureDc);
}

void PlatReleaseDc(PlatWindow, PlatDc) { World().dcsHeld--; }

PlatFont PlatSelectFont(PlatDc dc, PlatFont font)
{
    SimDcRec* rec = reinterpret_cast<SimDcRec*>(dc);
    PlatFont previous = rec->selected;
    rec->selected = font;
    return previous;
}

int PlatGetTextExtent(PlatDc dc, const char* text, int length, PlatSize* size)
{
    if (Fails(SIM_OP_TEXT_EXTENT)) return 0;
    if (World().failExtents.count(std::string(text, (size_t)(length > 0 ? length : 0)))) return 0;
    PlatFont font = reinterpret_cast<SimDcRec*>(dc)->selected;
    ConvertText(font);
    size->cx = CharWidthOf(font) * length;
    size->cy = LineHeightOf(font);
    return 1;
}

uint32_t PlatGetSysColor(int index)
{
    return index == PLAT_COLOR_BTNFACE ? SIM_COLOR_BTNFACE : index == PLAT_COLOR_BTNTEXT ? SIM_COLOR_BTNTEXT : 0x808080;
}

uint32_t PlatSetBkColor(PlatDc dc, uint32_t colour)
{
    SimDcRec* rec = reinterpret_cast<SimDcRec*>(dc);
    uint32_t previous = rec->background;
    rec->background = colour;
    return previous;
}

uint32_t PlatSetTextColor(PlatDc dc, uint32_t colour)
{
    SimDcRec* rec = reinterpret_cast<SimDcRec*>(dc);
    uint32_t previous = rec->foreground;
    rec->foreground = colour;
    return previous;
}

int PlatRectVisible(PlatDc dc, const PlatRect* rect)
{
    SimDcRec* rec = reinterpret_cast<SimDcRec*>(dc);
    for (const PlatRect& clip : rec->clip)
        if (Intersects(clip, *rect)) return 1;
    return 0;
}

int PlatTextOut(PlatDc dc, int x, int y, const char* text, int length)
{
    SimDcRec* rec = reinterpret_cast<SimDcRec*>(dc);
    int codePage = ConvertText(rec->selected);
    World().textOuts.push_back(SimTextOut{std::string(text, (size_t)length), x, y, rec->selected, rec->background,
                                          rec->foreground, codePage});
    return 1;
}

void PlatPostQuitMessage(int exitCode)
{
    World().quitPosted = 1;
    World().quitCode = exitCode;
}

