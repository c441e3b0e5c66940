// Orderly release when the main window is destroyed.
#pragma once
#include "platform/types.h"

void OnDestroy(PlatWindow window);
