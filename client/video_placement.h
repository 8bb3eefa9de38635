// Where the video window goes, decided from what the player program says
// (MOVE, SIZE, MINIMIZE, ACTIVATE, full screen) and what the media player
// knows (a file open, with or without a picture). The server gives the
// video area in its desktop's pixels; a client that scales the desktop into
// a window of another size scales the rectangle with it.
#pragma once

#include <cstdint>

struct VideoWindowState
{
    bool visible = false;
    bool fullScreen = false;   // covers the client's whole screen
    int32_t x = 0, y = 0, width = 0, height = 0;   // in the client window's pixels

    bool operator==(const VideoWindowState &o) const
    {
        return visible == o.visible && fullScreen == o.fullScreen && x == o.x && y == o.y && width == o.width &&
               height == o.height;
    }
    bool operator!=(const VideoWindowState &o) const { return !(*this == o); }
};

class CVideoPlacement
{
public:
    void Move(int32_t x, int32_t y);
    // SIZE: the size, and the end of a minimise (the window sends it on restore).
    void Size(int32_t width, int32_t height);
    void Minimize() { m_bMinimized = true; }
    void FullScreen(bool on) { m_bFullScreen = on; }
    // A file is being played (or none); hasPicture false once it is known to have no video.
    void Media(bool open, bool hasPicture)
    {
        m_bOpen = open;
        m_bHasPicture = hasPicture;
    }

    // The window for a desktop of desktopWidth x desktopHeight shown in a
    // client window of windowWidth x windowHeight (equal sizes: no scaling).
    VideoWindowState State(int32_t desktopWidth, int32_t desktopHeight, int32_t windowWidth, int32_t windowHeight) const;

private:
    int32_t m_x = 0, m_y = 0, m_width = 0, m_height = 0;
    bool m_bMinimized = false;
    bool m_bFullScreen = false;
    bool m_bOpen = false;
    bool m_bHasPicture = true;
};
