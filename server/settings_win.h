// The settings' Win32 half: the settings dialog's check boxes, the shell's
// notification, and the settings operations on the dialog window (template
// 129) with the Win32 registry and shell.
#pragma once

#include "settings.h"

#include <windows.h>

void LoadSettingsFromDialog(HWND hDialog);
void SaveSettingsFromDialog(HWND hDialog);
void UninstallFromDialog(HWND hDialog);
// On the control thread: the box changes are carried out by the dialog's thread.
void ApplyClientPolicyToDialog(uint32_t dwPolicy, HWND hDialog);

// The check boxes of a dialog window made from template 129.
class CDialogSettingsView final : public CSettingsView
{
public:
    explicit CDialogSettingsView(HWND hDialog) : m_hDialog(hDialog) {}
    bool IsBoxChecked(int nId) override;
    void SetBoxChecked(int nId, bool bChecked) override;
    void DisableBox(int nId) override;

private:
    HWND m_hDialog;
};

class CWin32ShellNotify final : public CShellNotify
{
public:
    void AssociationsChanged() override;
};

// The Win32 registry and shell.
SettingsPlatform Win32SettingsPlatform();
