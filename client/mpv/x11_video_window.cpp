#include "x11_video_window.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <unistd.h>

std::unique_ptr<CX11VideoWindow> CX11VideoWindow::Create(CClientLogOps &log, bool rootParent, DesktopSize desktop)
{
    Display *display = XOpenDisplay(nullptr);
    if (!display) {
        LogLine(log, "client: no X display: files play with sound only");
        return nullptr;
    }
    const int screen = DefaultScreen(display);
    XSetWindowAttributes attributes{};
    attributes.background_pixel = BlackPixel(display, screen);
    // Above the window manager's frames when it covers the screen.
    attributes.override_redirect = True;
    const Window window =
        XCreateWindow(display, RootWindow(display, screen), 0, 0, 16, 16, 0, CopyFromParent, InputOutput,
                      CopyFromParent, CWBackPixel | CWOverrideRedirect, &attributes);
    XStoreName(display, window, "Tarsel video");
    XSync(display, False);
    return std::unique_ptr<CX11VideoWindow>(new CX11VideoWindow(log, display, window, rootParent, std::move(desktop)));
}

CX11VideoWindow::CX11VideoWindow(CClientLogOps &log, Display *display, Window window, bool rootParent,
                                 DesktopSize desktop)
    : m_log(log), m_display(display), m_window(window), m_bRootParent(rootParent), m_desktop(std::move(desktop)),
      m_pidAtom(XInternAtom(display, "_NET_WM_PID", False))
{
}

CX11VideoWindow::~CX11VideoWindow()
{
    XDestroyWindow(m_display, m_window);
    XCloseDisplay(m_display);
}

// The largest window of this process below `under` (a window manager puts
// the client's window inside a frame of its own, hence the depth).
Window CX11VideoWindow::FindOwnWindow(Window under, int depth, long *area)
{
    Window root = 0, parent = 0, *children = nullptr;
    unsigned int count = 0;
    Window best = 0;
    if (!XQueryTree(m_display, under, &root, &parent, &children, &count))
        return 0;
    for (unsigned int i = 0; i < count; ++i) {
        const Window w = children[i];
        if (w == m_window)
            continue;
        Atom type = 0;
        int format = 0;
        unsigned long items = 0, after = 0;
        unsigned char *data = nullptr;
        if (XGetWindowProperty(m_display, w, m_pidAtom, 0, 1, False, XA_CARDINAL, &type, &format, &items, &after,
                               &data) == Success &&
            data && format == 32 && items == 1 && static_cast<pid_t>(*reinterpret_cast<unsigned long *>(data)) == getpid()) {
            XWindowAttributes a{};
            if (XGetWindowAttributes(m_display, w, &a) && a.map_state == IsViewable && long(a.width) * a.height > *area) {
                *area = long(a.width) * a.height;
                best = w;
            }
        }
        if (data)
            XFree(data);
        if (depth > 1)
            if (const Window inner = FindOwnWindow(w, depth - 1, area))
                best = inner;
    }
    if (children)
        XFree(children);
    return best;
}

bool CX11VideoWindow::FindParent()
{
    const Window root = DefaultRootWindow(m_display);
    if (m_parent != 0 && m_parent != root) {
        XWindowAttributes a{};
        if (XGetWindowAttributes(m_display, m_parent, &a) && a.map_state == IsViewable)
            return true;
        m_parent = 0;   // gone (the client left the session) or hidden
    }
    if (m_bRootParent) {
        m_parent = root;
        return true;
    }
    long area = 0;
    m_parent = FindOwnWindow(root, 3, &area);
    if (m_parent != 0)
        LogLine(m_log, "client: the remote desktop's window is 0x%lx", static_cast<unsigned long>(m_parent));
    return m_parent != 0;
}

void CX11VideoWindow::Apply(const CVideoPlacement &placement)
{
    const Window root = DefaultRootWindow(m_display);
    VideoWindowState want;
    int32_t windowWidth = 0, windowHeight = 0;
    if (FindParent()) {
        XWindowAttributes a{};
        XGetWindowAttributes(m_display, m_parent, &a);
        windowWidth = a.width;
        windowHeight = a.height;
        std::pair<int32_t, int32_t> desktop = m_desktop ? m_desktop() : std::pair<int32_t, int32_t>{0, 0};
        if (desktop.first <= 0 || desktop.second <= 0)
            desktop = {windowWidth, windowHeight};
        want = placement.State(desktop.first, desktop.second, windowWidth, windowHeight);
    }
    const Window parent = want.fullScreen ? root : (m_parent ? m_parent : root);
    if (m_bAppliedOnce && want == m_applied && parent == m_appliedParent)
        return;
    if (!want.visible) {
        XUnmapWindow(m_display, m_window);
    } else {
        int32_t x = want.x, y = want.y, width = want.width, height = want.height;
        if (want.fullScreen) {
            XWindowAttributes r{};
            XGetWindowAttributes(m_display, root, &r);
            x = 0;
            y = 0;
            width = r.width;
            height = r.height;
        }
        if (parent != m_appliedParent)
            XReparentWindow(m_display, m_window, parent, x, y);
        XMoveResizeWindow(m_display, m_window, x, y, static_cast<unsigned>(width), static_cast<unsigned>(height));
        XMapRaised(m_display, m_window);
    }
    XSync(m_display, False);
    m_applied = want;
    m_appliedParent = parent;
    m_bAppliedOnce = true;
    // What the display says now, as a user would see it.
    XWindowAttributes a{};
    XGetWindowAttributes(m_display, m_window, &a);
    if (a.map_state == IsUnmapped)
        LogLine(m_log, "client: video window hidden");
    else
        LogLine(m_log, "client: video window at %d,%d %dx%d%s (client window %dx%d)", a.x, a.y, a.width, a.height,
                want.fullScreen ? " full screen" : "", windowWidth, windowHeight);
}

void CX11VideoWindow::Raise()
{
    if (m_applied.visible) {
        XRaiseWindow(m_display, m_window);
        XSync(m_display, False);
    }
}
