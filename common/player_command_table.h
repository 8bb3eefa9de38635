// The player's commands, one row each: the wire code and name, and for a
// tool-bar button its control id, the word devtools/playerctl presses it
// by, its tooltip and the name of its image (tools/make_toolbar.py draws
// it). Read by the wire definitions (player_msg.*), the player's resources
// and window, playerctl and the image script; so adding a command is one
// row here (and its drawing, for a button).
//
// PLAYER_COMMAND_TABLE(BUTTON, WINDOW_BUTTON, COMMAND, GAP) expands to the
// rows, each through the macro of its kind:
//   BUTTON(NAME, code, id, word, tooltip, image)
//       a command with a button that sends it as it is
//   WINDOW_BUTTON(NAME, sends, id, word, tooltip, image)
//       a button whose command the window composes (`sends` names it)
//   COMMAND(NAME, code)
//       a command the window sends without a button of its own
//   GAP()
//       a blank button between groups
// PLAYER_TABLE_SKIP takes any row and gives nothing. NAME is the wire name:
// PLAYER_CMD_NAME and ID_PLAYER_NAME in the code, "NAME" in logs and tests.
// Buttons stand left to right as on the tool bar. One macro rather than
// rows to include: the resource compiler loses the data of a resource
// when line markers of an include stand inside it. A row is one line: the
// image script reads them as text.
#ifndef PLAYER_COMMAND_TABLE_H
#define PLAYER_COMMAND_TABLE_H

#define PLAYER_TABLE_SKIP(...)

#define PLAYER_COMMAND_TABLE(BUTTON, WINDOW_BUTTON, COMMAND, GAP) \
    BUTTON(PLAY, 0x00210000, 887, "play", "Play", play) \
    BUTTON(PAUSE, 0x00230000, 888, "pause", "Pause", pause) \
    BUTTON(STOP, 0x00220000, 890, "stop", "Stop", stop) \
    GAP() \
    BUTTON(SKIP_BACK, 0x00300000, 920, "skip-back", "Skip back", skip_back) \
    BUTTON(REWIND, 0x00250000, 894, "rewind", "Rewind", rewind) \
    BUTTON(FAST_FORWARD, 0x00260000, 895, "fast-forward", "Fast forward", fast_forward) \
    BUTTON(SKIP_FORWARD, 0x002F0000, 921, "skip-forward", "Skip forward", skip_forward) \
    GAP() \
    BUTTON(STEP, 0x00240000, 891, "step", "Step", step) \
    GAP() \
    BUTTON(FULL_SCREEN, 0x002A0000, 944, "full", "Full screen", full_screen) \
    WINDOW_BUTTON(SOUND_ON, VOLUME, 909, "sound-on", "Sound on", sound_on) \
    WINDOW_BUTTON(MUTE, MUTE, 910, "mute", "Mute", mute) \
    BUTTON(AUDIO_OFF, 0x00290000, 911, "audio-off", "Audio off", audio_off) \
    BUTTON(KILL_PLAYER, 0x002B0000, 32778, "kill", "Kill remote video player", kill) \
    COMMAND(MOVE, 0x00030000) \
    COMMAND(SIZE, 0x00050000) \
    COMMAND(MINIMIZE, 0x00050001) \
    COMMAND(CLOSE, 0x00100000) \
    COMMAND(VOLUME, 0x00270000) \
    COMMAND(MUTE, 0x00280000) \
    COMMAND(SEEK, 0x002C0000) \
    COMMAND(ACTIVATE, 0x002D0000)

#endif
