// Resource identifiers of PyxUserInterface (shared by the .rc, the program
// and the tests).
#pragma once

#define IDI_PLAYER              128
#define IDD_MAINDLG             129

// Menu, tool-bar layout and tool-bar images share one number, as each is a
// resource of its own type.
#define IDR_MAINFRAME_MENU      201
#define IDR_TOOLBAR             201
#define IDB_TOOLBAR             201
// The same images at 24 and 32 pixels, for 150 % and 200 % scale.
#define IDB_TOOLBAR_24          202
#define IDB_TOOLBAR_32          203

// Resource type of a tool-bar layout: WORD version (1), image width, image
// height, button count, then one command id per button, left to right.
#define RT_TOOLBAR_LAYOUT       241

// Child window id of the tool bar created at run time.
#define ID_TOOLBAR_WINDOW       59392

// Controls of the main dialog.
#define IDC_FILE_NAME           1000
#define IDC_VIDEO_AREA          1007
#define IDC_VIDEO_CHECK         1010
#define IDC_VOLUME_LABEL        1012
#define IDC_VOLUME              1013
#define IDC_POSITION            1015
#define IDC_STATUS              1016

// Menu commands.
#define ID_APP_EXIT             32773
#define ID_FILE_PLAY            57601

// Tool-bar buttons, from the player's command table; the string table
// holds each one's tooltip, generated from it too. A blank button carries
// a blank image.
#include "player_command_table.h"
#ifndef RC_INVOKED
#define ID_PLAYER_VALUE(NAME, code, id, ...) ID_PLAYER_##NAME = id,
enum : unsigned {
    PLAYER_COMMAND_TABLE(ID_PLAYER_VALUE, ID_PLAYER_VALUE, PLAYER_TABLE_SKIP, PLAYER_TABLE_SKIP)
};
#undef ID_PLAYER_VALUE
#endif
#define ID_PLAYER_BLANK         945

#ifndef IDC_STATIC
#define IDC_STATIC              (-1)
#endif
