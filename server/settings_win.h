// The settings operations on the settings dialog window (template 129), with
// the Win32 registry and shell.
#pragma once

#include "settings.h"

#include <windows.h>

void LoadSettingsFromDialog(HWND hDialog);
void SaveSettingsFromDialog(HWND hDialog);
void UninstallFromDialog(HWND hDialog);
// On the control thread: the box changes are carried out by the dialog's thread.
void ApplyClientPolicyToDialog(uint32_t dwPolicy, HWND hDialog);
