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
    // The rectangle now (screen pixels) and whether the window is minimised
    // (iconic); the commands to queue, in order. A rectangle left of the
    // screen counts as minimised too, as a minimised window lies at
    // -32000 on Windows; where the platform keeps minimised windows on the
    // screen instead, `iconic` says so. The first check compares with an
    // all-zero rectangle, so it reports the initial place and size.
    std::vector<AreaCommand> Check(const AreaRect &now, bool iconic = false);
    const AreaRect &Last() const { return m_last; }

private:
    AreaRect m_last;
    bool m_bMinimised = false;
};
