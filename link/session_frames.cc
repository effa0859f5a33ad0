// The session's side of outgoing frames and the link's indicators: the common header of
// every frame the station sends, the hand-over of a built frame through the outgoing copy
// area to the send queue, and the connect spinner and counters of the dialog. The frame
// buffers are shared by the dialog thread and the link thread; both steps hold
// m_csSession, and callers hold it around their whole build-and-queue.
#include <cstdio>
#include <cstring>
#include <string>

#include "app/resource.h"
#include "app/velmora_dlg.h"
#include "commands/center_session.h"

void CCenterSession::BuildFrameHeader(uint8_t* pFrame, int nCode, int nConn) {
    std::lock_guard<std::recursive_mutex> lock(m_csSession);
    std::memset(m_SendBuf, 0, sizeof m_SendBuf);
    if (pFrame == nullptr) return;
    std::memset(pFrame, 0, kFrameBufSize);
    pFrame[0] = kFrameStart;
    pFrame[1] = kFrameStart;
    pFrame[9] = '1';
    pFrame[10] = '0';
    char szCode[8] = {};
    std::snprintf(szCode, sizeof szCode, "%02d", nCode & 0xFF);
    pFrame[11] = static_cast<uint8_t>(szCode[0]);
    pFrame[12] = static_cast<uint8_t>(szCode[1]);
    if (m_pDlg != nullptr && nConn >= 0 && nConn < kMaxLinks && m_pDlg->m_pConn != nullptr) {
        // At most five ID characters; a shorter ID is followed by zero bytes.
        const char* szId = m_pDlg->m_pConn[nConn].m_szLocalId;
        for (int k = 0; k < 5 && szId[k] != '\0'; ++k)
            pFrame[24 + k] = static_cast<uint8_t>(szId[k]);
    }
    pFrame[29] = '0';
}

int CCenterSession::QueueFromBuffer(const uint8_t* pFrame, int nLength, int nConn) {
    std::lock_guard<std::recursive_mutex> lock(m_csSession);
    if (m_pDlg == nullptr || pFrame == nullptr) return 0;
    if (nLength < kFrameOverhead || nLength > static_cast<int>(sizeof m_SendBuf)) return 0;
    if (pFrame != m_SendBuf) std::memmove(m_SendBuf, pFrame, static_cast<size_t>(nLength));
    return m_pDlg->QueueFrame(m_SendBuf, nLength, nConn);
}

void CCenterSession::ShowLinkSpinner(int nConn) {
    static const char* const kPhases[3] = {"| |", "/ /", "= ="};
    if (m_nSpinner < 0 || m_nSpinner > 2) m_nSpinner = 0;
    m_pDlg->SetItemText(IDC_SENT_FRAMES, kPhases[m_nSpinner]);
    m_nSpinner = (m_nSpinner + 1) % 3;
    if (nConn >= 0 && nConn < kMaxLinks && m_pDlg->m_pConn != nullptr) {
        m_pDlg->SetItemText(IDC_RECV_EVENTS, std::to_string(m_pDlg->m_pConn[nConn].m_nManagerPort));
    }
}

void CCenterSession::ShowLinkCounters(int nConn) {
    if (nConn < 0 || nConn >= kMaxLinks || m_pDlg->m_pConn == nullptr) return;
    const LinkEntry& link = m_pDlg->m_pConn[nConn];
    m_pDlg->SetItemText(IDC_SENT_FRAMES, std::to_string(link.m_nSentFrames.load()));
    m_pDlg->SetItemText(IDC_RECV_EVENTS, std::to_string(link.m_nRecvEvents.load()));
}
