#include "command_line.h"

#include <cstring>

bool TakeFileNameFromCommandLine(const wchar_t *text, size_t length, wchar_t (&name)[kFileNameUnits],
                                 int *nameLength)
{
    if (!text || length < 1 || length > kFileNameUnits - 1)
        return false;
    size_t begin = 0;
    size_t end = 0;
    if (text[0] == L'"') {
        begin = end = 1;
        while (end < length && text[end] && text[end] != L'"')
            ++end;
    } else {
        while (end < length && text[end] && text[end] != L' ' && text[end] != L'\t')
            ++end;
    }
    size_t n = end - begin;
    if (n > kFileNameUnits - 1)
        n = kFileNameUnits - 1;
    std::memcpy(name, text + begin, n * sizeof(wchar_t));
    name[n] = L'\0';
    *nameLength = static_cast<int>(n);
    return true;
}

std::wstring CopyDataText(const void *data, size_t bytes)
{
    if (!data || bytes == 0)
        return {};
    // Byte-wise: the record need not be aligned, and an odd count leaves
    // its last byte out.
    const unsigned char *b = static_cast<const unsigned char *>(data);
    std::wstring text;
    if (bytes > 2 * kCopyDataUnits)
        bytes = 2 * kCopyDataUnits;
    for (size_t i = 0; i + 1 < bytes; i += 2) {
        const wchar_t c = static_cast<wchar_t>(b[i] | (b[i + 1] << 8));
        if (c == L'\0')
            break;
        text += c;
    }
    return text;
}
