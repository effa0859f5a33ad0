// The link thread of one manager link. It owns the socket: connects, reconnects at the
// latest every 3 seconds while the link is down, receives bytes and cuts them into
// frames that it dispatches on itself, and sends what any thread put on the link's send
// queue. It waits on its stop and send events and on the socket in one wait. Bytes of a
// partial frame survive a close and are parsed ahead of the next connection's bytes; only
// a frame error throws the received bytes away.
//
// The hot path is one file packet per acknowledgement: the reply that the dispatcher
// queues on this thread is sent as soon as the received bytes are dispatched, before the
// receive's bookkeeping (QueueFrame does not wake the thread that queues on itself), and
// the socket stays in the non-blocking mode of the event-driven receive: a send waits for
// the socket to become writable instead, within the same send time-out a blocking send
// would have. A packet thus costs one wait, one receive and one send, without switching
// the socket's mode back and forth; the dialog's link counters are written once per turn,
// after its send.
//
// Nothing queued for one connection is ever sent on a later one: wherever the connection
// is lost (frame error, peer close, failed send, hang-up) the link leaves the connected
// state and its queue is emptied under the queue's lock, and QueueFrame refuses frames
// while the link is not connected. After a frame error the link connects again at once
// (after a second one in a row without a frame in between, in the usual period).
#include <cstring>
#include <memory>

#include "app/velmora_dlg.h"
#include "config/profile_load.h"
#include "housekeeping/system_log.h"
#include "link/send_queue.h"
#include "link/tcp_client_comm.h"

namespace {

constexpr uint32_t kConnectTimeoutMs = 5000;  // bound of one connect attempt
constexpr uint32_t kIoTimeoutMs = 5000;       // send and receive time-outs of the socket
constexpr int kSocketSendBuf = 0;             // each send goes out of our own buffer
constexpr int kSocketRecvBuf = 1536000;
constexpr uint32_t kWaitMs = 3000;           // longest wait while the link is down
constexpr uint32_t kAfterReconnectMs = 300;  // pause before the short status report

// What one wait of the link thread returned (the index in the wait set).
constexpr int kWokeStop = 0;
constexpr int kWokeSend = 1;
constexpr int kWokeSocket = 2;
constexpr int kWaitEvents = 2;  // stop and send; the socket follows them

class LinkWorker {
  public:
    LinkWorker(CVelmoraDlg* pDlg, int i)
        : m_pDlg(pDlg),
          m_nConn(i),
          m_link(pDlg->m_pConn[i]),
          m_pRecvBuf(new uint8_t[kRecvBufSize]),
          m_pSendBuf(new uint8_t[kLinkSendBufSize]),
          m_pFrame(new uint8_t[kFrameBufSize]) {}

    void Run();

  private:
    SOCKET_T Connect();
    void Reconnect();
    void HandleCloseRequest();
    void NetworkStep();
    void TakeFrames();
    void SendPass();
    void SendQueued() {
        if (Socket() != INVALID_SOCKET_T && HasQueuedFrames(m_link)) SendPass();
    }
    void CountVolLinkError();
    bool SendWhole(const uint8_t* pBytes, int nLength);
    // Puts the socket in the mode asked for, when it is not in that mode already.
    void SetMode(bool bBlocking) {
        const int nMode = bBlocking ? 1 : 0;
        if (m_nMode == nMode) return;
        m_nMode = CWinSock::SetBlocking(Socket(), bBlocking) ? nMode : -1;
    }
    void Spin() {
        if (m_pDlg->m_pSession != nullptr) m_pDlg->m_pSession->ShowLinkSpinner(m_nConn);
    }
    void ShowCounters() {
        if (m_pDlg->m_pSession != nullptr) m_pDlg->m_pSession->ShowLinkCounters(m_nConn);
    }
    SOCKET_T Socket() const { return m_link.m_hSocket.load(); }
    // A new connection (or none), blocking after the connect: from now on event-driven,
    // also for the frames sent before the next wait.
    void TakeSocket(SOCKET_T s) {
        m_link.m_hSocket = s;
        m_nMode = 1;
        if (s != INVALID_SOCKET_T) SetMode(false);
    }
    // The connection is gone: whatever was queued for it goes with it.
    void DropSocket() {
        m_link.m_nLinkState = 2;
        CWinSock::CloseSocket(Socket());
        m_link.m_hSocket = INVALID_SOCKET_T;
        m_nMode = -1;
        ClearSendQueue(m_link);
    }

    CVelmoraDlg* m_pDlg;                    // the dialog that owns the link entry
    int m_nConn;                            // index of the link entry
    LinkEntry& m_link;                      // the link entry
    std::unique_ptr<uint8_t[]> m_pRecvBuf;  // received bytes not yet cut into frames
    int m_nFill = 0;                        // bytes in m_pRecvBuf
    std::unique_ptr<uint8_t[]> m_pSendBuf;  // the frame being sent
    std::unique_ptr<uint8_t[]> m_pFrame;    // the frame being dispatched
    int m_nMode = -1;                       // socket mode last set: 1 blocking, 0 not, -1 unknown
    bool m_bReconnectNow = false;           // a frame error: connect again without waiting
    int m_nFrameErrorsInRow = 0;            // frame errors since the last frame taken
    bool m_bCountersChanged = false;        // a receive or a send pass this turn
};

// One connect attempt, counted in the health gauges; a failure's reason goes to the
// debug output when it differs from the last one (never to the system log).
SOCKET_T LinkWorker::Connect() {
    CStationStats& stats = m_pDlg->m_stats;
    const int64_t nAttempts = stats.GetGauge(kGaugeConnectAttempts) + 1;
    stats.SetGauge(kGaugeConnectAttempts, nAttempts);
    const SOCKET_T s = CWinSock::ConnectTcp(
        m_link.m_dwManagerIp, static_cast<uint16_t>(m_link.m_nManagerPort), kConnectTimeoutMs,
        kIoTimeoutMs, true, kSocketSendBuf, kSocketRecvBuf);
    const int64_t nLast = stats.GetGauge(kGaugeLastFailure);
    if (s != INVALID_SOCKET_T) {
        if (nLast != kFailNone) {
            DebugF("manager link: connected after %lld attempts",
                   static_cast<long long>(nAttempts));
        }
        stats.SetGauge(kGaugeConnectAttempts, 0);
        stats.SetGauge(kGaugeConnectFailures, 0);
        stats.SetGauge(kGaugeLastFailure, kFailNone);
        return s;
    }
    const int nReason = m_link.m_dwManagerIp == kIpv4None
                            ? kFailBadAddress
                            : ConnectFailureFromText(vplat::env()->SockLastFailure());
    stats.SetGauge(kGaugeConnectFailures, stats.GetGauge(kGaugeConnectFailures) + 1);
    stats.SetGauge(kGaugeLastFailure, nReason);
    if (nReason != nLast) {
        const uint32_t n = m_link.m_dwManagerIp;
        DebugF("manager link: connect to %u.%u.%u.%u:%d failed: %s", n >> 24, (n >> 16) & 255,
               (n >> 8) & 255, n & 255, m_link.m_nManagerPort, ConnectFailureText(nReason));
    }
    return s;
}

void LinkWorker::Run() {
    // Nothing sets the link's network event: the socket itself is in the wait.
    vplat::Event* events[kWaitEvents] = {m_link.m_hStopEvent.get(), m_link.m_hSendEvent.get()};
    Spin();
    TakeSocket(Connect());
    m_nFill = 0;
    while (m_link.m_bRun.load() != 0) {
        HandleCloseRequest();
        if (Socket() != INVALID_SOCKET_T) {
            m_link.m_nLinkState = 1;
            SetMode(false);  // event-driven between sends
        } else {
            m_link.m_nLinkState = 2;
            m_link.m_hNetEvent->Reset();
        }
        const uint32_t nWaitMs = (Socket() == INVALID_SOCKET_T && m_bReconnectNow) ? 0 : kWaitMs;
        m_bReconnectNow = false;
        const int nWoke = vplat::env()->WaitEventsOrSocket(events, kWaitEvents, Socket(), nWaitMs);
        if (nWoke == kWokeStop) break;                  // no connect attempt for a thread that ends
        if (m_link.m_bCloseRequested.load() != 0) continue;  // a hang-up goes first, at the top
        if (Socket() == INVALID_SOCKET_T) Reconnect();  // whatever else woke the thread
        if (nWoke == kWokeSend) {
            SendPass();
        } else if (nWoke == kWokeSocket) {
            NetworkStep();
        }
        // What this thread queued itself (replies, the status after a reconnect) goes now.
        SendQueued();
        if (m_bCountersChanged) {
            m_bCountersChanged = false;
            ShowCounters();
        }
    }
    DropSocket();
    m_pDlg->ReleaseLinkEntry(m_nConn);
    WriteSystemLogF("TCP 통신단절 [Thread TERMINATE...] = %d", m_nConn);
}

void LinkWorker::HandleCloseRequest() {
    if (m_link.m_bCloseRequested.load() == 0) return;
    // A hang-up ordered from outside: no count, no log line; the queue goes with the link,
    // and the next connect comes as after any break (at the latest after one wait). The
    // thread that asked learns that the link is closed.
    DropSocket();
    m_link.m_hSendEvent->Reset();
    m_link.m_bCloseRequested = 0;
    if (m_link.m_hClosedEvent) m_link.m_hClosedEvent->Set();
}

void LinkWorker::Reconnect() {
    TakeSocket(Connect());
    Spin();
    if (Socket() == INVALID_SOCKET_T) {
        m_link.m_nLinkState = 2;
        return;
    }
    if (CCenterSession* pSession = m_pDlg->m_pSession) {
        // A reply on this connection cannot answer a packet sent on the one before: that
        // attempt waits for the busy rule, which sends the file again from its start.
        std::lock_guard<std::recursive_mutex> lock(pSession->m_csSession);
        pSession->m_nVolPacketInFlight = -1;
        pSession->m_nImagePacketInFlight = -1;
        pSession->m_nLogPacketInFlight = -1;
    }
    m_link.m_nLinkState = 1;
    m_pDlg->m_stats.Add(kStatReconnects);
    DebugF("fnCallTCP[Tcp Client] = %d", m_nConn);
    vplat::env()->SleepMs(kAfterReconnectMs);
    if (m_pDlg->m_pSession != nullptr) m_pDlg->m_pSession->SendShortStatus(m_nConn);
}

void LinkWorker::NetworkStep() {
    if (Socket() == INVALID_SOCKET_T) return;
    if (vplat::env()->EnumNetworkEvents(Socket()) & vplat::kNetClose) {
        // The peer closed; bytes that came with the close are not read.
        DropSocket();
        ++m_link.m_nDisconnects;
        m_pDlg->m_stats.Add(kStatDisconnects);
        WriteSystemLogF("TCP 통신단절 [Thread- RECV Socket CLOSE...] = %d", m_nConn);
        return;
    }
    const int n = CWinSock::RecvData(Socket(), m_pRecvBuf.get() + m_nFill, kRecvBufSize - m_nFill);
    if (n < 0) {
        // The socket stays; a real break follows as a close.
        WriteSystemLogF("TCP 통신단절 [Thread- 수신 데이타 ERROR...] = %d", m_nConn);
        return;
    }
    m_nFill += n;
    m_pDlg->m_stats.Add(kStatBytesIn, static_cast<uint64_t>(n));
    TakeFrames();
    // The replies of the frames just taken go before the rest of the receive's work: the
    // Manager PC waits for them (the next file packet above all).
    SendQueued();
    m_pDlg->m_nNoRecvTicks = 0;
    ++m_link.m_nRecvEvents;
    m_bCountersChanged = true;
}

void LinkWorker::TakeFrames() {
    int nOffset = 0;
    while (m_nFill - nOffset > 0) {
        int nCapacity = m_nFill - nOffset;
        const int nLength = CTcpCommon::ExtractFrame(m_pFrame.get(), kFrameBufSize, &nCapacity,
                                                     m_pRecvBuf.get() + nOffset, m_nFill - nOffset);
        if (nLength == 0) break;
        if (nLength < 0) {
            DropSocket();
            // At once after a frame error, but a peer that sends nothing else is not
            // called again in a loop: the next one waits the usual period.
            m_bReconnectNow = ++m_nFrameErrorsInRow == 1;
            m_pDlg->m_stats.Add(kStatFrameErrors);
            WriteSystemLogF("TCP 통신단절 [Thread- 통신 Frame ERROR...] = %d", m_nConn);
            m_nFill = 0;
            return;
        }
        m_nFrameErrorsInRow = 0;
        m_pDlg->m_stats.Add(kStatFramesIn);
        m_pDlg->m_stats.SetGauge(kGaugeLastFrameIn, vplat::env()->Time64());
        m_pDlg->TcpMessageRecvFromCenter(m_pFrame.get(), nLength, m_nConn);
        nOffset += nLength;
    }
    if (nOffset > 0) {
        std::memmove(m_pRecvBuf.get(), m_pRecvBuf.get() + nOffset,
                     static_cast<size_t>(m_nFill - nOffset));
        m_nFill -= nOffset;
    }
    // ExtractFrame refuses any length above the frame buffer, so a partial frame always
    // fits; a full buffer without a frame could only stall the link.
    if (m_nFill >= kRecvBufSize) {
        DropSocket();
        m_bReconnectNow = ++m_nFrameErrorsInRow == 1;
        m_pDlg->m_stats.Add(kStatFrameErrors);
        WriteSystemLogF("TCP 통신단절 [Thread- 통신 Frame ERROR...] = %d", m_nConn);
        m_nFill = 0;
    }
}

void LinkWorker::SendPass() {
    if (Socket() == INVALID_SOCKET_T) {
        ClearSendQueue(m_link);
        return;
    }
    int nLength = 0;
    uint64_t nSeq = 0;
    while (PeekOldestFrame(m_link, m_pSendBuf.get(), kLinkSendBufSize, &nLength, &nSeq)) {
        if (SendWhole(m_pSendBuf.get(), nLength)) {
            ++m_link.m_nSentFrames;
            m_pDlg->m_stats.Add(kStatFramesOut);
            m_pDlg->m_stats.SetGauge(kGaugeLastFrameOut, vplat::env()->Time64());
            m_pDlg->m_stats.Add(kStatBytesOut, static_cast<uint64_t>(nLength));
            RemoveSentFrame(m_link, nSeq);
            continue;
        }
        ++m_link.m_nDisconnects;
        m_pDlg->m_stats.Add(kStatDisconnects);
        DropSocket();
        WriteSystemLogF("TCP 통신단절 [Thread- Data 전송 ERROR...] = %d", m_nConn);
        CountVolLinkError();
        break;
    }
    m_bCountersChanged = true;
}

// One frame whole, as a blocking send bounded by the send time-out would send it: what
// the socket does not take at once goes out as it becomes writable, within kIoTimeoutMs.
bool LinkWorker::SendWhole(const uint8_t* pBytes, int nLength) {
    int nSent = CWinSock::SendData(Socket(), pBytes, nLength);
    if (nSent == nLength) return true;  // the usual case: the socket takes it at once
    vplat::Env* pEnv = vplat::env();
    const uint64_t nDeadline = pEnv->MonotonicMs() + kIoTimeoutMs;
    while (nSent >= 0 && nSent < nLength) {
        const uint64_t nNow = pEnv->MonotonicMs();
        if (nNow >= nDeadline) return false;
        const int nReady = CWinSock::WaitSocket(Socket(), vplat::kSockWritable | vplat::kSockError,
                                                static_cast<uint32_t>(nDeadline - nNow));
        if (nReady != vplat::kSockWritable) return false;
        const int n = CWinSock::SendData(Socket(), pBytes + nSent, nLength - nSent);
        nSent = n < 0 ? -1 : nSent + n;
    }
    return nSent == nLength;
}

// The pause rule of the violation-file transfer: more than ten lost links while a
// violation file is in transfer pause the transfer for about 50 minutes.
void LinkWorker::CountVolLinkError() {
    CCenterSession* pSession = m_pDlg->m_pSession;
    if (pSession == nullptr || m_pDlg->m_nOperationMode != 0) return;
    if (pSession->m_nSendKind.load() != SEND_VOL) return;
    if (++pSession->m_nVolLinkErrors > 10) {
        pSession->m_nPauseLimit = m_pDlg->m_nProgramKind == 1 ? 200 : 300;
        pSession->m_nVolLinkErrors = 0;
    }
}

}  // namespace

void LinkThreadProc(CVelmoraDlg* pDlg, int nIndex) {
    CWinSock::StartWinsock();
    if (pDlg == nullptr || pDlg->m_pConn == nullptr || nIndex < 0 || nIndex >= kMaxLinks) {
        CWinSock::CleanupWinsock();
        return;
    }
    pDlg->m_pConn[nIndex].m_dwThreadId = std::this_thread::get_id();
    const int i = pDlg->FindLinkIndex(pDlg->m_nConnCount);
    if (i < 0 || i >= kMaxLinks || !pDlg->m_pConn[i].m_hStopEvent ||
        !pDlg->m_pConn[i].m_hSendEvent || !pDlg->m_pConn[i].m_hNetEvent) {
        CWinSock::CleanupWinsock();
        return;
    }
    LinkWorker(pDlg, i).Run();
    CWinSock::CleanupWinsock();
}
