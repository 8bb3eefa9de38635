#include "layout.h"

std::vector<CLayoutRules::Item> CLayoutRules::Arrange(int width, int height) const
{
    const int dx = width - m_nWidth;
    const int dy = height - m_nHeight;
    std::vector<Item> out = m_items;
    for (Item &item : out) {
        AreaRect &r = item.initial;
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
