#include "resume.h"

#include "player_msg.h"

std::vector<CCommand> BuildResumeCommands(const PlayerResumeState &state)
{
    std::vector<CCommand> commands;
    const bool hasFile = state.file && state.file[0];
    if (hasFile) {
        commands.push_back(CCommand::OpenFile(state.file));
        commands.push_back(CCommand::Player(PLAYER_CMD_SEEK, state.sliderPercent));
    }
    commands.push_back(state.muted ? CCommand::Player(PLAYER_CMD_MUTE) : CCommand::Player(PLAYER_CMD_VOLUME, state.volume));
    if (hasFile && state.paused)
        commands.push_back(CCommand::Player(PLAYER_CMD_PAUSE));
    for (const AreaCommand &c : state.area)
        commands.push_back(CCommand::Player(c.code, c.p1, c.p2, c.p3, c.p4));
    return commands;
}
