// The Manager PC's device commands: camera triggers, lane, pan-tilt, lens, loop delay,
// mode, speed and speed-filter settings, the virtual signal-violation test, the signal
// delay, N_PASS and brightness. The station does not act on them itself: each handler
// decodes a few ASCII characters of the frame's data into a code and a 32-bit value and
// passes them with WM_USER+14 to the main operation program and, for camera commands, to
// the camera-control program, then leaves a short notice in control 1008. They run on the
// link thread; their pauses and synchronous window messages hold the link meanwhile.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "app/resource.h"
#include "app/siblings.h"
#include "app/velmora_dlg.h"
#include "commands/center_session.h"
#include "housekeeping/system_log.h"
#include "platform/platform.h"

namespace {

constexpr int kCommandBufSize = 16;         // command data taken into a zeroed buffer
constexpr uint32_t kRefreshPauseMs = 1000;  // pause before the local status refresh
constexpr uint32_t kSpeedPairPauseMs = 20;  // pause between the two speed pairs
constexpr int kNoticeSize = 64;             // notice texts of control 1008

// The command data: at most 16 bytes of it in a zeroed buffer, so that data shorter than a
// command's layout reads as zeros there. Never reads past nLength.
struct CommandData {
    uint8_t bytes[kCommandBufSize + 1] = {};  // the data, NUL-terminated

    CommandData(const uint8_t* pData, int nLength) {
        if (pData == nullptr || nLength <= 0) return;
        size_t nTake = static_cast<size_t>(nLength);
        if (nTake > kCommandBufSize) nTake = kCommandBufSize;
        std::memcpy(bytes, pData, nTake);
    }
    // The character at i as the station's (signed) char.
    int Char(int i) const { return static_cast<int8_t>(bytes[i]); }
    // One character minus '0'.
    int Digit(int i) const { return Char(i) - '0'; }
    // 10 x first + second - 528 on the character codes: the number when both are digits.
    int TwoDigit(int i) const { return 10 * Char(i) + Char(i + 1) - 528; }
    // atoi of nCount characters copied into a zeroed buffer (a non-digit ends the number).
    // At most four characters, so the number cannot overflow.
    int Number(int i, int nCount) const {
        char szField[8] = {};
        std::memcpy(szField, bytes + i, static_cast<size_t>(nCount));
        return std::atoi(szField);
    }
};

// WM_USER+14 (code, value) to the sibling with this title, looked up now. A missing
// window loses the message.
void SendDeviceCode(const char* szTitle, int nCode, int32_t nValue) {
    sib::SendToSibling(szTitle, sib::WM_DEVICE, static_cast<uintptr_t>(nCode),
                       static_cast<intptr_t>(nValue));
}

// After a setting was passed on: let the siblings settle, then ask the main operation
// program to refresh its local status.
void RefreshLocalStatus() {
    vplat::env()->SleepMs(kRefreshPauseMs);
    SendDeviceCode(sib::kHarwent, sib::kCodeLocalStatus, 1);
}

// The notice in control 1008 and its debug line.
void ShowNotice(CVelmoraDlg* pDlg, const char* szText) {
    pDlg->SetItemText(IDC_NOTICE, szText);
    DebugF("CENTER = %s", szText);
}

// The camera chosen by the first data character; 0 on a station without enforcement
// cameras configured.
int CameraSelect(const CVelmoraDlg* pDlg, const CommandData& data) {
    return pDlg->m_nEnfCameraCnt != 0 ? data.Digit(0) : 0;
}

// The target lane shown in the notices. Only cameras 0 and 1 have a configured target
// lane (TARGET_LANE_1/2); for any other selection, including a negative one from a
// non-digit, the notice shows lane 0, which no station configures, so the operator sees
// that the selection named no lane.
int TargetLane(const CVelmoraDlg* pDlg, int nCamera) {
    return (nCamera == 0 || nCamera == 1) ? pDlg->m_nTargetLane[nCamera] : 0;
}

// Sends the camera selection (code 134) to the main operation program; returns it.
int SendCameraSelect(const CVelmoraDlg* pDlg, const CommandData& data) {
    int nCamera = CameraSelect(pDlg, data);
    SendDeviceCode(sib::kHarwent, sib::kCodeCameraSelect, nCamera);
    return nCamera;
}

// Code of a pan-tilt selector character '1'-'5'; 0 for an unlisted one.
int PanTiltCode(int nSelector) {
    static const int kCodes[5] = {153, 154, 151, 152, 155};
    return (nSelector >= '1' && nSelector <= '5') ? kCodes[nSelector - '1'] : 0;
}

// Code of a lens digit 1-7; 0 for an unlisted one.
int LensCode(int nDigit) {
    static const int kCodes[7] = {156, 157, 158, 159, 161, 162, 160};
    return (nDigit >= 1 && nDigit <= 7) ? kCodes[nDigit - 1] : 0;
}

}  // namespace

void CCenterSession::OnCameraCommand(int nOpcode, const uint8_t* pData, int nLength,
                                     int /*nConn*/) {
    CVelmoraDlg* pDlg = m_pDlg;
    if (pDlg == nullptr) return;
    CommandData data(pData, nLength);
    int nLane = TargetLane(pDlg, SendCameraSelect(pDlg, data));

    int nCode = 0;          // device code; 0 = nothing more to do
    int32_t nValue = 0;     // its value
    bool bRefresh = false;  // ask for a local status refresh afterwards
    char szText[kNoticeSize] = {};
    switch (nOpcode) {
        case OP_ROAD_IMAGE:
            nCode = sib::kCodeSoftTrigger;
            std::snprintf(szText, sizeof szText, "Soft_Trigger");
            break;
        case OP_CAR_IMAGE:
            nCode = sib::kCodeOneTrigger;
            std::snprintf(szText, sizeof szText, "One_Trigger");
            break;
        case OP_TRACKING_IMAGE:
            nCode = sib::kCodeTrackingImage;
            std::snprintf(szText, sizeof szText, "Tracking_Image");
            break;
        case OP_LOCAL_STATUS:
            nCode = sib::kCodeLocalStatus;
            nValue = 1;
            std::snprintf(szText, sizeof szText, "Local_Status");
            break;
        case OP_LANE:
            nCode = sib::kCodeLane;
            nValue = data.Digit(1);
            bRefresh = true;
            std::snprintf(szText, sizeof szText, "LANE: %d", nValue);
            break;
        case OP_PANTILT: {
            int nSelector = data.Char(3);
            nCode = PanTiltCode(nSelector);
            nValue = data.TwoDigit(1);
            bRefresh = nSelector == '5';
            std::snprintf(szText, sizeof szText, "PANTILT: %d_%c[%d]", nLane,
                          static_cast<char>(nSelector), nValue);
            break;
        }
        case OP_LENS: {
            int nDigit = data.Digit(1);
            nCode = LensCode(nDigit);
            bRefresh = nDigit == 7;
            std::snprintf(szText, sizeof szText, "LENS: %d_%d", nLane, nDigit);
            break;
        }
        case OP_LOOP_DELAY:
            nCode = sib::kCodeLoopDelay;
            nValue = data.TwoDigit(1);
            bRefresh = true;
            std::snprintf(szText, sizeof szText, "L_DLY: %d [%d]", nLane, nValue);
            break;
        case OP_MODE:
            nCode = sib::kCodeMode;
            nValue = data.Digit(1);
            bRefresh = true;
            std::snprintf(szText, sizeof szText, "MODE: %d [%d]", nLane, nValue);
            break;
        case OP_OPER:
            // Not routed by the dispatcher today; kept so that routing 66 needs no change
            // here. The digit also becomes the station's operation mode.
            nCode = sib::kCodeOper;
            nValue = data.Digit(1);
            bRefresh = true;
            pDlg->m_nOperationMode = nValue;
            std::snprintf(szText, sizeof szText, "OPER: [%d]", nValue);
            break;
        case OP_SPEED_FILTER: {
            // The first character is both the camera selection and t1's first digit.
            int nT1 = data.Number(0, 3);
            int nT2 = data.Number(3, 3);
            nCode = sib::kCodeSpeedFilter;
            nValue = sib::MakePair(nT2, nT1);
            bRefresh = true;
            std::snprintf(szText, sizeof szText, "SPD_FLT: T:%d/ C:%d", nT1, nT2);
            break;
        }
        case OP_RTU_RESET:
            nCode = sib::kCodeRtuReset;
            std::snprintf(szText, sizeof szText, "RTU_RESET~~~");
            break;
        default:
            break;
    }
    if (nCode == 0) return;

    {
        // A camera command ends any transfer under way; the lock only keeps the change
        // out of a transfer step being built, and is released before the siblings hear.
        std::lock_guard<std::recursive_mutex> lock(m_csSession);
        m_nSendKind = SEND_NONE;
    }
    SendDeviceCode(sib::kHarwent, nCode, nValue);
    SendDeviceCode(sib::kZentoral, nCode, nValue);
    if (bRefresh) RefreshLocalStatus();
    ShowNotice(pDlg, szText);
}

void CCenterSession::OnSpeedSet(const uint8_t* pData, int nLength) {
    CVelmoraDlg* pDlg = m_pDlg;
    if (pDlg == nullptr) return;
    CommandData data(pData, nLength);
    int nLane = TargetLane(pDlg, SendCameraSelect(pDlg, data));

    int nW1 = data.Number(1, 3);
    int nW2 = data.Number(4, 3);
    int nW3 = data.Number(7, 3);
    int nW4 = data.Number(10, 3);
    if (nW2 < 20 || nW2 > 240) return;

    // The speed pairs go to the camera-control program only.
    SendDeviceCode(sib::kZentoral, sib::kCodeSpeedPair1, sib::MakePair(nW2, nW1));
    vplat::env()->SleepMs(kSpeedPairPauseMs);
    if (pDlg->m_nProgramKind == 2) {
        SendDeviceCode(sib::kZentoral, sib::kCodeSpeedPair2, sib::MakePair(nW4, nW3));
    }
    char szText[kNoticeSize] = {};
    std::snprintf(szText, sizeof szText, "SPD:%d_%d/%d_%d/%d", nLane, nW1, nW2, nW3, nW4);
    ShowNotice(pDlg, szText);
    RefreshLocalStatus();
}

void CCenterSession::OnSignalTest(int nOpcode, const uint8_t* pData, int nLength, int /*nConn*/) {
    CVelmoraDlg* pDlg = m_pDlg;
    if (pDlg == nullptr) return;
    // Signal tests belong to signal stations; a speed station ignores them entirely.
    if (pDlg->m_nProgramKind == 2) return;
    CommandData data(pData, nLength);
    SendCameraSelect(pDlg, data);

    int nCode = 0;
    int32_t nValue = 0;
    char szDebug[kNoticeSize] = {};
    if (nOpcode == OP_VIRTUAL_SIGNAL) {
        static const char kVirtualSignal[] = "가상 신호위반 검증";
        nCode = sib::kCodeVirtualSignal;
        pDlg->SetItemText(IDC_NOTICE, kVirtualSignal);
        std::snprintf(szDebug, sizeof szDebug, "CENTER = %s", kVirtualSignal);
    } else if (nOpcode == OP_SIGNAL_DELAY) {
        // The notice keeps its text; only the debug line tells.
        nCode = sib::kCodeSignalDelay;
        nValue = data.Number(1, 4);
        std::snprintf(szDebug, sizeof szDebug, "CENTER = SIGNAL_DELAY_TIME [%d]", nValue);
    } else {
        return;
    }
    DebugF("%s", szDebug);
    SendDeviceCode(sib::kZentoral, nCode, nValue);
    SendDeviceCode(sib::kHarwent, nCode, nValue);
    RefreshLocalStatus();
}

void CCenterSession::OnNPassSet(const uint8_t* pData, int nLength) {
    CVelmoraDlg* pDlg = m_pDlg;
    if (pDlg == nullptr) return;
    CommandData data(pData, nLength);
    if (data.Digit(0) != 1) return;
    int nA = data.TwoDigit(1);
    if (nA > 24) return;
    int nB = data.TwoDigit(3);
    SendDeviceCode(sib::kHarwent, sib::kCodeNPass, sib::MakePair(nB, nA));
    char szText[kNoticeSize] = {};
    std::snprintf(szText, sizeof szText, "N_PASS : %d/%d", nA, nB);
    ShowNotice(pDlg, szText);
    RefreshLocalStatus();
}

void CCenterSession::OnBrightSet(const uint8_t* pData, int nLength) {
    CVelmoraDlg* pDlg = m_pDlg;
    if (pDlg == nullptr) return;
    CommandData data(pData, nLength);
    int nA = 0;
    int nB = 0;
    if (data.Digit(0) == 1) {
        nA = data.Number(1, 3);
        nB = data.Number(4, 3);
    }
    // Passed on even when switched off (0/0); no camera selection, nothing to Zentoral.
    SendDeviceCode(sib::kHarwent, sib::kCodeBright, sib::MakePair(nB, nA));
    char szText[kNoticeSize] = {};
    std::snprintf(szText, sizeof szText, "BRIGHT : %d/%d", nA, nB);
    ShowNotice(pDlg, szText);
    RefreshLocalStatus();
}
