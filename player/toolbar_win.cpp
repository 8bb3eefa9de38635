#include "toolbar_win.h"

#include "resource.h"
#include "toolbar_layout.h"
#include "handle_win.h"

#include <commctrl.h>

#include <optional>
#include <vector>

namespace {

constexpr COLORREF kTransparent = RGB(255, 0, 255);
constexpr UINT_PTR kSubclassId = 1;

struct DestroyImageList
{
    void operator()(HIMAGELIST h) const { ImageList_Destroy(h); }
};
struct DeleteBitmap
{
    void operator()(HBITMAP h) const { DeleteObject(h); }
};
using CImageList = CUniqueAny<HIMAGELIST, DestroyImageList>;
using CBitmap = CUniqueAny<HBITMAP, DeleteBitmap>;

// Destroys the tool bar's image list with the tool bar (a tool bar never
// destroys an image list it was given).
LRESULT CALLBACK OwnImageListProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR id, DWORD_PTR)
{
    if (msg != WM_NCDESTROY)
        return DefSubclassProc(hwnd, msg, wp, lp);
    CImageList images(reinterpret_cast<HIMAGELIST>(SendMessageW(hwnd, TB_GETIMAGELIST, 0, 0)));
    RemoveWindowSubclass(hwnd, OwnImageListProc, id);
    return DefSubclassProc(hwnd, msg, wp, lp);
}

// The image list of `count` images of `size` pixels from a bitmap resource.
CImageList LoadImages(HINSTANCE instance, UINT bitmapId, int size, int count)
{
    CImageList images(ImageList_Create(size, size, ILC_COLOR24 | ILC_MASK, count, 0));
    CBitmap bitmap(static_cast<HBITMAP>(
        LoadImageW(instance, MAKEINTRESOURCEW(bitmapId), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION)));
    if (!images || !bitmap || ImageList_AddMasked(images.Get(), bitmap.Get(), kTransparent) < 0)
        return CImageList();
    return images;
}

std::optional<ToolBarLayout> LoadLayout(HINSTANCE instance, UINT resourceId)
{
    HRSRC res = FindResourceW(instance, MAKEINTRESOURCEW(resourceId), MAKEINTRESOURCEW(RT_TOOLBAR_LAYOUT));
    HGLOBAL data = res ? LoadResource(instance, res) : nullptr;
    const void *bytes = data ? LockResource(data) : nullptr;
    if (!bytes)
        return std::nullopt;
    return ParseToolBarLayout(static_cast<const unsigned char *>(bytes), SizeofResource(instance, res));
}

} // namespace

HWND CreateToolBarFromResource(HWND parent, HINSTANCE instance, UINT resourceId, DWORD style, UINT windowId)
{
    const std::optional<ToolBarLayout> layout = LoadLayout(instance, resourceId);
    if (!layout)
        return nullptr;
    const int count = static_cast<int>(layout->vecIds.size());

    INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_BAR_CLASSES};
    InitCommonControlsEx(&icc);
    CImageList images = LoadImages(instance, resourceId, layout->wImageWidth, count);
    if (!images)
        return nullptr;
    const int imageCount = ImageList_GetImageCount(images.Get());

    HWND toolbar = CreateWindowExW(0, TOOLBARCLASSNAMEW, nullptr, style, 0, 0, 0, 0, parent,
                                   reinterpret_cast<HMENU>(static_cast<UINT_PTR>(windowId)), instance, nullptr);
    if (!toolbar)
        return nullptr;
    if (!SetWindowSubclass(toolbar, OwnImageListProc, kSubclassId, 0)) {
        DestroyWindow(toolbar);
        return nullptr;
    }
    SendMessageW(toolbar, TB_BUTTONSTRUCTSIZE, sizeof(TBBUTTON), 0);
    SendMessageW(toolbar, TB_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(images.Release()));

    std::vector<TBBUTTON> buttons(layout->vecIds.size());
    for (int i = 0; i < count; ++i) {
        TBBUTTON &b = buttons[i];
        b.iBitmap = i < imageCount ? i : I_IMAGENONE;
        b.idCommand = layout->vecIds[i];
        b.fsState = TBSTATE_ENABLED;
        b.fsStyle = BTNS_BUTTON;
        b.iString = -1;
    }
    SendMessageW(toolbar, TB_ADDBUTTONSW, buttons.size(), reinterpret_cast<LPARAM>(buttons.data()));
    SendMessageW(toolbar, TB_AUTOSIZE, 0, 0);
    return toolbar;
}

bool SetToolBarImagesForDpi(HWND toolbar, HINSTANCE instance, UINT dpi)
{
    struct Size
    {
        UINT dpi;
        int pixels;
        UINT bitmap;
    };
    static constexpr Size kSizes[] = {{192, 32, IDB_TOOLBAR_32}, {144, 24, IDB_TOOLBAR_24}, {0, 16, IDB_TOOLBAR}};
    const Size *size = kSizes;
    while (dpi < size->dpi)
        ++size;
    const int count = static_cast<int>(SendMessageW(toolbar, TB_BUTTONCOUNT, 0, 0));
    CImageList images = LoadImages(instance, size->bitmap, size->pixels, count);
    if (!images)
        return false;
    SendMessageW(toolbar, TB_SETBITMAPSIZE, 0, MAKELPARAM(size->pixels, size->pixels));
    CImageList old(reinterpret_cast<HIMAGELIST>(
        SendMessageW(toolbar, TB_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(images.Release()))));
    SendMessageW(toolbar, TB_SETBUTTONSIZE, 0, MAKELPARAM(size->pixels + 7, size->pixels + 6));   // 23 x 22 at 16
    SendMessageW(toolbar, TB_AUTOSIZE, 0, 0);
    InvalidateRect(toolbar, nullptr, TRUE);
    return true;
}

bool AnswerToolTip(LPARAM lParam, HINSTANCE instance)
{
    const NMHDR *hdr = reinterpret_cast<const NMHDR *>(lParam);
    if (!hdr || hdr->code != TTN_GETDISPINFOW)
        return false;
    NMTTDISPINFOW *info = reinterpret_cast<NMTTDISPINFOW *>(lParam);
    if (info->uFlags & TTF_IDISHWND)
        return false; // a control's tooltip, not a button's
    info->hinst = nullptr;
    info->szText[0] = L'\0';
    LoadStringW(instance, static_cast<UINT>(hdr->idFrom), info->szText, ARRAYSIZE(info->szText));
    info->lpszText = info->szText;
    return true;
}
