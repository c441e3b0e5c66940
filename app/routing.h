// The window procedure's routing of WM_COMMAND, kept portable so the host tests prove it.
#pragma once
#include "platform/types.h"

// Notification codes of WM_COMMAND the program reacts to.
enum { NOTIFY_CLICKED = 0, NOTIFY_SELCHANGE = 1 };

// Result meaning "hand the message to the default window procedure".
enum { ROUTE_TO_DEFAULT = -1 };

// Returns the message result, or ROUTE_TO_DEFAULT.
long RouteCommand(PlatWindow window, unsigned notifyCode, unsigned controlId);
