#include "video_placement.h"

#include <cmath>

namespace {

// A minimised Windows window sits far off the screen (at -32000).
constexpr int32_t kOffScreen = -10000;

int32_t Scaled(int32_t value, int32_t from, int32_t to)
{
    if (from <= 0 || to <= 0 || from == to)
        return value;
    return static_cast<int32_t>(std::lround(double(value) * to / from));
}

} // namespace

void CVideoPlacement::Move(int32_t x, int32_t y)
{
    m_x = x;
    m_y = y;
}

void CVideoPlacement::Size(int32_t width, int32_t height)
{
    m_width = width;
    m_height = height;
    m_bMinimized = false;
}

VideoWindowState CVideoPlacement::State(int32_t desktopWidth, int32_t desktopHeight, int32_t windowWidth,
                                        int32_t windowHeight) const
{
    VideoWindowState s;
    if (!m_bOpen || !m_bHasPicture)
        return s;
    if (m_bFullScreen) {
        s.visible = true;
        s.fullScreen = true;
        return s;
    }
    if (m_bMinimized || m_width <= 0 || m_height <= 0 || m_x <= kOffScreen || m_y <= kOffScreen)
        return s;
    s.visible = true;
    s.x = Scaled(m_x, desktopWidth, windowWidth);
    s.y = Scaled(m_y, desktopHeight, windowHeight);
    s.width = Scaled(m_width, desktopWidth, windowWidth);
    s.height = Scaled(m_height, desktopHeight, windowHeight);
    if (s.width <= 0 || s.height <= 0)
        s.visible = false;
    return s;
}
