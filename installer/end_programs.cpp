// The package's custom action "EndPrograms": before the files are replaced
// or removed, the player and the server running from the installation folder
// in the installing user's session are asked to end the way a user ends them
// (the player's File, Exit; the server's tray Exit), and are waited for.
// Programs that do not end in time are left to Windows Installer's handling
// of files in use. Every step goes to the installation log.
#include "handle_win.h"

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <cwchar>
#include <string>
#include <vector>

#include "../player/resource.h"   // ID_APP_EXIT: File, Exit
#include "../server/resource.h"   // ID_TRAY_EXIT: the tray menu's Exit

namespace {

constexpr DWORD kEndTimeoutMs = 15000;   // the server waits up to 5000 ms for its control thread

struct Program
{
    const wchar_t *file;
    UINT exitCommand;
};
constexpr Program kPrograms[] = {
    {L"PyxUserInterface.exe", ID_APP_EXIT},
    {L"PyxVideoServer.exe", ID_TRAY_EXIT},
};

void Log(MSIHANDLE install, const std::wstring &text)
{
    PMSIHANDLE record = MsiCreateRecord(1);
    MsiRecordSetStringW(record, 0, (L"EndPrograms: " + text).c_str());
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
}

std::wstring Property(MSIHANDLE install, const wchar_t *name)
{
    DWORD length = 0;
    wchar_t empty[1] = L"";
    if (MsiGetPropertyW(install, name, empty, &length) != ERROR_MORE_DATA)
        return std::wstring();
    std::vector<wchar_t> value(length + 1);
    length = static_cast<DWORD>(value.size());
    if (MsiGetPropertyW(install, name, value.data(), &length) != ERROR_SUCCESS)
        return std::wstring();
    return std::wstring(value.data(), length);
}

std::wstring ImagePath(HANDLE process)
{
    wchar_t path[MAX_PATH * 2];
    DWORD length = MAX_PATH * 2;
    return QueryFullProcessImageNameW(process, 0, path, &length) ? std::wstring(path, length) : std::wstring();
}

bool SamePath(const std::wstring &a, const std::wstring &b)
{
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                TRUE) == CSTR_EQUAL;
}

// A program's dialog windows (class "#32770") whose process runs `image`.
struct Search
{
    std::wstring image;
    std::vector<std::pair<HWND, DWORD>> found;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM param)
{
    Search &search = *reinterpret_cast<Search *>(param);
    wchar_t className[16];
    if (!GetClassNameW(window, className, 16) || std::wcscmp(className, L"#32770") != 0)
        return TRUE;
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    CHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (process && SamePath(ImagePath(process.Get()), search.image))
        search.found.emplace_back(window, pid);
    return TRUE;
}

} // namespace

extern "C" __declspec(dllexport) UINT __stdcall EndPrograms(MSIHANDLE install)
{
    std::wstring folder = Property(install, L"INSTALLDIR");
    if (folder.empty()) {
        Log(install, L"no installation folder");
        return ERROR_SUCCESS;
    }
    if (folder.back() != L'\\')
        folder += L'\\';
    for (const Program &program : kPrograms) {
        Search search{folder + program.file, {}};
        EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&search));
        std::vector<CHandle> ending;
        for (const auto &[window, pid] : search.found) {
            CHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
            if (!process || !PostMessageW(window, WM_COMMAND, program.exitCommand, 0))
                continue;
            Log(install, std::wstring(L"asked ") + program.file + L" (process " + std::to_wstring(pid) + L") to end");
            ending.push_back(std::move(process));
        }
        const DWORD start = GetTickCount();
        for (CHandle &process : ending) {
            const DWORD spent = GetTickCount() - start;
            const DWORD left = spent < kEndTimeoutMs ? kEndTimeoutMs - spent : 0;
            const bool ended = WaitForSingleObject(process.Get(), left) == WAIT_OBJECT_0;
            Log(install, std::wstring(program.file) + (ended ? L" ended" : L" did not end in time"));
        }
    }
    return ERROR_SUCCESS;
}
