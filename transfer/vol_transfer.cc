// The start of a violation-file transfer, on the dialog thread's transfer timer:
// SendViolationFile checks the link, the busy rule and the pause rule and, when a file
// waits, SendVolFile reads the oldest one twice for a consistent size and sends its info
// packet under opcode 51.
//
// Locking: the whole tick runs under m_csSession, because the file is read into the
// session's shared read buffer and cut into its packet table, which the link thread's
// log request uses too. The tick therefore holds the lock across its two waits of 100 ms
// and one of 10 ms between the reads (about 210 ms at most): replies arriving meanwhile
// wait for it, and the tick never waits for the link thread.
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "app/resource.h"
#include "app/velmora_dlg.h"
#include "commands/center_session.h"
#include "housekeeping/system_log.h"
#include "platform/platform.h"
#include "transfer/packetizer.h"
#include "transfer/vol_files.h"

namespace {

constexpr int kVolBusyLimit = 10;    // ticks that find a transfer current before it is ended
constexpr size_t kReadPiece = 1000;  // the second read goes in pieces of this size
constexpr uint32_t kReadPauseMs = 100;
constexpr uint32_t kRereadPauseMs = 10;

void ReportVolTotal(CCenterSession* pSession, int nTotal, int nSize) {
    char szText[24] = {};
    std::snprintf(szText, sizeof szText, "[%d]", nTotal);
    pSession->m_pDlg->SetItemText(IDC_VOL_TOTAL, szText);
    DebugF("MGR_PC: Send VOL Total Packet : %d/%d", nTotal, nSize);
}

void ReportVolSizeError(int nTotal, int nSize) {
    WriteSystemLogF("MGR_PC: Send VOL File Size ERROR : %d/%d", nTotal, nSize);
}

int ClampToInt(long long n) { return n > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(n); }

// The whole station ID of link entry 0 (up to its 16 bytes).
std::string WholeStationId(CVelmoraDlg* pDlg) {
    const char* szId = pDlg->m_pConn[0].m_szLocalId;
    const size_t nField = sizeof pDlg->m_pConn[0].m_szLocalId;
    const void* pEnd = std::memchr(szId, '\0', nField);
    return std::string(szId,
                       pEnd ? static_cast<size_t>(static_cast<const char*>(pEnd) - szId) : nField);
}

}  // namespace

void CCenterSession::SendViolationFile() {
    std::lock_guard<std::recursive_mutex> lock(m_csSession);
    vplat::Env* pEnv = vplat::env();
    if (m_pDlg->m_bMmfOpen != 1) pEnv->DebugOutput("MMF Not Open - 위반화일 보낼 수 없다...");
    if (!LinkIsConnected(this, 0)) {
        m_nVolTotalPacket = 0;
        m_nResendCount = 0;
        m_nRetryRound = 0;
        sendRetryCenter = 0;
        m_nSendKind = SEND_NONE;
        pEnv->DebugOutput("위반화일 전송 : 통신 개통이 안되었다...");
    }
    if (sendRetryCenter > kVolBusyLimit) {
        sendRetryCenter = 0;
        m_nSendKind = SEND_NONE;
        pEnv->DebugOutput("sendRetryCenter 초과로 clear .....");
    }
    if (IsTransferKind(m_nSendKind)) {
        CountBusyAttempt();
        pEnv->DebugOutput("위반화일 전송 중 .....  return");
        return;
    }

    // Pause after a streak of link losses on a CDMA line (the link thread arms the limit).
    if (m_nPauseCount < m_nPauseLimit && m_pDlg->m_nCenterCommKind == 1) {
        ++m_nPauseCount;
        DebugF("연속 전송에러 !! [전송 일시 중지(50분) : %d/%d]", m_nPauseCount.load(),
               m_nPauseLimit.load());
        return;
    }
    if (m_nPauseLimit > 0 && m_nPauseCount >= m_nPauseLimit) {
        // The pause has run out: the next streak of losses is counted afresh.
        m_nPauseLimit = 0;
        m_nVolLinkErrors = 0;
    }
    m_nPauseCount = 1;

    const std::string szDir = std::string(m_pDlg->m_szEnfImgDirectory) + "/";
    pEnv->SetCurrentDir(szDir.c_str());
    const std::string szPattern = szDir + "*." + WholeStationId(m_pDlg);
    const std::vector<std::string> names = pEnv->FindFiles(szPattern.c_str());
    for (const std::string& szFound : names) {
        if (szFound == "." || szFound == "..") continue;
        SendVolFile(SEND_VOL, 0);
        break;
    }
}

void CCenterSession::SendVolFile(int nKind, int nConn) {
    std::lock_guard<std::recursive_mutex> lock(m_csSession);
    vplat::Env* pEnv = vplat::env();
    char szPath[256] = {};
    char szName[128] = {};
    if (!getSendFileName(nKind, nConn, szPath, sizeof szPath, szName, sizeof szName)) {
        sendRetryCenter = 0;
        m_nSendKind = SEND_NONE;
        DebugF("getSendFileName ERROR.....%s", szName);
        return;
    }

    pEnv->SleepMs(kReadPauseMs);
    // The file as it is before the reads; compared again after them, and before it is
    // deleted or given up.
    vplat::FileIdentity before;
    const bool bKnown = pEnv->GetFileIdentity(szPath, &before);
    FILE* fp = pEnv->OpenFile(szPath, "rb");
    if (fp == nullptr) {
        sendRetryCenter = 0;
        m_nSendKind = SEND_NONE;
        DebugF("File Open ERROR.....%s", szPath);
        return;
    }
    pEnv->DebugOutput(szPath);

    // First read: at most the read limit.
    uint8_t* pBuf = m_pFileBuf.get();
    std::memset(pBuf, 0, kVolReadLimit);
    const int nFirst = static_cast<int>(std::fread(pBuf, 1, kVolReadLimit, fp));
    std::fseek(fp, 0, SEEK_SET);
    pEnv->SleepMs(kReadPauseMs);

    // Second read: the whole file in pieces, counting every byte; what lies beyond the
    // buffer is counted, not kept.
    long long nSecond = 0;
    uint8_t scratch[kReadPiece];
    for (;;) {
        const bool bInBuffer = nSecond + static_cast<long long>(kReadPiece) <= kVolReadLimit;
        uint8_t* pTo = bInBuffer ? pBuf + nSecond : scratch;
        const size_t nGot = std::fread(pTo, 1, kReadPiece, fp);
        nSecond += static_cast<long long>(nGot);
        if (std::ferror(fp)) {
            std::fclose(fp);
            WriteSystemLogF("MGR_PC: Read error & delete = %s", LogBytes(szName).c_str());
            pEnv->RemoveFile(szPath);
            sendRetryCenter = 0;
            m_nSendKind = SEND_NONE;
            return;
        }
        if (nGot < kReadPiece) break;  // end of file
    }
    const int nSize = ClampToInt(nSecond);

    if (nFirst != nSize || nSecond > kVolReadLimit) {
        WriteSystemLogF("<< MGR_PC: First File read error [f:%d, s:%d] %s", nFirst, nSize,
                        LogBytes(szName).c_str());
        pEnv->SleepMs(kRereadPauseMs);
        std::fseek(fp, 0, SEEK_SET);
        std::memset(pBuf, 0, kVolReadLimit);
        const int nAgain = static_cast<int>(std::fread(pBuf, 1, kVolReadLimit, fp));
        if (nAgain != nSize || nSecond > kVolReadLimit) {
            WriteSystemLogF("<< MGR_PC: Second File read error [f:%d, s:%d] %s", nAgain, nSize,
                            LogBytes(szName).c_str());
            sendRetryCenter = 0;
            m_nSendKind = SEND_NONE;
            std::fclose(fp);
            return;  // the file stays and is chosen again on the next tick
        }
    }
    std::fclose(fp);

    vplat::FileIdentity after;
    if (!bKnown || !pEnv->GetFileIdentity(szPath, &after) || after != before) {
        // Written while it was read: what was read may be no file at all. Left in place
        // and read again on the next tick.
        DebugF("MGR_PC: violation file changed while read, read again next tick: %s", szName);
        sendRetryCenter = 0;
        m_nSendKind = SEND_NONE;
        return;
    }

    if (nSize == 0) {
        // An empty file would only ever send its info packet, whose acknowledgement cannot
        // complete a transfer, and would block every later file: move it aside. A file the
        // main operation program has only just created is empty too, so it must be seen
        // empty on two ticks in a row before it goes.
        if (std::strncmp(m_szEmptyVolName, szName, sizeof m_szEmptyVolName) != 0) {
            std::snprintf(m_szEmptyVolName, sizeof m_szEmptyVolName, "%s", szName);
            DebugF("MGR_PC: empty violation file, checked again next tick: %s", szName);
            sendRetryCenter = 0;
            m_nSendKind = SEND_NONE;
            return;
        }
        m_szEmptyVolName[0] = '\0';
        WriteSystemLogF("MGR_PC: 빈 위반화일 이동 [%s]", LogBytes(szName).c_str());
        MoveVolFileAside(this, szPath, szName, after);
        m_nResendCount = 0;
        m_nRetryRound = 0;
        sendRetryCenter = 0;
        m_nSendKind = SEND_NONE;
        return;
    }

    m_szEmptyVolName[0] = '\0';
    std::memcpy(m_szVolFileName, szName, sizeof m_szVolFileName);
    std::memcpy(m_szVolFilePath, szPath, sizeof m_szVolFilePath);
    m_volFileIdentity = after;
    DebugF("MGR_PC: Send Vol File : %s", m_szVolFileName);

    const FilePacketPlan plan = {SEND_VOL,
                                 OP_VOL_FILE,
                                 &m_nVolTotalPacket,
                                 &m_nVolPacketInFlight,
                                 m_pVolPackets.get(),
                                 m_nMaxVolPackets,
                                 ReportVolTotal,
                                 ReportVolSizeError};
    SendFilePackets(this, plan, pBuf, nSize, m_szVolFileName, nConn);
}
