// Resource numbers of the station program as the resource compiler and the Win32 dialog
// code see them: the dialog templates, the icons, the string of the system menu's about
// entry, and the ids of the controls in the main dialog. Plain #defines, so that the
// resource script can read this file too; the numbers are the ones the core uses.
#pragma once

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_VELMORA_DIALOG 102
#define IDR_MAINFRAME 128
#define IDI_LINK_UP 129
#define IDI_LINK_DOWN 130
#define IDM_ABOUTBOX 0x0010

#define IDC_DISCONNECTS 1000
#define IDC_MANAGER_IP 1001
#define IDC_MANAGER_PORT 1002
#define IDC_LOCAL_ID 1003
#define IDC_SEND_BOX 1004
#define IDC_RECV_BOX 1005
#define IDC_FILE_NAME 1006
#define IDC_VOL_SENT 1007
#define IDC_NOTICE 1008
#define IDC_LINK_ICON 1009
#define IDC_LINE_KIND 1010
#define IDC_VOL_TOTAL 1011
#define IDC_SEND_STATE 1012
#define IDC_BTN_CDMA 1013
#define IDC_BTN_SEND 1014
#define IDC_LOCAL_NAME 1015
#define IDC_CRC_ERRORS 1016
#define IDC_RECV_EVENTS 1017
#define IDC_SENT_FRAMES 1018

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
