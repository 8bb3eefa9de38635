// Win32 side of the settings: the dialog's check boxes and the shell
// notification.
#pragma once

#include "settings.h"

#include <windows.h>

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
