// The video's window on the client's X display: a child of the
// remote-desktop client's window (found by its _NET_WM_PID, which is this
// process), placed at the video area the player program reports, scaled as
// the client scales the desktop. libmpv draws into it. Full screen lifts it
// over the whole screen. Used on the core's thread only (its own display
// connection).
#pragma once

#include "client_ops.h"
#include "mpv_player.h"

#include <X11/Xlib.h>

#include <functional>
#include <memory>
#include <utility>

class CX11VideoWindow final : public CVideoWindowOps
{
public:
    // The remote desktop's size in its pixels, {0, 0} when not known.
    using DesktopSize = std::function<std::pair<int32_t, int32_t>()>;

    // rootParent: the screen itself stands for the client's window. Null
    // when there is no display.
    static std::unique_ptr<CX11VideoWindow> Create(CClientLogOps &log, bool rootParent, DesktopSize desktop);
    ~CX11VideoWindow();
    CX11VideoWindow(const CX11VideoWindow &) = delete;
    CX11VideoWindow &operator=(const CX11VideoWindow &) = delete;

    uint64_t Handle() override { return m_window; }
    void Apply(const CVideoPlacement &placement) override;
    void Raise() override;

private:
    CX11VideoWindow(CClientLogOps &log, Display *display, Window window, bool rootParent, DesktopSize desktop);
    // The client's window, searched for until found.
    bool FindParent();
    Window FindOwnWindow(Window under, int depth, long *area);

    CClientLogOps &m_log;
    Display *m_display;
    Window m_window;
    Window m_parent = 0;
    bool m_bRootParent;
    DesktopSize m_desktop;
    Atom m_pidAtom;
    VideoWindowState m_applied;
    bool m_bAppliedOnce = false;
    Window m_appliedParent = 0;
};
