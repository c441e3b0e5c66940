// The output file: name from the local time, exclusive creation, records with CR LF.
#pragma once
#include "platform/types.h"

enum { BASE_NAME_SIZE = 32 };

int MakeBaseName(char* baseName);
int OutputFileCreate(PlatWindow window);
void OutputFileWrite(const char* line);
void OutputFileClose(void);
void OutputFileDiscard(void);
void OutputFileRelease(void);
