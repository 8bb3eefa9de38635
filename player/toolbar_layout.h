// The tool-bar layout resource (type RT_TOOLBAR_LAYOUT): little-endian WORDs
// version (1), image width, image height, button count, then one command id
// per button, left to right.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

struct ToolBarLayout
{
    uint16_t wImageWidth;
    uint16_t wImageHeight;
    std::vector<uint16_t> vecIds; // command id of each button
};

// The layout in `size` bytes, or nothing when they are not a version 1
// layout with non-zero image sizes and all the ids it counts. Bytes after
// the last id are ignored.
std::optional<ToolBarLayout> ParseToolBarLayout(const unsigned char *data, size_t size);
