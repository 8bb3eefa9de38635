// In-memory registry, settings view and shell for the settings tests. Key and
// value names are case-insensitive as in the real registry; failures can be
// injected per key; every handle is counted so leaks show.
#pragma once

#include "registry.h"
#include "settings.h"

#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

class CFakeRegistry final : public CRegistry
{
public:
    struct Value
    {
        uint32_t type = kRegSz;
        std::vector<unsigned char> data;
        bool operator==(const Value &o) const { return type == o.type && data == o.data; }
    };
    using Key = std::map<std::u16string, Value>;
    using Path = std::pair<RegRoot, std::u16string>;

    std::map<Path, Key> keys;
    std::set<Path> failCreate, failOpen, failSet;
    std::map<Path, long> failDelete;
    // Opens of a key that succeed before the next open of it fails (-1: none).
    std::map<Path, int> failOpenAfter;
    std::vector<uint32_t> queryRooms; // the room given to each QueryValue
    int openHandles = 0;

    static std::u16string Fold(const WireChar *s)
    {
        std::u16string out;
        for (; s && *s; ++s)
            out += (*s >= u'A' && *s <= u'Z') ? static_cast<char16_t>(*s + 32) : *s;
        return out;
    }
    static Path P(RegRoot root, const WireChar *path) { return {root, Fold(path)}; }

    // Direct access for the tests.
    void SetRaw(RegRoot root, const WireChar *path, const WireChar *name, uint32_t type, const void *data, size_t bytes)
    {
        const auto *b = static_cast<const unsigned char *>(data);
        keys[P(root, path)][Fold(name)] = Value{type, std::vector<unsigned char>(b, b + bytes)};
    }
    void SetText(RegRoot root, const WireChar *path, const WireChar *name, const std::u16string &text)
    {
        SetRaw(root, path, name, kRegSz, text.c_str(), (text.size() + 1) * 2);
    }
    std::optional<std::u16string> Text(RegRoot root, const WireChar *path, const WireChar *name = nullptr) const
    {
        const auto k = keys.find(P(root, path));
        if (k == keys.end())
            return std::nullopt;
        const auto v = k->second.find(Fold(name));
        if (v == k->second.end())
            return std::nullopt;
        std::u16string s(v->second.data.size() / 2, u'\0');
        std::memcpy(s.data(), v->second.data.data(), s.size() * 2);
        while (!s.empty() && s.back() == 0)
            s.pop_back();
        return s;
    }
    void SetInstallation(const std::u16string &path, const std::u16string &gui, const std::u16string &cmd,
                         const std::u16string &server)
    {
        SetText(RegRoot::CurrentUser, kInstallationKey, kValuePath, path);
        SetText(RegRoot::CurrentUser, kInstallationKey, kValueGuiApplication, gui);
        SetText(RegRoot::CurrentUser, kInstallationKey, kValueGuiCommandLine, cmd);
        SetText(RegRoot::CurrentUser, kInstallationKey, kValueServerApplication, server);
    }

    bool CreateKey(RegRoot root, const WireChar *path, RegKeyHandle *key) override
    {
        if (failCreate.count(P(root, path)))
            return false;
        keys[P(root, path)];
        return Hand(root, path, key);
    }
    bool OpenKey(RegRoot root, const WireChar *path, RegKeyHandle *key) override
    {
        const Path p = P(root, path);
        if (failOpen.count(p) || !keys.count(p))
            return false;
        if (auto f = failOpenAfter.find(p); f != failOpenAfter.end() && f->second-- <= 0)
            return false;
        return Hand(root, path, key);
    }
    long QueryValue(RegKeyHandle key, const WireChar *name, uint32_t *type, void *data, uint32_t *bytes) override
    {
        queryRooms.push_back(*bytes);
        const Key &k = keys.at(m_handles.at(key));
        const auto v = k.find(Fold(name));
        if (v == k.end())
            return kRegNotFound;
        if (v->second.data.size() > *bytes) {
            // The buffer's contents are undefined after a refused read.
            std::memset(data, 'Z', *bytes);
            *bytes = static_cast<uint32_t>(v->second.data.size());
            return kRegMoreData;
        }
        if (!v->second.data.empty())
            std::memcpy(data, v->second.data.data(), v->second.data.size());
        *bytes = static_cast<uint32_t>(v->second.data.size());
        if (type)
            *type = v->second.type;
        return kRegOk;
    }
    long SetStringValue(RegKeyHandle key, const WireChar *name, const WireChar *text) override
    {
        const Path &p = m_handles.at(key);
        if (failSet.count(p))
            return 5; // access denied
        const auto *b = reinterpret_cast<const unsigned char *>(text);
        keys[p][Fold(name)] = Value{kRegSz, std::vector<unsigned char>(b, b + (WireLength(text) + 1) * 2)};
        return kRegOk;
    }
    long DeleteValue(RegKeyHandle key, const WireChar *name) override
    {
        const Path &p = m_handles.at(key);
        if (auto f = failDelete.find(p); f != failDelete.end())
            return f->second;
        return keys[p].erase(Fold(name)) ? kRegOk : kRegNotFound;
    }
    void CloseKey(RegKeyHandle key) override
    {
        if (m_handles.erase(key))
            --openHandles;
    }

private:
    bool Hand(RegRoot root, const WireChar *path, RegKeyHandle *key)
    {
        *key = ++m_next;
        m_handles[*key] = P(root, path);
        ++openHandles;
        return true;
    }
    std::map<RegKeyHandle, Path> m_handles;
    RegKeyHandle m_next = 0x100;
};

class CFakeView final : public CSettingsView
{
public:
    struct Box { bool checked = false; bool enabled = true; };
    std::map<int, Box> boxes;
    int changes = 0;

    bool IsBoxChecked(int nId) override { return boxes[nId].checked; }
    void SetBoxChecked(int nId, bool bChecked) override { ++changes; boxes[nId].checked = bChecked; }
    void DisableBox(int nId) override { ++changes; boxes[nId].enabled = false; }
};

class CFakeShell final : public CShellNotify
{
public:
    int notifications = 0;
    void AssociationsChanged() override { ++notifications; }
};
