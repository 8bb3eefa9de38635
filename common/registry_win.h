// The Win32 registry behind CRegistry (HKEY_CURRENT_USER, HKEY_CLASSES_ROOT).
#pragma once

#include "registry.h"

class CWin32Registry final : public CRegistry
{
public:
    bool CreateKey(RegRoot root, const WireChar *path, RegKeyHandle *key) override;
    bool OpenKey(RegRoot root, const WireChar *path, RegKeyHandle *key) override;
    long QueryValue(RegKeyHandle key, const WireChar *name, uint32_t *type, void *data, uint32_t *bytes) override;
    long SetStringValue(RegKeyHandle key, const WireChar *name, const WireChar *text) override;
    long DeleteValue(RegKeyHandle key, const WireChar *name) override;
    void CloseKey(RegKeyHandle key) override;
};

// The process-wide instance (it keeps no state).
CRegistry &Win32Registry();
