// The Manager PC's replies to violation-file packets, on the link thread: OnVolReply moves
// the transfer forward, deletes the file once its last packet was acknowledged and counts
// it; PacketSendRetry counts resend requests and refusals and gives a file up into
// "d:/delete_img"; LogSentVolFile records a completed file.
//
// A file leaves the violation directory only by the acknowledgement of its last packet in
// the transfer that is current, or by a copy into "d:/delete_img" that succeeded. Both use
// the file's full path, so a change of the process's current directory in between (the
// midnight cleanup) cannot make them miss.
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "app/resource.h"
#include "app/velmora_dlg.h"
#include "commands/center_session.h"
#include "housekeeping/system_log.h"
#include "platform/platform.h"
#include "transfer/packetizer.h"
#include "transfer/vol_files.h"

namespace {

constexpr int kSendBox = 2;
constexpr int kResendsPerRound = 3;  // resend requests that end a round
constexpr int kRoundsBeforeGiveUp = 3;
constexpr int kSentTextOffset = 37;  // bytes 7.. of the file in slot 1
constexpr int kSentTextLength = 36;

}  // namespace

bool MoveVolFileAside(CCenterSession* pSession, const char* szPath, const char* szName) {
    vplat::Env* pEnv = vplat::env();
    if (szPath == nullptr || szName == nullptr || szPath[0] == '\0' || szName[0] == '\0' ||
        std::strpbrk(szName, "/\\:") != nullptr) {
        DebugF("MGR_PC: no file to move aside [%s]", szName ? szName : "");
        return false;
    }
    pEnv->MakeDirectory(kDeleteImgDir);  // an existing directory is no error
    char szTo[256] = {};
    const int n = std::snprintf(szTo, sizeof szTo, "%s/%s", kDeleteImgDir, szName);
    if (n < 0 || static_cast<size_t>(n) >= sizeof szTo) return false;
    if (!pEnv->CopyFileTo(szPath, szTo, false)) {
        // On record: the file stays in the violation directory and is offered again.
        WriteSystemLogF("MGR_PC: 위반화일 이동 실패 [%s] -> %s", szName, szTo);
        return false;
    }
    if (!pEnv->RemoveFile(szPath)) {
        WriteSystemLogF("MGR_PC: 위반화일 삭제 실패 [%s]", szName);
        return false;
    }
    ++pSession->m_nVolMovedCount;
    pSession->m_pDlg->m_stats.Add(kStatFilesMoved);
    return true;
}

void CCenterSession::OnVolReply(const uint8_t* pFrame, int nConn) {
    std::lock_guard<std::recursive_mutex> lock(m_csSession);
    if (pFrame == nullptr || !LinkIsConnected(this, nConn)) return;
    const int nTotal = m_nVolTotalPacket;
    if (nTotal < 2 || m_nSendKind != SEND_VOL) return;
    const int k = ReplyPacketNumber(pFrame);
    if (k < 0 || k >= nTotal) return;
    // Only the packet in flight of the current transfer is answered; a late reply of an
    // abandoned attempt is dropped.
    if (k != m_nVolPacketInFlight) return;
    const uint8_t nStatus = ReplyStatus(pFrame);

    if (nStatus == PACKET_OK && k == nTotal - 1) {
        LogSentVolFile(m_szVolFileName);
        if (!vplat::env()->RemoveFile(m_szVolFilePath)) {
            DebugF("MGR_PC: delete of %s failed", m_szVolFilePath);
        }
        std::memset(m_szVolFileName, 0, sizeof m_szVolFileName);
        std::memset(m_szVolFilePath, 0, sizeof m_szVolFilePath);
        const int nSent = ++m_nVolSentCount;
        m_pDlg->m_stats.Add(kStatFilesSent);
        m_nVolTotalPacket = 0;
        m_nResendCount = 0;
        m_nRetryRound = 0;
        sendRetryCenter = 0;
        m_nSendKind = SEND_NONE;
        m_nVolPacketInFlight = -1;
        m_nVolLinkErrors = 0;
        m_nPauseLimit = 0;
        m_nPauseCount = 1;
        m_pDlg->SetItemText(IDC_VOL_SENT, std::to_string(nSent));
        return;
    }
    if (nStatus == PACKET_OK) {
        SendPacketSlot(this, m_pVolPackets.get(), m_nMaxVolPackets, k + 1, nConn,
                       &m_nVolPacketInFlight);
        DebugF("MGR_PC: Send VOL PackNo: %d/%d", k + 1, nTotal);
    } else if (nStatus == ERROR_RESEND) {
        if (PacketSendRetry(nConn) == 0) return;
        if (SendPacketSlot(this, m_pVolPackets.get(), m_nMaxVolPackets, k, nConn,
                           &m_nVolPacketInFlight) == 1)
            m_pDlg->m_stats.Add(kStatResends);
        WriteSystemLogF("MGR_PC: VOL ERROR_RESEND= PackNo:%d", k);
    } else if (nStatus == ERROR_FILE) {
        char szName[sizeof m_szVolFileName];
        std::memcpy(szName, m_szVolFileName, sizeof szName);
        szName[sizeof szName - 1] = '\0';
        m_nResendCount = kResendsPerRound;
        m_pDlg->m_stats.Add(kStatRefusals);
        PacketSendRetry(nConn);
        WriteSystemLogF("MGR_PC: VOL ERROR_FILE= File:%s", szName);
        return;
    }
    m_nSendKind = SEND_VOL;
    m_pDlg->ShowFrameCode(kSendBox, SEND_VOL, k);
}

int CCenterSession::PacketSendRetry(int nConn) {
    (void)nConn;
    std::lock_guard<std::recursive_mutex> lock(m_csSession);
    if (m_nSendKind != SEND_VOL) return 1;  // only a violation file in transfer is counted
    ++m_nResendCount;
    if (m_nRetryRound >= kRoundsBeforeGiveUp) {
        WriteSystemLogF("MGR_PC: 위반화일 삭제 & Backup [%s]", m_szVolFileName);
        MoveVolFileAside(this, m_szVolFilePath, m_szVolFileName);
        std::memset(m_szVolFileName, 0, sizeof m_szVolFileName);
        std::memset(m_szVolFilePath, 0, sizeof m_szVolFilePath);
        m_nResendCount = 0;
        m_nRetryRound = 0;
        m_nSendKind = SEND_NONE;
        m_nVolPacketInFlight = -1;
        return 0;
    }
    if (m_nResendCount >= kResendsPerRound) {
        m_nSendKind = SEND_NONE;
        const int nRound = ++m_nRetryRound;
        WriteSystemLogF("MGR_PC: PACKET_SEND_RETRY= Retry:%d", nRound);
    }
    return 1;
}

void CCenterSession::LogSentVolFile(const char* szName) {
    std::lock_guard<std::recursive_mutex> lock(m_csSession);
    if (m_pDlg->m_nOperationMode != 0) return;
    char szText[kSentTextLength + 1] = {};
    std::memcpy(szText, m_pVolPackets.get() + kFrameBufSize + kSentTextOffset, kSentTextLength);
    WriteSystemLogF("Send MGR_PC[%s] : %s", szName ? szName : "", szText);
}
