#!/usr/bin/env python3
# Asks the top-level windows of a process on an X display to close, as a
# click on the window's close box does (WM_DELETE_WINDOW):
#   x-close-window.py PID     (the display from DISPLAY)
# Exits 1 when no window of that process (by _NET_WM_PID) was found.
import ctypes, ctypes.util, sys

x = ctypes.CDLL(ctypes.util.find_library("X11"))
x.XOpenDisplay.restype = ctypes.c_void_p
x.XOpenDisplay.argtypes = [ctypes.c_char_p]
x.XDefaultRootWindow.restype = ctypes.c_ulong
x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
x.XInternAtom.restype = ctypes.c_ulong
x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
x.XQueryTree.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_ulong),
                         ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.POINTER(ctypes.c_ulong)),
                         ctypes.POINTER(ctypes.c_uint)]
x.XGetWindowProperty.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_long, ctypes.c_long,
                                 ctypes.c_int, ctypes.c_ulong, ctypes.POINTER(ctypes.c_ulong),
                                 ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_ulong),
                                 ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.c_void_p)]
x.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
x.XFlush.argtypes = [ctypes.c_void_p]
x.XFree.argtypes = [ctypes.c_void_p]


class ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]


class XEvent(ctypes.Union):
    _fields_ = [("xclient", ClientMessage), ("pad", ctypes.c_long * 24)]


pid = int(sys.argv[1])
d = x.XOpenDisplay(None)
if not d:
    sys.exit("no display")
pid_atom = x.XInternAtom(d, b"_NET_WM_PID", 0)
protocols = x.XInternAtom(d, b"WM_PROTOCOLS", 0)
delete = x.XInternAtom(d, b"WM_DELETE_WINDOW", 0)
root, parent, children, count = ctypes.c_ulong(), ctypes.c_ulong(), ctypes.POINTER(ctypes.c_ulong)(), ctypes.c_uint()
x.XQueryTree(d, x.XDefaultRootWindow(d), ctypes.byref(root), ctypes.byref(parent), ctypes.byref(children),
             ctypes.byref(count))
closed = 0
for i in range(count.value):
    w = children[i]
    kind, fmt, items, after, data = ctypes.c_ulong(), ctypes.c_int(), ctypes.c_ulong(), ctypes.c_ulong(), ctypes.c_void_p()
    if x.XGetWindowProperty(d, w, pid_atom, 0, 1, 0, 6, ctypes.byref(kind), ctypes.byref(fmt), ctypes.byref(items),
                            ctypes.byref(after), ctypes.byref(data)) == 0 and data.value:
        owner = ctypes.cast(data, ctypes.POINTER(ctypes.c_ulong))[0]
        x.XFree(data)
        if items.value == 1 and owner == pid:
            e = XEvent()
            e.xclient.type = 33   # ClientMessage
            e.xclient.window = w
            e.xclient.message_type = protocols
            e.xclient.format = 32
            e.xclient.data[0] = delete
            x.XSendEvent(d, w, 0, 0, ctypes.byref(e))
            closed += 1
x.XFlush(d)
sys.exit(0 if closed else 1)
