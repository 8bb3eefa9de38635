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

// Puts the program's path, the first programLength of the length characters
// of text, in quotes when it holds a blank: the platform would otherwise try
// each shorter piece first ("C:\Program.exe" for "C:\Program Files\...") and
// run whatever was planted there. A path without a blank stays as it is.
// The new length; 0 when the quotes do not fit.
size_t QuoteProgram(WireChar (&text)[kPathUnits], size_t length, size_t programLength)
{
    bool blank = false;
    for (size_t i = 0; i < programLength; ++i)
        blank = blank || text[i] == u' ' || text[i] == u'\t';
    if (!blank)
        return length;
    if (length + 2 > kPathUnits - 1)
        return 0;
    std::memmove(text + programLength + 2, text + programLength, (length - programLength + 1) * sizeof(WireChar));
    std::memmove(text + 1, text, programLength * sizeof(WireChar));
    text[0] = u'"';
    text[programLength + 1] = u'"';
    return length + 2;
}

// What became of the file type: written, or why not.
enum class FileType { Written, NoInstallation, TooLong };

// Path + GuiApplication (quoted when it holds a blank) + GuiCommandLine.
FileType ComposeCommandLine(CRegistry &registry, WireChar (&buffer)[kPathUnits])
{
    // The program part is a prefix of the whole: the same values, read alike.
    WireChar program[kPathUnits];
    const size_t programLength = ComposeInstallationPath(registry, program, {kValuePath, kValueGuiApplication});
    const size_t length =
        ComposeInstallationPath(registry, buffer, {kValuePath, kValueGuiApplication, kValueGuiCommandLine});
    if (length == 0)
        return FileType::NoInstallation;
    if (QuoteProgram(buffer, length, programLength) != 0)
        return FileType::Written;
    // Cut short it would start another program, or none: the administrator
    // learns why double clicks do not play.
    wchar_t text[kPathUnits];
    for (size_t i = 0; i <= length; ++i)
        text[i] = static_cast<wchar_t>(buffer[i]);
    PYX_TRACE(L"The player's command line is too long to quote in %u characters, no file type written: %s\r\n",
              static_cast<unsigned>(kPathUnits - 1), text);
    return FileType::TooLong;
}

// Writes "PYX" = Path + ServerApplication, quoted when it holds a blank,
// into the open Run key.
bool WriteStartupValue(CRegKey &run)
{
    WireChar path[kPathUnits];
    const size_t length = ComposeInstallationPath(run.Registry(), path, {kValuePath, kValueServerApplication});
    if (length == 0 || QuoteProgram(path, length, length) == 0)
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
    if (!write(m_key.Create(RegRoot::ClassesRoot, verbKey), m_szCommandLine))
        return;

    // "play" named as the default verb: a shell that runs only "open" or the
    // named default on a double click (Wine's does) plays the file too.
    write(m_key.Create(RegRoot::ClassesRoot, kShellKey), kDefaultVerb);
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

// Composes the player command line and writes the file type with it;
// nothing is written without installation values or when the command does
// not fit.
FileType WriteFileTypeFromInstallation(CRegistry &registry)
{
    WireChar commandLine[kPathUnits];
    const FileType state = ComposeCommandLine(registry, commandLine);
    if (state == FileType::Written)
        CAssociationRegistrar registrar(registry, kVerb, commandLine);
    return state;
}

// An extension may be given our file type only when it was written: the
// type would otherwise have no command, or one for another place. Giving
// an extension back its stock type always fits.
bool MayAssociate(FileType state, bool associate) { return state == FileType::Written || !associate; }

void SaveSettingsFor(FileType state, CSettingsView &dialog, const SettingsPlatform &platform);

} // namespace

void LoadSettings(CSettingsView &dialog, const SettingsPlatform &platform)
{
    const FileType state = WriteFileTypeFromInstallation(platform.registry);
    if (state == FileType::NoInstallation)
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

    SaveSettingsFor(state, dialog, platform);
}

void SaveSettings(CSettingsView &dialog, const SettingsPlatform &platform)
{
    const FileType state = WriteFileTypeFromInstallation(platform.registry);
    if (state != FileType::NoInstallation)
        SaveSettingsFor(state, dialog, platform);
}

namespace {

void SaveSettingsFor(FileType state, CSettingsView &dialog, const SettingsPlatform &platform)
{

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
            if (MayAssociate(state, true) && !SetExtensionFileType(platform, row.pszExtension, kFileType))
                ShowErrorBox(kBoxExtensionCreate);
        } else {
            if (!SetExtensionFileType(platform, row.pszExtension, row.pszStockType))
                ShowErrorBox(kBoxExtensionRemove);
        }
    }
}

} // namespace

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
    const FileType state = WriteFileTypeFromInstallation(platform.registry);
    if (state == FileType::NoInstallation)
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
        if (!MayAssociate(state, associate))
            continue;   // left as it is, its box enabled
        if (SetExtensionFileType(platform, row.pszExtension, associate ? kFileType : row.pszStockType)) {
            dialog.SetBoxChecked(row.nBoxId, associate);
            dialog.DisableBox(row.nBoxId);
        } else {
            ShowErrorBox(associate ? kBoxExtensionCreate : kBoxExtensionRemove);
        }
    }
}
