#include "layout.h"

int CLayoutRules::Scaled(int value) const
{
    // Rounded to the nearest pixel, halves away from zero.
    const long long scaled = static_cast<long long>(value) * m_uDpi;
    const long long half = m_uBaseDpi / 2;
    return static_cast<int>(scaled >= 0 ? (scaled + half) / m_uBaseDpi : -((-scaled + half) / m_uBaseDpi));
}

std::vector<CLayoutRules::Item> CLayoutRules::Arrange(int width, int height) const
{
    const int dx = width - Scaled(m_nWidth);
    const int dy = height - Scaled(m_nHeight);
    std::vector<Item> out = m_items;
    for (Item &item : out) {
        AreaRect &r = item.initial;
        r = {Scaled(r.left), Scaled(r.top), Scaled(r.right), Scaled(r.bottom)};
        if (item.flags & LAYOUT_WIDTH)
            r.right += dx;
        if (item.flags & LAYOUT_HEIGHT)
            r.bottom += dy;
        if (item.flags & LAYOUT_MOVE_DOWN) {
            r.top += dy;
            r.bottom += dy;
        }
        if (item.flags & LAYOUT_MOVE_RIGHT) {
            r.left += dx;
            r.right += dx;
        }
        // Never narrower or flatter than nothing.
        if (r.right < r.left)
            r.right = r.left;
        if (r.bottom < r.top)
            r.bottom = r.top;
    }
    return out;
}
