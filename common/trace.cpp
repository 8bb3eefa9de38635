#include "trace.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <cwchar>

namespace {

class Out
{
public:
    explicit Out(wchar_t (&buf)[kTraceBufferUnits]) : m_buf(buf) {}
    void Put(wchar_t c)
    {
        if (m_n < kTraceMaxChars)
            m_buf[m_n++] = c;
    }
    void Repeat(wchar_t c, long n)
    {
        for (; n > 0; --n)
            Put(c);
    }
    // len characters of text, as far as they fit. Text and names make up
    // most of every line: they are copied in one piece, not one by one.
    void Append(const wchar_t *text, size_t len)
    {
        const size_t room = kTraceMaxChars - m_n;
        if (len > room)
            len = room;
        std::wmemcpy(m_buf + m_n, text, len);
        m_n += len;
    }
    size_t Finish()
    {
        m_buf[m_n] = L'\0';
        return m_n;
    }

private:
    wchar_t (&m_buf)[kTraceBufferUnits];
    size_t m_n = 0;
};

struct Spec
{
    bool left = false, zero = false, plus = false, space = false, alt = false;
    long width = 0;
    long precision = -1;
};

void PutPadded(Out &out, const Spec &s, const wchar_t *text, long len, const wchar_t *prefix = L"")
{
    const long plen = static_cast<long>(std::wcslen(prefix));
    const long pad = s.width > len + plen ? s.width - len - plen : 0;
    if (!s.left && !s.zero)
        out.Repeat(L' ', pad);
    out.Append(prefix, static_cast<size_t>(plen));
    if (!s.left && s.zero)
        out.Repeat(L'0', pad);
    out.Append(text, static_cast<size_t>(len));
    if (s.left)
        out.Repeat(L' ', pad);
}

void PutInteger(Out &out, Spec s, unsigned long long value, bool negative, unsigned base, bool upper)
{
    wchar_t digits[80];
    long n = 0;
    const wchar_t *set = upper ? L"0123456789ABCDEF" : L"0123456789abcdef";
    do {
        digits[n++] = set[value % base];
        value /= base;
    } while (value != 0 && n < 64);
    if (s.precision == 0 && n == 1 && digits[0] == L'0')
        n = 0;
    while (s.precision > n && n < 64)
        digits[n++] = L'0';
    wchar_t text[80];
    for (long i = 0; i < n; ++i)
        text[i] = digits[n - 1 - i];
    const wchar_t *prefix = negative ? L"-" : s.plus ? L"+" : s.space ? L" " : L"";
    if (s.alt && base == 16)
        prefix = upper ? L"0X" : L"0x";
    if (s.precision >= 0)
        s.zero = false;
    PutPadded(out, s, text, n, prefix);
}

void PutWide(Out &out, const Spec &s, const wchar_t *str)
{
    if (!str)
        str = L"(null)";
    long len = 0;
    while (str[len] && (s.precision < 0 || len < s.precision))
        ++len;
    PutPadded(out, s, str, len);
}

void PutNarrow(Out &out, const Spec &s, const char *str)
{
    if (!str)
        str = "(null)";
    long len = 0;
    while (str[len] && (s.precision < 0 || len < s.precision))
        ++len;
    const long pad = s.width > len ? s.width - len : 0;
    if (!s.left)
        out.Repeat(L' ', pad);
    for (long i = 0; i < len; ++i)
        out.Put(static_cast<wchar_t>(static_cast<unsigned char>(str[i])));
    if (s.left)
        out.Repeat(L' ', pad);
}

std::atomic<TraceHook> g_traceHook{nullptr};
std::atomic<TraceHook> g_errorBoxHook{nullptr};
std::atomic<void *> g_errorBoxOwner{nullptr};

} // namespace

size_t FormatTraceText(wchar_t (&buf)[kTraceBufferUnits], const wchar_t *format, va_list args)
{
    Out out(buf);
    if (!format)
        return out.Finish();
    va_list ap;
    va_copy(ap, args);
    for (const wchar_t *p = format; *p; ++p) {
        if (*p != L'%') {
            const wchar_t *end = p;
            while (*end && *end != L'%')
                ++end;
            out.Append(p, static_cast<size_t>(end - p));
            p = end - 1;
            continue;
        }
        const wchar_t *start = p++;
        Spec s;
        for (;; ++p) {
            if (*p == L'-') s.left = true;
            else if (*p == L'0') s.zero = true;
            else if (*p == L'+') s.plus = true;
            else if (*p == L' ') s.space = true;
            else if (*p == L'#') s.alt = true;
            else break;
        }
        if (*p == L'*') {
            s.width = va_arg(ap, int);
            if (s.width < 0) { s.left = true; s.width = -s.width; }
            ++p;
        } else {
            while (*p >= L'0' && *p <= L'9') s.width = s.width * 10 + (*p++ - L'0');
        }
        if (*p == L'.') {
            ++p;
            s.precision = 0;
            if (*p == L'*') { s.precision = va_arg(ap, int); ++p; }
            else while (*p >= L'0' && *p <= L'9') s.precision = s.precision * 10 + (*p++ - L'0');
        }
        if (s.width > 1023) s.width = 1023;
        if (s.precision > 1023) s.precision = 1023;
        // Length: h, hh, l, ll, z, I64, I32.
        int len = 0; // 0 int, 1 long, 2 long long, 3 size_t, -1 short/narrow
        if (*p == L'h') { len = -1; ++p; if (*p == L'h') ++p; }
        else if (*p == L'l') { len = 1; ++p; if (*p == L'l') { len = 2; ++p; } }
        else if (*p == L'z') { len = 3; ++p; }
        else if (p[0] == L'I' && p[1] == L'6' && p[2] == L'4') { len = 2; p += 3; }
        else if (p[0] == L'I' && p[1] == L'3' && p[2] == L'2') { len = 0; p += 3; }
        switch (*p) {
        case L'd':
        case L'i': {
            long long v = len == 1 ? va_arg(ap, long) : len == 2 ? va_arg(ap, long long)
                        : len == 3 ? static_cast<long long>(va_arg(ap, size_t)) : va_arg(ap, int);
            if (len == -1) v = static_cast<short>(v);
            const bool neg = v < 0;
            const unsigned long long mag = neg ? 0ull - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
            PutInteger(out, s, mag, neg, 10, false);
            break;
        }
        case L'u':
        case L'x':
        case L'X':
        case L'o': {
            unsigned long long v = len == 1 ? va_arg(ap, unsigned long) : len == 2 ? va_arg(ap, unsigned long long)
                                 : len == 3 ? va_arg(ap, size_t) : va_arg(ap, unsigned int);
            if (len == -1) v = static_cast<unsigned short>(v);
            const unsigned base = *p == L'u' ? 10 : *p == L'o' ? 8 : 16;
            PutInteger(out, s, v, false, base, *p == L'X');
            break;
        }
        case L'p': {
            const uintptr_t v = reinterpret_cast<uintptr_t>(va_arg(ap, void *));
            Spec ps = s;
            ps.zero = true;
            ps.width = static_cast<long>(2 * sizeof(void *));
            PutInteger(out, ps, v, false, 16, true);
            break;
        }
        case L'c': {
            const int c = va_arg(ap, int);
            const wchar_t w = len == -1 ? static_cast<wchar_t>(static_cast<unsigned char>(c)) : static_cast<wchar_t>(c);
            PutPadded(out, s, &w, 1);
            break;
        }
        case L'C': {
            const int c = va_arg(ap, int);
            const wchar_t w = static_cast<wchar_t>(static_cast<unsigned char>(c));
            PutPadded(out, s, &w, 1);
            break;
        }
        case L's':
            if (len == -1) PutNarrow(out, s, va_arg(ap, const char *));
            else PutWide(out, s, va_arg(ap, const wchar_t *));
            break;
        case L'S':
            if (len == 1) PutWide(out, s, va_arg(ap, const wchar_t *));
            else PutNarrow(out, s, va_arg(ap, const char *));
            break;
        case L'%':
            out.Put(L'%');
            break;
        default:
            // Unknown conversion: write it as it stands and consume nothing.
            for (const wchar_t *q = start; q <= p && *q; ++q)
                out.Put(*q);
            if (!*p)
                --p;
            break;
        }
    }
    va_end(ap);
    return out.Finish();
}

namespace {
std::atomic<BoxGate> g_boxGate{nullptr};
} // namespace

void SetTraceHook(TraceHook hook) { g_traceHook.store(hook); }
void SetErrorBoxGate(BoxGate gate) { g_boxGate.store(gate); }
void SetErrorBoxHook(TraceHook hook) { g_errorBoxHook.store(hook); }
void SetErrorBoxOwner(void *window) { g_errorBoxOwner.store(window); }
void *GetErrorBoxOwner() { return g_errorBoxOwner.load(); }

// Platform parts, in trace_win.cpp and trace_posix.cpp.
void PlatformTraceOutput(const wchar_t *text);
bool PlatformTraceListened();
int PlatformErrorBox(const wchar_t *text, void *owner);
uint32_t PlatformLastError();
void PlatformSetLastError(uint32_t error);

namespace {

// Keeps the caller's last error (Windows) or errno across a trace or a box:
// a trace site's message often prints it, and is formatted after the
// location prefix has been written; the caller may read it afterwards too.
class CKeepLastError
{
public:
    CKeepLastError() : m_error(PlatformLastError()) {}
    ~CKeepLastError() { PlatformSetLastError(m_error); }
    CKeepLastError(const CKeepLastError &) = delete;
    CKeepLastError &operator=(const CKeepLastError &) = delete;

private:
    uint32_t m_error;
};

} // namespace

void TraceMessage(const wchar_t *format, ...)
{
    const TraceHook hook = g_traceHook.load();
    const bool listened = PlatformTraceListened();
    if (!hook && !listened)
        return;
    const CKeepLastError keep;
    wchar_t buf[kTraceBufferUnits];
    va_list ap;
    va_start(ap, format);
    FormatTraceText(buf, format, ap);
    va_end(ap);
    if (listened)
        PlatformTraceOutput(buf);
    if (hook)
        hook(buf);
}

void TraceAt(const wchar_t *file, int line, const wchar_t *format, ...)
{
    const TraceHook hook = g_traceHook.load();
    const bool listened = PlatformTraceListened();
    if (!hook && !listened)
        return;
    const CKeepLastError keep;
    wchar_t prefix[kTraceBufferUnits];
    const size_t n = FormatText(prefix, L"File: %s Line: %d: ", file, line);
    wchar_t text[kTraceBufferUnits];
    va_list ap;
    va_start(ap, format);
    const size_t m = FormatTraceText(text, format, ap);
    va_end(ap);
    // One output for both pieces: each debug output costs the platform a
    // look for a debugger and for a viewer, which a request's path feels.
    wchar_t joined[2 * kTraceBufferUnits];
    std::memcpy(joined, prefix, n * sizeof(wchar_t));
    std::memcpy(joined + n, text, (m + 1) * sizeof(wchar_t));
    if (listened)
        PlatformTraceOutput(joined);
    if (hook) {
        hook(prefix);
        hook(text);
    }
}

bool MayShowBox(const wchar_t *text)
{
    const BoxGate gate = g_boxGate.load();
    if (!gate || gate())
        return true;
    const CKeepLastError keep;
    TraceMessage(L"Box not shown, the session is disconnected: %s\r\n", text);
    return false;
}

int ShowErrorBox(const wchar_t *format, ...)
{
    const CKeepLastError keep;
    wchar_t buf[kTraceBufferUnits];
    va_list ap;
    va_start(ap, format);
    FormatTraceText(buf, format, ap);
    va_end(ap);
    if (!MayShowBox(buf))
        return 1; // IDOK: nobody is there to answer
    if (TraceHook hook = g_errorBoxHook.load()) {
        hook(buf);
        return 1; // IDOK: a test took the box
    }
    return PlatformErrorBox(buf, g_errorBoxOwner.load());
}

size_t FormatText(wchar_t (&buf)[kTraceBufferUnits], const wchar_t *format, ...)
{
    va_list ap;
    va_start(ap, format);
    const size_t n = FormatTraceText(buf, format, ap);
    va_end(ap);
    return n;
}
