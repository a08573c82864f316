// resource.h — the control program's resource identifiers: strings, icon,
// menu and menu bar, dialogs and their controls.
#ifndef TAVRINEL_CLIENT_RESOURCE_H
#define TAVRINEL_CLIENT_RESOURCE_H

// ---- strings
#define IDS_APP 1    // "VorliskClient": window title and class name
#define IDS_EXIT 103 // "Exit"
#define IDS_MENU 104 // "Menu"

// ---- icon, menu, menu bar
#define IDI_APP 101
#define IDR_MENUBAR 138 // RT_MENU and the menu-bar RT_RCDATA

// ---- menu commands
#define IDM_MENU 40001
#define IDM_ABOUT 40002
#define IDM_EXIT 40003
#define IDM_TEST 32784

// ---- dialogs
#define IDD_ABOUT 105
#define IDD_TEST 135
#define IDD_SETTINGS 136

// ---- controls of the settings dialog
#define IDC_TMC 1011
#define IDC_COMPORT 1012
#define IDC_BAND 1013
#define IDC_DATA 1014
#define IDC_SOUND 1015
#define IDC_MUTE 1016
#define IDC_LOAD 1017
#define IDC_STATUS 1019

// ---- controls of the About dialog
#define IDC_ABOUT_ICON 201
#define IDC_ABOUT_VERSION 202
#define IDC_ABOUT_NOTICE 203

// ---- controls of the test console
#define IDC_SEEK_DOWN 1000
#define IDC_STEP_DOWN 1001
#define IDC_STEP_UP 1002
#define IDC_SEEK_UP 1003
#define IDC_FREQ 1005
#define IDC_SET 1006
#define IDC_MAN 1007
#define IDC_RECEIVE 1008
#define IDC_SEND 1009

#define IDC_STATIC (-1)

#endif // TAVRINEL_CLIENT_RESOURCE_H
