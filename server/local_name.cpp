#include "local_name.h"

#include <string>

namespace {

using Text = std::u16string;

WireChar Lower(WireChar c) { return c >= u'A' && c <= u'Z' ? static_cast<WireChar>(c - u'A' + u'a') : c; }

// The text with "/" as "\" and ASCII letters in lower case.
Text Normalise(const WireChar *name)
{
    Text t;
    for (; *name; ++name)
        t += *name == u'/' ? u'\\' : Lower(*name);
    return t;
}

bool StartsWith(const Text &t, const char16_t *prefix) { return t.compare(0, Text(prefix).size(), prefix) == 0; }

bool IsDriveLetter(WireChar c) { return c >= u'a' && c <= u'z'; }

// The path part that begins at `from`, up to the next separator.
Text PartAt(const Text &t, size_t from)
{
    const size_t end = t.find(u'\\', from);
    return t.substr(from, end == Text::npos ? Text::npos : end - from);
}

// "\\host\share\..." from `from` (just past the two separators or "UNC\"):
// a pipe or mailslot share is the named-pipe or mailslot file system of
// that host, never a share of files; so is its IPC$ share. Doubled
// separators count as one, as the platform folds them.
bool IsIpcShare(const Text &t, size_t from)
{
    const size_t host = t.find_first_not_of(u'\\', from);
    if (host == Text::npos)
        return false;
    const size_t hostEnd = t.find(u'\\', host);
    if (hostEnd == Text::npos)
        return false;
    const size_t share = t.find_first_not_of(u'\\', hostEnd);
    if (share == Text::npos)
        return false;
    Text part = PartAt(t, share);
    // The platform drops trailing dots and blanks from a path part, so
    // "pipe." and "pipe " name the pipe file system too; "IPC$" is the
    // share that carries the host's pipes.
    while (!part.empty() && (part.back() == u'.' || part.back() == u' '))
        part.pop_back();
    return part == u"pipe" || part == u"mailslot" || part == u"ipc$";
}

bool IsComOrLptDigit(WireChar c)
{
    // The platform also takes the superscripts 1, 2 and 3 as port numbers.
    return (c >= u'1' && c <= u'9') || c == 0x00B9 || c == 0x00B2 || c == 0x00B3;
}

// A reserved device name, as the platform recognises one in the last part of
// a path: the part without trailing dots and blanks, without an extension or
// a stream, and without blanks before those.
bool IsReservedDeviceName(Text part)
{
    while (!part.empty() && (part.back() == u'.' || part.back() == u' '))
        part.pop_back();
    const size_t cut = part.find_first_of(u".:");
    if (cut != Text::npos)
        part.erase(cut);
    while (!part.empty() && part.back() == u' ')
        part.pop_back();
    if (part == u"con" || part == u"prn" || part == u"aux" || part == u"nul" || part == u"conin$" ||
        part == u"conout$")
        return true;
    return part.size() == 4 && (StartsWith(part, u"com") || StartsWith(part, u"lpt")) && IsComOrLptDigit(part[3]);
}

} // namespace

bool IsPlainFileName(const WireChar *name)
{
    if (!name)
        return false;
    const Text t = Normalise(name);
    // "\\;Provider\..." names a network redirector directly, past the
    // checks of a share's name below.
    if (StartsWith(t, u"\\??\\") || StartsWith(t, u"\\\\.\\") || StartsWith(t, u"\\\\;") ||
        StartsWith(t, u"\\\\?\\unc\\;"))
        return false;
    if (StartsWith(t, u"\\\\?\\")) {
        const bool drive = t.size() >= 7 && IsDriveLetter(t[4]) && t[5] == u':' && t[6] == u'\\';
        const bool share = StartsWith(t, u"\\\\?\\unc\\");
        if (!drive && !share)
            return false;
        if (share && IsIpcShare(t, 8))
            return false;
    } else if (StartsWith(t, u"\\\\") && IsIpcShare(t, 2)) {
        return false;
    }
    // The last part: after the last separator, or after a drive "D:".
    size_t last = t.rfind(u'\\');
    if (last != Text::npos)
        ++last;
    else
        last = t.size() >= 2 && IsDriveLetter(t[0]) && t[1] == u':' ? 2 : 0;
    return !IsReservedDeviceName(t.substr(last));
}

WireChar DriveLetterOf(const WireChar *name)
{
    if (!name || !IsDriveLetter(Lower(name[0])) || name[1] != u':' || (name[2] != u'\\' && name[2] != u'/'))
        return 0;
    return static_cast<WireChar>(Lower(name[0]) - u'a' + u'A');
}

bool EveryPathPrefix(const WireChar *name, const std::function<bool(const WireChar *prefix)> &visit)
{
    if (!DriveLetterOf(name))
        return true;
    Text prefix(name, name + 2);   // "C:"
    const WireChar *p = name + 2;
    for (;;) {
        while (*p == u'\\' || *p == u'/')
            ++p;
        if (!*p)
            return true;
        prefix += u'\\';
        while (*p && *p != u'\\' && *p != u'/')
            prefix += *p++;
        if (!visit(prefix.c_str()))
            return false;
    }
}
