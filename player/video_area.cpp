#include "video_area.h"

#include "player_msg.h"
#include "trace.h"

namespace {

std::wstring Line(const wchar_t *format, int32_t a, int32_t b)
{
    wchar_t buffer[kTraceBufferUnits];
    FormatText(buffer, format, a, b);
    return buffer;
}

} // namespace

std::vector<AreaCommand> CVideoAreaTracker::Check(const AreaRect &now, bool iconic, int32_t virtualLeft)
{
    std::vector<AreaCommand> out;
    const bool minimised = iconic || now.left < virtualLeft;
    if (now == m_last && minimised == m_bMinimised)
        return out;
    if (minimised) {
        out.push_back({PLAYER_CMD_MINIMIZE, 0, 0, 0, 0, L"Minimize\r\n"});
    } else {
        const int32_t width = now.right - now.left;
        const int32_t height = now.bottom - now.top;
        if (m_bMinimised) {
            if (now.left != m_lastShown.left || now.top != m_lastShown.top)
                out.push_back({PLAYER_CMD_MOVE, now.left, now.top, 0, 0, Line(L"Move %d, %d\r\n", now.left, now.top)});
            out.push_back({PLAYER_CMD_SIZE, 0, 0, width, height, Line(L"Restore %d, %d\r\n", width, height)});
        } else {
            if (now.left != m_last.left || now.top != m_last.top)
                out.push_back({PLAYER_CMD_MOVE, now.left, now.top, 0, 0, Line(L"Move %d, %d\r\n", now.left, now.top)});
            if (width != m_last.right - m_last.left || height != m_last.bottom - m_last.top)
                out.push_back({PLAYER_CMD_SIZE, 0, 0, width, height, Line(L"Size %d, %d\r\n", width, height)});
        }
    }
    m_last = now;
    if (!minimised)
        m_lastShown = now;
    m_bMinimised = minimised;
    return out;
}
