#include "doctest.h"

#include "trace.h"
#include "utf8.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <string>
#include <vector>

namespace {

std::wstring Format(const wchar_t *format, ...)
{
    wchar_t buf[kTraceBufferUnits];
    va_list ap;
    va_start(ap, format);
    const size_t n = FormatTraceText(buf, format, ap);
    va_end(ap);
    REQUIRE(n == std::wstring(buf).size());
    return buf;
}

std::vector<std::wstring> g_lines;
void Capture(const wchar_t *text) { g_lines.emplace_back(text); }

} // namespace

TEST_CASE("formatting reads the same on every C library")
{
    CHECK(Format(L"File: %s Line: %d: ", L"server/x.cpp", 42) == L"File: server/x.cpp Line: 42: ");
    CHECK(Format(L"%x %X %08X %#x", 255u, 255u, 0xBEEFu, 16u) == L"ff FF 0000BEEF 0x10");
    CHECK(Format(L"%d %d %u %i", -5, 0, 4294967295u, 17) == L"-5 0 4294967295 17");
    CHECK(Format(L"('%c%c%c%c')", 'R', 'E', 'A', 'D') == L"('READ')");
    CHECK(Format(L"%5d|%-5d|%05d", 42, 42, -42) == L"   42|42   |-0042");
    CHECK(Format(L"%8d kbytes", 1234) == L"    1234 kbytes");
    CHECK(Format(L"%S and %hs", "narrow", "short") == L"narrow and short");
    CHECK(Format(L"%s", static_cast<const wchar_t *>(nullptr)) == L"(null)");
    CHECK(Format(L"100%% %ld %lld", 7L, -8LL) == L"100% 7 -8");
    CHECK(Format(L"%s", L"\u00e9\u4e2d") == L"\u00e9\u4e2d");
    CHECK(Format(L"0x%x", 0x80000005u) == L"0x80000005");
    CHECK(Format(L"%.3s|%q", L"abcdef") == L"abc|%q");
}

TEST_CASE("trace text is bounded to 1023 characters")
{
    const std::wstring longText(2000, L'a');
    const std::wstring out = Format(L"%s", longText.c_str());
    CHECK(out.size() == 1023);
    CHECK(out == longText.substr(0, 1023));

    const std::wstring exact(1023, L'b');
    CHECK(Format(L"%s", exact.c_str()) == exact);
    CHECK(Format(exact.c_str()) == exact);

    const std::wstring wide = Format(L"%2000d", 1);
    CHECK(wide.size() == 1023);
}

TEST_CASE("a trace site writes its location prefix and its message as two texts")
{
    g_lines.clear();
    SetTraceHook(Capture);
    PYX_TRACE(L"PyxControlThread Ready!\r\n");
    SetTraceHook(nullptr);
    REQUIRE(g_lines.size() == 2);
    CHECK(g_lines[0].rfind(L"File: ", 0) == 0);
    CHECK(g_lines[0].find(L"test_trace.cpp Line: ") != std::wstring::npos);
    CHECK(g_lines[0].back() == L' ');
    CHECK(g_lines[1] == L"PyxControlThread Ready!\r\n");
}

namespace {

#ifdef _WIN32
uint32_t LastError() { return GetLastError(); }
void SetError(uint32_t e) { SetLastError(e); }
#else
uint32_t LastError() { return static_cast<uint32_t>(errno); }
void SetError(uint32_t e) { errno = static_cast<int>(e); }
#endif

// Writing a trace line may change the last error (the debug-output call
// does): this hook does so on purpose.
void Clobbering(const wchar_t *text)
{
    g_lines.emplace_back(text);
    SetError(0);
}

} // namespace

TEST_CASE("a trace line prints the caller's last error, and leaves it to the caller")
{
    g_lines.clear();
    SetTraceHook(Clobbering);
    SetError(1450);
    PYX_TRACE(L"CreateEvent failed %d\r\n", static_cast<int>(LastError()));
    CHECK(LastError() == 1450);
    SetErrorBoxHook(Clobbering);
    SetError(5);
    ShowErrorBox(L"any");
    CHECK(LastError() == 5);
    SetErrorBoxHook(nullptr);
    SetTraceHook(nullptr);
    REQUIRE(g_lines.size() == 3);
    CHECK(g_lines[1] == L"CreateEvent failed 1450\r\n");
}

#ifndef _WIN32
TEST_CASE("an error box on the native build becomes a line of text")
{
    g_lines.clear();
    SetErrorBoxHook(Capture);
    CHECK(ShowErrorBox(L"Failed to load appropriate (%s) api set!", L"ICA") == 1);
    SetErrorBoxHook(nullptr);
    REQUIRE(g_lines.size() == 1);
    CHECK(g_lines[0] == L"Failed to load appropriate (ICA) api set!");
}
#endif

TEST_CASE("UTF-8 of 16-bit and wide text: pairs joined, a lone surrogate kept for names or replaced for display")
{
    const std::u16string text = {u'\u00e9', 0xDC00, 0xD800, 0xD83D, 0xDE00};   // a pair in the wrong order, then one
    CHECK(Utf8Of(text, LoneSurrogate::Replace) == "\xC3\xA9\xEF\xBF\xBD\xEF\xBF\xBD\xF0\x9F\x98\x80");
    CHECK(Utf8Of(text, LoneSurrogate::Keep) == "\xC3\xA9\xED\xB0\x80\xED\xA0\x80\xF0\x9F\x98\x80");
    CHECK(Utf8Of(L"\u00e9\U0001F600", LoneSurrogate::Keep) == "\xC3\xA9\xF0\x9F\x98\x80");   // 16 or 32 bits
}
