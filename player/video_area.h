// Follows the screen rectangle of the window's video area and says which
// commands tell the client player where to put its video: a move, a new
// size, a minimise (a minimised window lies far left of the screen), or,
// coming back from a minimise, a size alone. Portable.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct AreaRect
{
    int32_t left = 0, top = 0, right = 0, bottom = 0;
    bool operator==(const AreaRect &o) const
    {
        return left == o.left && top == o.top && right == o.right && bottom == o.bottom;
    }
};

struct AreaCommand
{
    uint32_t code;
    int32_t p1, p2, p3, p4;
    std::wstring log;   // the trace line that goes with it
};

class CVideoAreaTracker
{
public:
    // The rectangle now (screen pixels), whether the window is minimised
    // (iconic), and the left edge of the virtual screen (all monitors; 0 on
    // one monitor); the commands to queue, in order. A rectangle left of the
    // virtual screen counts as minimised too, as a minimised window lies at
    // -32000 on Windows; a monitor left of the main one has negative places
    // that are not. A restore sends its size, and a move too when the window
    // came back at another place. The first check compares with an all-zero
    // rectangle, so it reports the initial place and size.
    std::vector<AreaCommand> Check(const AreaRect &now, bool iconic = false, int32_t virtualLeft = 0);
    const AreaRect &Last() const { return m_last; }
    // Forgets what was reported: the next check reports place and size
    // again (a fresh client player knows neither).
    void Forget() { *this = CVideoAreaTracker(); }

private:
    AreaRect m_last;
    AreaRect m_lastShown;   // the last rectangle reported while not minimised
    bool m_bMinimised = false;
};
