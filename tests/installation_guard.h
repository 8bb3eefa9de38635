// The installation values of the test prefix, written for a test and put
// back as they were afterwards, with what the server writes from them (the
// start-up value, the file type and the eight extensions).
#pragma once

#include "settings.h"
#include "win_test_util.h"

#include <string>

namespace wintest {

constexpr wchar_t kInstallationKey[] = L"Software\\Mervalt\\Tarsel\\InstallationPath";
constexpr wchar_t kRunKeyPath[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

// Removes the installation values and what the server writes from them.
inline void RemoveInstallationTraces()
{
    for (const ExtensionRow &row : kExtensionTable)
        SetString(HKEY_CLASSES_ROOT, reinterpret_cast<const wchar_t *>(row.pszExtension), nullptr,
                  reinterpret_cast<const wchar_t *>(row.pszStockType));
    DeleteValue(HKEY_CURRENT_USER, kRunKeyPath, L"PYX");
    DeleteTree(HKEY_CURRENT_USER, L"Software\\Mervalt");
    DeleteTree(HKEY_CLASSES_ROOT, L"TarselFile");
}

struct InstallationValues
{
    explicit InstallationValues(const std::wstring &folder = L"C:\\Program Files\\Tarsel Test\\")
    {
        SetString(HKEY_CURRENT_USER, kInstallationKey, L"Path", folder);
        SetString(HKEY_CURRENT_USER, kInstallationKey, L"GuiApplication", L"PyxUserInterface.exe");
        SetString(HKEY_CURRENT_USER, kInstallationKey, L"GuiCommandLine", L" \"%1\"");
        SetString(HKEY_CURRENT_USER, kInstallationKey, L"ServerApplication", L"PyxVideoServer.exe");
    }
    ~InstallationValues() { RemoveInstallationTraces(); }
    InstallationValues(const InstallationValues &) = delete;
    InstallationValues &operator=(const InstallationValues &) = delete;
};

// A REG_SZ value as text, "<none>" when absent.
inline std::wstring RegText(HKEY root, const wchar_t *key, const wchar_t *name = nullptr)
{
    std::wstring value;
    return GetString(root, key, name, &value) ? value : L"<none>";
}

} // namespace wintest
