#include "install_path.h"

size_t ComposeInstallationPath(CRegistry &registry, WireChar (&buffer)[kPathUnits],
                               std::initializer_list<const WireChar *> names)
{
    CRegKey key(registry);
    if (!key.Open(RegRoot::CurrentUser, kInstallationKey))
        return 0;

    size_t composed = 0;
    for (const WireChar *name : names) {
        const uint32_t room = static_cast<uint32_t>((kPathUnits - composed) * sizeof(WireChar));
        uint32_t bytes = room;
        if (registry.QueryValue(key.Get(), name, nullptr, buffer + composed, &bytes) != kRegOk || bytes == 0 ||
            bytes > room)
            break;
        // The value's characters without its NUL: byte count minus one,
        // rounded down to even. At most 259 characters in all, as the room
        // of the last value read holds its NUL too.
        composed += ((bytes - 1) & ~uint32_t{1}) / sizeof(WireChar);
    }
    // A value stored without its NUL (or one that failed half-way) must not
    // leave the text open-ended.
    buffer[composed] = 0;
    return composed;
}
