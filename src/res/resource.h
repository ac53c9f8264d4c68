#pragma once
// Resource ids of dialogs, controls and the icon, in one place.
#define IDD_ABOUTBOX            100
#define IDD_MAINDLG             129
#define IDD_PROGRESSDLG         203
#define IDI_MIRQ                204

#define IDC_DEVICE_INFO         1001
#define IDC_REFRESH             1002
#define IDC_FLASH               1004
#define IDC_MODEL_LABEL         1005
#define IDC_PROGRESS_BAR        1007
#define IDC_PROGRESS_TEXT       1008
#define IDC_FLASH_FRAME         1009
#define IDC_PATH_LABEL          1012
#define IDC_ROM_PATH            1013
#define IDC_BROWSE              1014
#define IDC_DOWNLOAD            1016
#define IDC_ROOT_WARNING        1017
#define IDC_ABOUT               1018
#define IDC_WIPE_DATA           1021
#define IDC_KEEP_DATA           1022
#define IDC_CATALOGUE_STATE     1023
