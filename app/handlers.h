// The main window's message handlers, one per message the program answers. Each is a few
// lines that hand the work to the subsystem that owns it.
#pragma once
#include "platform/types.h"

// Notification codes of WM_COMMAND the program reacts to.
enum { NOTIFY_CLICKED = 0, NOTIFY_SELCHANGE = 1 };

// Result meaning "hand the message to the default window procedure".
enum { ROUTE_TO_DEFAULT = -1 };

void OnInitDialog(PlatWindow window);
void OnPaint(PlatWindow window);
// Returns the message result, or ROUTE_TO_DEFAULT.
long OnCommand(PlatWindow window, unsigned notifyCode, unsigned controlId);
void OnTimer(PlatWindow window, unsigned timerId);
void OnDpiChanged(PlatWindow window, int dpi, const PlatRect* suggested);
void OnClose(PlatWindow window);
void OnDestroy(PlatWindow window);
