#include "doctest.h"

#include "fake_registry.h"
#include "install_path.h"
#include "settings.h"
#include "trace.h"

#include <string>
#include <vector>

namespace {

constexpr RegRoot HKCU = RegRoot::CurrentUser;
constexpr RegRoot HKCR = RegRoot::ClassesRoot;

const std::u16string kDir = u"C:\\Apps\\Tarsel\\";
const std::u16string kGui = u"PyxUserInterface.exe";
const std::u16string kCmd = u" \"%1\"";
const std::u16string kServer = u"PyxVideoServer.exe";

std::vector<std::wstring> g_boxes;
void CaptureBox(const wchar_t *text) { g_boxes.emplace_back(text); }

struct Fixture
{
    CFakeRegistry reg;
    CFakeShell shell;
    CFakeView view;
    SettingsPlatform platform{reg, shell};

    Fixture()
    {
        reg.keys[CFakeRegistry::P(HKCU, kRunKey)];
        g_boxes.clear();
        SetErrorBoxHook(CaptureBox);
    }
    ~Fixture() { SetErrorBoxHook(nullptr); }

    void Install() { reg.SetInstallation(kDir, kGui, kCmd, kServer); }
    std::optional<std::u16string> Ext(const WireChar *ext) const { return reg.Text(HKCR, ext); }
    std::optional<std::u16string> Startup() const { return reg.Text(HKCU, kRunKey, kStartupValue); }
    void CheckAll(bool startup, uint32_t extensionBits)
    {
        view.boxes[IDC_STARTUP].checked = startup;
        for (const ExtensionRow &row : kExtensionTable)
            view.boxes[row.nBoxId].checked = (extensionBits & row.dwPolicyBit) != 0;
    }
};

std::u16string Compose(CRegistry &reg, std::initializer_list<const WireChar *> names, size_t *count = nullptr)
{
    WireChar buf[kPathUnits];
    const size_t n = ComposeInstallationPath(reg, buf, names);
    if (count)
        *count = n;
    REQUIRE(n < kPathUnits);
    CHECK(buf[n] == 0);
    return std::u16string(buf, n);
}

} // namespace

TEST_CASE("installation paths are the plain concatenation of the values, each overwriting the previous NUL")
{
    CFakeRegistry reg;

    WireChar untouched[kPathUnits];
    std::fill(std::begin(untouched), std::end(untouched), u'x');
    CHECK(ComposeInstallationPath(reg, untouched, {kValuePath}) == 0);
    CHECK(untouched[0] == u'x'); // no key: the buffer is left as it was
    CHECK(reg.openHandles == 0);

    reg.SetInstallation(kDir, kGui, kCmd, kServer);
    size_t n = 0;
    CHECK(Compose(reg, {kValuePath, kValueServerApplication}, &n) == kDir + kServer);
    CHECK(n == kDir.size() + kServer.size());
    CHECK(Compose(reg, {kValuePath, kValueGuiApplication, kValueGuiCommandLine}) == kDir + kGui + kCmd);
    // The room offered shrinks with what is composed.
    reg.queryRooms.clear();
    Compose(reg, {kValuePath, kValueGuiApplication});
    CHECK(reg.queryRooms == std::vector<uint32_t>{520, static_cast<uint32_t>((260 - kDir.size()) * 2)});

    SUBCASE("a missing value or one without data ends the composition and keeps what came before")
    {
        CHECK(Compose(reg, {kValuePath, u"Missing", kValueServerApplication}) == kDir);
        reg.SetRaw(HKCU, kInstallationKey, u"Empty", kRegSz, "", 0);
        CHECK(Compose(reg, {kValuePath, u"Empty", kValueServerApplication}) == kDir);
        CHECK(Compose(reg, {u"Missing", kValuePath}, &n) == u"");
        CHECK(n == 0);
    }
    SUBCASE("259 characters fit; a value that would make the text longer is left out")
    {
        reg.SetText(HKCU, kInstallationKey, kValuePath, std::u16string(200, u'p'));
        reg.SetText(HKCU, kInstallationKey, kValueServerApplication, std::u16string(59, u's'));
        CHECK(Compose(reg, {kValuePath, kValueServerApplication}, &n) == std::u16string(200, u'p') + std::u16string(59, u's'));
        CHECK(n == 259);
        reg.SetText(HKCU, kInstallationKey, kValueServerApplication, std::u16string(60, u's'));
        CHECK(Compose(reg, {kValuePath, kValueServerApplication, kValueGuiApplication}) == std::u16string(200, u'p'));
        reg.SetText(HKCU, kInstallationKey, kValuePath, std::u16string(260, u'p'));
        CHECK(Compose(reg, {kValuePath}, &n) == u"");
    }
    SUBCASE("values not stored as NUL-terminated text still leave a terminated text")
    {
        // Stored without the NUL: the last character is the one the next
        // value overwrites, so it is dropped, and the text ends there.
        reg.SetRaw(HKCU, kInstallationKey, kValuePath, kRegSz, u"C:\\Tar\\", 14);
        CHECK(Compose(reg, {kValuePath}) == u"C:\\Tar");
        CHECK(Compose(reg, {kValuePath, kValueServerApplication}) == u"C:\\Tar" + kServer);
        // 260 characters without a NUL fill the room exactly: 259 are kept.
        const std::u16string full(260, u'q');
        reg.SetRaw(HKCU, kInstallationKey, kValuePath, kRegSz, full.data(), 520);
        CHECK(Compose(reg, {kValuePath}, &n) == full.substr(0, 259));
        // An odd byte count: the half character is not counted.
        reg.SetRaw(HKCU, kInstallationKey, kValuePath, 4 /* REG_DWORD */, "ab\0cd", 5);
        CHECK(Compose(reg, {kValuePath}, &n).size() == 2);
    }
    CHECK(reg.openHandles == 0);
}

TEST_CASE("without installation values OK and Cancel leave the registry alone; uninstall still resets")
{
    Fixture f;
    f.reg.SetText(HKCU, kRunKey, kStartupValue, u"C:\\old\\PyxVideoServer.exe");
    f.reg.SetText(HKCR, u".avi", nullptr, u"TarselFile");
    const auto before = f.reg.keys;
    f.CheckAll(true, 0x1FE);

    LoadSettings(f.view, f.platform);
    SaveSettings(f.view, f.platform);
    ApplyClientPolicy(0x80000003, f.view, f.platform);
    CHECK(f.reg.keys == before);
    CHECK(f.view.changes == 0);
    CHECK(f.shell.notifications == 0);
    CHECK(g_boxes.empty());

    Uninstall(f.view, f.platform);
    CHECK_FALSE(f.Startup());
    for (const ExtensionRow &row : kExtensionTable)
        CHECK(f.Ext(row.pszExtension) == std::u16string(row.pszStockType));
    CHECK_FALSE(f.reg.keys.count(CFakeRegistry::P(HKCR, u"tarselfile"))); // uninstall writes no file type
    CHECK(f.shell.notifications == 8);
    CHECK(g_boxes.empty());
    CHECK(f.reg.openHandles == 0);
}

TEST_CASE("loading writes the file type, reads the boxes and saves them back")
{
    Fixture f;
    f.Install();
    f.reg.SetText(HKCU, kRunKey, kStartupValue, u"C:\\old place\\PyxVideoServer.exe");
    f.reg.SetText(HKCR, u".avi", nullptr, u"TarselFile");
    f.reg.SetText(HKCR, u".wmv", nullptr, u"tarselfile");      // another case is not ours
    f.reg.SetText(HKCR, u".mp3", nullptr, u"OtherPlayer.mp3"); // another program's
    f.reg.SetText(HKCR, u".mpeg", nullptr, u"OtherPlayer.mpeg");
    f.view.boxes[IDC_EXT_WMV].checked = true; // the old state of a box does not matter

    LoadSettings(f.view, f.platform);

    CHECK(f.reg.Text(HKCR, u"TarselFile") == u"Tarsel File");
    CHECK(f.reg.Text(HKCR, u"TarselFile\\DefaultIcon") == kDir + kGui + u",0");
    CHECK(f.reg.Text(HKCR, u"TarselFile\\shell\\play\\command") == kDir + kGui + kCmd);
    CHECK(f.reg.Text(HKCR, u"TarselFile\\shell\\Tarsel Player\\command") == kDir + kGui + kCmd);
    CHECK(f.reg.Text(HKCR, kShellKey) == u"play");   // what a double click runs

    CHECK(f.view.boxes[IDC_STARTUP].checked);
    CHECK(f.Startup() == kDir + kServer); // rewritten with the current path
    for (const ExtensionRow &row : kExtensionTable) {
        const bool avi = row.nBoxId == IDC_EXT_AVI;
        CHECK(f.view.boxes[row.nBoxId].checked == avi);
        CHECK(f.Ext(row.pszExtension) == std::u16string(avi ? u"TarselFile" : row.pszStockType));
    }
    CHECK(f.Ext(u".mpeg") == u"OtherPlayer.mpeg"); // the Mpeg row is ".mpg" only
    CHECK(f.shell.notifications == 8);
    CHECK(g_boxes.empty());
    CHECK(f.reg.openHandles == 0);

    SUBCASE("a start-up value without data shows an unticked box and the save deletes it")
    {
        f.reg.SetRaw(HKCU, kRunKey, kStartupValue, kRegSz, "", 0);
        LoadSettings(f.view, f.platform);
        CHECK_FALSE(f.view.boxes[IDC_STARTUP].checked);
        CHECK_FALSE(f.Startup());
        CHECK(g_boxes.empty());
    }
    SUBCASE("OK writes what the boxes show")
    {
        f.CheckAll(false, 0x010 | 0x100);
        SaveSettings(f.view, f.platform);
        CHECK_FALSE(f.Startup());
        CHECK(f.Ext(u".avi") == u"AVIFile");
        CHECK(f.Ext(u".wmv") == u"TarselFile");
        CHECK(f.Ext(u".asx") == u"TarselFile");
        SaveSettings(f.view, f.platform); // deleting a missing value is fine
        CHECK(g_boxes.empty());
    }
}

TEST_CASE("a program path with a blank is quoted in the player command and the start-up value")
{
    Fixture f;
    const std::u16string dir = u"C:\\Program Files (x86)\\Tarsel\\";
    f.reg.SetInstallation(dir, kGui, kCmd, kServer);
    // What an earlier version wrote, unquoted, is rewritten at the next load.
    f.reg.SetText(HKCU, kRunKey, kStartupValue, dir + kServer);
    LoadSettings(f.view, f.platform);
    CHECK(f.view.boxes[IDC_STARTUP].checked);
    CHECK(f.Startup() == u"\"" + dir + kServer + u"\"");
    CHECK(f.reg.Text(HKCR, u"TarselFile\\shell\\play\\command") == u"\"" + dir + kGui + u"\"" + kCmd);
    CHECK(f.reg.Text(HKCR, u"TarselFile\\shell\\Tarsel Player\\command") == u"\"" + dir + kGui + u"\"" + kCmd);
    CHECK(f.reg.Text(HKCR, kDefaultIconKey) == dir + kGui + u",0");   // an icon location is never quoted

    f.reg.SetText(HKCU, kRunKey, kStartupValue, dir + kServer);
    ApplyClientPolicy(0x80000001u, f.view, f.platform);
    CHECK(f.Startup() == u"\"" + dir + kServer + u"\"");
    CHECK(g_boxes.empty());

    SUBCASE("a path whose quotes do not fit is not written cut short")
    {
        const std::u16string longDir = u"C:\\a b\\" + std::u16string(220, u'd') + u"\\";
        f.reg.SetInstallation(longDir, kGui, kCmd, std::u16string(31, u's'));   // 259 characters with the server
        f.view.boxes[IDC_STARTUP].checked = true;
        SaveSettings(f.view, f.platform);
        CHECK(f.Startup() == u"\"" + dir + kServer + u"\"");   // unchanged
        CHECK(g_boxes == std::vector<std::wstring>{L"Failed to create a start-up registry key"});
    }
}

std::wstring g_trace;
void CaptureTrace(const wchar_t *text) { g_trace += text; }

TEST_CASE("a player command too long to quote: a trace line, the registry's ticks shown, the rest still applied")
{
    Fixture f;
    g_trace.clear();
    SetTraceHook(CaptureTrace);
    // 259 characters unquoted; the server's path is shorter and fits.
    const std::u16string dir = u"C:\\a b\\" + std::u16string(226, u'd') + u"\\";
    f.reg.SetInstallation(dir, kGui, kCmd, kServer);
    f.reg.SetText(HKCU, kRunKey, kStartupValue, u"C:\\old\\PyxVideoServer.exe");
    f.reg.SetText(HKCR, u".avi", nullptr, u"TarselFile");

    LoadSettings(f.view, f.platform);
    CHECK(g_trace.find(L"too long to quote in 259 characters, no file type written: C:\\a b\\ddd") != std::wstring::npos);
    CHECK_FALSE(f.reg.Text(HKCR, u"TarselFile\\shell\\play\\command"));
    CHECK(f.view.boxes[IDC_STARTUP].checked);
    CHECK(f.view.boxes[IDC_EXT_AVI].checked);
    CHECK_FALSE(f.view.boxes[IDC_EXT_WAV].checked);
    CHECK(f.Startup() == u"\"" + dir + kServer + u"\"");

    // A policy: the start-up value and the stock types fit; our type is
    // given to no extension (.wav stays as it was, its box free).
    const uint32_t wav = 0x80000000u | kPolicyStartup | [] {
        for (const ExtensionRow &row : kExtensionTable)
            if (row.nBoxId == IDC_EXT_WAV)
                return row.dwPolicyBit;
        return 0u;
    }();
    ApplyClientPolicy(wav, f.view, f.platform);
    CHECK_FALSE(f.view.boxes[IDC_STARTUP].enabled);
    CHECK(f.Ext(u".avi") == u"AVIFile");
    CHECK_FALSE(f.view.boxes[IDC_EXT_AVI].enabled);
    CHECK(f.Ext(u".wav") != u"TarselFile");
    CHECK(f.view.boxes[IDC_EXT_WAV].enabled);
    CHECK(g_boxes.empty());
    CHECK(f.reg.openHandles == 0);
    SetTraceHook(nullptr);
}

TEST_CASE("only a REG_SZ or REG_EXPAND_SZ that is exactly \"TarselFile\" counts as associated")
{
    CFakeRegistry reg;
    auto raw = [&](uint32_t type, const void *data, size_t bytes) {
        reg.SetRaw(HKCR, u".avi", nullptr, type, data, bytes);
        return IsExtensionAssociated(reg, u".avi");
    };
    CHECK_FALSE(IsExtensionAssociated(reg, u".avi")); // no key
    CHECK(raw(kRegSz, u"TarselFile", 22));
    CHECK(raw(kRegExpandSz, u"TarselFile", 22));
    CHECK_FALSE(raw(7 /* REG_MULTI_SZ */, u"TarselFile", 22));
    CHECK_FALSE(raw(kRegSz, u"TarselFile", 20)); // no NUL
    CHECK_FALSE(raw(kRegSz, u"TarselFile", 21)); // odd
    CHECK_FALSE(raw(kRegSz, u"", 2));
    CHECK_FALSE(raw(kRegSz, u"", 0));
    CHECK_FALSE(raw(kRegSz, u"TarselFiles", 24));
    CHECK_FALSE(raw(kRegSz, u"TARSELFILE", 22));
    const std::u16string longer = u"TarselFile" + std::u16string(300, u'x');
    CHECK_FALSE(raw(kRegSz, longer.c_str(), (longer.size() + 1) * 2));
    CHECK(reg.openHandles == 0);
}

TEST_CASE("the default icon and the verb key")
{
    Fixture f;
    f.Install();

    SUBCASE("the stock icon stays only when the icon key cannot be opened again")
    {
        f.reg.failOpen.insert(CFakeRegistry::P(HKCR, kDefaultIconKey));
        SaveSettings(f.view, f.platform);
        CHECK(f.reg.Text(HKCR, kDefaultIconKey) == std::u16string(kStockDefaultIcon));
        CHECK(f.reg.Text(HKCR, u"TarselFile\\shell\\play\\command") == kDir + kGui + kCmd);
    }
    SUBCASE("the \",0\" suffix is cut to the 259 characters the buffer holds")
    {
        f.reg.SetText(HKCU, kInstallationKey, kValuePath, std::u16string(238, u'd'));
        SaveSettings(f.view, f.platform); // 238 + 20 characters: room for ","
        CHECK(f.reg.Text(HKCR, kDefaultIconKey) == std::u16string(238, u'd') + kGui + u",");
    }
    SUBCASE("a key that cannot be created is skipped; a failing write ends the file type")
    {
        f.reg.failCreate.insert(CFakeRegistry::P(HKCR, u"TarselFile"));
        SaveSettings(f.view, f.platform);
        CHECK(f.reg.Text(HKCR, kDefaultIconKey) == kDir + kGui + u",0");
        CHECK(f.reg.Text(HKCR, u"TarselFile\\shell\\Tarsel Player\\command") == kDir + kGui + kCmd);

        CFakeRegistry reg2;
        reg2.SetInstallation(kDir, kGui, kCmd, kServer);
        reg2.failSet.insert(CFakeRegistry::P(HKCR, kDefaultIconKey));
        CAssociationRegistrar registrar(reg2, kVerb, u"cmd");
        CHECK(reg2.Text(HKCR, u"TarselFile") == u"Tarsel File");
        CHECK_FALSE(reg2.keys.count(CFakeRegistry::P(HKCR, u"TarselFile\\shell\\play\\command")));
        CHECK(reg2.openHandles == 0);
    }
    SUBCASE("a long verb is cut to a 259-character key name")
    {
        const std::u16string verb(300, u'v');
        CAssociationRegistrar registrar(f.reg, verb.c_str(), u"cmd");
        const std::u16string key = (u"TarselFile\\shell\\" + verb).substr(0, 259);
        CHECK(f.reg.Text(HKCR, key.c_str()) == u"cmd");
    }
    CHECK(g_boxes.empty());
}

TEST_CASE("every failure of a save shows its own box, and nothing leaks")
{
    Fixture f;
    f.Install();
    const auto run = CFakeRegistry::P(HKCU, kRunKey);

    SUBCASE("start-up value")
    {
        f.reg.failOpen.insert(run);
        f.view.boxes[IDC_STARTUP].checked = true;
        SaveSettings(f.view, f.platform);
        f.view.boxes[IDC_STARTUP].checked = false;
        SaveSettings(f.view, f.platform);
        f.reg.failOpen.clear();
        f.reg.failDelete[run] = 5;
        SaveSettings(f.view, f.platform);
        CHECK(g_boxes == std::vector<std::wstring>{kBoxStartupCreate, kBoxStartupRemove, kBoxStartupRemove});
    }
    SUBCASE("nine boxes at most")
    {
        f.reg.failSet.insert(run);
        for (const ExtensionRow &row : kExtensionTable)
            f.reg.failSet.insert(CFakeRegistry::P(HKCR, row.pszExtension));
        f.CheckAll(true, 0x00E);
        SaveSettings(f.view, f.platform);
        REQUIRE(g_boxes.size() == 9);
        CHECK(g_boxes[0] == kBoxStartupCreate);
        CHECK(g_boxes[1] == kBoxExtensionCreate);
        CHECK(g_boxes[3] == kBoxExtensionCreate);
        CHECK(g_boxes[4] == kBoxExtensionRemove);
        CHECK(g_boxes[8] == kBoxExtensionRemove);
    }
    SUBCASE("an extension key that cannot be created is a failure, not a success")
    {
        f.reg.failCreate.insert(CFakeRegistry::P(HKCR, u".wmv"));
        SaveSettings(f.view, f.platform);
        Uninstall(f.view, f.platform);
        CHECK(g_boxes == std::vector<std::wstring>{kBoxExtensionRemove, kBoxExtensionRemove});
        CHECK(f.shell.notifications == 16); // the shell hears of every attempt
    }
    CHECK(f.reg.openHandles == 0);
}

TEST_CASE("a client policy sets, resets and locks the boxes")
{
    Fixture f;
    f.Install();
    f.reg.SetText(HKCR, u".mp3", nullptr, u"TarselFile");
    auto snapshot = f.reg.keys;

    SUBCASE("without bit 31 nothing changes")
    {
        ApplyClientPolicy(0x00000003, f.view, f.platform);
        ApplyClientPolicy(0x7FFFFFFF, f.view, f.platform);
        CHECK(f.reg.keys == snapshot);
        CHECK(f.view.changes == 0);
    }
    SUBCASE("0x80000003: start at log-on, AVI ours, the seven others stock, nine boxes locked")
    {
        f.CheckAll(false, 0x1FC);
        ApplyClientPolicy(0x80000003, f.view, f.platform);
        CHECK(f.Startup() == kDir + kServer);
        CHECK(f.reg.Text(HKCR, u"TarselFile\\shell\\play\\command") == kDir + kGui + kCmd);
        CHECK(f.view.boxes[IDC_STARTUP].checked);
        CHECK_FALSE(f.view.boxes[IDC_STARTUP].enabled);
        for (const ExtensionRow &row : kExtensionTable) {
            const bool avi = row.nBoxId == IDC_EXT_AVI;
            CHECK(f.Ext(row.pszExtension) == std::u16string(avi ? u"TarselFile" : row.pszStockType));
            CHECK(f.view.boxes[row.nBoxId].checked == avi);
            CHECK_FALSE(f.view.boxes[row.nBoxId].enabled);
        }
        // OK afterwards saves what the policy set.
        snapshot = f.reg.keys;
        SaveSettings(f.view, f.platform);
        CHECK(f.reg.keys == snapshot);
    }
    SUBCASE("0x80000000 removes everything; a missing start-up value is fine")
    {
        f.view.boxes[IDC_STARTUP].checked = true;
        ApplyClientPolicy(0x80000000, f.view, f.platform);
        CHECK_FALSE(f.Startup());
        CHECK_FALSE(f.view.boxes[IDC_STARTUP].checked);
        CHECK_FALSE(f.view.boxes[IDC_STARTUP].enabled);
        CHECK(f.Ext(u".mp3") == u"mp3file");
    }
    SUBCASE("a bit whose write fails leaves its box enabled and unchanged")
    {
        f.reg.failSet.insert(CFakeRegistry::P(HKCR, u".divx"));
        f.reg.failCreate.insert(CFakeRegistry::P(HKCR, u".wav"));
        f.reg.failOpen.insert(CFakeRegistry::P(HKCU, kRunKey));
        f.view.boxes[IDC_EXT_WAV].checked = true;
        ApplyClientPolicy(0x80000009, f.view, f.platform);
        CHECK(g_boxes == std::vector<std::wstring>{kBoxStartupCreate, kBoxExtensionCreate, kBoxExtensionRemove});
        CHECK(f.view.boxes[IDC_STARTUP].enabled);
        CHECK(f.view.boxes[IDC_EXT_DIVX].enabled);
        CHECK_FALSE(f.view.boxes[IDC_EXT_DIVX].checked);
        CHECK(f.view.boxes[IDC_EXT_WAV].enabled);
        CHECK(f.view.boxes[IDC_EXT_WAV].checked);
        CHECK_FALSE(f.view.boxes[IDC_EXT_AVI].enabled);
    }
    CHECK(f.reg.openHandles == 0);
}
