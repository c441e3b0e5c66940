// The executable's folder and the paths of the files kept beside it.
#pragma once
#include "platform/types.h"

// Writes the executable's folder (at least PLAT_MAX_PATH bytes of room; "." for a module
// path without a folder part) and returns 1. Returns 0 with an empty folder when the module
// path cannot be obtained or its folder is too long for PLAT_MAX_PATH bytes.
int GetExeFolder(char* folder);

// Builds folder + "\" + name into path (PLAT_MAX_PATH bytes). Returns 1, or 0 with an empty
// path when the result would not fit.
int BuildPathBesideExe(char* path, const char* name);
