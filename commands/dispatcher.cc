// The command dispatcher: every whole frame the link thread cuts from the Manager PC's
// byte stream is checked (checksum, station ID), decoded (command code, data length) and
// handed to the one handler its code selects, on the link thread. Handlers get the data
// at offset 30 of the received frame and the data length written in its header. They read
// from the session's zeroed copy of the frame, which holds the header and the data that
// arrived and nothing of the checksum or the trailer: data bytes that never arrived read
// as zeros, and a length above what the copy can hold is cut to it. A reply to a file
// packet that carries no data byte has no status and is not handed on.
#include <cstdio>
#include <cstring>
#include <string>

#include "app/resource.h"
#include "app/velmora_dlg.h"
#include "commands/center_session.h"
#include "housekeeping/system_log.h"

namespace {

// Letter case does not count; each text ends at its first NUL.
bool SameIdIgnoringCase(const char* a, const char* b) {
    for (;; ++a, ++b) {
        char ca = *a;
        char cb = *b;
        if (ca >= 'a' && ca <= 'z') ca = static_cast<char>(ca - 'a' + 'A');
        if (cb >= 'a' && cb <= 'z') cb = static_cast<char>(cb - 'a' + 'A');
        if (ca != cb) return false;
        if (ca == '\0') return true;
    }
}

}  // namespace

void CVelmoraDlg::ShowFrameCode(int nBox, int nCode, int nValue) {
    char szText[32] = {};
    std::snprintf(szText, sizeof szText, "%02d-%d", nCode, nValue);
    SetItemText(nBox == 1 ? IDC_RECV_BOX : IDC_SEND_BOX, szText);
}

bool CVelmoraDlg::ValidateFrame(const uint8_t* pFrame, int nLength, int nConn) {
    if (pFrame == nullptr || nLength < kFrameOverhead || nLength > kFrameBufSize) return false;
    if (m_pSession == nullptr || !m_pSession->m_pRecvFrame || m_pConn == nullptr) return false;
    if (nConn < 0 || nConn >= kMaxLinks) return false;

    uint32_t nComputed = 0;
    uint32_t nStored = 0;
    CheckFrameCrc(pFrame, nLength, &nComputed, &nStored);
    if (nComputed != nStored) {
        int nErrors = m_nCrcErrors.load() + 1;
        if (nErrors > 9999) nErrors = 0;
        m_nCrcErrors = nErrors;
        m_stats.Add(kStatCrcErrors);
        SetItemText(IDC_CRC_ERRORS, std::to_string(nErrors));
        return false;
    }

    // Header and data only: the checksum and the trailer are never read as data.
    uint8_t* pRecv = m_pSession->m_pRecvFrame.get();
    const int nKeep = nLength - kFrameOverhead + kFrameHeader;
    std::memcpy(pRecv, pFrame, static_cast<size_t>(nKeep));
    std::memset(pRecv + nKeep, 0, static_cast<size_t>(kFrameBufSize - nKeep));
    m_pSession->m_nRecvDataBytes = nLength - kFrameOverhead;

    char szFrameId[6] = {};
    std::memcpy(szFrameId, pRecv + 24, 5);
    char szOwnId[sizeof m_pConn[nConn].m_szLocalId + 1] = {};
    std::memcpy(szOwnId, m_pConn[nConn].m_szLocalId, sizeof m_pConn[nConn].m_szLocalId);
    if (SameIdIgnoringCase(szFrameId, szOwnId)) return true;
    m_stats.Add(kStatForeignId);
    return false;
}

void CVelmoraDlg::TcpMessageRecvFromCenter(const uint8_t* pFrame, int nLength, int nConn) {
    if (!ValidateFrame(pFrame, nLength, nConn)) return;

    CCenterSession* pSession = m_pSession;
    const uint8_t* pRecv = pSession->m_pRecvFrame.get();
    // Two ASCII digits to a code, every step modulo 256 ("5:" gives 60, "9:" gives 100).
    const uint8_t b11 = static_cast<uint8_t>(pRecv[11] - 48);
    const uint8_t b12 = static_cast<uint8_t>(pRecv[12] - 48);
    const int nCode = static_cast<uint8_t>(static_cast<uint8_t>(10 * b11) + b12);
    const int nDataLength = FrameDecimal(pRecv + 13, 7);
    const uint8_t* pData = pRecv + kFrameHeader;
    const int8_t nFirst = static_cast<int8_t>(pData[0]);
    // What handlers may read: the header's data length, within the frame copy.
    int nPass = nDataLength;
    if (nPass > kFrameBufSize - kFrameHeader) nPass = kFrameBufSize - kFrameHeader;
    if (nPass < 0) nPass = 0;
    // A reply to a file packet is judged by its first data byte, which must have arrived.
    const bool bHasStatus = pSession->m_nRecvDataBytes > 0;

    DebugF("TcpMessageRecvFromCenter %d %d %d", nCode, nDataLength, static_cast<int>(nFirst));

    switch (nCode) {
        case OP_VOL_FILE:
            if (bHasStatus) pSession->OnVolReply(pRecv, 0);
            break;
        case OP_ROAD_IMAGE:
        case OP_CAR_IMAGE:
        case OP_TRACKING_IMAGE:
            // A trigger carries one digit; a reply carries a raw status byte below '0'.
            if (nDataLength == 1 && nFirst >= 48) {
                pSession->OnCameraCommand(nCode, pData, nPass, nConn);
            } else if (bHasStatus) {
                pSession->OnImageReply(nCode, nConn, pRecv);
            }
            break;
        case OP_LOCAL_STATUS:
        case OP_LANE:
        case OP_PANTILT:
        case OP_LENS:
        case OP_LOOP_DELAY:
        case OP_MODE:
        case OP_SPEED_FILTER:
        case OP_RTU_RESET:
            pSession->OnCameraCommand(nCode, pData, nPass, nConn);
            break;
        case OP_TRAFFIC_INFO:
            pSession->SendTrafficReport(nConn);
            break;
        case OP_TIME:
            pSession->OnTimeSet(pData, nPass, nConn);
            break;
        case OP_SUPERVISOR_CMD:
            pSession->OnSupervisorRequest(nCode, pData, nPass);
            break;
        case OP_STATUS:
            pSession->SendShortStatus(nConn);
            break;
        case OP_SPEED_SET:
            pSession->OnSpeedSet(pData, nPass);
            break;
        case OP_RUN_LOG:
            if (nDataLength == 1 && pData[0] == 'L') {
                pSession->SendRunningLog(0);
            } else if (bHasStatus) {
                pSession->OnLogReply(nCode, nConn, pRecv);
            }
            break;
        case OP_SEND_SWITCH: {
            const int nValue = static_cast<int>(nFirst) - 48;  // '0' stops, '1' sends
            m_bSendEnable = nValue;
            WriteSystemLogF("MGR_PC: 위반 화일 전송 / 중지 = %d", nValue);
            break;
        }
        case OP_SEND_TARGET:
            pSession->OnSendTargetChange(pData, nPass);
            m_bSendEnable = 1;
            break;
        case OP_VIRTUAL_SIGNAL:
        case OP_SIGNAL_DELAY:
            pSession->OnSignalTest(nCode, pData, nPass, nConn);
            break;
        case OP_N_PASS:
            pSession->OnNPassSet(pData, nPass);
            break;
        case OP_BRIGHT:
            pSession->OnBrightSet(pData, nPass);
            break;
        case OP_CDMA_HANGUP:
            if (m_nCenterCommKind != 0) StopCdmaLink();
            break;
        case OP_PROGRAM_UPDATE:
            pSession->OnProgramUpdate();
            m_bUpdateRunning = 1;
            break;
        default:  // 66, 70, 77 and every other value: bookkeeping only
            break;
    }

    ShowFrameCode(1, nCode, nDataLength);
    ++m_nRecvFrames;
    ++m_nFramesIn;
}
