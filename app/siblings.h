// Titles, window messages and codes shared with the station's sibling programs. Sibling
// windows are looked up by exact title at every use, never cached; a missing window
// loses the message and the caller goes on.
#pragma once

#include <cstdint>
#include <cstddef>

namespace sib {

// Window titles.
constexpr const char* kHarwent = "Harwent Console v1.0";  // main operation program
constexpr const char* kZentoral = "Zentoral";             // camera-control program
constexpr const char* kMorwick = "Morwick";               // supervisor program
constexpr const char* kQuillamor = "Quillamor";           // program-update receiver
constexpr const char* kBrisketon = "Brisketon";           // CDMA dialer
constexpr const char* kValdrift = "Valdrift";             // standard-server speed client
constexpr const char* kOstermay = "Ostermay";             // standard-server speed server
constexpr const char* kPlinquet = "Plinquet";             // standard-server signal client
constexpr const char* kVelmora = "Velmora";               // this program's own dialog

// Executables started from the program directory.
constexpr const char* kQuillamorExe = "Quillamor.exe";
constexpr const char* kBrisketonExe = "Brisketon.exe";

// Window messages.
constexpr uint32_t WM_DESTROY_ = 2;
constexpr uint32_t WM_DEVICE = 0x0400 + 14;     // 1038: device codes to Harwent / Zentoral
constexpr uint32_t WM_MGR_VIOLATION = 0x0400 + 15;  // 1039: from Harwent to Velmora
constexpr uint32_t WM_LINK_STATE = 0x0400 + 17; // 1041: heartbeat and link state to Harwent
constexpr uint32_t WM_SUPERVISOR = 0x0400 + 19; // 1043: to Morwick

// WM_DEVICE codes.
constexpr int kCodeSoftTrigger = 102;
constexpr int kCodeOneTrigger = 103;
constexpr int kCodeTrackingImage = 104;
constexpr int kCodeLocalStatus = 106;  // lParam 1: refresh local status
constexpr int kCodeTimeSet = 124;
constexpr int kCodeMode = 125;
constexpr int kCodeSpeedPair1 = 126;
constexpr int kCodeSpeedPair2 = 127;
constexpr int kCodeLane = 128;
constexpr int kCodeLoopDelay = 129;
constexpr int kCodeSpeedFilter = 130;
constexpr int kCodeOper = 133;
constexpr int kCodeCameraSelect = 134;
constexpr int kCodeVirtualSignal = 140;
constexpr int kCodeSignalDelay = 141;
constexpr int kCodeSendTarget = 142;
constexpr int kCodeNPass = 143;
constexpr int kCodeRtuReset = 146;
constexpr int kCodeBright = 208;

// WM_LINK_STATE codes.
constexpr int kCodeHeartbeat = 453;
constexpr int kCodeLinkHealth = 256;

// WM_SUPERVISOR codes.
constexpr int kCodeSupervisorOn = 165;
constexpr int kCodeSupervisorOff = 123;

// WM_MGR_VIOLATION codes (from the main operation program).
constexpr int kNoticeVolFile = 101;
constexpr int kNoticeRoadImage = 102;
constexpr int kNoticeCarImage = 103;
constexpr int kNoticeTrackingImage = 104;
constexpr int kNoticeTraffic = 105;
constexpr int kNoticeStatus = 106;
constexpr int kNoticeShortStatus = 107;
constexpr int kNoticeSendSwitch = 132;

// A pair lParam: high value in the upper 16 bits, low value in the lower 16.
inline int32_t MakePair(int32_t nHigh, int32_t nLow) {
    return static_cast<int32_t>((static_cast<uint32_t>(nHigh) << 16) |
                                (static_cast<uint32_t>(nLow) & 0xFFFFu));
}

}  // namespace sib

namespace sib {
// Looks the sibling up by title and sends it the message (synchronous, capped at 5 s).
// Returns the handler's result, 0 when the window is missing.
intptr_t SendToSibling(const char* szTitle, uint32_t nMsg, uintptr_t wParam, intptr_t lParam);
// Looks the sibling up by title and posts the message. False when the window is missing.
bool PostToSibling(const char* szTitle, uint32_t nMsg, uintptr_t wParam, intptr_t lParam);
}  // namespace sib
