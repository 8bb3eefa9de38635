// Resource identifiers of PyxVideoServer (shared by the .rc and the code).
#pragma once

#define IDD_ABOUTBOX        100
#define IDD_MAINDLG         129
#define IDS_USER_AGENT      129
#define IDI_PYXSERVER          203
#define IDR_TRAYMENU        4

#define IDC_STARTUP         1000
#define IDC_EXT_AVI         1001
#define IDC_EXT_MPG         1002
#define IDC_EXT_DIVX        1003
#define IDC_EXT_WMV         1004
#define IDC_EXT_WAV         1005
#define IDC_EXT_MP3         1006
#define IDC_ASX_PROCESSING      1007
#define IDC_EXT_ASF         1008
#define IDC_EXT_ASX         1009
#define IDC_ASX_LABEL       1010
#define IDC_SETTINGS_GROUP  1011
#define IDC_EXT_LABEL       1012

#define IDC_STOP_SERVER     3
#define IDC_KILL_CLIENTS    4
#define ID_APP_ABOUT        57664
#define ID_TRAY_SETTINGS    32774
#define ID_TRAY_EXIT        32775

#ifndef IDC_STATIC
#define IDC_STATIC          (-1)
#endif
