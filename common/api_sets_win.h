// The RDP ("Wtsapi32.dll") and ICA ("wfapi.dll") channel libraries, loaded
// at program start, and the function sets resolved from them.
#pragma once

#include <windows.h>

// Information classes used with the query functions.
constexpr int kWtsClientProtocolType = 16;   // WTSClientProtocolType
constexpr int kWtsVirtualFileHandle = 1;     // WTSVirtualFileHandle
constexpr int kWtsConnectState = 8;          // WTSConnectState

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

// The session's notifications and connect state, from the RDP library for
// both protocols. Looked up optionally: a library without them leaves them
// null, and the programs then do without (no box, no end).
struct WtsSessionApiSet
{
    BOOL(WINAPI *WTSRegisterSessionNotification)(HWND, DWORD);
    BOOL(WINAPI *WTSUnRegisterSessionNotification)(HWND);
    BOOL(WINAPI *WTSQuerySessionInformationW)(HANDLE, DWORD, int, LPWSTR *, DWORD *);
    VOID(WINAPI *WTSFreeMemory)(PVOID);
};

extern WfApiSet WfApi;
extern WtsApiSet WtsApi;
extern WtsSessionApiSet WtsSessionApi;

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
    // Resolves a function the program can do without: null when missing.
    FARPROC ResolveOptional(const char *function) const;

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
// Binds WtsSessionApi once, on the window's thread before any other thread
// of the program starts.
void BindSessionFunctions();
bool IsIcaApiLoaded();
bool IsRdpApiLoaded();
