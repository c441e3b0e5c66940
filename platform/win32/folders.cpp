// Win32 special folders (PlatGetSpecialFolder of platform/system.h). Apart from system.cpp
// because it loads shell32, which loads user32 and gdi32: the console program must not.
#include <windows.h>
#include <shlobj.h>
#include "platform/system.h"

int PlatGetSpecialFolder(int csidl, char* buffer)
{
    return SHGetSpecialFolderPathA(NULL, buffer, csidl, FALSE) ? 1 : 0;
}
