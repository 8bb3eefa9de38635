#include "api_sets_win.h"

#include <cstring>
#include <cwchar>
#include <string>

WfApiSet WfApi = {};
WtsApiSet WtsApi = {};
WtsSessionApiSet WtsSessionApi = {};

// Both libraries are loaded before the program's entry point runs.
ApiLibrary g_WfApiLibrary("wfapi.dll");
ApiLibrary g_WtsApiLibrary("Wtsapi32.dll");

namespace {

ApiLibrary::Loader g_loader = nullptr;

// The search by name: the program's folder, then the system folder.
constexpr DWORD kSearchByName = LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32;
// A full path: that file, with its own imports from its folder and the
// system folder.
constexpr DWORD kSearchByPath = LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32;

HMODULE LoadWith(const wchar_t *name, DWORD flags)
{
    return g_loader ? g_loader(name, flags) : LoadLibraryExW(name, nullptr, flags);
}

// The folder of this program's file, with its closing separator; empty when
// it cannot be had.
std::wstring ProgramFolder()
{
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return {};
    std::wstring folder(path, n);
    const size_t end = folder.find_last_of(L"\\/");
    return end == std::wstring::npos ? std::wstring() : folder.substr(0, end + 1);
}

std::wstring SystemFolder()
{
    wchar_t path[MAX_PATH];
    const UINT n = GetSystemDirectoryW(path, MAX_PATH);
    return n == 0 || n >= MAX_PATH ? std::wstring() : std::wstring(path, n) + L"\\";
}

// A system without the search flags refuses them as an invalid parameter;
// there the same folders are named by full paths instead.
HMODULE LoadByName(const wchar_t *name)
{
    HMODULE module = LoadWith(name, kSearchByName);
    if (!module && GetLastError() == ERROR_INVALID_PARAMETER) {
        const std::wstring system = SystemFolder();
        if (!system.empty())
            module = LoadWith((system + name).c_str(), 0);
    }
    return module;
}

HMODULE LoadFromProgramFolder(const wchar_t *name)
{
    const std::wstring folder = ProgramFolder();
    if (folder.empty())
        return nullptr;
    const std::wstring path = folder + name;
    HMODULE module = LoadWith(path.c_str(), kSearchByPath);
    if (!module && GetLastError() == ERROR_INVALID_PARAMETER)
        module = LoadWith(path.c_str(), 0);
    return module;
}

// Takes the current folder out of the search for every other library the
// process loads by name (common dialogs and the shell load more), once,
// before the first library is loaded.
void KeepCurrentFolderOutOfSearch()
{
    static const bool done = SetDllDirectoryW(L"") != FALSE;
    (void)done;
}

void Widen(const char *in, wchar_t *out, int units)
{
    if (MultiByteToWideChar(CP_ACP, 0, in, -1, out, units) == 0)
        out[0] = L'\0';
}

template <class T>
void Bind(ApiLibrary &library, T &entry, const char *name)
{
    entry = reinterpret_cast<T>(reinterpret_cast<void *>(library.Resolve(name)));
}

} // namespace

ApiLibrary::ApiLibrary(const char *name)
{
    strncpy(m_szName, name, sizeof m_szName - 1);
    m_szName[sizeof m_szName - 1] = '\0';
    Load();
}

ApiLibrary::~ApiLibrary()
{
    if (m_hModule)
        FreeLibrary(m_hModule);
}

void ApiLibrary::Load()
{
    if (m_hModule) {
        FreeLibrary(m_hModule);
        m_hModule = nullptr;
    }
    KeepCurrentFolderOutOfSearch();
    // A name that kept the prefix of an earlier retry is searched without it:
    // a relative path would be looked up against the current folder.
    const char *base = strncmp(m_szName, ".\\", 2) == 0 ? m_szName + 2 : m_szName;
    wchar_t wide[MAX_PATH];
    Widen(base, wide, MAX_PATH);
    if (wide[0] == L'\0' || wcspbrk(wide, L"\\/:"))
        return;   // only a bare file name is ever looked for
    m_hModule = LoadByName(wide);
    if (m_hModule)
        return;
    m_hModule = LoadFromProgramFolder(wide);
    // The name keeps the prefix it loaded with; otherwise the old name stays.
    const std::string prefixed = std::string(".\\") + base;
    if (m_hModule && prefixed.size() < sizeof m_szName)
        memcpy(m_szName, prefixed.c_str(), prefixed.size() + 1);
}

FARPROC ApiLibrary::Resolve(const char *function)
{
    if (!m_hModule)
        Load();
    FARPROC address = m_hModule ? GetProcAddress(m_hModule, function) : nullptr;
    if (!address) {
        wchar_t caption[256];
        Widen(function, caption, 256);
        MessageBoxW(nullptr, L"ERROR: cannot locate function name (as shown on title) from dll ...", caption, MB_OK);
        ExitProcess(static_cast<UINT>(-1));
    }
    return address;
}

FARPROC ApiLibrary::ResolveOptional(const char *function) const
{
    return m_hModule ? GetProcAddress(m_hModule, function) : nullptr;
}

void ApiLibrary::SetLoader(Loader loader) { g_loader = loader; }

void BindApiFunctions()
{
    if (g_WfApiLibrary.Module()) {
        Bind(g_WfApiLibrary, WfApi.WFQuerySessionInformationW, "WFQuerySessionInformationW");
        Bind(g_WfApiLibrary, WfApi.WFVirtualChannelOpen, "WFVirtualChannelOpen");
        Bind(g_WfApiLibrary, WfApi.WFVirtualChannelWrite, "WFVirtualChannelWrite");
        Bind(g_WfApiLibrary, WfApi.WFVirtualChannelRead, "WFVirtualChannelRead");
        Bind(g_WfApiLibrary, WfApi.WFVirtualChannelClose, "WFVirtualChannelClose");
        Bind(g_WfApiLibrary, WfApi.WFFreeMemory, "WFFreeMemory");
    }
    if (g_WtsApiLibrary.Module()) {
        Bind(g_WtsApiLibrary, WtsApi.WTSQuerySessionInformationW, "WTSQuerySessionInformationW");
        Bind(g_WtsApiLibrary, WtsApi.WTSVirtualChannelOpen, "WTSVirtualChannelOpen");
        Bind(g_WtsApiLibrary, WtsApi.WTSVirtualChannelClose, "WTSVirtualChannelClose");
        Bind(g_WtsApiLibrary, WtsApi.WTSVirtualChannelRead, "WTSVirtualChannelRead");
        Bind(g_WtsApiLibrary, WtsApi.WTSVirtualChannelWrite, "WTSVirtualChannelWrite");
        Bind(g_WtsApiLibrary, WtsApi.WTSFreeMemory, "WTSFreeMemory");
        Bind(g_WtsApiLibrary, WtsApi.WTSVirtualChannelQuery, "WTSVirtualChannelQuery");
    }
}

namespace {

template <class T>
void BindOptional(const ApiLibrary &library, T &entry, const char *name)
{
    entry = reinterpret_cast<T>(reinterpret_cast<void *>(library.ResolveOptional(name)));
}

} // namespace

void BindSessionFunctions()
{
    BindOptional(g_WtsApiLibrary, WtsSessionApi.WTSRegisterSessionNotification, "WTSRegisterSessionNotification");
    BindOptional(g_WtsApiLibrary, WtsSessionApi.WTSUnRegisterSessionNotification, "WTSUnRegisterSessionNotification");
    BindOptional(g_WtsApiLibrary, WtsSessionApi.WTSQuerySessionInformationW, "WTSQuerySessionInformationW");
    BindOptional(g_WtsApiLibrary, WtsSessionApi.WTSFreeMemory, "WTSFreeMemory");
}

bool IsIcaApiLoaded()
{
    return WfApi.WFQuerySessionInformationW && WfApi.WFVirtualChannelOpen && WfApi.WFVirtualChannelWrite &&
           WfApi.WFVirtualChannelRead && WfApi.WFVirtualChannelClose && WfApi.WFFreeMemory;
}

bool IsRdpApiLoaded()
{
    return WtsApi.WTSQuerySessionInformationW && WtsApi.WTSVirtualChannelOpen && WtsApi.WTSVirtualChannelClose &&
           WtsApi.WTSVirtualChannelRead && WtsApi.WTSVirtualChannelWrite && WtsApi.WTSFreeMemory &&
           WtsApi.WTSVirtualChannelQuery;
}
