// The dialog as the download's front end: Start/Cancel, the one-shot timer that runs each
// step, and the status area, lists and button that show where the download stands.
#pragma once
#include "platform/types.h"

void DownloadToggle(PlatWindow window);
// A tick of the download timer; 0 when it was not the download's (a stale or foreign tick).
int DownloadOnTimer(PlatWindow window, unsigned timerId);
// The steps one at a time, with the window as front end and the request its lists make.
int DownloadBegin(PlatWindow window);
int DownloadPoll(PlatWindow window);
void DownloadFinish(PlatWindow window);
// Creates the output file in the folder the destination list names; CREATE_NO_LIST when the
// list is missing.
int OutputFileCreate(PlatWindow window);
