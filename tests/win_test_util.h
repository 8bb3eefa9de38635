// Helpers for Windows tests: drive other programs as a user would (find
// their windows and boxes, read and press them), start processes and read
// their output, and prepare the registry of the test prefix.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace wintest {

// Text of a window (GetWindowTextW).
std::wstring WindowText(HWND hwnd);
// A dialog control's text, also of another process's edit control.
std::wstring ControlText(HWND dialog, int id);
// Its window class.
std::wstring ClassName(HWND hwnd);

// The message text of a message box: its longest static text.
std::wstring MessageBoxText(HWND box);

// Finds a visible top-level window with this caption; 0 if there is none.
// When pid is not 0, only windows of that process count.
HWND FindTopLevel(const wchar_t *caption, DWORD pid = 0, const wchar_t *className = nullptr);

// Waits up to timeoutMs for such a window.
HWND WaitForTopLevel(const wchar_t *caption, DWORD timeoutMs, DWORD pid = 0, const wchar_t *className = nullptr);

// Presses a box's button (default IDOK) as a click would.
void PressButton(HWND box, int id = IDOK);

// Watches for boxes with a caption ("Error!" by default) in any process,
// records their text and presses OK, so no test ever hangs on one.
class BoxWatcher
{
public:
    explicit BoxWatcher(const wchar_t *caption = L"Error!");
    ~BoxWatcher();
    BoxWatcher(const BoxWatcher &) = delete;
    BoxWatcher &operator=(const BoxWatcher &) = delete;

    std::vector<std::wstring> Texts() const;
    // Waits until a box whose text contains `part` was seen.
    bool WaitFor(const std::wstring &part, DWORD timeoutMs) const;
    void Clear();
    // While paused, boxes are left alone (a test presses them itself).
    void Pause(bool paused) { m_paused = paused; }

private:
    std::wstring m_caption;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_paused{false};
    mutable std::mutex m_lock;
    std::vector<std::wstring> m_texts;
    std::thread m_thread;
};

// The session's debug output as a debug-output viewer sees it (the
// "DBWIN_BUFFER" section and its two events): every text with the id of the
// process that wrote it. `onText` (optional) runs on the listening thread for
// each text as it arrives, before the writer's next text can come.
class TraceCapture
{
public:
    explicit TraceCapture(std::function<void(DWORD pid, const std::string &text)> onText = nullptr);
    ~TraceCapture();
    TraceCapture(const TraceCapture &) = delete;
    TraceCapture &operator=(const TraceCapture &) = delete;

    // False when the section could not be set up (nothing is captured).
    bool Listening() const { return m_thread.joinable(); }
    // The texts of one process that contain `part`.
    std::vector<std::string> Texts(DWORD pid, const std::string &part) const;
    bool WaitFor(DWORD pid, const std::string &part, DWORD timeoutMs) const;

private:
    std::function<void(DWORD, const std::string &)> m_onText;
    HANDLE m_hBufferReady = nullptr;
    HANDLE m_hDataReady = nullptr;
    HANDLE m_hSection = nullptr;
    const void *m_pView = nullptr;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_lock;
    std::vector<std::pair<DWORD, std::string>> m_texts;
    std::thread m_thread;
};

// A child process whose standard output and error are collected.
class Process
{
public:
    Process() = default;
    ~Process();
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    // commandLine is the whole command line; dir the working folder (or null).
    bool Start(const std::wstring &commandLine, const wchar_t *dir = nullptr);
    // Waits for the end; false on time-out. exitCode is set when it ended.
    bool Wait(DWORD timeoutMs, DWORD *exitCode = nullptr);
    void Kill();
    DWORD Pid() const { return m_pi.dwProcessId; }
    HANDLE Handle() const { return m_pi.hProcess; }
    std::string Output() const;
    // Waits until the output contains `part`.
    bool WaitForOutput(const std::string &part, DWORD timeoutMs) const;

private:
    PROCESS_INFORMATION m_pi{};
    HANDLE m_hRead = nullptr;
    std::atomic<bool> m_bStopReading{false};
    std::atomic<bool> m_bReaderDone{false};
    std::atomic<uint32_t> m_nEmptyPolls{0};
    std::thread m_reader;
    mutable std::mutex m_lock;
    std::string m_output;
};

// A file of the temporary folder filled with PatternByte(i), removed at the
// end. The pattern depends on the position, so a byte served from the
// wrong offset is caught.
uint8_t PatternByte(uint32_t i);
class TempFile
{
public:
    explicit TempFile(uint32_t size, const wchar_t *stem = L"pyx_test", const wchar_t *extension = L".bin");
    ~TempFile();
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    const std::wstring &Path() const { return m_path; }
    // A file still open in this process cannot be deleted: true when it
    // could be (it is created again, empty).
    bool IsClosedByServer() const;

private:
    std::wstring m_path;
};

// A top-level window of its own thread that records the server's broadcast
// notifications (wParam, lParam) as the player window receives them.
class NotificationListener
{
public:
    NotificationListener();
    ~NotificationListener();
    NotificationListener(const NotificationListener &) = delete;
    NotificationListener &operator=(const NotificationListener &) = delete;

    std::vector<std::pair<uint32_t, int32_t>> Notes() const;
    // Waits for a notification with this code (low 8 bits of wParam).
    bool WaitForCode(uint32_t code, DWORD timeoutMs) const;
    void Clear();

private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    std::thread m_thread;
    std::atomic<DWORD> m_dwThreadId{0};
    std::atomic<bool> m_bReady{false};
    UINT m_uMessage = 0;
    mutable std::mutex m_lock;
    std::vector<std::pair<uint32_t, int32_t>> m_notes;
};

// Writes what a window shows to a 24-bit BMP file; false on failure.
bool SaveWindowBitmap(HWND hwnd, const std::wstring &path);

// Folder of the running test program, with a trailing backslash.
std::wstring ExeFolder();

// Registry values of the current user (REG_SZ); read gives false when absent.
bool SetString(HKEY root, const wchar_t *key, const wchar_t *name, const std::wstring &value);
bool GetString(HKEY root, const wchar_t *key, const wchar_t *name, std::wstring *value);
void DeleteValue(HKEY root, const wchar_t *key, const wchar_t *name);
void DeleteTree(HKEY root, const wchar_t *key);

// The service that makes a console session count as ICA.
bool EnsureService(const wchar_t *name);
bool RemoveService(const wchar_t *name);

// Runs `pred` every 20 ms until it is true or the time is up.
bool WaitUntil(const std::function<bool()> &pred, DWORD timeoutMs);

std::string Narrow(const std::wstring &w);
std::wstring Widen(const std::string &s);

} // namespace wintest
