// The link entries and their send queues: setting an entry up and releasing it, finding
// the entry of the calling link thread, finishing and queuing an outgoing frame (from any
// thread), hanging a link up (by its own thread, or by asking it), and the send pass's
// access to the queue. Each queue is a ring of kQueueSlots slots that keeps the
// kQueueKeep newest frames; its head, count and slots are touched only under the entry's
// m_hQueueMutex.
#include "link/send_queue.h"

#include <cstring>

#include "link/tcp_client_comm.h"

namespace {

// Appends one frame: its header and data are copied from pFrame and it is finished in
// its slot (length field of seven digits without a terminator, CRC, trailer). When the
// ring would hold kQueueSlots frames the oldest is dropped (the result is then true).
// Caller holds the queue mutex.
bool AppendFrame(SendQueue& q, const uint8_t* pFrame, int nLength) {
    QueueSlot& slot = q.slots[(q.nHead + q.nCount) % kQueueSlots];
    constexpr int kTail = kFrameOverhead - kFrameHeader;  // CRC and trailer
    std::memcpy(slot.bytes, pFrame, static_cast<size_t>(nLength - kTail));
    for (int k = 8, n = nLength; k >= 2; --k, n /= 10)  // "%07d" (nLength < 10,000,000)
        slot.bytes[k] = static_cast<uint8_t>('0' + n % 10);
    CTcpCommon::PutFrameCrc(slot.bytes, nLength);
    slot.bytes[nLength - 2] = kFrameEnd;
    slot.bytes[nLength - 1] = kFrameEnd;
    slot.nLength = nLength;
    slot.nSeq = q.nNextSeq++;
    if (++q.nCount > kQueueKeep) {
        q.slots[q.nHead].nLength = 0;
        q.nHead = (q.nHead + 1) % kQueueSlots;
        q.nCount = kQueueKeep;
        return true;
    }
    return false;
}

bool ValidLink(const CTcpClientComm& comm, int i) {
    return i >= 0 && i < kMaxLinks && comm.m_pConn != nullptr;
}

}  // namespace

bool PeekOldestFrame(LinkEntry& link, uint8_t* pBuf, int nBufSize, int* pnLength, uint64_t* pnSeq) {
    std::lock_guard<std::mutex> lock(link.m_hQueueMutex);
    SendQueue* q = link.m_pQueue;
    if (q == nullptr || q->nCount <= 0) return false;
    const QueueSlot& slot = q->slots[q->nHead];
    int nLength = slot.nLength;
    if (nLength < 0) nLength = 0;
    if (nLength > nBufSize) nLength = nBufSize;
    std::memcpy(pBuf, slot.bytes, static_cast<size_t>(nLength));
    *pnLength = nLength;
    *pnSeq = slot.nSeq;
    return true;
}

void RemoveSentFrame(LinkEntry& link, uint64_t nSeq) {
    std::lock_guard<std::mutex> lock(link.m_hQueueMutex);
    SendQueue* q = link.m_pQueue;
    if (q == nullptr || q->nCount <= 0 || q->slots[q->nHead].nSeq != nSeq) return;
    q->slots[q->nHead].nLength = 0;
    q->nHead = (q->nHead + 1) % kQueueSlots;
    --q->nCount;
}

bool HasQueuedFrames(LinkEntry& link) {
    std::lock_guard<std::mutex> lock(link.m_hQueueMutex);
    return link.m_pQueue != nullptr && link.m_pQueue->nCount > 0;
}

void ClearSendQueue(LinkEntry& link) {
    std::lock_guard<std::mutex> lock(link.m_hQueueMutex);
    if (link.m_pQueue == nullptr) return;
    link.m_pQueue->nHead = 0;
    link.m_pQueue->nCount = 0;
}

int CTcpClientComm::QueueFrame(const uint8_t* pFrame, int nLength, int nConn) {
    if (nConn < 0 || !ValidLink(*this, nConn) || pFrame == nullptr ||
        m_pConn[nConn].m_nLinkState.load() != 1 ||  // only a connected link takes frames
        nLength < kFrameOverhead || nLength > kQueueSlotBytes) {
        m_stats.Add(kStatQueueRefused);
        return 0;
    }
    LinkEntry& link = m_pConn[nConn];

    // The link thread sends what it queued itself once the frames it received are
    // dispatched, or at the end of its turn; only other threads need to wake it.
    const bool bWake = link.m_dwThreadId.load() != std::this_thread::get_id();
    std::lock_guard<std::mutex> lock(link.m_hQueueMutex);
    // Asked again under the lock: the link thread leaves the connected state before it
    // empties the queue, so a frame is either emptied with its connection or refused.
    if (link.m_pQueue == nullptr || link.m_nLinkState.load() != 1) {
        m_stats.Add(kStatQueueRefused);
        return 0;
    }
    if (AppendFrame(*link.m_pQueue, pFrame, nLength)) m_stats.Add(kStatQueueDropped);
    if (bWake && link.m_hSendEvent) link.m_hSendEvent->Set();
    return 1;
}

std::vector<std::vector<uint8_t>> CTcpClientComm::TakeQueuedFrames(int nConn) {
    std::vector<std::vector<uint8_t>> frames;
    if (!ValidLink(*this, nConn)) return frames;
    LinkEntry& link = m_pConn[nConn];
    std::lock_guard<std::mutex> lock(link.m_hQueueMutex);
    SendQueue* q = link.m_pQueue;
    if (q == nullptr) return frames;
    while (q->nCount > 0) {
        const QueueSlot& slot = q->slots[q->nHead];
        frames.emplace_back(slot.bytes, slot.bytes + slot.nLength);
        q->nHead = (q->nHead + 1) % kQueueSlots;
        --q->nCount;
    }
    q->nHead = 0;
    return frames;
}

void CTcpClientComm::InitLinkEntry(int i) {
    if (!ValidLink(*this, i)) return;
    if (m_pSendQueues == nullptr) {
        // The storage is normally reserved by the constructor; reserve it here otherwise.
        m_pSendQueuesStorage.reset(new SendQueue[kMaxLinks]);  // slot bytes left untouched
        m_pSendQueues = m_pSendQueuesStorage.get();
    }
    LinkEntry& link = m_pConn[i];
    link.m_nSentFrames = 0;
    link.m_nRecvEvents = 0;
    link.m_nLinkState = 0;
    link.m_dwThreadId = std::thread::id();
    link.m_nIndex = -1;
    link.m_bCloseRequested = 0;
    std::lock_guard<std::mutex> lock(link.m_hQueueMutex);
    if (link.m_pQueue == nullptr) link.m_pQueue = &m_pSendQueues[i];
    link.m_pQueue->nHead = 0;
    link.m_pQueue->nCount = 0;
    link.m_pQueue->nNextSeq = 1;
    link.m_hStopEvent = vplat::env()->NewEvent(false);
    link.m_hSendEvent = vplat::env()->NewEvent(false);
    link.m_hNetEvent = vplat::env()->NewEvent(false);
    link.m_hClosedEvent = vplat::env()->NewEvent(false);
}

void CTcpClientComm::ReleaseLinkEntry(int i) {
    if (!ValidLink(*this, i)) return;
    LinkEntry& link = m_pConn[i];
    // The event objects stay with the entry until it is set up again: other threads may
    // still signal them (a queued frame, a hang-up, the dialog stopping the thread), and
    // must never reach freed memory. Released, they are only cleared.
    std::lock_guard<std::mutex> lock(link.m_hQueueMutex);
    if (link.m_hStopEvent) link.m_hStopEvent->Reset();
    if (link.m_hSendEvent) link.m_hSendEvent->Reset();
    if (link.m_hNetEvent) link.m_hNetEvent->Reset();
    if (link.m_hClosedEvent) link.m_hClosedEvent->Reset();
    link.m_hSocket = INVALID_SOCKET_T;
}

int CTcpClientComm::FindLinkIndex(int nCount) {
    if (nCount < 1 || m_pConn == nullptr) return -1;
    if (nCount == 1) return 0;
    const std::thread::id self = std::this_thread::get_id();
    for (int i = 0; i < nCount && i < kMaxLinks; ++i) {
        if (m_pConn[i].m_dwThreadId.load() == self) return i;
    }
    return -1;
}

void CTcpClientComm::RequestLinkClose(int i) {
    if (!ValidLink(*this, i)) return;
    LinkEntry& link = m_pConn[i];
    link.m_nLinkState = 2;
    link.m_bCloseRequested = 1;
    std::lock_guard<std::mutex> lock(link.m_hQueueMutex);
    if (link.m_hSendEvent) link.m_hSendEvent->Set();
}

bool CTcpClientComm::CloseLinkNow(int i, uint32_t nWaitMs) {
    if (!ValidLink(*this, i)) return false;
    LinkEntry& link = m_pConn[i];
    link.m_nLinkState = 2;
    const std::thread::id owner = link.m_dwThreadId.load();
    if (owner == std::this_thread::get_id() || owner == std::thread::id()) {
        // The socket's owner is the caller, or nobody: no other thread can be using it.
        CloseSocket(link.m_hSocket.exchange(INVALID_SOCKET_T));
        ClearSendQueue(link);
        return true;
    }
    if (!link.m_hClosedEvent) return false;
    link.m_hClosedEvent->Reset();
    RequestLinkClose(i);
    vplat::Event* const events[1] = {link.m_hClosedEvent.get()};
    return vplat::env()->WaitEventsOrSocket(events, 1, vplat::kNoSocket, nWaitMs) == 0;
}
