// The user's settings in the registry: start at log-on ("PYX" under the Run
// key) and the association of eight media extensions with the player, read
// into and written from the settings dialog's check boxes, imposed by a
// client policy, and removed at uninstall.
#pragma once

#include "install_path.h"
#include "protocol.h"
#include "registry.h"
#include "resource.h"

#include <cstdint>

inline constexpr WireChar kRunKey[] = u"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr WireChar kStartupValue[] = u"PYX";
inline constexpr WireChar kFileType[] = u"TarselFile";
inline constexpr WireChar kFileTypeName[] = u"Tarsel File";
inline constexpr WireChar kDefaultIconKey[] = u"TarselFile\\DefaultIcon";
inline constexpr WireChar kStockDefaultIcon[] = u"C:\\Program Files\\Mervalt\\Tarsel\\PyxUserInterface.exe,0";
inline constexpr WireChar kPlayCommandKey[] = u"TarselFile\\shell\\play\\command";
// The verbs' key, whose default value names the verb a double click runs.
inline constexpr WireChar kShellKey[] = u"TarselFile\\shell";
inline constexpr WireChar kDefaultVerb[] = u"play";
inline constexpr WireChar kVerb[] = u"Tarsel Player";

inline constexpr wchar_t kBoxStartupCreate[] = L"Failed to create a start-up registry key";
inline constexpr wchar_t kBoxStartupRemove[] = L"Failed to remove a start-up registry key";
inline constexpr wchar_t kBoxExtensionCreate[] = L"Failed to create a shell extension";
inline constexpr wchar_t kBoxExtensionRemove[] = L"Failed to remove shell extension";

// kPolicyApply (bit 31: the word is to be applied) comes from protocol.h.
constexpr uint32_t kPolicyStartup = 0x00000001;

struct ExtensionRow
{
    int nBoxId;
    const WireChar *pszLabel;
    const WireChar *pszExtension;
    const WireChar *pszStockType;
    uint32_t dwPolicyBit;
};

// The order of every loop over the extensions.
inline constexpr ExtensionRow kExtensionTable[] = {
    {IDC_EXT_AVI, u"&AVI Files", u".avi", u"AVIFile", 0x00000002},
    {IDC_EXT_MPG, u"&Mpeg Files", u".mpg", u"mpegfile", 0x00000004},
    {IDC_EXT_DIVX, u"&DivX Files", u".divx", u"divxFile", 0x00000008},
    {IDC_EXT_WMV, u"&WMV Files", u".wmv", u"WMVFile", 0x00000010},
    {IDC_EXT_WAV, u"WA&V Files", u".wav", u"soundrec", 0x00000020},
    {IDC_EXT_MP3, u"M&P3 Files", u".mp3", u"mp3file", 0x00000040},
    {IDC_EXT_ASF, u"AS&F Files", u".asf", u"ASFFile", 0x00000080},
    {IDC_EXT_ASX, u"AS&X Files", u".asx", u"ASXFile", 0x00000100},
};
inline constexpr WireChar kStartupLabel[] = u"&Run at startup";

// The check boxes of the settings dialog.
class CSettingsView
{
public:
    virtual ~CSettingsView() = default;
    virtual bool IsBoxChecked(int nId) = 0;
    virtual void SetBoxChecked(int nId, bool bChecked) = 0;
    virtual void DisableBox(int nId) = 0;
};

// Tells the shell that file associations changed.
class CShellNotify
{
public:
    virtual ~CShellNotify() = default;
    virtual void AssociationsChanged() = 0;
};

struct SettingsPlatform
{
    CRegistry &registry;
    CShellNotify &shell;
};

// Writes the file type "TarselFile" (name, icon, the verbs "play" and the
// given verb with the player command line) when constructed; holds at most
// one open key, closed when the object goes away.
class CAssociationRegistrar
{
public:
    CAssociationRegistrar(CRegistry &registry, const WireChar *pszVerb, const WireChar *pszCommandLine);
    CAssociationRegistrar(const CAssociationRegistrar &) = delete;
    CAssociationRegistrar &operator=(const CAssociationRegistrar &) = delete;

private:
    void WriteFileType();

    CRegistry &m_registry;
    WireChar m_szVerb[kPathUnits] = {};
    WireChar m_szCommandLine[kPathUnits] = {};
    CRegKey m_key;
};

// Reads the settings into the boxes, then saves them back (which rewrites
// the start-up value and resets unticked extensions to their stock types).
// Does nothing without installation values.
void LoadSettings(CSettingsView &dialog, const SettingsPlatform &platform);
// Writes what the boxes show. Does nothing without installation values.
void SaveSettings(CSettingsView &dialog, const SettingsPlatform &platform);
// Removes the start-up value and resets the eight extensions.
void Uninstall(CSettingsView &dialog, const SettingsPlatform &platform);
// Applies a client's policy word (only when bit 31 is set) and disables each
// box whose setting it wrote.
void ApplyClientPolicy(uint32_t dwPolicy, CSettingsView &dialog, const SettingsPlatform &platform);

// Sets the default value of HKCR\<extension>; false if the key cannot be
// created or the value not written. Notifies the shell in every case.
bool SetExtensionFileType(const SettingsPlatform &platform, const WireChar *pszExtension, const WireChar *pszFileType);
// True when HKCR\<extension> names exactly "TarselFile".
bool IsExtensionAssociated(CRegistry &registry, const WireChar *pszExtension);
