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

bool PlantLibraries(const std::wstring &folder)
{
    CreateDirectoryW(folder.c_str(), nullptr);
    for (const wchar_t *dll : {L"Wtsapi32.dll", L"wfapi.dll"}) {
        if (!CopyFileW((BuildFolder() + L"loopback\\" + dll).c_str(), (folder + dll).c_str(), FALSE))
            return false;
    }
    return true;
}

LibraryLoads::LibraryLoads()
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    m_log = std::wstring(temp) + L"pyx_library_loads_" + std::to_wstring(GetCurrentProcessId()) + L".txt";
    DeleteFileW(m_log.c_str());
    SetEnvironmentVariableW(L"TARSEL_VC_LOAD_LOG", m_log.c_str());
}

LibraryLoads::~LibraryLoads()
{
    SetEnvironmentVariableW(L"TARSEL_VC_LOAD_LOG", nullptr);
    DeleteFileW(m_log.c_str());
}

std::vector<std::wstring> LibraryLoads::Paths() const
{
    std::vector<std::wstring> paths;
    HANDLE file = CreateFileW(m_log.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return paths;
    std::wstring text;
    wchar_t buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0)
        text.append(buffer, read / sizeof(wchar_t));
    CloseHandle(file);
    for (size_t at = 0, end; (end = text.find(L"\r\n", at)) != std::wstring::npos; at = end + 2)
        paths.push_back(text.substr(at, end - at));
    return paths;
}

size_t LibraryLoads::From(const std::wstring &folder) const
{
    size_t n = 0;
    for (const std::wstring &path : Paths()) {
        const size_t end = path.find_last_of(L'\\');
        if (end != std::wstring::npos && _wcsicmp(path.substr(0, end + 1).c_str(), folder.c_str()) == 0)
            ++n;
    }
    return n;
}

bool StopServers(DWORD timeoutMs)
{
    for (HWND w = nullptr; (w = FindWindowExW(nullptr, w, L"#32770", L"mc")) != nullptr;)
        PostMessageW(w, WM_COMMAND, IDC_STOP_SERVER, 0);
    return WaitUntil([] { return FindWindowExW(nullptr, nullptr, L"#32770", L"mc") == nullptr; }, timeoutMs);
}

} // namespace wintest
