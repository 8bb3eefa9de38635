// Which names a client may have the server open as a local file. A client
// can name a pipe, a device or a console of the session: opening a pipe
// connects to whoever serves it, and even asking for its attributes does.
// So such names are refused on their text alone, before any file-system
// call. Portable.
#pragma once

#include "wire.h"

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
