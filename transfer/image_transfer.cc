// The trigger images (road, car, tracking): SendImageFile sends the picture that a trigger
// command produced under the command's opcode, OnImageReply moves it forward on the
// Manager PC's acknowledgements. Also the busy rule's image limit.
#include <cstdio>
#include <mutex>

#include "app/velmora_dlg.h"
#include "commands/center_session.h"
#include "housekeeping/system_log.h"
#include "platform/platform.h"
#include "transfer/packetizer.h"

namespace {

constexpr int kImageBusyLimit = 5;  // attempts while busy before a stale transfer is ended
constexpr int kSendBox = 2;

int ImageOpcode(int nKind) {
    switch (nKind) {
        case SEND_ROAD_IMAGE:
            return OP_ROAD_IMAGE;
        case SEND_CAR_IMAGE:
            return OP_CAR_IMAGE;
        case SEND_TRACKING_IMAGE:
            return OP_TRACKING_IMAGE;
        default:
            return 0;
    }
}

int ImageKind(int nOpcode) {
    switch (nOpcode) {
        case OP_ROAD_IMAGE:
            return SEND_ROAD_IMAGE;
        case OP_CAR_IMAGE:
            return SEND_CAR_IMAGE;
        case OP_TRACKING_IMAGE:
            return SEND_TRACKING_IMAGE;
        default:
            return 0;
    }
}

void ReportImageTotal(CCenterSession*, int nTotal, int nSize) {
    DebugF("MGR_PC: Send Image Total Packet : %d/%d", nTotal, nSize);
}

void ReportImageSizeError(int nTotal, int nSize) {
    WriteSystemLogF("MGR_PC: Send Vehice Image Size ERROR : %d/%d", nTotal, nSize);
}

}  // namespace

void CCenterSession::SendImageFile(int nKind, int nConn) {
    std::lock_guard<std::recursive_mutex> lock(m_csSession);
    if (!LinkIsConnected(this, nConn)) return;
    if (sendRetryCenter > kImageBusyLimit) {
        sendRetryCenter = 0;
        m_nSendKind = SEND_NONE;
    }
    if (IsTransferKind(m_nSendKind)) {
        CountBusyAttempt();
        // Draining, files follow each other: the picture goes after the current one.
        if (DrainMode() && ImageOpcode(nKind) != 0) m_nPendingImage = nKind;
        return;
    }
    const int nOpcode = ImageOpcode(nKind);
    if (nOpcode == 0) return;
    char szPath[64] = {};
    char szName[64] = {};
    if (!getSendFileName(nKind, nConn, szPath, sizeof szPath, szName, sizeof szName)) return;

    FILE* fp = vplat::env()->OpenFile(szPath, "rb");
    if (fp == nullptr) return;
    DebugF("MGR_PC: Send Image File : %s", szName);
    // A longer picture is sent cut to its first kImageReadLimit bytes.
    const size_t nRead = std::fread(m_pFileBuf.get(), 1, kImageReadLimit, fp);
    std::fclose(fp);

    const FilePacketPlan plan = {nKind,
                                 nOpcode,
                                 &m_nImageTotalPacket,
                                 &m_nImagePacketInFlight,
                                 m_pImagePackets.get(),
                                 m_nMaxImagePackets,
                                 ReportImageTotal,
                                 ReportImageSizeError};
    SendFilePackets(this, plan, m_pFileBuf.get(), static_cast<int>(nRead), szName, nConn);
}

void CCenterSession::OnImageReply(int nOpcode, int nConn, const uint8_t* pFrame) {
    std::lock_guard<std::recursive_mutex> lock(m_csSession);
    const int nKind = ImageKind(nOpcode);
    if (nKind == 0 || pFrame == nullptr || !LinkIsConnected(this, nConn)) return;
    const int nTotal = m_nImageTotalPacket;
    if (nTotal < 2) return;
    const int k = ReplyPacketNumber(pFrame);
    if (k < 0 || k >= nTotal) return;
    // Judged only against the image in transfer: not while another kind is current, and
    // only for the packet that awaits its reply.
    const int nCurrent = m_nSendKind;
    if (nCurrent != SEND_NONE && nCurrent != nKind) return;
    if (k != m_nImagePacketInFlight) return;

    const uint8_t nStatus = ReplyStatus(pFrame);
    if (nStatus == PACKET_OK) {
        NoteTransferProgress();
        if (k == nTotal - 1) {
            m_nImageTotalPacket = 0;
            m_nResendCount = 0;
            m_nRetryRound = 0;
            sendRetryCenter = 0;
            m_nSendKind = SEND_NONE;
            m_nImagePacketInFlight = -1;
            m_pDlg->m_stats.Add(kStatImagesSent);
            vplat::env()->DebugOutput("MGR_PC: Send Image OK !!");
            if (DrainMode()) ContinueDrain(nConn);
            return;
        }
        SendPacketSlot(this, m_pImagePackets.get(), m_nMaxImagePackets, k + 1, nConn,
                       &m_nImagePacketInFlight);
        DebugF("MGR_PC: Send IMG PackNo: %d/%d", k + 1, nTotal);
    } else if (nStatus == ERROR_RESEND) {
        if (++m_nResendCount >= 3) return;  // frozen until the busy rule ends it
        if (SendPacketSlot(this, m_pImagePackets.get(), m_nMaxImagePackets, k, nConn,
                           &m_nImagePacketInFlight) == 1)
            m_pDlg->m_stats.Add(kStatResends);
        WriteSystemLogF("MGR_PC: Image ERROR_RESEND= %d", k);
    }
    m_nSendKind = nKind;
    m_pDlg->ShowFrameCode(kSendBox, nOpcode, 99);
}
