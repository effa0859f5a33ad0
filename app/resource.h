// Resource and control ids of the main dialog (template 102) and its about box.
#pragma once

constexpr int IDD_ABOUTBOX = 100;
constexpr int IDS_ABOUTBOX = 101;
constexpr int IDD_VELMORA_DIALOG = 102;
constexpr int IDR_MAINFRAME = 128;
constexpr int IDI_LINK_UP = 129;
constexpr int IDI_LINK_DOWN = 130;
constexpr int IDM_ABOUTBOX = 0x0010;

constexpr int IDC_DISCONNECTS = 1000;  // "cnt": link breaks of link 0
constexpr int IDC_MANAGER_IP = 1001;   // "ip"
constexpr int IDC_MANAGER_PORT = 1002; // "port"
constexpr int IDC_LOCAL_ID = 1003;     // "ID"
constexpr int IDC_SEND_BOX = 1004;     // last sent frame "%02d-%d"
constexpr int IDC_RECV_BOX = 1005;     // last received frame "%02d-%d"
constexpr int IDC_FILE_NAME = 1006;    // "file name"
constexpr int IDC_VOL_SENT = 1007;     // "0": violation files sent
constexpr int IDC_NOTICE = 1008;       // "data": last notice
constexpr int IDC_LINK_ICON = 1009;    // icon 129 / 130
constexpr int IDC_LINE_KIND = 1010;    // "cdma"
constexpr int IDC_VOL_TOTAL = 1011;    // "0": "[%d]"
constexpr int IDC_SEND_STATE = 1012;   // destination and send state
constexpr int IDC_BTN_CDMA = 1013;     // "CDMA"
constexpr int IDC_BTN_SEND = 1014;     // "센터 전송"
constexpr int IDC_LOCAL_NAME = 1015;   // "Local Name"
constexpr int IDC_CRC_ERRORS = 1016;   // "cnt"
constexpr int IDC_RECV_EVENTS = 1017;  // "R"
constexpr int IDC_SENT_FRAMES = 1018;  // "S"
// Not a control of the dialog template: the backlog line of the terminal view and of
// velmoractl show, "backlog N" and the oldest file's age ("backlog 3, oldest 12 min").
constexpr int IDC_BACKLOG = 1100;
