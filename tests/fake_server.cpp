// Stands in for a server program that starts but never becomes ready, and
// for a program planted at the shorter name of a path with blanks: it
// leaves "<its own path>.ran" behind and stays a few seconds.
#include <windows.h>

#include <string>

int main()
{
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring mark = std::wstring(self) + L".ran";
    HANDLE file = CreateFileW(mark.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    Sleep(4000);
    return 0;
}
