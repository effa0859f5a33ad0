// The running log: SendRunningLog sends today's system log file (the one WriteSystemLog
// appends to) under opcode 68, on the daily timer or at the Manager PC's request;
// OnLogReply moves it forward on the acknowledgements. Also the busy rule's log limit.
#include <cstdio>
#include <cstring>
#include <mutex>

#include "app/velmora_dlg.h"
#include "commands/center_session.h"
#include "housekeeping/system_log.h"
#include "platform/platform.h"
#include "transfer/packetizer.h"

namespace {

constexpr const char* kSystemLogDir = "d:/System_Log";
constexpr int kLogBusyLimit = 3;  // attempts while busy before the stale transfer is ended
constexpr int kLogMinSize = 100;  // a shorter log is not sent
constexpr int kSendBox = 2;

void ReportLogTotal(CCenterSession*, int nTotal, int nSize) {
    WriteSystemLogF("MGR_PC: Make LOG Total Packet : %d/%d", nTotal, nSize);
}

void ReportLogSizeError(int nTotal, int nSize) {
    WriteSystemLogF("MGR_PC: Make Run LOG Size ERROR : %d/%d", nTotal, nSize);
}

}  // namespace

void CCenterSession::SendRunningLog(int nConn) {
    std::lock_guard<std::recursive_mutex> lock(m_csSession);
    if (!LinkIsConnected(this, nConn)) return;
    if (!m_pDlg->m_bMmfOpen) return;  // the station text names the file
    if (sendRetryCenter > kLogBusyLimit) {
        sendRetryCenter = 0;
        m_nSendKind = SEND_NONE;
        m_pDlg->StopTimer(kTimerRunLog);
        return;
    }
    if (IsTransferKind(m_nSendKind)) {
        CountBusyAttempt();
        return;
    }

    char szStation[8] = {};
    m_pDlg->GetStationText(szStation, sizeof szStation);
    // The text comes from another program's memory; it must name a file, not a path.
    if (szStation[0] == '\0' || std::strpbrk(szStation, "/\\:") != nullptr ||
        std::strcmp(szStation, "..") == 0) {
        return;
    }
    vplat::Env* pEnv = vplat::env();
    const vplat::LocalTime now = pEnv->GetLocalTimeNow();
    char szName[64] = {};
    char szPath[128] = {};
    std::snprintf(szName, sizeof szName, "%d%02d%02d.%s", now.nYear, now.nMonth, now.nDay,
                  szStation);
    std::snprintf(szPath, sizeof szPath, "%s/%d/%s", kSystemLogDir, now.nYear, szName);
    FILE* fp = pEnv->OpenFile(szPath, "rb");
    if (fp == nullptr) return;

    WriteSystemLogF("MGR_PC: Make LOG File : %s[%d]", LogBytes(szName).c_str(),
                    sendRetryCenter.load());
    uint8_t* pBuf = m_pFileBuf.get();
    std::memset(pBuf, 0, kLogReadLimit);
    const int nSize = static_cast<int>(std::fread(pBuf, 1, kLogReadLimit, fp));
    std::fclose(fp);
    if (nSize < kLogMinSize) {
        WriteSystemLogF("MGR_PC: Make LOG File Read ERROR : %s[%d]", LogBytes(szName).c_str(),
                        nSize);
        return;
    }

    const FilePacketPlan plan = {SEND_RUN_LOG,          OP_RUN_LOG,          &m_nLogTotalPacket,
                                 &m_nLogPacketInFlight, m_pLogPackets.get(), m_nMaxLogPackets,
                                 ReportLogTotal,        ReportLogSizeError};
    SendFilePackets(this, plan, pBuf, nSize, szName, nConn);
}

void CCenterSession::OnLogReply(int nOpcode, int nConn, const uint8_t* pFrame) {
    std::lock_guard<std::recursive_mutex> lock(m_csSession);
    if (pFrame == nullptr || !LinkIsConnected(this, nConn)) return;
    const int nTotal = m_nLogTotalPacket;
    if (nTotal < 2) return;
    const int k = ReplyPacketNumber(pFrame);
    if (k < 0 || k >= nTotal) return;
    // Judged only against the log in transfer: not while another kind is current, and
    // only for the packet that awaits its reply.
    const int nCurrent = m_nSendKind;
    if (nCurrent != SEND_NONE && nCurrent != SEND_RUN_LOG) return;
    if (k != m_nLogPacketInFlight) return;

    const uint8_t nStatus = ReplyStatus(pFrame);
    if (nStatus == PACKET_OK) {
        NoteTransferProgress();
        if (k == nTotal - 1) {
            m_nLogTotalPacket = 0;
            m_nResendCount = 0;
            m_nRetryRound = 0;
            sendRetryCenter = 0;
            m_nSendKind = SEND_NONE;
            m_nLogPacketInFlight = -1;
            m_pDlg->m_bLogSentToday = 1;
            m_pDlg->m_stats.Add(kStatLogsSent);
            m_pDlg->StopTimer(kTimerRunLog);
            WriteSystemLog("MGR_PC: Send Running LOG OK !!");
            return;
        }
        SendPacketSlot(this, m_pLogPackets.get(), m_nMaxLogPackets, k + 1, nConn,
                       &m_nLogPacketInFlight);
        DebugF("MGR_PC: Send LOG PackNo: %d/%d", k + 1, nTotal);
    } else if (nStatus == ERROR_RESEND) {
        if (++m_nResendCount >= 3) return;  // frozen until the busy rule ends it
        if (SendPacketSlot(this, m_pLogPackets.get(), m_nMaxLogPackets, k, nConn,
                           &m_nLogPacketInFlight) == 1)
            m_pDlg->m_stats.Add(kStatResends);
        WriteSystemLogF("MGR_PC: LOG ERROR_RESEND= %d", k);
    }
    m_nSendKind = SEND_RUN_LOG;
    m_pDlg->ShowFrameCode(kSendBox, nOpcode, 99);
}
