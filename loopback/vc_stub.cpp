// Stand-in for the platform's virtual-channel libraries (built twice, as
// Wtsapi32.dll and as wfapi.dll). Opening channel NAME connects to the
// message-mode pipe \\.\pipe\tarsel-vc-NAME that the client emulator keeps
// listening; the server and session arguments are ignored.
#include "pipe_io.h"

#include <cstdlib>
#include <cstring>

namespace {

struct Channel
{
    HANDLE pipe;
};

Channel *AsChannel(HANDLE h) { return static_cast<Channel *>(h); }

HANDLE OpenPipeChannel(const char *name)
{
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
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
    DWORD n = 0;
    const bool ok = loopback::PipeIo(AsChannel(h)->pipe, true, buffer, length, &n, INFINITE);
    *written = n;
    return ok ? TRUE : FALSE;
}

// Client protocol type from TARSEL_VC_PROTOCOL: 1 ICA, 2 RDP (the default).
BOOL QuerySession(HANDLE, DWORD, int infoClass, LPWSTR *buffer, DWORD *bytes)
{
    if (!buffer || !bytes) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *buffer = nullptr;
    *bytes = 0;
    if (infoClass != 16) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    USHORT type = 2;
    char value[16];
    const DWORD n = GetEnvironmentVariableA("TARSEL_VC_PROTOCOL", value, sizeof value);
    if (n > 0 && n < sizeof value)
        type = static_cast<USHORT>(std::atoi(value));
    auto *p = static_cast<USHORT *>(LocalAlloc(LMEM_FIXED, sizeof(USHORT)));
    if (!p) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    *p = type;
    *buffer = reinterpret_cast<LPWSTR>(p);
    *bytes = sizeof(USHORT);
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
