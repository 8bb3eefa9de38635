#include "program_stage.h"

#include "resource.h"
#include "win_test_util.h"

namespace wintest {

std::wstring BuildFolder()
{
    const std::wstring tests = ExeFolder();   // build/<preset>/tests/
    return tests.substr(0, tests.find_last_of(L"\\/", tests.size() - 2) + 1);
}

bool StageServer(const std::wstring &folder)
{
    const std::wstring build = BuildFolder();
    CreateDirectoryW(folder.c_str(), nullptr);
    if (!CopyFileW((build + L"bin\\PyxVideoServer.exe").c_str(), (folder + L"PyxVideoServer.exe").c_str(), FALSE))
        return false;
    for (const wchar_t *dll : {L"Wtsapi32.dll", L"wfapi.dll"}) {
        if (!CopyFileW((build + L"loopback\\" + dll).c_str(), (folder + dll).c_str(), FALSE))
            return false;
    }
    return true;
}

HWND ServerDialog(DWORD pid, DWORD timeoutMs)
{
    HWND found = nullptr;
    WaitUntil(
        [&] {
            HWND w = nullptr;
            while ((w = FindWindowExW(nullptr, w, L"#32770", L"mc")) != nullptr) {
                DWORD owner = 0;
                GetWindowThreadProcessId(w, &owner);
                if (pid == 0 || owner == pid) {
                    found = w;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    return found;
}

bool StopServers(DWORD timeoutMs)
{
    for (HWND w = nullptr; (w = FindWindowExW(nullptr, w, L"#32770", L"mc")) != nullptr;)
        PostMessageW(w, WM_COMMAND, IDC_STOP_SERVER, 0);
    return WaitUntil([] { return FindWindowExW(nullptr, nullptr, L"#32770", L"mc") == nullptr; }, timeoutMs);
}

} // namespace wintest
