#include "api_sets.h"

#include <cstring>
#include <string>

WfApiSet WfApi = {};
WtsApiSet WtsApi = {};

// Both libraries are loaded before the program's entry point runs.
ApiLibrary g_WfApiLibrary("wfapi.dll");
ApiLibrary g_WtsApiLibrary("Wtsapi32.dll");

namespace {

ApiLibrary::Loader g_loader = nullptr;

HMODULE LoadByName(const wchar_t *name) { return g_loader ? g_loader(name) : LoadLibraryW(name); }

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
    wchar_t wide[MAX_PATH];
    Widen(m_szName, wide, MAX_PATH);
    m_hModule = LoadByName(wide);
    if (m_hModule)
        return;
    const std::string saved = m_szName;
    const std::string prefixed = ".\\" + saved;
    Widen(prefixed.c_str(), wide, MAX_PATH);
    m_hModule = LoadByName(wide);
    // The name keeps the prefix it loaded with; otherwise the old name stays.
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
