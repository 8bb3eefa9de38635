// Stand-in for the platform's virtual-channel libraries (built twice, as
// Wtsapi32.dll and as wfapi.dll). Opening channel NAME connects to the
// message-mode pipe \\.\pipe\tarsel-vc-NAME that the client emulator keeps
// listening; the server and session arguments are ignored. The session
// reads connected unless the emulator says otherwise, and windows registered
// for session notifications get them from the emulator.
#include "pipe_io.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

struct Channel
{
    HANDLE pipe;
};

Channel *AsChannel(HANDLE h) { return static_cast<Channel *>(h); }

// Set once this process wrote a message of the player's (RUOF or CONT): it
// is the player program, whose opens fail while the client's player does not
// listen yet.
std::atomic<bool> g_bPlayerProgram{false};

bool PlayerNotListening()
{
    if (!g_bPlayerProgram)
        return false;
    HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, loopback::kPlayerLateEvent);
    if (!event)
        return false;
    const bool late = WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
    CloseHandle(event);
    return late;
}

HANDLE OpenPipeChannel(const char *name)
{
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (PlayerNotListening()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    const std::wstring path = loopback::PipeName(name);
    HANDLE pipe = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (pipe == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PIPE_BUSY) {
        // Every instance is taken: wait at most 2000 ms for a free one.
        if (WaitNamedPipeW(path.c_str(), 2000))
            pipe = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
    }
    if (pipe == INVALID_HANDLE_VALUE)
        return nullptr;
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr)) {
        const DWORD error = GetLastError();
        CloseHandle(pipe);
        SetLastError(error);
        return nullptr;
    }
    Channel *c = new (std::nothrow) Channel{pipe};
    if (!c) {
        CloseHandle(pipe);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return c;
}

BOOL CloseChannel(HANDLE h)
{
    if (!h) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Channel *c = AsChannel(h);
    CloseHandle(c->pipe);
    delete c;
    return TRUE;
}

BOOL ReadChannel(HANDLE h, ULONG timeout, PCHAR buffer, ULONG size, PULONG read)
{
    if (read)
        *read = 0;
    if (!h || !buffer || !read) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD n = 0;
    const bool ok = loopback::PipeIo(AsChannel(h)->pipe, false, buffer, size, &n, timeout);
    *read = n;
    return ok ? TRUE : FALSE;
}

BOOL WriteChannel(HANDLE h, PCHAR buffer, ULONG length, PULONG written)
{
    if (written)
        *written = 0;
    if (!h || (!buffer && length) || !written) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (length >= 4 && (std::memcmp(buffer, "RUOF", 4) == 0 || std::memcmp(buffer, "CONT", 4) == 0))
        g_bPlayerProgram = true;
    DWORD n = 0;
    const bool ok = loopback::PipeIo(AsChannel(h)->pipe, true, buffer, length, &n, INFINITE);
    *written = n;
    return ok ? TRUE : FALSE;
}

constexpr int kConnectStateClass = 8;     // WTSConnectState
constexpr int kClientProtocolClass = 16;  // WTSClientProtocolType
constexpr DWORD kStateActive = 0;         // WTSActive
constexpr DWORD kStateDisconnected = 4;   // WTSDisconnected

// Connected unless the client emulator marked the session disconnected.
DWORD ConnectState()
{
    HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, loopback::kSessionDisconnectedEvent);
    if (!event)
        return kStateActive;
    const bool disconnected = WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
    CloseHandle(event);
    return disconnected ? kStateDisconnected : kStateActive;
}

// A value in memory of its own, freed with WTSFreeMemory/WFFreeMemory.
template <class T>
BOOL Answer(T value, LPWSTR *buffer, DWORD *bytes)
{
    auto *p = static_cast<T *>(LocalAlloc(LMEM_FIXED, sizeof(T)));
    if (!p) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    *p = value;
    *buffer = reinterpret_cast<LPWSTR>(p);
    *bytes = sizeof(T);
    return TRUE;
}

// The connect state (4 bytes), and the client protocol type (2 bytes) from
// TARSEL_VC_PROTOCOL: 1 ICA, 2 RDP (the default).
BOOL QuerySession(HANDLE, DWORD, int infoClass, LPWSTR *buffer, DWORD *bytes)
{
    if (!buffer || !bytes) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *buffer = nullptr;
    *bytes = 0;
    if (infoClass == kConnectStateClass)
        return Answer<DWORD>(ConnectState(), buffer, bytes);
    if (infoClass != kClientProtocolClass) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    USHORT type = 2;
    char value[16];
    const DWORD n = GetEnvironmentVariableA("TARSEL_VC_PROTOCOL", value, sizeof value);
    if (n > 0 && n < sizeof value)
        type = static_cast<USHORT>(std::atoi(value));
    return Answer<USHORT>(type, buffer, bytes);
}

BOOL RegisterWindow(HWND hwnd)
{
    if (!IsWindow(hwnd)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return SetPropW(hwnd, loopback::kSessionNotifyProperty, reinterpret_cast<HANDLE>(1));
}

BOOL UnregisterWindow(HWND hwnd)
{
    if (!IsWindow(hwnd)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    RemovePropW(hwnd, loopback::kSessionNotifyProperty);
    return TRUE;
}

VOID FreeMemory(PVOID p)
{
    if (p)
        LocalFree(p);
}

// With TARSEL_VC_LOAD_LOG set, every process that loads this library adds a
// line with the library's own path to that file, so that tests see which
// copy a program took (one planted in the current folder must never be).
void LogLoad(HMODULE self)
{
    wchar_t log[MAX_PATH];
    const DWORD n = GetEnvironmentVariableW(L"TARSEL_VC_LOAD_LOG", log, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return;
    wchar_t path[MAX_PATH + 2];
    const DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    path[length] = L'\r';
    path[length + 1] = L'\n';
    HANDLE file = CreateFileW(log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, path, (length + 2) * sizeof(wchar_t), &written, nullptr);
    CloseHandle(file);
}

} // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        LogLoad(instance);
    return TRUE;
}

// --- RDP set ------------------------------------------------------------------

BOOL WINAPI WTSQuerySessionInformationW(HANDLE server, DWORD session, int infoClass,
                                                             LPWSTR *buffer, DWORD *bytes)
{
    return QuerySession(server, session, infoClass, buffer, bytes);
}

HANDLE WINAPI WTSVirtualChannelOpen(HANDLE, DWORD, LPSTR name) { return OpenPipeChannel(name); }

BOOL WINAPI WTSVirtualChannelClose(HANDLE h) { return CloseChannel(h); }

BOOL WINAPI WTSVirtualChannelRead(HANDLE h, ULONG timeout, PCHAR buffer, ULONG size,
                                                       PULONG read)
{
    return ReadChannel(h, timeout, buffer, size, read);
}

BOOL WINAPI WTSVirtualChannelWrite(HANDLE h, PCHAR buffer, ULONG length, PULONG written)
{
    return WriteChannel(h, buffer, length, written);
}

VOID WINAPI WTSFreeMemory(PVOID p) { FreeMemory(p); }

// The client emulator tells the windows so marked when it disconnects and
// reconnects (WM_WTSSESSION_CHANGE); the flags are ignored.
BOOL WINAPI WTSRegisterSessionNotification(HWND hwnd, DWORD) { return RegisterWindow(hwnd); }

BOOL WINAPI WTSUnRegisterSessionNotification(HWND hwnd) { return UnregisterWindow(hwnd); }

// WTSVirtualFileHandle (1): the pipe handle, opened for overlapped I/O.
BOOL WINAPI WTSVirtualChannelQuery(HANDLE h, int virtualClass, PVOID *buffer, DWORD *bytes)
{
    if (!h || !buffer || !bytes) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *buffer = nullptr;
    *bytes = 0;
    if (virtualClass != 1) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    auto *p = static_cast<HANDLE *>(LocalAlloc(LMEM_FIXED, sizeof(HANDLE)));
    if (!p) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    *p = AsChannel(h)->pipe;
    *buffer = p;
    *bytes = sizeof(HANDLE);
    return TRUE;
}

// --- ICA set ------------------------------------------------------------------

BOOL WINAPI WFQuerySessionInformationW(HANDLE server, DWORD session, int infoClass,
                                                            LPWSTR *buffer, DWORD *bytes)
{
    return QuerySession(server, session, infoClass, buffer, bytes);
}

HANDLE WINAPI WFVirtualChannelOpen(HANDLE, DWORD, LPSTR name) { return OpenPipeChannel(name); }

BOOL WINAPI WFVirtualChannelWrite(HANDLE h, PCHAR buffer, ULONG length, PULONG written)
{
    return WriteChannel(h, buffer, length, written);
}

// Waits at most `timeout` ms for one message; false with 0 bytes on a time-out.
BOOL WINAPI WFVirtualChannelRead(HANDLE h, ULONG timeout, PCHAR buffer, ULONG size,
                                                      PULONG read)
{
    return ReadChannel(h, timeout, buffer, size, read);
}

BOOL WINAPI WFVirtualChannelClose(HANDLE h) { return CloseChannel(h); }

VOID WINAPI WFFreeMemory(PVOID p) { FreeMemory(p); }

} // extern "C"
