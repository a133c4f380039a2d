#pragma once
// The numbers of the window's resources, shared by the resource script and the code.

#define IDS_APP_TITLE 103
#define IDC_FWUPDATER3 109
#define IDI_FWUPDATER3 107
#define IDI_SMALL 108
#define IDD_RECOVERY 141
#define IDB_BACKGROUND 200

#define IDM_ABOUT 104
#define IDM_EXIT 105
#define IDM_FACTORY_RESET 32771
#define IDM_SHOW_LOG 32772
#define IDM_FORCE_UPDATE 32778
#define IDM_ERASE_KEYS 32779
#define IDM_LANGUAGE_PACKS 32780
#define IDM_LOAD_JAPAN 32781
#define IDM_LOAD_STANDARD 32782

#define IDC_RECOVERY_TITLE -1
