// tracecap: a debug-output viewer for tests and the main job. It listens
// for OutputDebugString text the way debug-output viewers do (the
// "DBWIN_BUFFER" shared section and its two events), starts a program, and
// writes the program's trace text to standard output or a file as it
// arrives. Exits with the program's exit code once the program has ended.
//
//   tracecap [--out FILE] [--all] [--others FILE] [--] PROGRAM [ARGS...]
//
// --all keeps the text of every process of the session, not only the
// program's own. --others writes the text of every other process (a server
// the program started) to a file of its own, and waits until those
// processes have ended too.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

struct DbwinBuffer
{
    DWORD dwProcessId;
    char data[4096 - sizeof(DWORD)];
};

std::wstring Quote(const std::wstring &arg)
{
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos)
        return arg;
    std::wstring q = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            q += c;
            continue;
        }
        if (c == L'"')
            q.append(backslashes + 1, L'\\');
        backslashes = 0;
        q += c;
    }
    q.append(backslashes, L'\\');
    q += L'"';
    return q;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    int i = 1;
    FILE *out = stdout;
    FILE *others = nullptr;
    bool all = false;
    for (; i < argc; ++i) {
        if (wcscmp(argv[i], L"--out") == 0 && i + 1 < argc) {
            out = _wfopen(argv[++i], L"wb");
            if (!out) {
                fwprintf(stderr, L"tracecap: cannot open %ls\n", argv[i]);
                return 2;
            }
        } else if (wcscmp(argv[i], L"--others") == 0 && i + 1 < argc) {
            others = _wfopen(argv[++i], L"wb");
            if (!others) {
                fwprintf(stderr, L"tracecap: cannot open %ls\n", argv[i]);
                return 2;
            }
        } else if (wcscmp(argv[i], L"--all") == 0) {
            all = true;
        } else if (wcscmp(argv[i], L"--") == 0) {
            ++i;
            break;
        } else {
            break;
        }
    }
    if (i >= argc) {
        fwprintf(stderr, L"usage: tracecap [--out FILE] [--all] [--others FILE] [--] PROGRAM [ARGS...]\n");
        return 2;
    }

    HANDLE bufferReady = CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY");
    HANDLE dataReady = CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY");
    HANDLE section = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(DbwinBuffer),
                                        L"DBWIN_BUFFER");
    if (!bufferReady || !dataReady || !section) {
        fwprintf(stderr, L"tracecap: cannot set up the debug-output section (%lu)\n", GetLastError());
        return 2;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS)
        fwprintf(stderr, L"tracecap: another debug-output viewer is running; its text may be missing here\n");
    const auto *buffer = static_cast<const DbwinBuffer *>(MapViewOfFile(section, FILE_MAP_READ, 0, 0, 0));
    if (!buffer)
        return 2;

    std::wstring commandLine;
    for (int k = i; k < argc; ++k) {
        if (k > i)
            commandLine += L' ';
        commandLine += Quote(argv[k]);
    }
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    SetEvent(bufferReady);
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        fwprintf(stderr, L"tracecap: cannot start %ls (%lu)\n", argv[i], GetLastError());
        return 2;
    }
    CloseHandle(pi.hThread);

    // The other processes whose text was kept, to wait for.
    std::vector<DWORD> otherIds;
    std::vector<HANDLE> otherProcesses;
    auto othersRunning = [&] {
        for (HANDLE h : otherProcesses)
            if (WaitForSingleObject(h, 0) == WAIT_TIMEOUT)
                return true;
        return false;
    };
    // Drain until the program (and with --others every other writer) has
    // ended and no text came for a moment.
    bool ended = false;
    for (;;) {
        HANDLE waits[2] = {dataReady, pi.hProcess};
        const DWORD r = WaitForMultipleObjects(ended ? 1 : 2, waits, FALSE, ended ? 200 : INFINITE);
        if (r == WAIT_OBJECT_0) {
            const DWORD pid = buffer->dwProcessId;
            FILE *to = pid == pi.dwProcessId || all ? out : others;
            if (to) {
                std::string text(buffer->data, strnlen(buffer->data, sizeof buffer->data));
                std::string clean;
                for (char c : text)
                    if (c != '\r')
                        clean += c;
                fwrite(clean.data(), 1, clean.size(), to);
                fflush(to);
            }
            if (to == others && others) {
                bool known = false;
                for (DWORD id : otherIds)
                    known = known || id == pid;
                if (!known) {
                    otherIds.push_back(pid);
                    if (HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pid))
                        otherProcesses.push_back(h);
                }
            }
            SetEvent(bufferReady);
        } else if (r == WAIT_OBJECT_0 + 1) {
            ended = true;
        } else if (!othersRunning()) {
            break;
        }
    }
    for (HANDLE h : otherProcesses)
        CloseHandle(h);
    if (others)
        fclose(others);
    DWORD exitCode = 0;
    GetExitCodeProcess(pi.hProcess, &exitCode);
    // The whole code: a shell sees only its low 8 bits.
    fwprintf(stderr, L"tracecap: %ls ended with exit code %lu\n", argv[i], exitCode);
    CloseHandle(pi.hProcess);
    if (out != stdout)
        fclose(out);
    return static_cast<int>(exitCode);
}
