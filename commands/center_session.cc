// The session object: construction, the one-time allocation of its frame and packet
// buffers, and the refresh request to the main operation program at start.
#include "commands/center_session.h"

#include <cstring>

#include "app/siblings.h"
#include "app/velmora_dlg.h"

CVelmoraDlg* g_pMainDlg = nullptr;

CCenterSession::CCenterSession(CVelmoraDlg* pDlg) : m_pDlg(pDlg) { g_pMainDlg = pDlg; }

CCenterSession::~CCenterSession() = default;

void CCenterSession::Init() {
    m_nVolTotalPacket = 0;
    m_nImageTotalPacket = 0;
    m_nLogTotalPacket = 0;
    m_nResendCount = 0;
    m_nRetryRound = 0;
    sendRetryCenter = 0;
    m_nSendKind = SEND_NONE;
    m_nVolSentCount = 0;
    m_nVolLinkErrors = 0;
    m_nPauseLimit = 0;
    m_nPauseCount = 1;
    m_nSpinner = 0;
    std::memset(m_szVolFileName, 0, sizeof m_szVolFileName);
    std::memset(m_szVolFilePath, 0, sizeof m_szVolFilePath);
    std::memset(m_szFileList, 0, sizeof m_szFileList);
    m_nPacketDataSize = 3000;
    m_nMaxImagePackets = 200;
    m_nMaxVolPackets = 300;
    m_nMaxLogPackets = 305;
    m_nFrameOverhead = kFrameOverhead;

    m_pRecvFrame.reset(new uint8_t[kFrameBufSize]());
    m_pReportFrame.reset(new uint8_t[kFrameBufSize]());
    m_pVolPackets.reset(new uint8_t[static_cast<size_t>(m_nMaxVolPackets) * kFrameBufSize]());
    m_pImagePackets.reset(new uint8_t[static_cast<size_t>(m_nMaxImagePackets) * kFrameBufSize]());
    m_pLogPackets.reset(new uint8_t[static_cast<size_t>(m_nMaxLogPackets) * kFrameBufSize]());
    m_pFileBuf.reset(new uint8_t[kVolReadLimit]());

    sib::SendToSibling(sib::kHarwent, sib::WM_DEVICE, sib::kCodeLocalStatus, 1);
}
