// The settings against the real registry of the test prefix and a real
// settings dialog made from the server's resources.
#include "doctest.h"

#include "resource.h"
#include "settings.h"
#include "settings_win.h"
#include "win_test_util.h"

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

using wintest::GetString;

namespace {

const wchar_t *W(const WireChar *s) { return reinterpret_cast<const wchar_t *>(s); }

const wchar_t kInstallKey[] = L"Software\\Mervalt\\Tarsel\\InstallationPath";
const wchar_t kRun[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const std::wstring kDir = L"C:\\Program Files\\Tarsel Test\\";
const std::wstring kGui = L"PyxUserInterface.exe";
const std::wstring kCmd = L" \"%1\"";
const std::wstring kServer = L"PyxVideoServer.exe";

INT_PTR CALLBACK NoDialogProc(HWND, UINT msg, WPARAM, LPARAM) { return msg == WM_INITDIALOG; }

// A hidden settings dialog from template 129, destroyed with the object.
struct Dialog
{
    HWND hwnd = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_MAINDLG), nullptr, NoDialogProc, 0);
    ~Dialog() { DestroyWindow(hwnd); }
    bool Checked(int id) const { return IsDlgButtonChecked(hwnd, id) == BST_CHECKED; }
    bool Enabled(int id) const { return IsWindowEnabled(GetDlgItem(hwnd, id)) != FALSE; }
    void Check(int id, bool on) const { CheckDlgButton(hwnd, id, on ? BST_CHECKED : BST_UNCHECKED); }
};

std::wstring Text(HKEY root, const wchar_t *key, const wchar_t *name = nullptr)
{
    std::wstring value;
    return GetString(root, key, name, &value) ? value : L"<none>";
}

std::wstring ClassName(HWND hwnd)
{
    wchar_t cls[64];
    GetClassNameW(hwnd, cls, 64);
    return cls;
}

// Keeps the prefix as the test found it: the eight extensions, the Run key
// and the installation values are put back at the end.
struct PrefixGuard
{
    std::wstring saved[8];
    bool had[8] = {};
    PrefixGuard()
    {
        for (size_t i = 0; i < 8; ++i)
            had[i] = GetString(HKEY_CLASSES_ROOT, W(kExtensionTable[i].pszExtension), nullptr, &saved[i]);
    }
    ~PrefixGuard()
    {
        for (size_t i = 0; i < 8; ++i) {
            if (had[i])
                wintest::SetString(HKEY_CLASSES_ROOT, W(kExtensionTable[i].pszExtension), nullptr, saved[i]);
            else
                wintest::DeleteValue(HKEY_CLASSES_ROOT, W(kExtensionTable[i].pszExtension), nullptr);
        }
        wintest::DeleteValue(HKEY_CURRENT_USER, kRun, L"PYX");
        wintest::DeleteTree(HKEY_CURRENT_USER, L"Software\\Mervalt");
        wintest::DeleteTree(HKEY_CLASSES_ROOT, L"TarselFile");
    }
};

void WriteInstallation()
{
    REQUIRE(wintest::SetString(HKEY_CURRENT_USER, kInstallKey, L"Path", kDir));
    REQUIRE(wintest::SetString(HKEY_CURRENT_USER, kInstallKey, L"GuiApplication", kGui));
    REQUIRE(wintest::SetString(HKEY_CURRENT_USER, kInstallKey, L"GuiCommandLine", kCmd));
    REQUIRE(wintest::SetString(HKEY_CURRENT_USER, kInstallKey, L"ServerApplication", kServer));
}

// Runs fn on a second thread, as the control thread would, while this
// thread carries out the dialog's window messages.
void OnOtherThread(const std::function<void()> &fn)
{
    std::atomic<bool> done{false};
    std::thread worker([&] { fn(); done = true; });
    const DWORD start = GetTickCount();
    while (!done && GetTickCount() - start < 20000) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
    worker.join();
}

} // namespace

TEST_CASE("the settings dialog is template 129 with its controls, ids and texts")
{
    Dialog dlg;
    REQUIRE(dlg.hwnd);
    CHECK(wintest::WindowText(dlg.hwnd) == L"mc");
    CHECK_FALSE(IsWindowVisible(dlg.hwnd));
    const LONG style = GetWindowLongW(dlg.hwnd, GWL_STYLE);
    CHECK((style & WS_SYSMENU) != 0);
    CHECK((style & WS_MINIMIZEBOX) != 0);
    CHECK((style & WS_MAXIMIZEBOX) == 0);
    RECT want{0, 0, 186, 145};
    MapDialogRect(dlg.hwnd, &want);
    RECT client{};
    GetClientRect(dlg.hwnd, &client);
    CHECK(client.right == want.right);
    CHECK(client.bottom == want.bottom);

    struct Control { int id; const wchar_t *text; LONG type; };
    const Control controls[] = {
        {IDC_STARTUP, W(kStartupLabel), BS_AUTOCHECKBOX},
        {IDOK, L"&OK", BS_DEFPUSHBUTTON},
        {IDCANCEL, L"&Cancel", BS_PUSHBUTTON},
        {IDC_KILL_CLIENTS, L"&Kill Clients", BS_PUSHBUTTON},
        {IDC_STOP_SERVER, L"&Stop Server", BS_PUSHBUTTON},
        {ID_APP_ABOUT, L"A&bout...", BS_PUSHBUTTON},
        {IDC_SETTINGS_GROUP, L"Settings:", BS_GROUPBOX},
    };
    for (const Control &c : controls) {
        CAPTURE(c.id);
        HWND h = GetDlgItem(dlg.hwnd, c.id);
        REQUIRE(h);
        CHECK(wintest::WindowText(h) == c.text);
        CHECK(ClassName(h) == L"Button");
        CHECK((GetWindowLongW(h, GWL_STYLE) & BS_TYPEMASK) == c.type);
        CHECK(IsWindowEnabled(h));
    }
    for (const ExtensionRow &row : kExtensionTable) {
        CAPTURE(row.nBoxId);
        HWND h = GetDlgItem(dlg.hwnd, row.nBoxId);
        REQUIRE(h);
        CHECK(wintest::WindowText(h) == W(row.pszLabel));
        CHECK((GetWindowLongW(h, GWL_STYLE) & BS_TYPEMASK) == BS_AUTOCHECKBOX);
        CHECK(IsWindowEnabled(h));
    }
    HWND label = GetDlgItem(dlg.hwnd, IDC_EXT_LABEL);
    CHECK(wintest::WindowText(label) == L"Associate with extensions:");
    CHECK((GetWindowLongW(label, GWL_STYLE) & WS_VISIBLE) != 0);
    HWND asxLabel = GetDlgItem(dlg.hwnd, IDC_ASX_LABEL);
    CHECK(wintest::WindowText(asxLabel) == L"Process ASX stream on:");
    CHECK((GetWindowLongW(asxLabel, GWL_STYLE) & WS_VISIBLE) == 0);
    HWND combo = GetDlgItem(dlg.hwnd, IDC_ASX_PROCESSING);
    REQUIRE(combo);
    CHECK(ClassName(combo) == L"ComboBox");
    CHECK((GetWindowLongW(combo, GWL_STYLE) & 3) == CBS_DROPDOWNLIST);
    CHECK((GetWindowLongW(combo, GWL_STYLE) & WS_VISIBLE) == 0);
    CHECK(SendMessageW(dlg.hwnd, DM_GETDEFID, 0, 0) == MAKELRESULT(IDOK, DC_HASDEFID));
}

TEST_CASE("the other resources: About box, icon, tray menu, user agent, manifest, version")
{
    const HINSTANCE module = GetModuleHandleW(nullptr);
    HWND about = CreateDialogParamW(module, MAKEINTRESOURCEW(IDD_ABOUTBOX), nullptr, NoDialogProc, 0);
    REQUIRE(about);
    CHECK(wintest::WindowText(GetDlgItem(about, IDOK)) == L"OK");
    DestroyWindow(about);

    for (int size : {16, 32, 48}) {
        HICON icon = static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(IDI_PYXSERVER), IMAGE_ICON, size, size, 0));
        CHECK(icon);
        DestroyIcon(icon);
    }

    HMENU menu = LoadMenuW(module, MAKEINTRESOURCEW(IDR_TRAYMENU));
    REQUIRE(menu);
    wchar_t text[64];
    GetMenuStringW(menu, 0, text, 64, MF_BYPOSITION);
    CHECK(std::wstring(text) == L"TrayPopup");
    HMENU popup = GetSubMenu(menu, 0);
    REQUIRE(popup);
    CHECK(GetMenuItemCount(popup) == 2);
    CHECK(GetMenuItemID(popup, 0) == ID_TRAY_SETTINGS);
    CHECK(GetMenuItemID(popup, 1) == ID_TRAY_EXIT);
    GetMenuStringW(popup, ID_TRAY_SETTINGS, text, 64, MF_BYCOMMAND);
    CHECK(std::wstring(text) == L"Settings");
    GetMenuStringW(popup, ID_TRAY_EXIT, text, 64, MF_BYCOMMAND);
    CHECK(std::wstring(text) == L"Exit");
    DestroyMenu(menu);

    wchar_t agent[128];
    CHECK(LoadStringW(module, IDS_USER_AGENT, agent, 128) > 0);
    CHECK(std::wstring(agent) == L"Mozilla/4.0 (compatible; MSIE 6.0;Windows NT 5.1)");

    HRSRC manifest = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24)); // RT_MANIFEST
    REQUIRE(manifest);
    const char *xml = static_cast<const char *>(LockResource(LoadResource(module, manifest)));
    const std::string body(xml, SizeofResource(module, manifest));
    CHECK(body.find("Microsoft.Windows.Common-Controls") != std::string::npos);
    CHECK(body.find("version=\"6.0.0.0\"") != std::string::npos);
    CHECK(FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16))); // RT_VERSION
}

TEST_CASE("load, OK, Cancel, a client policy and uninstall against the registry")
{
    PrefixGuard guard;
    wintest::BoxWatcher boxes;
    Dialog dlg;
    REQUIRE(dlg.hwnd);
    const std::wstring command = L"\"" + kDir + kGui + L"\"" + kCmd;   // the folder has a blank: quoted

    SUBCASE("without installation values nothing is written")
    {
        wintest::DeleteTree(HKEY_CURRENT_USER, L"Software\\Mervalt");
        wintest::DeleteTree(HKEY_CLASSES_ROOT, L"TarselFile");
        wintest::SetString(HKEY_CLASSES_ROOT, L".avi", nullptr, L"Other.avi");
        dlg.Check(IDC_STARTUP, true);
        dlg.Check(IDC_EXT_AVI, true);
        SaveSettingsFromDialog(dlg.hwnd);
        LoadSettingsFromDialog(dlg.hwnd);
        OnOtherThread([&] { ApplyClientPolicyToDialog(0x80000003, dlg.hwnd); });
        CHECK(Text(HKEY_CURRENT_USER, kRun, L"PYX") == L"<none>");
        CHECK(Text(HKEY_CLASSES_ROOT, L".avi") == L"Other.avi");
        CHECK(Text(HKEY_CLASSES_ROOT, L"TarselFile") == L"<none>");
        CHECK(dlg.Enabled(IDC_STARTUP));

        UninstallFromDialog(dlg.hwnd); // needs no installation values
        CHECK(Text(HKEY_CLASSES_ROOT, L".avi") == L"AVIFile");
    }
    SUBCASE("with installation values")
    {
        WriteInstallation();
        wintest::SetString(HKEY_CLASSES_ROOT, L".wmv", nullptr, L"tarselfile");
        wintest::SetString(HKEY_CLASSES_ROOT, L".mp3", nullptr, L"TarselFile");
        LoadSettingsFromDialog(dlg.hwnd);
        CHECK(Text(HKEY_CLASSES_ROOT, L"TarselFile") == L"Tarsel File");
        CHECK(Text(HKEY_CLASSES_ROOT, L"TarselFile\\DefaultIcon") == kDir + kGui + L",0");
        CHECK(Text(HKEY_CLASSES_ROOT, L"TarselFile\\shell\\play\\command") == command);
        CHECK(Text(HKEY_CLASSES_ROOT, L"TarselFile\\shell\\Tarsel Player\\command") == command);
        CHECK_FALSE(dlg.Checked(IDC_STARTUP));
        CHECK(dlg.Checked(IDC_EXT_MP3));
        CHECK_FALSE(dlg.Checked(IDC_EXT_WMV));
        CHECK(Text(HKEY_CLASSES_ROOT, L".wmv") == L"WMVFile");

        // OK saves the boxes.
        dlg.Check(IDC_STARTUP, true);
        dlg.Check(IDC_EXT_AVI, true);
        SaveSettingsFromDialog(dlg.hwnd);
        CHECK(Text(HKEY_CURRENT_USER, kRun, L"PYX") == L"\"" + kDir + kServer + L"\"");   // quoted: the folder has a blank
        CHECK(Text(HKEY_CLASSES_ROOT, L".avi") == L"TarselFile");

        // Cancel reloads them from the registry.
        dlg.Check(IDC_EXT_ASF, true);
        dlg.Check(IDC_STARTUP, false);
        LoadSettingsFromDialog(dlg.hwnd);
        CHECK_FALSE(dlg.Checked(IDC_EXT_ASF));
        CHECK(dlg.Checked(IDC_STARTUP));
        CHECK(Text(HKEY_CLASSES_ROOT, L".asf") == L"ASFFile");

        // The client's policy, applied from another thread.
        OnOtherThread([&] { ApplyClientPolicyToDialog(0x00000003, dlg.hwnd); });
        CHECK(dlg.Enabled(IDC_STARTUP)); // without bit 31: nothing
        CHECK(Text(HKEY_CLASSES_ROOT, L".mp3") == L"TarselFile");
        OnOtherThread([&] { ApplyClientPolicyToDialog(0x80000003, dlg.hwnd); });
        CHECK(Text(HKEY_CURRENT_USER, kRun, L"PYX") == L"\"" + kDir + kServer + L"\"");   // quoted: the folder has a blank
        CHECK(dlg.Checked(IDC_STARTUP));
        CHECK_FALSE(dlg.Enabled(IDC_STARTUP));
        for (const ExtensionRow &row : kExtensionTable) {
            const bool avi = row.nBoxId == IDC_EXT_AVI;
            CAPTURE(row.nBoxId);
            CHECK(Text(HKEY_CLASSES_ROOT, W(row.pszExtension)) == (avi ? L"TarselFile" : W(row.pszStockType)));
            CHECK(dlg.Checked(row.nBoxId) == avi);
            CHECK_FALSE(dlg.Enabled(row.nBoxId));
        }

        UninstallFromDialog(dlg.hwnd);
        CHECK(Text(HKEY_CURRENT_USER, kRun, L"PYX") == L"<none>");
        for (const ExtensionRow &row : kExtensionTable)
            CHECK(Text(HKEY_CLASSES_ROOT, W(row.pszExtension)) == W(row.pszStockType));
        CHECK(Text(HKEY_CLASSES_ROOT, L"TarselFile") == L"Tarsel File"); // the file type stays
    }
    SUBCASE("a Run key that cannot be opened shows its box, which a user dismisses")
    {
        WriteInstallation();
        REQUIRE(RegDeleteKeyW(HKEY_CURRENT_USER, kRun) == ERROR_SUCCESS);
        dlg.Check(IDC_STARTUP, true);
        SaveSettingsFromDialog(dlg.hwnd);
        dlg.Check(IDC_STARTUP, false);
        OnOtherThread([&] { ApplyClientPolicyToDialog(0x80000000, dlg.hwnd); });
        UninstallFromDialog(dlg.hwnd); // reports nothing about the start-up value
        HKEY run = nullptr;
        REQUIRE(RegCreateKeyExW(HKEY_CURRENT_USER, kRun, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &run, nullptr) ==
                ERROR_SUCCESS);
        RegCloseKey(run);
        CHECK(boxes.Texts() == std::vector<std::wstring>{kBoxStartupCreate, kBoxStartupRemove});
        CHECK(dlg.Enabled(IDC_STARTUP));
        CHECK_FALSE(dlg.Enabled(IDC_EXT_AVI));
        return;
    }
    CHECK(boxes.Texts().empty());
}
