#include "toolbar_layout.h"

#include "wire.h"

std::optional<ToolBarLayout> ParseToolBarLayout(const unsigned char *data, size_t size)
{
    constexpr size_t kHeader = 8;
    if (!data || size < kHeader || LoadLE16(data) != 1)
        return std::nullopt;
    ToolBarLayout layout{LoadLE16(data + 2), LoadLE16(data + 4), {}};
    const size_t count = LoadLE16(data + 6);
    if (layout.wImageWidth == 0 || layout.wImageHeight == 0 || count > (size - kHeader) / 2)
        return std::nullopt;
    layout.vecIds.reserve(count);
    for (size_t i = 0; i < count; ++i)
        layout.vecIds.push_back(LoadLE16(data + kHeader + 2 * i));
    return layout;
}
