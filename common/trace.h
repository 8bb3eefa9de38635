// Diagnostic log: trace lines for a debug-output viewer, and the error box.
//
// Both functions format printf-style into a buffer of 1024 wide units
// (%s takes a wide string, %S and %hs a narrow one; %d %u %x %X %c as usual,
// with flags, width and precision). The formatter is this project's own, so
// the text reads the same under every C library.
#pragma once

#include <cstdarg>
#include <cstddef>

constexpr size_t kTraceBufferUnits = 1024;
constexpr size_t kTraceMaxChars = kTraceBufferUnits - 1;

// Formats at most 1023 characters into buf and always terminates it.
// Returns the number of characters written.
size_t FormatTraceText(wchar_t (&buf)[kTraceBufferUnits], const wchar_t *format, va_list args);
// The same with the arguments given directly.
size_t FormatText(wchar_t (&buf)[kTraceBufferUnits], const wchar_t *format, ...);

// Writes one piece of trace text (Windows: OutputDebugStringW; native: stderr).
void TraceMessage(const wchar_t *format, ...);

// Shows an error box with the caption "Error!" and an OK button, owned by the
// window set with SetErrorBoxOwner (none by default). Returns the box's result.
int ShowErrorBox(const wchar_t *format, ...);

// Boxes are shown only while the gate says so (the programs pass whether
// the session is connected): a box in a disconnected session would hold its
// thread with nobody there to close it. Held back, the text becomes a trace
// line ("Box not shown, the session is disconnected: TEXT") and
// ShowErrorBox returns 1 (IDOK). No gate: every box is shown.
using BoxGate = bool (*)();
void SetErrorBoxGate(BoxGate gate);
// For boxes shown by other means: true when one may be shown now; false
// after writing the text as the trace line above.
bool MayShowBox(const wchar_t *text);

// The owner window of later error boxes (a HWND on Windows); null for none.
void SetErrorBoxOwner(void *window);
void *GetErrorBoxOwner();

// Test hooks: when set, every trace text is also passed to the first, and
// every error-box text goes to the second instead of a box.
using TraceHook = void (*)(const wchar_t *text);
void SetTraceHook(TraceHook hook);
void SetErrorBoxHook(TraceHook hook);

#define PYX_TRACE_WIDEN2(x) L##x
#define PYX_TRACE_WIDEN(x) PYX_TRACE_WIDEN2(x)

// Writes one trace site's text: the location prefix, then the message, as
// one piece of output (the hook still gets them as two).
void TraceAt(const wchar_t *file, int line, const wchar_t *format, ...);

// One trace site: the location prefix, then the message. A trace (and an
// error box) leaves the caller's last error (errno natively) as it found
// it, so a message that prints it prints the caller's.
#define PYX_TRACE(...) TraceAt(PYX_TRACE_WIDEN(__FILE__), __LINE__, __VA_ARGS__)
