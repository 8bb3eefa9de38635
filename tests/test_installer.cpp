// This build's package (on the 32-bit build the shipping package itself)
// with Wine's real msiexec, as an administrator uses it:
// a silent install; the installed player starting the installed server
// through the values the package wrote and a file played end to end with
// the client emulator; a silent removal with both programs still running;
// another user's log-on; an upgrade and a refused downgrade.
#include "doctest.h"

#include "installation_guard.h"
#include "player_session.h"
#include "program_stage.h"
#include "resource.h"
#include "settings.h"
#include "handle_win.h"
#include "win_test_util.h"

#include <msi.h>
#include <shellapi.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

using wintest::RegText;
using wintest::WaitUntil;

namespace {

constexpr wchar_t kUpgradeCode[] = L"{4E1B7C90-2D3A-4F58-B6E1-7A9C0D2F3B45}";
constexpr wchar_t kActiveSetupKey[] =
    L"Software\\Microsoft\\Active Setup\\Installed Components\\{6F3A2C55-8E41-4B0D-9A7C-1D2E3F405162}";

// This build's package: the shipping package on the 32-bit build, the test
// package on the 64-bit one; and the same one patch version higher.
constexpr bool k32Bit = sizeof(void *) == 4;
constexpr const wchar_t *kPackage = k32Bit ? L"Tarsel.msi" : L"Tarsel-x64.msi";
constexpr const wchar_t *kNextPackage = k32Bit ? L"Tarsel-next.msi" : L"Tarsel-x64-next.msi";

std::wstring Package(const wchar_t *name) { return wintest::BuildFolder() + L"installer\\" + name; }

std::wstring InstalledFolder()
{
    wchar_t folder[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, 0, folder);
    return std::wstring(folder) + L"\\Tarsel\\";
}

bool Exists(const std::wstring &path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Runs msiexec silently with a verbose log in test-output; its exit code,
// and the time it took in *seconds.
DWORD Msiexec(const std::wstring &args, const wchar_t *log, double *seconds = nullptr)
{
    const std::wstring out = wintest::BuildFolder() + L"test-output\\";
    CreateDirectoryW(out.c_str(), nullptr);
    const auto start = std::chrono::steady_clock::now();
    wintest::Process msiexec;
    if (!msiexec.Start(L"msiexec.exe " + args + L" /qn /l*v \"" + out + log + L"\""))
        return 0xDEAD;
    DWORD code = 0xDEAD;
    if (!msiexec.Wait(180000, &code))
        msiexec.Kill();
    if (seconds)
        *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return code;
}

// Product codes of the installed packages of this upgrade code.
std::vector<std::wstring> InstalledProducts()
{
    std::vector<std::wstring> codes;
    wchar_t code[39];
    for (DWORD i = 0; MsiEnumRelatedProductsW(kUpgradeCode, 0, i, code) == ERROR_SUCCESS; ++i)
        codes.emplace_back(code);
    return codes;
}

std::wstring ProductVersion(const std::wstring &code)
{
    wchar_t version[64] = {};
    DWORD length = 64;
    MsiGetProductInfoW(code.c_str(), INSTALLPROPERTY_VERSIONSTRING, version, &length);
    return version;
}

// Processes of ours (by file name) that run now.
int OurProcesses()
{
    int count = 0;
    CHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more; more = Process32NextW(snapshot.Get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, L"PyxVideoServer.exe") == 0 || _wcsicmp(entry.szExeFile, L"PyxUserInterface.exe") == 0)
            ++count;
    }
    return count;
}

std::wstring ImageOf(HWND window)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    CHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    wchar_t path[MAX_PATH] = {};
    DWORD length = MAX_PATH;
    return QueryFullProcessImageNameW(process.Get(), 0, path, &length) ? path : L"";
}

// Where the Start-menu shortcut is (the machine's or, under Wine, the
// user's Programs folder), empty when it is in neither; its target in *target.
std::wstring FindShortcut(std::wstring *target = nullptr)
{
    for (int folder : {CSIDL_COMMON_PROGRAMS, CSIDL_PROGRAMS}) {
        wchar_t path[MAX_PATH] = {};
        SHGetFolderPathW(nullptr, folder, nullptr, 0, path);
        const std::wstring link = std::wstring(path) + L"\\Tarsel Player.lnk";
        if (!Exists(link))
            continue;
        if (target) {
            IShellLinkW *shell = nullptr;
            if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                           reinterpret_cast<void **>(&shell)))) {
                IPersistFile *file = nullptr;
                wchar_t resolved[MAX_PATH] = {};
                if (SUCCEEDED(shell->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file)))) {
                    if (SUCCEEDED(file->Load(link.c_str(), STGM_READ)))
                        shell->GetPath(resolved, MAX_PATH, nullptr, 0);
                    file->Release();
                }
                shell->Release();
                *target = resolved;
            }
        }
        return link;
    }
    return std::wstring();
}

// The system folder as this program names it (a 32-bit program's writes to
// it go to SysWOW64, where the 32-bit programs' libraries are).
std::wstring SystemFolder()
{
    wchar_t folder[MAX_PATH] = {};
    GetSystemDirectoryW(folder, MAX_PATH);
    return std::wstring(folder) + L"\\";
}

// Loads from the system folder, by either of its names.
size_t LoadsFromSystemFolder(const wintest::LibraryLoads &loads)
{
    size_t n = loads.From(SystemFolder());
    wchar_t wow[MAX_PATH] = {};
    if (k32Bit && GetSystemWow64DirectoryW(wow, MAX_PATH) > 0)
        n += loads.From(std::wstring(wow) + L"\\");
    return n;
}

// A clean prefix (this test's own) before and after: no installation of
// ours, no values, no server; the loopback channel libraries in the system
// folder, where the platform's own are (the package never carries them),
// and ICA.
struct Prefix
{
    wintest::BoxWatcher boxes;
    Prefix()
    {
        CoInitialize(nullptr);
        Clean();
        REQUIRE(wintest::EnsureService(L"HalvernService"));
        for (const wchar_t *dll : {L"Wtsapi32.dll", L"wfapi.dll"})
            REQUIRE(CopyFileW((wintest::BuildFolder() + L"loopback\\" + dll).c_str(), (SystemFolder() + dll).c_str(),
                              FALSE));
    }
    ~Prefix()
    {
        Clean();
        wintest::RemoveService(L"HalvernService");
        CoUninitialize();
    }
    static void Clean()
    {
        wintest::StopServers();
        for (const std::wstring &code : InstalledProducts())
            Msiexec(L"/x " + code, L"cleanup.log");
        wintest::RemoveInstallationTraces();
    }
};

} // namespace

TEST_CASE("the package installs silently, plays from where it put the programs, and leaves nothing behind")
{
    Prefix prefix;
    const std::wstring folder = InstalledFolder();
    double installSeconds = 0, removeSeconds = 0;
    REQUIRE(Msiexec(L"/i \"" + Package(kPackage) + L"\"", L"install.log", &installSeconds) == 0);

    // Two programs and nothing else; the shortcut; the four values.
    std::vector<std::wstring> files;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"*").c_str(), &found);
    REQUIRE(search != INVALID_HANDLE_VALUE);
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            files.emplace_back(found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::sort(files.begin(), files.end());
    CHECK(files == std::vector<std::wstring>{L"PyxUserInterface.exe", L"PyxVideoServer.exe"});
    std::wstring target;
    CHECK_FALSE(FindShortcut(&target).empty());
    CHECK(_wcsicmp(target.c_str(), (folder + L"PyxUserInterface.exe").c_str()) == 0);
    CHECK(RegText(HKEY_CURRENT_USER, wintest::kInstallationKey, L"Path") == folder);
    CHECK(RegText(HKEY_CURRENT_USER, wintest::kInstallationKey, L"GuiApplication") == L"PyxUserInterface.exe");
    CHECK(RegText(HKEY_CURRENT_USER, wintest::kInstallationKey, L"GuiCommandLine") == L" \"%1\"");
    CHECK(RegText(HKEY_CURRENT_USER, wintest::kInstallationKey, L"ServerApplication") == L"PyxVideoServer.exe");

    // The installed player, started as the shortcut starts it, starts the
    // installed server, and the client player reads the file to its end.
    // Both take the channel libraries from the system folder.
    wintest::PlayerClient client;
    wintest::TempFile media(1 << 20, L"pyx_inst");
    client.Mark();
    wintest::Process player;
    {
        wintest::LibraryLoads loads;
        REQUIRE(player.Start(L"\"" + folder + L"PyxUserInterface.exe\" \"" + media.Path() + L"\"", folder.c_str()));
        REQUIRE(client.WaitFor(0, 15000));
        CHECK(WaitUntil([&] { return client.Snapshot().atEnd; }, 20000));
        CHECK(client.Snapshot().bytes >= (1u << 20));
        CHECK(client.Snapshot().mismatches == 0);
        CHECK(LoadsFromSystemFolder(loads) == 4);   // both libraries, in each program
        CHECK(loads.Paths().size() == 4);
    }
    HWND server = wintest::ServerDialog(0);
    REQUIRE(server);
    CHECK(_wcsicmp(ImageOf(server).c_str(), (folder + L"PyxVideoServer.exe").c_str()) == 0);

    // The user ticks "Run at startup" and .avi in the server's settings.
    PostMessageW(server, WM_COMMAND, ID_TRAY_SETTINGS, 0);
    REQUIRE(WaitUntil([&] { return IsWindowVisible(server) != FALSE; }, 5000));
    SendMessageW(GetDlgItem(server, IDC_STARTUP), BM_CLICK, 0, 0);
    SendMessageW(GetDlgItem(server, IDC_EXT_AVI), BM_CLICK, 0, 0);
    wintest::PressButton(server, IDOK);
    CHECK(WaitUntil([&] { return RegText(HKEY_CLASSES_ROOT, L".avi") == L"TarselFile"; }, 5000));
    // The folder has a blank: both program paths are quoted.
    CHECK(RegText(HKEY_CURRENT_USER, wintest::kRunKeyPath, L"PYX") == L"\"" + folder + L"PyxVideoServer.exe\"");
    CHECK(RegText(HKEY_CLASSES_ROOT, L"TarselFile\\shell\\play\\command") ==
          L"\"" + folder + L"PyxUserInterface.exe\" \"%1\"");

    // A double click on a file of that type, as the shell carries it out
    // (the default verb): the running player gets it and the client plays
    // it to its end, every byte checked.
    wintest::TempFile clip(700000, L"pyx clip ", L".avi");
    client.Mark();
    SHELLEXECUTEINFOW open{};
    open.cbSize = sizeof open;
    open.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    open.lpFile = clip.Path().c_str();
    open.nShow = SW_SHOWNORMAL;
    REQUIRE(ShellExecuteExW(&open));
    CHandle started(open.hProcess);
    loopback::PlayerEvent opened;
    REQUIRE(client.WaitFor(0, 15000, &opened));
    CHECK(std::wstring(opened.message.name.begin(), opened.message.name.end()) == clip.Path());
    CHECK(WaitUntil([&] {
        const loopback::PlayerSummary now = client.Snapshot();
        return now.atEnd && std::wstring(now.lastName.begin(), now.lastName.end()) == clip.Path();
    }, 20000));
    CHECK(client.Snapshot().mismatches == 0);
    DWORD handOffCode = 0xDEAD;
    CHECK(WaitForSingleObject(started.Get(), 10000) == WAIT_OBJECT_0);
    GetExitCodeProcess(started.Get(), &handOffCode);
    CHECK(handOffCode == 0);

    // Removal with both programs running: they are ended their own way, and
    // everything the package and the server wrote is gone.
    DWORD serverPid = 0;
    GetWindowThreadProcessId(server, &serverPid);
    CHandle serverProcess(OpenProcess(SYNCHRONIZE, FALSE, serverPid));
    REQUIRE(Msiexec(L"/x \"" + Package(kPackage) + L"\"", L"remove.log", &removeSeconds) == 0);
    CHECK(WaitForSingleObject(serverProcess.Get(), 0) == WAIT_OBJECT_0);
    DWORD playerCode = 0;
    CHECK(player.Wait(0, &playerCode));
    CHECK(playerCode == 32773);   // File, Exit
    CHECK_FALSE(Exists(folder));
    CHECK(FindShortcut().empty());
    CHECK(RegText(HKEY_CURRENT_USER, wintest::kInstallationKey, L"Path") == L"<none>");
    CHECK(RegText(HKEY_CURRENT_USER, wintest::kRunKeyPath, L"PYX") == L"<none>");
    for (const ExtensionRow &row : kExtensionTable)
        CHECK(RegText(HKEY_CLASSES_ROOT, reinterpret_cast<const wchar_t *>(row.pszExtension)) ==
              reinterpret_cast<const wchar_t *>(row.pszStockType));
    CHECK(RegText(HKEY_CLASSES_ROOT, L"TarselFile") == L"<none>");
    CHECK(RegText(HKEY_LOCAL_MACHINE, kActiveSetupKey, L"StubPath") == L"<none>");
    CHECK(InstalledProducts().empty());
    CHECK(OurProcesses() == 0);
    CHECK(prefix.boxes.Texts().empty());
    std::printf("%ls: install %.1f s, removal %.1f s (both programs running)\n", kPackage, installSeconds,
                removeSeconds);
}

TEST_CASE("another user's log-on gets the values; a newer package replaces the older one in its folder, an older one is refused")
{
    Prefix prefix;
    // Wine's msiexec removes the older product of an upgrade as a plain
    // removal (without UPGRADINGPRODUCTCODE), so the server's "uninstall"
    // runs then too; its control thread finds this client.
    wintest::PlayerClient client;
    // A folder of the administrator's choice, which the upgrade keeps.
    std::wstring folder = InstalledFolder();
    folder.insert(folder.size() - 1, L" Elsewhere");
    REQUIRE(Msiexec(L"/i \"" + Package(kPackage) + L"\" INSTALLDIR=\"" + folder + L"\"", L"install.log") == 0);
    REQUIRE(Exists(folder + L"PyxUserInterface.exe"));

    // A user who logs on later: no values yet, so Windows runs the Active
    // Setup command once for that user, and it writes them.
    const std::wstring stub = RegText(HKEY_LOCAL_MACHINE, kActiveSetupKey, L"StubPath");
    REQUIRE(stub.find(L"msiexec.exe") == 0);
    CHECK(RegText(HKEY_LOCAL_MACHINE, kActiveSetupKey, L"Version") == RegText(HKEY_CURRENT_USER, kActiveSetupKey, L"Version"));
    wintest::DeleteTree(HKEY_CURRENT_USER, L"Software\\Mervalt");
    wintest::Process logon;
    REQUIRE(logon.Start(stub));
    DWORD code = 0xDEAD;
    CHECK(logon.Wait(120000, &code));
    CHECK(code == 0);
    CHECK(RegText(HKEY_CURRENT_USER, wintest::kInstallationKey, L"Path") == folder);
    CHECK(RegText(HKEY_CURRENT_USER, wintest::kInstallationKey, L"ServerApplication") == L"PyxVideoServer.exe");

    // The next version over it: one installation, of that version, whose
    // Active Setup version makes every user's values be written again.
    const std::vector<std::wstring> before = InstalledProducts();
    REQUIRE(before.size() == 1);
    const std::wstring oldVersion = ProductVersion(before[0]);
    REQUIRE(Msiexec(L"/i \"" + Package(kNextPackage) + L"\"", L"upgrade.log") == 0);
    const std::vector<std::wstring> after = InstalledProducts();
    REQUIRE(after.size() == 1);
    CHECK(after[0] != before[0]);
    const std::wstring newVersion = ProductVersion(after[0]);
    CHECK(newVersion != oldVersion);
    CHECK(RegText(HKEY_LOCAL_MACHINE, kActiveSetupKey, L"Version") != L"<none>");
    CHECK(RegText(HKEY_LOCAL_MACHINE, kActiveSetupKey, L"StubPath").find(after[0]) != std::wstring::npos);
    CHECK(Exists(folder + L"PyxVideoServer.exe"));
    CHECK_FALSE(Exists(InstalledFolder()));
    CHECK(RegText(HKEY_CURRENT_USER, wintest::kInstallationKey, L"Path") == folder);

    // The older package does not go over the newer one.
    CHECK(Msiexec(L"/i \"" + Package(kPackage) + L"\"", L"downgrade.log") != 0);
    CHECK(InstalledProducts() == after);
    CHECK(ProductVersion(after[0]) == newVersion);
    for (const std::wstring &text : prefix.boxes.Texts())
        FAIL_CHECK(wintest::Narrow(text));
}
