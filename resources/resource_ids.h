// Resource numbers and control and command identifiers of the program's resources. Read by
// the resource compiler as well as by the code, so plain #defines only.
#pragma once

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

// Dialogs, menu, icon.
#define IDD_SETTINGS 101
#define IDI_TEMBROOK 103
#define IDM_TRAY 104
#define IDD_DROP_BAR 107
#define IDD_DRIVE_OPTIONS 108

// Tray menu commands (submenu 0 of IDM_TRAY).
#define IDM_SETTINGS 40001
#define IDM_EXIT 40002
#define IDM_HELP 40003
#define IDM_VERSION 40005

// Settings dialog (IDD_SETTINGS).
#define IDC_SETTINGS_DRIVE_LIST 1001
#define IDC_SETTINGS_CREATE 1003
#define IDC_SETTINGS_REMOVE 1004
#define IDC_SETTINGS_DRIVE_OPTIONS 1005
#define IDC_SETTINGS_CANCEL 1006
#define IDC_SETTINGS_OK 1007
#define IDC_SETTINGS_FOLDER 1008
#define IDC_SETTINGS_BROWSE 1009
#define IDC_SETTINGS_FORMAT_LIST 1058

// Drive options dialog (IDD_DRIVE_OPTIONS).
#define IDC_OPTIONS_NO_REFLECT 1010
#define IDC_OPTIONS_REFLECT 1011
#define IDC_OPTIONS_TIMED_UPDATE 1012
#define IDC_OPTIONS_UPDATE_ON_CHANGE 1013
#define IDC_OPTIONS_INTERVAL_SPIN 1015
#define IDC_OPTIONS_INTERVAL_TEXT 1018
#define IDC_OPTIONS_OK 1019
#define IDC_OPTIONS_CANCEL 1020
#define IDC_OPTIONS_GROUP 1021
#define IDC_OPTIONS_ARCHIVE_PATH 1022
#define IDC_OPTIONS_KEEP_FOLDER 1023
#define IDC_OPTIONS_DELETE_BEFORE_REPACK 1024
