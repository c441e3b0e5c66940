// The three drop-down lists bound to the settings, and the dialog's initialisation.
#pragma once
#include "platform/types.h"

void CenterMainWindow(PlatWindow window);
void FillPortList(PlatWindow list);
void FillBaudList(PlatWindow list);
void FillStoreList(PlatWindow list);
int OnSelectionChange(PlatWindow window, int id);
