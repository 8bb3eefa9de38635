// Native build: trace text and error boxes go to standard error as UTF-8.
#include <cstdio>
#include <string>

namespace {

std::string ToUtf8(const wchar_t *text)
{
    std::string s;
    for (; *text; ++text) {
        const unsigned long c = static_cast<unsigned long>(*text);
        if (c < 0x80) {
            s += static_cast<char>(c);
        } else if (c < 0x800) {
            s += static_cast<char>(0xC0 | (c >> 6));
            s += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            s += static_cast<char>(0xE0 | (c >> 12));
            s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            s += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            s += static_cast<char>(0xF0 | ((c >> 18) & 0x07));
            s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            s += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return s;
}

} // namespace

void PlatformTraceOutput(const wchar_t *text)
{
    const std::string s = ToUtf8(text);
    std::fwrite(s.data(), 1, s.size(), stderr);
}

int PlatformErrorBox(const wchar_t *text, void *)
{
    std::fprintf(stderr, "Error!: %s\n", ToUtf8(text).c_str());
    return 1; // IDOK
}
