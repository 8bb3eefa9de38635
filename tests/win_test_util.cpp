#include "win_test_util.h"

#include <algorithm>
#include <cstring>

namespace wintest {

std::wstring ControlText(HWND dialog, int id)
{
    // WM_GETTEXT reaches another process's edit control; GetWindowText
    // would only read its caption.
    wchar_t text[1024] = {};
    SendDlgItemMessageW(dialog, id, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text));
    return text;
}

std::wstring ClassName(HWND hwnd)
{
    wchar_t name[256] = {};
    GetClassNameW(hwnd, name, 256);
    return name;
}

std::wstring WindowText(HWND hwnd)
{
    wchar_t buf[1024];
    const int n = GetWindowTextW(hwnd, buf, 1024);
    return std::wstring(buf, n > 0 ? n : 0);
}

std::wstring MessageBoxText(HWND box)
{
    std::wstring best;
    HWND child = nullptr;
    while ((child = FindWindowExW(box, child, L"Static", nullptr)) != nullptr) {
        std::wstring t = WindowText(child);
        if (t.size() > best.size())
            best = t;
    }
    return best;
}

namespace {

struct FindArgs
{
    const wchar_t *caption;
    DWORD pid;
    const wchar_t *className;
    HWND found;
};

BOOL CALLBACK FindProc(HWND hwnd, LPARAM lp)
{
    auto *a = reinterpret_cast<FindArgs *>(lp);
    if (!IsWindowVisible(hwnd))
        return TRUE;
    if (a->pid) {
        DWORD pid = 0;
        GetWindowThreadProcessId(hwnd, &pid);
        if (pid != a->pid)
            return TRUE;
    }
    if (a->className) {
        wchar_t cls[128];
        GetClassNameW(hwnd, cls, 128);
        if (wcscmp(cls, a->className) != 0)
            return TRUE;
    }
    if (a->caption && WindowText(hwnd) != a->caption)
        return TRUE;
    a->found = hwnd;
    return FALSE;
}

} // namespace

HWND FindTopLevel(const wchar_t *caption, DWORD pid, const wchar_t *className)
{
    FindArgs a{caption, pid, className, nullptr};
    EnumWindows(FindProc, reinterpret_cast<LPARAM>(&a));
    return a.found;
}

HWND WaitForTopLevel(const wchar_t *caption, DWORD timeoutMs, DWORD pid, const wchar_t *className)
{
    HWND found = nullptr;
    WaitUntil([&] { return (found = FindTopLevel(caption, pid, className)) != nullptr; }, timeoutMs);
    return found;
}

void PressButton(HWND box, int id)
{
    HWND button = GetDlgItem(box, id);
    if (button)
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
    else
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
}

BoxWatcher::BoxWatcher(const wchar_t *caption) : m_caption(caption)
{
    m_thread = std::thread([this] {
        std::vector<HWND> pressed;
        while (!m_stop) {
            if (!m_paused) {
                if (HWND box = FindTopLevel(m_caption.c_str())) {
                    if (std::find(pressed.begin(), pressed.end(), box) == pressed.end()) {
                        const std::wstring text = MessageBoxText(box);
                        std::lock_guard<std::mutex> hold(m_lock);
                        m_texts.push_back(text);
                        pressed.push_back(box);
                    }
                    PressButton(box, IDOK);
                }
            }
            Sleep(30);
        }
    });
}

BoxWatcher::~BoxWatcher()
{
    m_stop = true;
    m_thread.join();
}

std::vector<std::wstring> BoxWatcher::Texts() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_texts;
}

bool BoxWatcher::WaitFor(const std::wstring &part, DWORD timeoutMs) const
{
    return WaitUntil(
        [&] {
            for (const auto &t : Texts())
                if (t.find(part) != std::wstring::npos)
                    return true;
            return false;
        },
        timeoutMs);
}

void BoxWatcher::Clear()
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_texts.clear();
}

TraceCapture::TraceCapture(std::function<void(DWORD, const std::string &)> onText) : m_onText(std::move(onText))
{
    struct Buffer
    {
        DWORD pid;
        char text[4096 - sizeof(DWORD)];
    };
    m_hBufferReady = CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY");
    m_hDataReady = CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY");
    m_hSection = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(Buffer), L"DBWIN_BUFFER");
    m_pView = m_hSection ? MapViewOfFile(m_hSection, FILE_MAP_READ, 0, 0, 0) : nullptr;
    if (!m_hBufferReady || !m_hDataReady || !m_pView)
        return;
    m_thread = std::thread([this] {
        const auto *buffer = static_cast<const Buffer *>(m_pView);
        SetEvent(m_hBufferReady);
        while (!m_stop) {
            if (WaitForSingleObject(m_hDataReady, 50) != WAIT_OBJECT_0)
                continue;
            const DWORD pid = buffer->pid;
            const std::string text(buffer->text, strnlen(buffer->text, sizeof buffer->text));
            if (m_onText)
                m_onText(pid, text);
            {
                std::lock_guard<std::mutex> hold(m_lock);
                m_texts.emplace_back(pid, text);
            }
            SetEvent(m_hBufferReady);
        }
    });
}

TraceCapture::~TraceCapture()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    if (m_pView)
        UnmapViewOfFile(m_pView);
    for (HANDLE h : {m_hSection, m_hDataReady, m_hBufferReady})
        if (h)
            CloseHandle(h);
}

std::vector<std::string> TraceCapture::Texts(DWORD pid, const std::string &part) const
{
    std::lock_guard<std::mutex> hold(m_lock);
    std::vector<std::string> out;
    for (const auto &[from, text] : m_texts)
        if (from == pid && text.find(part) != std::string::npos)
            out.push_back(text);
    return out;
}

bool TraceCapture::WaitFor(DWORD pid, const std::string &part, DWORD timeoutMs) const
{
    return WaitUntil([&] { return !Texts(pid, part).empty(); }, timeoutMs);
}

Process::~Process()
{
    if (m_pi.hProcess) {
        Kill();
        CloseHandle(m_pi.hProcess);
    }
    // A process it started (a server) may still hold the pipe's other end,
    // so the reader stops on its own instead of waiting for the end of it.
    m_bStopReading = true;
    if (m_reader.joinable())
        m_reader.join();
    if (m_hRead)
        CloseHandle(m_hRead);
}

bool Process::Start(const std::wstring &commandLine, const wchar_t *dir)
{
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE write = nullptr;
    if (!CreatePipe(&m_hRead, &write, &sa, 0))
        return false;
    SetHandleInformation(m_hRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = write;
    si.hStdError = write;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    std::wstring cmd = commandLine;
    const BOOL ok = CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, TRUE, 0, nullptr, dir, &si, &m_pi);
    CloseHandle(write);
    if (!ok)
        return false;
    CloseHandle(m_pi.hThread);
    m_pi.hThread = nullptr;
    m_reader = std::thread([this] {
        char buf[4096];
        for (;;) {
            DWORD available = 0;
            if (!PeekNamedPipe(m_hRead, nullptr, 0, nullptr, &available, nullptr))
                break;   // every writer is gone
            if (available == 0) {
                ++m_nEmptyPolls;
                if (m_bStopReading)
                    break;
                Sleep(10);
                continue;
            }
            DWORD n = 0;
            if (!ReadFile(m_hRead, buf, sizeof buf, &n, nullptr) || n == 0)
                break;
            std::lock_guard<std::mutex> hold(m_lock);
            m_output.append(buf, n);
        }
        m_bReaderDone = true;
    });
    return true;
}

bool Process::Wait(DWORD timeoutMs, DWORD *exitCode)
{
    if (!m_pi.hProcess)
        return false;
    if (WaitForSingleObject(m_pi.hProcess, timeoutMs) != WAIT_OBJECT_0)
        return false;
    // What it wrote just before it ended is in the pipe until the reader's
    // next poll: the output is whole once the reader has found the pipe
    // empty twice since the end (the first look may have come before the
    // last write; a child that inherited the pipe may keep it open).
    const uint32_t polls = m_nEmptyPolls;
    WaitUntil([&] { return m_bReaderDone || m_nEmptyPolls > polls + 1; }, 2000);
    if (exitCode)
        GetExitCodeProcess(m_pi.hProcess, exitCode);
    return true;
}

void Process::Kill()
{
    if (m_pi.hProcess && WaitForSingleObject(m_pi.hProcess, 0) != WAIT_OBJECT_0) {
        TerminateProcess(m_pi.hProcess, 99);
        WaitForSingleObject(m_pi.hProcess, 5000);
    }
}

std::string Process::Output() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_output;
}

bool Process::WaitForOutput(const std::string &part, DWORD timeoutMs) const
{
    return WaitUntil([&] { return Output().find(part) != std::string::npos; }, timeoutMs);
}

NotificationListener::NotificationListener()
{
    m_uMessage = RegisterWindowMessageW(L"UWM_REZUZEROD_GUI_SERVER_INTERFACE");
    m_thread = std::thread([this] {
        WNDCLASSW wc{};
        wc.lpfnWndProc = Proc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"PyxTestNotificationListener";
        RegisterClassW(&wc);
        HWND hwnd = CreateWindowExW(0, wc.lpszClassName, L"notification listener", WS_OVERLAPPED, 0, 0, 40, 40,
                                    nullptr, nullptr, wc.hInstance, nullptr);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);   // the thread's queue exists from here
        m_dwThreadId = GetCurrentThreadId();
        m_bReady = true;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0)
            DispatchMessageW(&msg);
        DestroyWindow(hwnd);
    });
    WaitUntil([this] { return m_bReady.load(); }, 5000);
}

NotificationListener::~NotificationListener()
{
    PostThreadMessageW(m_dwThreadId, WM_QUIT, 0, 0);
    m_thread.join();
}

LRESULT CALLBACK NotificationListener::Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto *self = reinterpret_cast<NotificationListener *>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self && message == self->m_uMessage) {
        std::lock_guard<std::mutex> hold(self->m_lock);
        self->m_notes.emplace_back(static_cast<uint32_t>(wParam), static_cast<int32_t>(lParam));
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

std::vector<std::pair<uint32_t, int32_t>> NotificationListener::Notes() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_notes;
}

bool NotificationListener::WaitForCode(uint32_t code, DWORD timeoutMs) const
{
    return WaitUntil(
        [&] {
            for (const auto &n : Notes())
                if ((n.first & 0xFF) == code)
                    return true;
            return false;
        },
        timeoutMs);
}

void NotificationListener::Clear()
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_notes.clear();
}

bool SaveWindowBitmap(HWND hwnd, const std::wstring &path)
{
    RECT r{};
    if (!GetWindowRect(hwnd, &r) || r.right <= r.left || r.bottom <= r.top)
        return false;
    const int w = r.right - r.left, h = r.bottom - r.top;
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = h;   // bottom-up, as a BMP file stores it
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 24;
    bi.bmiHeader.biCompression = BI_RGB;
    void *bits = nullptr;
    HBITMAP dib = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    bool ok = false;
    if (dib) {
        HGDIOBJ old = SelectObject(mem, dib);
        ok = BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY) != FALSE;
        SelectObject(mem, old);
        GdiFlush();
        const DWORD stride = (static_cast<DWORD>(w) * 3 + 3) & ~3u;
        BITMAPFILEHEADER fh{};
        fh.bfType = 0x4D42;
        fh.bfOffBits = sizeof fh + sizeof bi.bmiHeader;
        fh.bfSize = fh.bfOffBits + stride * static_cast<DWORD>(h);
        HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (ok && f != INVALID_HANDLE_VALUE) {
            DWORD n = 0;
            ok = WriteFile(f, &fh, sizeof fh, &n, nullptr) && WriteFile(f, &bi.bmiHeader, sizeof bi.bmiHeader, &n, nullptr) &&
                 WriteFile(f, bits, stride * static_cast<DWORD>(h), &n, nullptr);
        } else {
            ok = false;
        }
        if (f != INVALID_HANDLE_VALUE)
            CloseHandle(f);
        DeleteObject(dib);
    }
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
    return ok;
}

uint8_t PatternByte(uint32_t i) { return static_cast<uint8_t>((i * 2654435761u) >> 13); }

TempFile::TempFile(uint32_t size, const wchar_t *stem, const wchar_t *extension)
{
    static std::atomic<int> s_nCounter{0};
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    m_path = std::wstring(dir) + stem + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++s_nCounter) +
             extension;
    std::vector<char> bytes(size);
    for (uint32_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(PatternByte(i));
    HANDLE f = CreateFileW(m_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        if (size)
            WriteFile(f, bytes.data(), size, &written, nullptr);
        CloseHandle(f);
    }
}

TempFile::~TempFile() { DeleteFileW(m_path.c_str()); }

bool TempFile::IsClosedByServer() const
{
    if (!DeleteFileW(m_path.c_str()))
        return false;
    HANDLE f = CreateFileW(m_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f != INVALID_HANDLE_VALUE)
        CloseHandle(f);
    return true;
}

std::wstring ExeFolder()
{
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p(path, n);
    return p.substr(0, p.find_last_of(L"\\/") + 1);
}

bool SetString(HKEY root, const wchar_t *key, const wchar_t *name, const std::wstring &value)
{
    HKEY k = nullptr;
    if (RegCreateKeyExW(root, key, 0, nullptr, 0, KEY_WRITE, nullptr, &k, nullptr) != ERROR_SUCCESS)
        return false;
    const LONG r = RegSetValueExW(k, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                                  static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(k);
    return r == ERROR_SUCCESS;
}

bool GetString(HKEY root, const wchar_t *key, const wchar_t *name, std::wstring *value)
{
    HKEY k = nullptr;
    if (RegOpenKeyExW(root, key, 0, KEY_READ, &k) != ERROR_SUCCESS)
        return false;
    wchar_t buf[1024] = {};
    DWORD size = sizeof buf - sizeof(wchar_t);
    DWORD type = 0;
    const LONG r = RegQueryValueExW(k, name, nullptr, &type, reinterpret_cast<BYTE *>(buf), &size);
    RegCloseKey(k);
    if (r != ERROR_SUCCESS)
        return false;
    *value = std::wstring(buf, wcsnlen(buf, size / sizeof(wchar_t)));
    return true;
}

void DeleteValue(HKEY root, const wchar_t *key, const wchar_t *name)
{
    HKEY k = nullptr;
    if (RegOpenKeyExW(root, key, 0, KEY_WRITE, &k) == ERROR_SUCCESS) {
        RegDeleteValueW(k, name);
        RegCloseKey(k);
    }
}

void DeleteTree(HKEY root, const wchar_t *key) { RegDeleteTreeW(root, key); }

bool EnsureService(const wchar_t *name)
{
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!scm)
        return false;
    SC_HANDLE svc = OpenServiceW(scm, name, SERVICE_QUERY_STATUS);
    if (!svc)
        svc = CreateServiceW(scm, name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                             SERVICE_ERROR_IGNORE, L"C:\\windows\\system32\\notepad.exe", nullptr, nullptr, nullptr,
                             nullptr, nullptr);
    const bool ok = svc != nullptr;
    if (svc)
        CloseServiceHandle(svc);
    CloseServiceHandle(scm);
    return ok;
}

bool RemoveService(const wchar_t *name)
{
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!scm)
        return false;
    SC_HANDLE svc = OpenServiceW(scm, name, DELETE);
    bool ok = true;
    if (svc) {
        ok = DeleteService(svc) != FALSE;
        CloseServiceHandle(svc);
    }
    CloseServiceHandle(scm);
    return ok;
}

bool WaitUntil(const std::function<bool()> &pred, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        if (pred())
            return true;
        if (GetTickCount64() >= deadline)
            return false;
        Sleep(20);
    }
}

std::string Narrow(const std::wstring &w)
{
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.c_str(), static_cast<int>(w.size()), &s[0], n, nullptr, nullptr);
    return s;
}

std::wstring Widen(const std::string &s)
{
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.c_str(), static_cast<int>(s.size()), &w[0], n);
    return w;
}

} // namespace wintest
