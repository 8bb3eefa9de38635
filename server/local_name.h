// Which names a client may have the server open as a local file. A client
// can name a pipe, a device or a console of the session: opening a pipe
// connects to whoever serves it, and even asking for its attributes does.
// So such names are refused on their text alone, before any file-system
// call. Portable.
#pragma once

#include "wire.h"

#include <functional>

// False for the device namespaces ("\\.\...", "\??\...", "\\?\..." other
// than a drive "\\?\D:\..." or a share "\\?\UNC\host\share\..."), pipe and
// mailslot paths ("\\host\pipe\...", "\\?\UNC\host\pipe\...", also as
// "pipe." or "pipe " and through the share "IPC$"), a redirector named
// directly ("\\;LanmanRedirector\..."), and a last
// path part that is a reserved device name (CON, CONIN$, CONOUT$, NUL, AUX,
// PRN, COM1-COM9, LPT1-LPT9, also with an extension, a stream or trailing
// dots or blanks). "/" counts as "\"; letters are compared without regard
// to case, on whole path parts only. name is zero-terminated UTF-16.
bool IsPlainFileName(const WireChar *name);

// The drive letter of a name that starts with one ("D:\..." or "D:/..."),
// in upper case; 0 for every other name.
WireChar DriveLetterOf(const WireChar *name);

// A name below a drive's root, one part more each time: "C:\a\b.avi" gives
// "C:\a", then "C:\a\b.avi" ("/" counts as "\", empty parts are skipped).
// Each zero-terminated prefix goes to `visit` until it returns false; the
// result is whether every prefix was visited with true. A name without a
// drive has no prefixes (true). A link or mount point found so can lead the
// open anywhere, a share included.
bool EveryPathPrefix(const WireChar *name, const std::function<bool(const WireChar *prefix)> &visit);
