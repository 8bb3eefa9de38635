// The player window's layout rules: as the window is resized, chosen
// controls widen with it, grow taller with it, or move down with its bottom
// edge, each by the change of the client area since the window was made.
// Portable; the window applies the rectangles.
#pragma once

#include "video_area.h"

#include <vector>

enum LayoutFlags : unsigned {
    LAYOUT_WIDTH = 1,       // the right edge follows the window's width
    LAYOUT_HEIGHT = 2,      // the bottom edge follows the window's height
    LAYOUT_MOVE_DOWN = 4,   // top and bottom follow the bottom edge
    LAYOUT_MOVE_RIGHT = 8,  // left and right follow the right edge
};

class CLayoutRules
{
public:
    struct Item
    {
        int id;
        unsigned flags;
        AreaRect initial;   // client coordinates at the start
    };

    void SetInitialClientSize(int width, int height)
    {
        m_nWidth = width;
        m_nHeight = height;
    }
    void Add(int id, unsigned flags, const AreaRect &initial) { m_items.push_back({id, flags, initial}); }

    // The scale the layout was taken at (DPI, 96 = 100 %), and the one the
    // window has now: the initial rectangles and client size count at the
    // new scale, computed from those taken, so that changes back and forth
    // never drift.
    void SetBaseDpi(unsigned dpi) { m_uBaseDpi = m_uDpi = dpi ? dpi : 96; }
    void ScaleTo(unsigned dpi) { m_uDpi = dpi ? dpi : m_uBaseDpi; }
    // A length taken at the base scale, at the current one.
    int Scaled(int value) const;

    // Every item's rectangle for a client area of this size.
    std::vector<Item> Arrange(int width, int height) const;

private:
    int m_nWidth = 0;
    int m_nHeight = 0;
    unsigned m_uBaseDpi = 96;
    unsigned m_uDpi = 96;
    std::vector<Item> m_items;
};
