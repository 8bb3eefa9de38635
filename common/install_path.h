// Program paths from the installation values the installer writes under
// HKCU\Software\Mervalt\Tarsel\InstallationPath.
#pragma once

#include "registry.h"

#include <cstddef>
#include <initializer_list>

constexpr size_t kPathUnits = 260; // 259 characters and a NUL

inline constexpr WireChar kInstallationKey[] = u"Software\\Mervalt\\Tarsel\\InstallationPath";
inline constexpr WireChar kValuePath[] = u"Path";
inline constexpr WireChar kValueGuiApplication[] = u"GuiApplication";
inline constexpr WireChar kValueGuiCommandLine[] = u"GuiCommandLine";
inline constexpr WireChar kValueServerApplication[] = u"ServerApplication";

// Concatenates the named installation values, in order, into buffer and
// returns the number of characters composed (0: nothing). Each value is read
// at the current end with the rest of the buffer as room; the first value
// that is missing, does not fit or has no data ends the composition, and
// what was composed before it stays. Each value's terminating NUL is
// overwritten by the next one. The text is always NUL-terminated once the
// key opened; if the key does not open the buffer is left untouched.
size_t ComposeInstallationPath(CRegistry &registry, WireChar (&buffer)[kPathUnits],
                               std::initializer_list<const WireChar *> names);
