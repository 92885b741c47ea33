// Resource and command identifiers of Vantrel.exe.
#pragma once

#define IDM_TRAY          101
#define IDM_WINDOW        102
#define IDR_ACCEL         103
#define IDD_ABOUT         104
#define IDI_VANTREL       105
#define IDD_CONFIGURE     106
#define IDI_ANSWERING     107
#define IDI_SILENT        108

#define IDC_HOST          1000
#define IDC_PERIOD        1001
#define IDC_ABOUT_TEXT    1002

#define IDS_REFRESH_HELP  2501

#define IDM_ABOUT         40001
#define IDM_EXIT          40002
#define IDM_CONFIGURE     40003
#define IDM_REFRESH       40004
#define IDM_SHOW          40005
