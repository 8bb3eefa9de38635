#include <windows.h>

#include <atomic>

void PlatformTraceOutput(const wchar_t *text) { OutputDebugStringW(text); }

// Debug output reaches a debugger, or a viewer through its "DBWIN_BUFFER"
// section. Each OutputDebugStringW raises an exception and looks that
// section up, and the trace lines of every request of a file pay it: so the
// text is made and written only while one of them is there. A viewer is
// looked for at most every 500 ms (one started later sees lines from then).
bool PlatformTraceListened()
{
    if (IsDebuggerPresent())
        return true;
    static std::atomic<ULONGLONG> s_nextLook{0};
    static std::atomic<bool> s_bViewer{false};
    const ULONGLONG now = GetTickCount64();
    if (now >= s_nextLook.load(std::memory_order_relaxed)) {
        const DWORD error = GetLastError();
        HANDLE section = OpenFileMappingW(FILE_MAP_READ, FALSE, L"DBWIN_BUFFER");
        s_bViewer.store(section != nullptr, std::memory_order_relaxed);
        if (section)
            CloseHandle(section);
        SetLastError(error);
        s_nextLook.store(now + 500, std::memory_order_relaxed);
    }
    return s_bViewer.load(std::memory_order_relaxed);
}

int PlatformErrorBox(const wchar_t *text, void *owner)
{
    return MessageBoxW(static_cast<HWND>(owner), text, L"Error!", MB_OK);
}
