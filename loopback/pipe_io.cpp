#include "pipe_io.h"

namespace loopback {

std::wstring PipeName(const char *channel)
{
    std::wstring name = L"\\\\.\\pipe\\tarsel-vc-";
    for (const char *p = channel; p && *p; ++p)
        name += static_cast<wchar_t>(static_cast<unsigned char>(*p));
    return name;
}

bool PipeIo(HANDLE pipe, bool write, void *buffer, DWORD length, DWORD *done, DWORD timeoutMs, HANDLE stop)
{
    *done = 0;
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!ov.hEvent)
        return false;
    BOOL ok = write ? WriteFile(pipe, buffer, length, nullptr, &ov) : ReadFile(pipe, buffer, length, nullptr, &ov);
    DWORD error = ok ? 0 : GetLastError();
    DWORD cut = 0;   // why the wait ended early, if it did
    if (!ok && error == ERROR_IO_PENDING) {
        const HANDLE waits[2] = {ov.hEvent, stop};
        const DWORD r = WaitForMultipleObjects(stop ? 2 : 1, waits, FALSE, timeoutMs);
        if (r != WAIT_OBJECT_0) {
            CancelIo(pipe);
            cut = r == WAIT_OBJECT_0 + 1 ? ERROR_OPERATION_ABORTED : WAIT_TIMEOUT;
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
    SetLastError(cut ? cut : error);
    return false;
}

} // namespace loopback
