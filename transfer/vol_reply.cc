// The Manager PC's replies to violation-file packets, on the link thread: OnVolReply moves
// the transfer forward, deletes the file once its last packet was acknowledged and counts
// it; PacketSendRetry counts resend requests and refusals and gives a file up into
// "d:/delete_img"; LogSentVolFile records a completed file.
//
// A file leaves the violation directory only by the acknowledgement of its last packet in
// the transfer that is current, or by a copy into "d:/delete_img" that succeeded, and in
// both cases only while it is still the file that was read (size, last write time and the
// file system's number for it): a file written since stays and is sent again whole. Both
// use the file's full path, so a change of the process's current directory in between
// (the midnight cleanup) cannot make them miss.
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
constexpr size_t kVolNameSize = 128;  // a violation file name as the session keeps it

}  // namespace

void LogVolFileChanged(const char* szName) {
    WriteSystemLogF("MGR_PC: 위반화일 변경 - 재전송 [%s]", LogBytes(szName, kVolNameSize).c_str());
}

MoveResult MoveVolFileAside(CCenterSession* pSession, const char* szPath, const char* szName,
                            const vplat::FileIdentity& expected) {
    vplat::Env* pEnv = vplat::env();
    if (szPath == nullptr || szName == nullptr || szPath[0] == '\0' || szName[0] == '\0' ||
        std::strpbrk(szName, "/\\:") != nullptr) {
        DebugF("MGR_PC: no file to move aside [%s]", szName ? szName : "");
        return MoveResult::kFailed;
    }
    // Only the file that was read is given up; a file written since is sent again.
    vplat::FileIdentity now;
    if (pEnv->GetFileIdentity(szPath, &now) && now != expected) {
        LogVolFileChanged(szName);
        return MoveResult::kChanged;
    }
    pEnv->MakeDirectory(kDeleteImgDir);  // an existing directory is no error
    char szTo[256] = {};
    const int n = std::snprintf(szTo, sizeof szTo, "%s/%s", kDeleteImgDir, szName);
    bool bMoved = false;
    if (n < 0 || static_cast<size_t>(n) >= sizeof szTo || !pEnv->CopyFileTo(szPath, szTo, false)) {
        // On record: the file stays in the violation directory.
        WriteSystemLogF("MGR_PC: 위반화일 이동 실패 [%s] -> %s", LogBytes(szName, kVolNameSize).c_str(),
                        LogBytes(szTo).c_str());
    } else if (pEnv->GetFileIdentity(szPath, &now) && now != expected) {
        // Written while it was copied: the copy is stale, the file is sent again.
        LogVolFileChanged(szName);
        return MoveResult::kChanged;
    } else {
        std::string szWhy;
        bMoved = pEnv->RemoveFile(szPath, &szWhy);
        if (!bMoved) {
            WriteSystemLogF("MGR_PC: 위반화일 삭제 실패 [%s] %s",
                            LogBytes(szName, kVolNameSize).c_str(), szWhy.c_str());
        }
    }
    if (!bMoved) {
        // Set aside for the rest of the run, so that it no longer blocks the later files.
        std::lock_guard<std::recursive_mutex> lock(pSession->m_csSession);
        pSession->m_setAsideNames.insert(szName);
        return MoveResult::kFailed;
    }
    ++pSession->m_nVolMovedCount;
    pSession->m_pDlg->m_stats.Add(kStatFilesMoved);
    return MoveResult::kMoved;
}

bool CCenterSession::IsSetAside(const std::string& szName) {
    std::lock_guard<std::recursive_mutex> lock(m_csSession);
    return m_setAsideNames.count(szName) != 0;
}

bool CCenterSession::DrainMode() const { return m_pDlg != nullptr && m_pDlg->m_nSendNextAtOnce == 1; }

void CCenterSession::HoldReport(int nBit) {
    if (DrainMode()) m_nPendingReports |= nBit;
}

void CCenterSession::ContinueDrain(int nConn) {
    // What the center asked for while the file went, before the next one starts.
    const int nReports = m_nPendingReports.exchange(0);
    if (nReports & kPendingShortStatus) SendShortStatus(nConn);
    if (nReports & kPendingTraffic) SendTrafficReport(nConn);
    if (nReports & kPendingStatus) SendStatusReport(nConn);
    const int nImage = m_nPendingImage.exchange(0);
    if (nImage != 0) {
        SendImageFile(nImage, nConn);
        if (m_nSendKind == nImage) return;  // the next file follows the picture
    }
    CVelmoraDlg* pDlg = m_pDlg;
    vplat::env()->PostTask([pDlg] { pDlg->RunViolationTransfer(); });
}

void CCenterSession::CountBusyAttempt() {
    const uint32_t nProgress = m_nTransferProgress.load();
    if (nProgress != m_nProgressSeen) {
        // Still being acknowledged: only attempts without progress count towards ending it.
        m_nProgressSeen = nProgress;
        sendRetryCenter = 0;
        return;
    }
    ++sendRetryCenter;
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
        NoteTransferProgress();
        // The center holds the file as it was read: a file written, grown or replaced
        // since stays, and the next tick sends it again whole.
        vplat::FileIdentity now;
        if (vplat::env()->GetFileIdentity(m_szVolFilePath, &now) && now != m_volFileIdentity) {
            LogVolFileChanged(m_szVolFileName);
            EndVolAttempt();
            return;
        }
        LogSentVolFile(m_szVolFileName);
        std::string szWhy;
        if (!vplat::env()->RemoveFile(m_szVolFilePath, &szWhy)) {
            // Once per file: the file stays and the center will receive it again.
            if (std::strncmp(m_szDeleteFailedName, m_szVolFileName,
                             sizeof m_szDeleteFailedName) != 0) {
                std::memcpy(m_szDeleteFailedName, m_szVolFileName, sizeof m_szDeleteFailedName);
                WriteSystemLogF("MGR_PC: 위반화일 삭제 실패 [%s] %s",
                                LogBytes(m_szVolFileName).c_str(), szWhy.c_str());
            }
        }
        const int nSent = ++m_nVolSentCount;
        m_pDlg->m_stats.Add(kStatFilesSent);
        EndVolAttempt();
        m_nVolLinkErrors = 0;
        m_nPauseLimit = 0;
        m_nPauseCount = 1;
        m_pDlg->SetItemText(IDC_VOL_SENT, std::to_string(nSent));
        if (DrainMode()) ContinueDrain(nConn);
        return;
    }
    if (nStatus == PACKET_OK) {
        NoteTransferProgress();
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
        WriteSystemLogF("MGR_PC: VOL ERROR_FILE= File:%s", LogBytes(szName).c_str());
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
        WriteSystemLogF("MGR_PC: 위반화일 삭제 & Backup [%s]", LogBytes(m_szVolFileName).c_str());
        MoveVolFileAside(this, m_szVolFilePath, m_szVolFileName, m_volFileIdentity);
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

void CCenterSession::EndVolAttempt() {
    std::lock_guard<std::recursive_mutex> lock(m_csSession);
    std::memset(m_szVolFileName, 0, sizeof m_szVolFileName);
    std::memset(m_szVolFilePath, 0, sizeof m_szVolFilePath);
    m_nVolTotalPacket = 0;
    m_nResendCount = 0;
    m_nRetryRound = 0;
    sendRetryCenter = 0;
    m_nSendKind = SEND_NONE;
    m_nVolPacketInFlight = -1;
}

void CCenterSession::LogSentVolFile(const char* szName) {
    std::lock_guard<std::recursive_mutex> lock(m_csSession);
    if (m_pDlg->m_nOperationMode != 0) return;
    char szText[kSentTextLength + 1] = {};
    std::memcpy(szText, m_pVolPackets.get() + kFrameBufSize + kSentTextOffset, kSentTextLength);
    // The header bytes of the file (a plate number among them) go on record as they are.
    WriteSystemLogF("Send MGR_PC[%s] : %s", LogBytes(szName ? szName : "", kVolNameSize).c_str(),
                    LogBytes(szText).c_str());
}
