// The player's tool bar, built at run time from its resources.
#pragma once

#include <windows.h>

// Creates a tool bar (TOOLBARCLASSNAME child of `parent` with `style` and
// child id `windowId`) from the layout resource RT_TOOLBAR_LAYOUT/resourceId
// and the bitmap resourceId (its images side by side, magenta transparent):
// one button per id of the layout, in order, button i showing image i. The
// tool bar owns its image list. Null on failure.
HWND CreateToolBarFromResource(HWND parent, HINSTANCE instance, UINT resourceId, DWORD style, UINT windowId);

// Gives the tool bar its images drawn for `dpi` (16 pixels at 96 DPI, 24 at
// 144, 32 at 192 and above: the nearest size not larger than the scale asks
// for) and sizes its buttons to them. The tool bar owns the new image list;
// the old one goes. False (the images unchanged) on failure.
bool SetToolBarImagesForDpi(HWND toolbar, HINSTANCE instance, UINT dpi);

// For the parent's WM_NOTIFY: answers a tool-bar button's tooltip request
// (TTN_GETDISPINFO) with the string of its command id from the string
// table; an id without one gets no tooltip. False for other notifications.
bool AnswerToolTip(LPARAM lParam, HINSTANCE instance);
