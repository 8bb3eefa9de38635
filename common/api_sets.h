// The RDP ("Wtsapi32.dll") and ICA ("wfapi.dll") channel libraries, loaded
// at program start, and the function sets resolved from them.
#pragma once

#include <windows.h>

// Information classes used with the query functions.
constexpr int kWtsClientProtocolType = 16;   // WTSClientProtocolType
constexpr int kWtsVirtualFileHandle = 1;     // WTSVirtualFileHandle

struct WfApiSet
{
    BOOL(WINAPI *WFQuerySessionInformationW)(HANDLE, DWORD, int, LPWSTR *, DWORD *);
    HANDLE(WINAPI *WFVirtualChannelOpen)(HANDLE, DWORD, LPSTR);
    BOOL(WINAPI *WFVirtualChannelWrite)(HANDLE, PCHAR, ULONG, PULONG);
    BOOL(WINAPI *WFVirtualChannelRead)(HANDLE, ULONG, PCHAR, ULONG, PULONG);
    BOOL(WINAPI *WFVirtualChannelClose)(HANDLE);
    VOID(WINAPI *WFFreeMemory)(PVOID);
};

struct WtsApiSet
{
    BOOL(WINAPI *WTSQuerySessionInformationW)(HANDLE, DWORD, int, LPWSTR *, DWORD *);
    HANDLE(WINAPI *WTSVirtualChannelOpen)(HANDLE, DWORD, LPSTR);
    BOOL(WINAPI *WTSVirtualChannelClose)(HANDLE);
    BOOL(WINAPI *WTSVirtualChannelRead)(HANDLE, ULONG, PCHAR, ULONG, PULONG);
    BOOL(WINAPI *WTSVirtualChannelWrite)(HANDLE, PCHAR, ULONG, PULONG);
    VOID(WINAPI *WTSFreeMemory)(PVOID);
    BOOL(WINAPI *WTSVirtualChannelQuery)(HANDLE, int, PVOID *, DWORD *);
};

extern WfApiSet WfApi;
extern WtsApiSet WtsApi;

// One dynamically loaded library, looked for in the system folder and the
// program's own folder only: never in the current folder or on PATH, which
// after a double click is the folder of the document, where anyone can put a
// library of that name. Loading searches those two folders by the name, then
// retries the program's folder by its full path; a library found only by the
// retry keeps the name ".\" + name (".\" meaning the program's folder).
class ApiLibrary
{
public:
    explicit ApiLibrary(const char *name);
    ~ApiLibrary();
    ApiLibrary(const ApiLibrary &) = delete;
    ApiLibrary &operator=(const ApiLibrary &) = delete;

    void Load();
    HMODULE Module() const { return m_hModule; }
    const char *Name() const { return m_szName; }
    // Resolves a function; a loaded library lacking it ends the process.
    FARPROC Resolve(const char *function);

    // The platform's LoadLibraryExW (name and flags); tests replace it to
    // reach the retry and to see what is asked for.
    using Loader = HMODULE (*)(LPCWSTR, DWORD);
    static void SetLoader(Loader loader);

private:
    char m_szName[MAX_PATH];
    HMODULE m_hModule = nullptr;
};

extern ApiLibrary g_WfApiLibrary;
extern ApiLibrary g_WtsApiLibrary;

void BindApiFunctions();
bool IsIcaApiLoaded();
bool IsRdpApiLoaded();
