// Taking the file to play from a command line: the program's own at start,
// or a second start's, handed over by WM_COPYDATA. Portable.
#pragma once

#include <cstddef>
#include <string>

constexpr size_t kFileNameUnits = 260;   // 259 characters and a NUL

// Takes the first word of a command line of 1 to 259 characters, split as
// the platform splits a program name (CommandLineToArgvW's first element):
// a word that opens with a quote runs to the next quote, any other to the
// first blank or tab. The name is cut to 259 characters and terminated.
// Returns false, with the name left as it was, for any other length.
bool TakeFileNameFromCommandLine(const wchar_t *text, size_t length, wchar_t (&name)[kFileNameUnits],
                                 int *nameLength);

// The text of a WM_COPYDATA record: at most bytes / 2 characters, ending at
// the first NUL; nothing for a null pointer or no bytes. Never reads past
// `bytes`, whatever the record claims.
std::wstring CopyDataText(const void *data, size_t bytes);
