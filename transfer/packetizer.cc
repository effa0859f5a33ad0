// The common packetising of the file transfers: info packet and data packets prepared as
// frames in a packet table, one slot per packet, and sent one at a time as the Manager PC
// acknowledges them.
#include "transfer/packetizer.h"

#include <cstdio>
#include <cstring>

#include "app/velmora_dlg.h"
#include "commands/center_session.h"
#include "link/tcp_common.h"

namespace {

constexpr int kPacketData = 3000;   // data bytes of a file packet
constexpr int kOffDataLength = 13;  // "%07d"
constexpr int kOffPacketNo = 20;    // "%04d"
constexpr int kOffData = kFrameHeader;
constexpr int kInfoSizeDigits = 7;  // the file size at the start of the info packet
constexpr int kSendBox = 2;         // ShowFrameCode: the send box

// Writes nValue as nWidth zero-padded digits, without a terminating zero.
void PutDigits(uint8_t* pField, int nWidth, int nValue) {
    char szText[16] = {};
    std::snprintf(szText, sizeof szText, "%0*d", nWidth, nValue);
    std::memcpy(pField, szText, static_cast<size_t>(nWidth));
}

uint8_t* SlotAt(uint8_t* pSlots, int k) { return pSlots + static_cast<size_t>(k) * kFrameBufSize; }

}  // namespace

int FilePacketCount(int nSize) {
    if (nSize < 0) nSize = 0;
    return (nSize + kPacketData - 1) / kPacketData + 1;
}

int SendFilePackets(CCenterSession* pSession, const FilePacketPlan& plan, const uint8_t* pData,
                    int nSize, const char* szName, int nConn) {
    if (nSize < 0) nSize = 0;
    const int nTotal = FilePacketCount(nSize);
    plan.pTotal->store(nTotal);
    if (plan.pfnReport) plan.pfnReport(pSession, nTotal, nSize);
    if (nTotal >= plan.nMaxSlots) {
        if (plan.pfnSizeError) plan.pfnSizeError(nTotal, nSize);
        return 0;
    }

    std::memset(plan.pSlots, 0, static_cast<size_t>(nTotal) * kFrameBufSize);

    // Packet 0: the size as seven digits, then the name without its terminating zero.
    uint8_t* pInfo = SlotAt(plan.pSlots, 0);
    pSession->BuildFrameHeader(pInfo, plan.nOpcode, nConn);
    PutDigits(pInfo + kOffPacketNo, 4, 0);
    PutDigits(pInfo + kOffData, kInfoSizeDigits, nSize);
    size_t nNameLength = szName ? std::strlen(szName) : 0;
    const size_t nNameRoom = kFrameBufSize - kOffData - kInfoSizeDigits;
    if (nNameLength > nNameRoom) nNameLength = nNameRoom;
    if (nNameLength > 0) std::memcpy(pInfo + kOffData + kInfoSizeDigits, szName, nNameLength);
    const int nInfoLength = kInfoSizeDigits + static_cast<int>(nNameLength);
    PutDigits(pInfo + kOffDataLength, 7, nInfoLength);

    const int nDataPackets = nTotal - 1;
    for (int k = 1; k <= nDataPackets; ++k) {
        uint8_t* pSlot = SlotAt(plan.pSlots, k);
        const int nFrom = (k - 1) * kPacketData;
        const int nLength = (k < nDataPackets) ? kPacketData : nSize - nFrom;
        pSession->BuildFrameHeader(pSlot, plan.nOpcode, nConn);
        PutDigits(pSlot + kOffPacketNo, 4, k);
        PutDigits(pSlot + kOffDataLength, 7, nLength);
        std::memcpy(pSlot + kOffData, pData + nFrom, static_cast<size_t>(nLength));
    }

    SendPacketSlot(pSession, plan.pSlots, plan.nMaxSlots, 0, nConn, plan.pInFlight);
    pSession->m_nSendKind = plan.nKind;
    // The busy rule judges this transfer by its own acknowledgements only.
    pSession->m_nProgressSeen = pSession->m_nTransferProgress.load();
    pSession->m_pDlg->ShowFrameCode(kSendBox, plan.nOpcode, nInfoLength);
    return 1;
}

int SendPacketSlot(CCenterSession* pSession, const uint8_t* pSlots, int nMaxSlots, int k, int nConn,
                   std::atomic<int>* pInFlight) {
    if (k < 0 || k >= nMaxSlots) return 0;
    const uint8_t* pSlot = pSlots + static_cast<size_t>(k) * kFrameBufSize;
    int nLength = FrameDecimal(pSlot + kOffDataLength, 7);
    if (nLength < 0) nLength = 0;
    if (nLength > kPacketData) nLength = kPacketData;

    // The frame handed on is the data plus the whole overhead; QueueFrame reads only the
    // header and the data, straight from the slot, and writes the length field, the CRC
    // and the trailer in the queue: one copy of the packet per acknowledgement.
    if (pInFlight) pInFlight->store(k);
    return pSession->m_pDlg->QueueFrame(pSlot, nLength + kFrameOverhead, nConn);
}

int ReplyPacketNumber(const uint8_t* pFrame) { return FrameDecimal(pFrame + kOffPacketNo, 4); }

uint8_t ReplyStatus(const uint8_t* pFrame) { return pFrame[kOffData]; }

bool LinkIsConnected(CCenterSession* pSession, int nConn) {
    return pSession->m_pDlg != nullptr && pSession->m_pDlg->IsLinkConnected(nConn);
}
