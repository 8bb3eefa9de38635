#include "pipe_io.h"

namespace loopback {

std::wstring PipeName(const char *channel)
{
    std::wstring name = L"\\\\.\\pipe\\tarsel-vc-";
    for (const char *p = channel; p && *p; ++p)
        name += static_cast<wchar_t>(static_cast<unsigned char>(*p));
    return name;
}

bool PipeIo(HANDLE pipe, bool write, void *buffer, DWORD length, DWORD *done, DWORD timeoutMs)
{
    *done = 0;
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!ov.hEvent)
        return false;
    BOOL ok = write ? WriteFile(pipe, buffer, length, nullptr, &ov) : ReadFile(pipe, buffer, length, nullptr, &ov);
    DWORD error = ok ? 0 : GetLastError();
    bool timedOut = false;
    if (!ok && error == ERROR_IO_PENDING) {
        if (WaitForSingleObject(ov.hEvent, timeoutMs) != WAIT_OBJECT_0) {
            CancelIo(pipe);
            timedOut = true;
        }
    } else if (!ok && error != ERROR_MORE_DATA) {
        CloseHandle(ov.hEvent);
        SetLastError(error);
        return false;
    }
    DWORD n = 0;
    ok = GetOverlappedResult(pipe, &ov, &n, TRUE);
    error = ok ? 0 : GetLastError();
    CloseHandle(ov.hEvent);
    if (!ok && error == ERROR_MORE_DATA)
        ok = TRUE;
    if (ok) {
        *done = n;
        return true;
    }
    SetLastError(timedOut ? WAIT_TIMEOUT : error);
    return false;
}

} // namespace loopback
