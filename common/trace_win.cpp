#include <windows.h>

void PlatformTraceOutput(const wchar_t *text) { OutputDebugStringW(text); }

int PlatformErrorBox(const wchar_t *text, void *owner)
{
    return MessageBoxW(static_cast<HWND>(owner), text, L"Error!", MB_OK);
}
