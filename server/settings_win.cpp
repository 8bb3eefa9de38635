#include "settings_win.h"
#include "settings_win.h"

#include "registry_win.h"

#include <shlobj.h>

bool CDialogSettingsView::IsBoxChecked(int nId) { return IsDlgButtonChecked(m_hDialog, nId) == BST_CHECKED; }

void CDialogSettingsView::SetBoxChecked(int nId, bool bChecked)
{
    CheckDlgButton(m_hDialog, nId, bChecked ? BST_CHECKED : BST_UNCHECKED);
}

void CDialogSettingsView::DisableBox(int nId)
{
    if (HWND hBox = GetDlgItem(m_hDialog, nId))
        EnableWindow(hBox, FALSE);
}

void CWin32ShellNotify::AssociationsChanged() { SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr); }

SettingsPlatform Win32SettingsPlatform()
{
    static CWin32ShellNotify shell;
    return SettingsPlatform{Win32Registry(), shell};
}

void LoadSettingsFromDialog(HWND hDialog)
{
    CDialogSettingsView view(hDialog);
    LoadSettings(view, Win32SettingsPlatform());
}

void SaveSettingsFromDialog(HWND hDialog)
{
    CDialogSettingsView view(hDialog);
    SaveSettings(view, Win32SettingsPlatform());
}

void UninstallFromDialog(HWND hDialog)
{
    CDialogSettingsView view(hDialog);
    Uninstall(view, Win32SettingsPlatform());
}

void ApplyClientPolicyToDialog(uint32_t dwPolicy, HWND hDialog)
{
    CDialogSettingsView view(hDialog);
    ApplyClientPolicy(dwPolicy, view, Win32SettingsPlatform());
}
