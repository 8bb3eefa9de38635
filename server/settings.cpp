#include "settings.h"

#include "trace.h"

#include <cstring>

namespace {

// Copies at most room-1 characters of src to the end of dest (room units,
// NUL-terminated) and returns the new length.
size_t AppendText(WireChar *dest, size_t length, size_t room, const WireChar *src)
{
    while (*src && length + 1 < room)
        dest[length++] = *src++;
    dest[length] = 0;
    return length;
}

size_t ComposeCommandLine(CRegistry &registry, WireChar (&buffer)[kPathUnits])
{
    return ComposeInstallationPath(registry, buffer, {kValuePath, kValueGuiApplication, kValueGuiCommandLine});
}

// Writes "PYX" = Path + ServerApplication into the open Run key.
bool WriteStartupValue(CRegKey &run)
{
    WireChar path[kPathUnits];
    if (ComposeInstallationPath(run.Registry(), path, {kValuePath, kValueServerApplication}) == 0)
        return false;
    return run.Registry().SetStringValue(run.Get(), kStartupValue, path) == kRegOk;
}

// Deletes "PYX"; a value that is not there counts as deleted.
bool DeleteStartupValue(CRegKey &run)
{
    const long result = run.Registry().DeleteValue(run.Get(), kStartupValue);
    return result == kRegOk || result == kRegNotFound;
}

bool WireEquals(const WireChar *a, const WireChar *b)
{
    while (*a && *a == *b)
        ++a, ++b;
    return *a == *b;
}

} // namespace

CAssociationRegistrar::CAssociationRegistrar(CRegistry &registry, const WireChar *pszVerb,
                                             const WireChar *pszCommandLine)
    : m_registry(registry), m_key(registry)
{
    AppendText(m_szVerb, 0, kPathUnits, pszVerb);
    AppendText(m_szCommandLine, 0, kPathUnits, pszCommandLine);
    WriteFileType();
}

void CAssociationRegistrar::WriteFileType()
{
    // A key that cannot be created is skipped; a value that cannot be
    // written ends the procedure. Nothing is reported.
    auto write = [this](bool opened, const WireChar *text) {
        if (!opened)
            return true;
        const bool ok = m_registry.SetStringValue(m_key.Get(), nullptr, text) == kRegOk;
        m_key.Close();
        return ok;
    };

    if (!write(m_key.Create(RegRoot::ClassesRoot, kFileType), kFileTypeName))
        return;
    if (!write(m_key.Create(RegRoot::ClassesRoot, kDefaultIconKey), kStockDefaultIcon))
        return;

    WireChar icon[kPathUnits];
    if (m_key.Open(RegRoot::ClassesRoot, kDefaultIconKey)) {
        const size_t n = ComposeInstallationPath(m_registry, icon, {kValuePath, kValueGuiApplication});
        AppendText(icon, n, kPathUnits, u",0");
        if (!write(true, icon))
            return;
    }

    if (!write(m_key.Create(RegRoot::ClassesRoot, kPlayCommandKey), m_szCommandLine))
        return;

    WireChar verbKey[kPathUnits];
    size_t n = AppendText(verbKey, 0, kPathUnits, u"TarselFile\\shell\\");
    n = AppendText(verbKey, n, kPathUnits, m_szVerb);
    AppendText(verbKey, n, kPathUnits, u"\\command");
    write(m_key.Create(RegRoot::ClassesRoot, verbKey), m_szCommandLine);
}

bool SetExtensionFileType(const SettingsPlatform &platform, const WireChar *pszExtension, const WireChar *pszFileType)
{
    bool ok = false;
    {
        CRegKey key(platform.registry);
        // A key that cannot be created is a failure too: nothing was written.
        if (key.Create(RegRoot::ClassesRoot, pszExtension))
            ok = platform.registry.SetStringValue(key.Get(), nullptr, pszFileType) == kRegOk;
    }
    platform.shell.AssociationsChanged();
    return ok;
}

bool IsExtensionAssociated(CRegistry &registry, const WireChar *pszExtension)
{
    CRegKey key(registry);
    if (!key.Open(RegRoot::ClassesRoot, pszExtension))
        return false;
    WireChar text[kPathUnits];
    uint32_t type = 0;
    uint32_t bytes = sizeof(text);
    if (registry.QueryValue(key.Get(), nullptr, &type, text, &bytes) != kRegOk)
        return false;
    if ((type != kRegSz && type != kRegExpandSz) || bytes < 2 * sizeof(WireChar) || bytes > sizeof(text) ||
        bytes % sizeof(WireChar) != 0 || text[bytes / sizeof(WireChar) - 1] != 0)
        return false;
    return WireEquals(text, kFileType);
}

namespace {

// Composes the player command line and writes the file type with it; false
// (and nothing written) without installation values.
bool WriteFileTypeFromInstallation(CRegistry &registry)
{
    WireChar commandLine[kPathUnits];
    if (ComposeCommandLine(registry, commandLine) == 0)
        return false;
    CAssociationRegistrar registrar(registry, kVerb, commandLine);
    return true;
}

} // namespace

void LoadSettings(CSettingsView &dialog, const SettingsPlatform &platform)
{
    if (!WriteFileTypeFromInstallation(platform.registry))
        return;

    CRegKey run(platform.registry);
    if (run.Open(RegRoot::CurrentUser, kRunKey)) {
        WireChar value[kPathUnits];
        uint32_t bytes = sizeof(value);
        const bool present = platform.registry.QueryValue(run.Get(), kStartupValue, nullptr, value, &bytes) == kRegOk;
        dialog.SetBoxChecked(IDC_STARTUP, present && bytes >= 1);
        run.Close();
    }

    for (const ExtensionRow &row : kExtensionTable)
        dialog.SetBoxChecked(row.nBoxId, IsExtensionAssociated(platform.registry, row.pszExtension));

    SaveSettings(dialog, platform);
}

void SaveSettings(CSettingsView &dialog, const SettingsPlatform &platform)
{
    if (!WriteFileTypeFromInstallation(platform.registry))
        return;

    {
        CRegKey run(platform.registry);
        const bool opened = run.Open(RegRoot::CurrentUser, kRunKey);
        if (dialog.IsBoxChecked(IDC_STARTUP)) {
            if (!opened || !WriteStartupValue(run))
                ShowErrorBox(kBoxStartupCreate);
        } else {
            if (!opened || !DeleteStartupValue(run))
                ShowErrorBox(kBoxStartupRemove);
        }
    }

    for (const ExtensionRow &row : kExtensionTable) {
        if (dialog.IsBoxChecked(row.nBoxId)) {
            if (!SetExtensionFileType(platform, row.pszExtension, kFileType))
                ShowErrorBox(kBoxExtensionCreate);
        } else {
            if (!SetExtensionFileType(platform, row.pszExtension, row.pszStockType))
                ShowErrorBox(kBoxExtensionRemove);
        }
    }
}

void Uninstall(CSettingsView &, const SettingsPlatform &platform)
{
    {
        CRegKey run(platform.registry);
        if (run.Open(RegRoot::CurrentUser, kRunKey))
            platform.registry.DeleteValue(run.Get(), kStartupValue);
    }
    for (const ExtensionRow &row : kExtensionTable) {
        if (!SetExtensionFileType(platform, row.pszExtension, row.pszStockType))
            ShowErrorBox(kBoxExtensionRemove);
    }
}

void ApplyClientPolicy(uint32_t dwPolicy, CSettingsView &dialog, const SettingsPlatform &platform)
{
    if (!(dwPolicy & kPolicyApply))
        return;
    if (!WriteFileTypeFromInstallation(platform.registry))
        return;

    {
        CRegKey run(platform.registry);
        const bool opened = run.Open(RegRoot::CurrentUser, kRunKey);
        if (dwPolicy & kPolicyStartup) {
            if (opened && WriteStartupValue(run)) {
                dialog.SetBoxChecked(IDC_STARTUP, true);
                dialog.DisableBox(IDC_STARTUP);
            } else {
                ShowErrorBox(kBoxStartupCreate);
            }
        } else {
            if (opened && DeleteStartupValue(run)) {
                dialog.SetBoxChecked(IDC_STARTUP, false);
                dialog.DisableBox(IDC_STARTUP);
            } else {
                ShowErrorBox(kBoxStartupRemove);
            }
        }
    }

    for (const ExtensionRow &row : kExtensionTable) {
        const bool associate = (dwPolicy & row.dwPolicyBit) != 0;
        if (SetExtensionFileType(platform, row.pszExtension, associate ? kFileType : row.pszStockType)) {
            dialog.SetBoxChecked(row.nBoxId, associate);
            dialog.DisableBox(row.nBoxId);
        } else {
            ShowErrorBox(associate ? kBoxExtensionCreate : kBoxExtensionRemove);
        }
    }
}
