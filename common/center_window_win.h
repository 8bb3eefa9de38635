// Window placement shared by the programs' dialogs.
#pragma once

#include <windows.h>

// Centres `hwnd` over its owner window, or over the work area of the
// primary monitor when it has none. Size and Z order stay as they are.
void CenterOverOwner(HWND hwnd);
