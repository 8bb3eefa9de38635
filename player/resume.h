// What the player window tells a fresh client player after the session's
// reconnect, so that the play goes on where the user left it. Portable.
#pragma once

#include "command_queue.h"
#include "video_area.h"

#include <vector>

struct PlayerResumeState
{
    const WireChar *file = nullptr;   // the current file; null or empty: none
    int sliderPercent = 0;            // the position slider at the disconnect
    int volume = 100;                 // the volume slider
    bool muted = false;
    bool paused = false;
    std::vector<AreaCommand> area;    // the window's place and size, as the tracker reports them anew
};

// In this order: the file (RUOF), SEEK to the slider's percentage, VOLUME or
// MUTE, PAUSE when paused, then the area commands. Without a file only the
// volume and the area.
std::vector<CCommand> BuildResumeCommands(const PlayerResumeState &state);
