// The player's resources in a real window made from them, as the program
// builds it: the tool bar's buttons, images and tooltips, the window's
// layout, and the version resource.
#include "doctest.h"

#include "resource.h"
#include "toolbar_win.h"
#include "version.h"
#include "win_test_util.h"

#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

namespace {

const DWORD kToolBarStyle =
    WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN | CCS_TOP | TBSTYLE_TOOLTIPS | TBSTYLE_FLAT;

// Left to right, as the program and the images expect them.
const int kButtons[16] = {
    ID_PLAYER_PLAY, ID_PLAYER_PAUSE, ID_PLAYER_STOP, ID_PLAYER_BLANK,
    ID_PLAYER_SKIP_BACK, ID_PLAYER_REWIND, ID_PLAYER_FAST_FORWARD, ID_PLAYER_SKIP_FORWARD,
    ID_PLAYER_BLANK, ID_PLAYER_STEP, ID_PLAYER_BLANK, ID_PLAYER_FULL_SCREEN,
    ID_PLAYER_SOUND_ON, ID_PLAYER_MUTE, ID_PLAYER_AUDIO_OFF, ID_PLAYER_KILL_PLAYER,
};

INT_PTR CALLBACK PlayerProc(HWND, UINT msg, WPARAM, LPARAM lp)
{
    if (msg == WM_NOTIFY)
        return AnswerToolTip(lp, GetModuleHandleW(nullptr));
    return msg == WM_INITDIALOG;
}

// The player's window from template 129 with its tool bar, shown at 40,40.
struct PlayerWindow
{
    HWND hwnd = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_MAINDLG), nullptr, PlayerProc, 0);
    HWND toolbar =
        CreateToolBarFromResource(hwnd, GetModuleHandleW(nullptr), IDR_TOOLBAR, kToolBarStyle, ID_TOOLBAR_WINDOW);
    PlayerWindow() { SetWindowPos(hwnd, HWND_TOP, 40, 40, 0, 0, SWP_NOSIZE | SWP_SHOWWINDOW); }
    ~PlayerWindow() { DestroyWindow(hwnd); }
};

void Pump()
{
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

// The tooltip that comes up while the mouse rests on button `index`.
std::wstring HoverText(HWND toolbar, int index)
{
    RECT rc{};
    SendMessageW(toolbar, TB_GETITEMRECT, index, reinterpret_cast<LPARAM>(&rc));
    POINT pt{(rc.left + rc.right) / 2, (rc.top + rc.bottom) / 2};
    POINT screen = pt;
    ClientToScreen(toolbar, &screen);
    SetCursorPos(screen.x, screen.y);
    PostMessageW(toolbar, WM_MOUSEMOVE, 0, MAKELPARAM(pt.x, pt.y));
    HWND tip = reinterpret_cast<HWND>(SendMessageW(toolbar, TB_GETTOOLTIPS, 0, 0));
    std::wstring text;
    wintest::WaitUntil([&] {
        Pump();
        text = IsWindowVisible(tip) ? wintest::WindowText(tip) : L"";
        return !text.empty();
    }, 3000);
    return text;
}

std::wstring Answer(int id)
{
    NMTTDISPINFOW info{};
    info.hdr.code = TTN_GETDISPINFOW;
    info.hdr.idFrom = id;
    CHECK(AnswerToolTip(reinterpret_cast<LPARAM>(&info), GetModuleHandleW(nullptr)));
    return info.lpszText ? info.lpszText : L"<null>";
}

} // namespace

TEST_CASE("the tool bar from the resources: its buttons in order, their images, their tooltips")
{
    PlayerWindow w;
    REQUIRE(w.toolbar);
    CHECK(GetDlgCtrlID(w.toolbar) == ID_TOOLBAR_WINDOW);
    REQUIRE(SendMessageW(w.toolbar, TB_BUTTONCOUNT, 0, 0) == 16);
    for (int i = 0; i < 16; ++i) {
        TBBUTTON b{};
        SendMessageW(w.toolbar, TB_GETBUTTON, i, reinterpret_cast<LPARAM>(&b));
        CHECK(b.idCommand == kButtons[i]);
        CHECK(b.iBitmap == i);
        // Every named button has a tooltip, the blank ones none.
        CHECK((Answer(kButtons[i]).empty()) == (kButtons[i] == ID_PLAYER_BLANK));
    }

    // Sixteen 16 x 16 images; magenta is transparent: the play image drawn on
    // blue keeps blue in its corner and is green in its middle.
    HIMAGELIST images = reinterpret_cast<HIMAGELIST>(SendMessageW(w.toolbar, TB_GETIMAGELIST, 0, 0));
    REQUIRE(images);
    CHECK(ImageList_GetImageCount(images) == 16);
    int cx = 0, cy = 0;
    ImageList_GetIconSize(images, &cx, &cy);
    CHECK((cx == 16 && cy == 16));
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    HBITMAP canvas = CreateCompatibleBitmap(screen, 16, 16);
    HGDIOBJ old = SelectObject(dc, canvas);
    RECT all{0, 0, 16, 16};
    HBRUSH blue = CreateSolidBrush(RGB(0, 0, 255));
    FillRect(dc, &all, blue);
    ImageList_Draw(images, 0, dc, 0, 0, ILD_TRANSPARENT);
    CHECK(GetPixel(dc, 0, 0) == RGB(0, 0, 255));
    CHECK(GetPixel(dc, 6, 8) == RGB(0, 140, 0));
    SelectObject(dc, old);
    DeleteObject(blue);
    DeleteObject(canvas);
    DeleteDC(dc);
    ReleaseDC(nullptr, screen);

    // The tooltips come up as the mouse rests on a button.
    SetForegroundWindow(w.hwnd);
    CHECK(wintest::Narrow(HoverText(w.toolbar, 0)) == "Play");
    CHECK(wintest::Narrow(HoverText(w.toolbar, 15)) == "Kill remote video player");
}

TEST_CASE("the window's layout: every control below the tool bar, inside, apart, room for the size grip")
{
    PlayerWindow w;
    REQUIRE(w.toolbar);
    SendMessageW(w.toolbar, TB_AUTOSIZE, 0, 0);
    RECT client{};
    GetClientRect(w.hwnd, &client);
    RECT bar{};
    GetWindowRect(w.toolbar, &bar);
    MapWindowPoints(nullptr, w.hwnd, reinterpret_cast<POINT *>(&bar), 2);
    CHECK(bar.bottom - bar.top >= 22);

    // The visible controls, the tool bar and the size grip's corner.
    std::vector<std::pair<int, RECT>> boxes;
    for (HWND child = GetWindow(w.hwnd, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if (!IsWindowVisible(child))
            continue;
        RECT rc{};
        GetWindowRect(child, &rc);
        MapWindowPoints(nullptr, w.hwnd, reinterpret_cast<POINT *>(&rc), 2);
        boxes.emplace_back(GetDlgCtrlID(child), rc);
    }
    boxes.push_back({-2, RECT{client.right - GetSystemMetrics(SM_CXVSCROLL), client.bottom - GetSystemMetrics(SM_CYHSCROLL),
                              client.right, client.bottom}});
    CHECK(boxes.size() == 9); // label, name, video, "Vol:", volume, position, status, tool bar, grip
    for (size_t i = 0; i < boxes.size(); ++i) {
        const RECT &a = boxes[i].second;
        INFO("control " << boxes[i].first);
        CHECK((a.left >= 0 && a.top >= 0 && a.right <= client.right && a.bottom <= client.bottom));
        for (size_t j = i + 1; j < boxes.size(); ++j) {
            RECT both{};
            INFO("and control " << boxes[j].first);
            CHECK(!IntersectRect(&both, &a, &boxes[j].second));
        }
    }

    // The ids the program drives, of the right kinds; the video area is the
    // big one and no tab stop; "Button1" is hidden.
    HWND video = GetDlgItem(w.hwnd, IDC_VIDEO_AREA);
    RECT rv{};
    GetClientRect(video, &rv);
    CHECK(rv.right * rv.bottom > (client.right * client.bottom) / 3);
    CHECK((GetWindowLongW(video, GWL_STYLE) & (ES_READONLY | WS_TABSTOP)) == ES_READONLY);
    CHECK((GetWindowLongW(GetDlgItem(w.hwnd, IDC_FILE_NAME), GWL_STYLE) & ES_READONLY) != 0);
    for (int id : {IDC_VOLUME, IDC_POSITION})
        CHECK((GetWindowLongW(GetDlgItem(w.hwnd, id), GWL_STYLE) & TBS_NOTICKS) != 0);
    CHECK(wintest::WindowText(GetDlgItem(w.hwnd, IDC_VIDEO_CHECK)) == L"Button1");
    CHECK(!IsWindowVisible(GetDlgItem(w.hwnd, IDC_VIDEO_CHECK)));
    CHECK(wintest::WindowText(GetDlgItem(w.hwnd, IDC_STATUS)).empty());
    HMENU menu = GetMenu(w.hwnd);
    CHECK(GetMenuState(menu, ID_FILE_PLAY, MF_BYCOMMAND) != static_cast<UINT>(-1));
    CHECK(GetMenuState(menu, ID_APP_EXIT, MF_BYCOMMAND) != static_cast<UINT>(-1));
}

TEST_CASE("the version resource: the player's name and the shared version in both forms")
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::vector<char> block(GetFileVersionInfoSizeW(path, nullptr));
    REQUIRE(!block.empty());
    REQUIRE(GetFileVersionInfoW(path, 0, static_cast<DWORD>(block.size()), block.data()));
    auto value = [&](const wchar_t *name) {
        wchar_t *text = nullptr;
        UINT n = 0;
        const std::wstring key = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
        return VerQueryValueW(block.data(), key.c_str(), reinterpret_cast<void **>(&text), &n) && text
                   ? wintest::Narrow(text) : std::string("<none>");
    };
    CHECK(value(L"FileDescription") == "Tarsel Player");
    CHECK(value(L"OriginalFilename") == "PyxUserInterface.exe");
    CHECK(value(L"FileVersion") == TARSEL_VERSION_STRING);
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT n = 0;
    REQUIRE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void **>(&fixed), &n));
    CHECK(fixed->dwFileVersionMS == MAKELONG(TARSEL_VERSION_MINOR, TARSEL_VERSION_MAJOR));
    CHECK(fixed->dwFileVersionLS == MAKELONG(TARSEL_VERSION_BUILD, TARSEL_VERSION_PATCH));
}
