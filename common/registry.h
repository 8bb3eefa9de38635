// Registry access behind a small interface, so that everything built on it
// (installation paths, settings, file associations) also runs natively
// against an in-memory registry.
#pragma once

#include "wire.h"

#include <cstdint>
#include <utility>

enum class RegRoot { CurrentUser, ClassesRoot };

// An open key of a CRegistry; 0 is no key.
using RegKeyHandle = uintptr_t;

// Results are the platform's error codes; the ones the callers look at:
constexpr long kRegOk = 0;           // ERROR_SUCCESS
constexpr long kRegNotFound = 2;     // ERROR_FILE_NOT_FOUND
constexpr long kRegMoreData = 234;   // ERROR_MORE_DATA

// Value types (REG_SZ, REG_EXPAND_SZ).
constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegExpandSz = 2;

class CRegistry
{
public:
    virtual ~CRegistry() = default;
    // Both open the key with read and write access.
    virtual bool CreateKey(RegRoot root, const WireChar *path, RegKeyHandle *key) = 0;
    virtual bool OpenKey(RegRoot root, const WireChar *path, RegKeyHandle *key) = 0;
    // name null or empty: the key's default value. *bytes is the room on the
    // way in and the value's size on the way out; *type may be null.
    virtual long QueryValue(RegKeyHandle key, const WireChar *name, uint32_t *type, void *data, uint32_t *bytes) = 0;
    // Writes text with its terminating NUL as REG_SZ.
    virtual long SetStringValue(RegKeyHandle key, const WireChar *name, const WireChar *text) = 0;
    virtual long DeleteValue(RegKeyHandle key, const WireChar *name) = 0;
    virtual void CloseKey(RegKeyHandle key) = 0;
};

// Owns one open key; closes it when reset or destroyed.
class CRegKey
{
public:
    explicit CRegKey(CRegistry &registry) : m_registry(registry) {}
    ~CRegKey() { Close(); }
    CRegKey(const CRegKey &) = delete;
    CRegKey &operator=(const CRegKey &) = delete;

    bool Create(RegRoot root, const WireChar *path)
    {
        Close();
        return m_registry.CreateKey(root, path, &m_hKey) || (m_hKey = 0, false);
    }
    bool Open(RegRoot root, const WireChar *path)
    {
        Close();
        return m_registry.OpenKey(root, path, &m_hKey) || (m_hKey = 0, false);
    }
    void Close()
    {
        if (m_hKey)
            m_registry.CloseKey(std::exchange(m_hKey, RegKeyHandle{0}));
    }
    explicit operator bool() const { return m_hKey != 0; }
    RegKeyHandle Get() const { return m_hKey; }
    CRegistry &Registry() const { return m_registry; }

private:
    CRegistry &m_registry;
    RegKeyHandle m_hKey = 0;
};

// Length of a NUL-terminated UTF-16 text.
inline size_t WireLength(const WireChar *text)
{
    size_t n = 0;
    while (text[n])
        ++n;
    return n;
}
