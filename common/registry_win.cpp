#include "registry_win.h"

#include <windows.h>

static_assert(sizeof(wchar_t) == sizeof(WireChar), "UTF-16 wchar_t expected");
static_assert(kRegOk == ERROR_SUCCESS && kRegNotFound == ERROR_FILE_NOT_FOUND && kRegMoreData == ERROR_MORE_DATA);
static_assert(kRegSz == REG_SZ && kRegExpandSz == REG_EXPAND_SZ);

namespace {

HKEY RootKey(RegRoot root) { return root == RegRoot::CurrentUser ? HKEY_CURRENT_USER : HKEY_CLASSES_ROOT; }
const wchar_t *W(const WireChar *s) { return reinterpret_cast<const wchar_t *>(s); }
HKEY H(RegKeyHandle key) { return reinterpret_cast<HKEY>(key); }

} // namespace

bool CWin32Registry::CreateKey(RegRoot root, const WireChar *path, RegKeyHandle *key)
{
    HKEY h = nullptr;
    if (RegCreateKeyExW(RootKey(root), W(path), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE, nullptr,
                        &h, nullptr) != ERROR_SUCCESS)
        return false;
    *key = reinterpret_cast<RegKeyHandle>(h);
    return true;
}

bool CWin32Registry::OpenKey(RegRoot root, const WireChar *path, RegKeyHandle *key)
{
    HKEY h = nullptr;
    if (RegOpenKeyExW(RootKey(root), W(path), 0, KEY_READ | KEY_WRITE, &h) != ERROR_SUCCESS)
        return false;
    *key = reinterpret_cast<RegKeyHandle>(h);
    return true;
}

long CWin32Registry::QueryValue(RegKeyHandle key, const WireChar *name, uint32_t *type, void *data, uint32_t *bytes)
{
    DWORD t = 0;
    DWORD n = *bytes;
    const LONG result = RegQueryValueExW(H(key), name ? W(name) : nullptr, nullptr, &t, static_cast<BYTE *>(data), &n);
    *bytes = n;
    if (type)
        *type = t;
    return result;
}

long CWin32Registry::SetStringValue(RegKeyHandle key, const WireChar *name, const WireChar *text)
{
    const DWORD bytes = static_cast<DWORD>((WireLength(text) + 1) * sizeof(WireChar));
    return RegSetValueExW(H(key), name ? W(name) : nullptr, 0, REG_SZ, reinterpret_cast<const BYTE *>(text), bytes);
}

long CWin32Registry::DeleteValue(RegKeyHandle key, const WireChar *name)
{
    return RegDeleteValueW(H(key), name ? W(name) : nullptr);
}

void CWin32Registry::CloseKey(RegKeyHandle key) { RegCloseKey(H(key)); }

CRegistry &Win32Registry()
{
    static CWin32Registry registry;
    return registry;
}
