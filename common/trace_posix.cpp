// Native build: trace text and error boxes go to standard error as UTF-8.
#include "utf8.h"

#include <cstdio>
#include <string>

void PlatformTraceOutput(const wchar_t *text)
{
    const std::string s = Utf8Of(text, LoneSurrogate::Keep);
    std::fwrite(s.data(), 1, s.size(), stderr);
}

bool PlatformTraceListened() { return true; }   // standard error is always there

int PlatformErrorBox(const wchar_t *text, void *)
{
    std::fprintf(stderr, "Error!: %s\n", Utf8Of(text, LoneSurrogate::Keep).c_str());
    return 1; // IDOK
}
