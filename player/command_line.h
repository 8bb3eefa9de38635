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

// How much of a WM_COPYDATA record is read: enough to tell a text of 260
// characters from a longer one, both of which a command line refuses.
constexpr size_t kCopyDataUnits = kFileNameUnits + 1;

// The text of a WM_COPYDATA record: at most bytes / 2 characters and at most
// kCopyDataUnits, ending at the first NUL; nothing for a null pointer or no
// bytes. Never reads past `bytes`, whatever the record claims, and never
// copies more than it needs from a record of any size.
std::wstring CopyDataText(const void *data, size_t bytes);
