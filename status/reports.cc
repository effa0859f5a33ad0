// The four reports of the station to the Manager PC: full status (55, 843 bytes), short
// status (59, 24 bytes), traffic (56, 68 bytes) and time (57, 19 bytes). Each is built in
// the session's report frame under m_csSession and queued as one frame; the first three
// are copied from the shared-memory areas and hold back while a file transfer needs the
// link. Lane counts from the area are never trusted beyond the slots of the report.
#include "status/reports.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "app/velmora_dlg.h"
#include "housekeeping/system_log.h"
#include "status/share_mem.h"
#include "status/time_format.h"

uint8_t MapSignalStatus(uint8_t nRaw) {
    // Codes of the main operation program that the Manager PC knows by another number;
    // every other code is sent as it is.
    static const struct {
        uint8_t nRaw;   // code in the area
        uint8_t nSent;  // code in the report
    } kMap[] = {{1, 1}, {2, 4}, {4, 8}, {8, 2}, {5, 9}, {12, 10}, {3, 1}, {7, 1}, {255, 255}};
    uint8_t nSent = nRaw;
    for (const auto& m : kMap) {
        if (m.nRaw == nRaw) nSent = m.nSent;
    }
    DebugF("****** cSignalStatus => %x -> [%x]", nRaw, nSent);
    return nSent;
}

namespace {

// Per-lane rows of the full status report: lanes 0 .. N-1 of the area, never more than
// the row has slots for.
int LaneRows(uint8_t nLanes, int nSlots) { return nLanes < nSlots ? nLanes : nSlots; }

// nCount per-lane fields of nWidth bytes: report offset nDst + nDstStride * i from area
// offset nSrc + nSrcStride * i.
void CopyLanes(uint8_t* pData, const uint8_t* pLs, int nLanes, int nDst, int nDstStride, int nSrc,
               int nSrcStride, int nWidth) {
    for (int i = 0; i < nLanes; ++i) {
        std::memcpy(pData + nDst + nDstStride * i, pLs + nSrc + nSrcStride * i, nWidth);
    }
}

// The 843 data bytes of the full status report from LOCALSTATUSINFO.
void BuildStatusData(uint8_t* d, const uint8_t* ls, int nProgramKind) {
    std::memset(d, 0, kStatusReportSize);
    const uint8_t nLanes = ls[232];
    const int n4 = LaneRows(nLanes, 4);
    const int n2 = LaneRows(nLanes, 2);
    const bool bSignal = (nProgramKind == 1);

    std::memcpy(d + 0, ls + 0, 5);
    std::memcpy(d + 8, ls + 8, 64);
    CopyLanes(d, ls, n2, 72, 32, 136, 32, 32);
    std::memcpy(d + 136, ls + 200, 32);
    d[168] = ls[232];
    std::memcpy(d + 169, ls + 233, 6);
    CopyLanes(d, ls, n4, 175, 1, 693, 1, 1);
    CopyLanes(d, ls, n4, 179, 3, 697, 4, 3);
    CopyLanes(d, ls, n4, 191, 3, 705, 4, 3);
    CopyLanes(d, ls, n4, 203, 12, 713, 12, 12);
    CopyLanes(d, ls, n4, 251, 12, 761, 12, 12);
    CopyLanes(d, ls, n4, 299, 4, 809, 8, 4);
    CopyLanes(d, ls, n4, 315, 4, 841, 8, 4);
    CopyLanes(d, ls, n4, 331, 1, 240, 1, 1);
    for (int i = 0; i < n4; ++i) {
        // Three entries of the byte table at 872, picked by the lane's index bytes (a
        // byte index stays inside the area); an index of 0 sends 0 for the second and third.
        const uint8_t d0 = ls[697 + 4 * i];
        const uint8_t d1 = ls[698 + 4 * i];
        const uint8_t d2 = ls[699 + 4 * i];
        d[335 + 3 * i] = ls[872 + d0];
        d[336 + 3 * i] = d1 == 0 ? 0 : ls[872 + d1];
        d[337 + 3 * i] = d2 == 0 ? 0 : ls[872 + d2];
    }
    CopyLanes(d, ls, n4, 347, 16, 881, 16, 16);
    CopyLanes(d, ls, n4, 411, 4, 949, 4, 4);
    d[427] = ls[244];
    d[428] = ls[239];
    d[429] = ls[2334];
    d[430] = ls[2335];
    d[431] = ls[967];
    d[432] = ls[970];
    d[433] = ls[971];
    d[434] = ls[968];
    d[435] = ls[969];
    d[437] = ls[966];
    CopyLanes(d, ls, n4, 475, 4, 2034, 4, 4);
    CopyLanes(d, ls, n4, 491, 4, 2050, 4, 4);
    CopyLanes(d, ls, n4, 507, 4, 2066, 4, 4);
    CopyLanes(d, ls, n4, 523, 4, 2082, 4, 4);
    CopyLanes(d, ls, n4, 555, 4, 2098, 4, 4);
    CopyLanes(d, ls, n4, 571, 4, 2114, 4, 4);
    if (!bSignal) {
        CopyLanes(d, ls, n2, 587, 4, 2130, 4, 4);
        CopyLanes(d, ls, n2, 595, 4, 2146, 4, 4);
        CopyLanes(d, ls, n2, 603, 4, 2162, 4, 4);
        CopyLanes(d, ls, n2, 611, 4, 2178, 4, 4);
    } else {
        std::memcpy(d + 619, ls + 2217, 4);
        d[623] = ls[2221];
        d[624] = ls[2210];
        d[625] = MapSignalStatus(ls[2211]);
        d[626] = ls[2216];
        CopyLanes(d, ls, n4, 627, 4, 2222, 4, 4);
        CopyLanes(d, ls, n4, 643, 4, 2238, 4, 4);
        CopyLanes(d, ls, n4, 659, 4, 2254, 4, 4);
        CopyLanes(d, ls, n4, 675, 4, 2270, 4, 4);
        CopyLanes(d, ls, n4, 691, 4, 2286, 4, 4);
        std::memcpy(d + 707, ls + 2302, 32);
    }
    std::memcpy(d + 739, ls + 2336, 4);
    std::memcpy(d + 743, ls + 2340, 96);
    PutInt32Le(d + 839, nProgramKind);
}

// The 24 data bytes of the short status report.
void BuildShortStatusData(uint8_t* d, const uint8_t* ls, int nProgramKind, int nSimulationMode,
                          int64_t tNow) {
    std::memset(d, 0, kShortStatusSize);
    d[0] = ls[232];
    d[1] = ls[240];
    d[2] = ls[693];
    if (nProgramKind == 2) {
        d[8] = ls[235];
        d[9] = ls[236];
    } else if (nSimulationMode == 1) {
        d[3] = ls[2210];
        d[4] = 12;
        d[5] = 0;
    } else {
        d[3] = ls[2210];
        d[4] = MapSignalStatus(ls[2211]);
        d[5] = ls[2216];
    }
    d[6] = ls[233];
    d[7] = ls[234];
    FormatTimeDigits(reinterpret_cast<char*>(d + 10), 14, tNow);
}

// Header, the single-frame fields and the data, then the queue and the send box. The
// caller holds m_csSession.
void QueueReport(CCenterSession* pSession, int nOpcode, const uint8_t* pData, int nLength,
                 int nConn) {
    uint8_t* pFrame = pSession->m_pReportFrame.get();
    pSession->BuildFrameHeader(pFrame, nOpcode, nConn);
    char szLen[16];
    std::snprintf(szLen, sizeof szLen, "%07d", nLength);
    std::memcpy(pFrame + 13, szLen, 7);
    std::memcpy(pFrame + 20, "0000", 4);
    std::memcpy(pFrame + kFrameHeader, pData, nLength);
    pSession->QueueFromBuffer(pFrame, pSession->m_nFrameOverhead + nLength, nConn);
    pSession->m_pDlg->ShowFrameCode(2, nOpcode, nLength);
}

bool LinkConnected(CVelmoraDlg* pDlg, int nConn) { return pDlg && pDlg->IsLinkConnected(nConn); }

}  // namespace

void CCenterSession::SendStatusReport(int nConn) {
    CVelmoraDlg* pDlg = m_pDlg;
    if (!LinkConnected(pDlg, nConn) || pDlg->m_bMmfOpen != 1) return;
    if (m_nSendKind == SEND_VOL) {
        DebugF("상태정보 전송 못했음 [위반화일 전송중!!]");
        HoldReport(kPendingStatus);
        return;
    }
    std::lock_guard<std::recursive_mutex> lock(m_csSession);
    if (!m_pReportFrame) return;
    // The report time goes into the area and, from the same text, into the report.
    char szTime[20];
    std::memset(szTime, 0, sizeof szTime);
    FormatTimeText(szTime, sizeof szTime, vplat::env()->Time64());
    uint8_t data[kStatusReportSize];
    {
        std::shared_lock<std::shared_mutex> shm(pDlg->m_shmMutex);
        uint8_t* pLs = pDlg->m_pLocalStatus;
        if (pLs == nullptr) return;  // closed at the end of the program
        std::memcpy(pLs + LS_REPORT_TIME, szTime, sizeof szTime);
        BuildStatusData(data, pLs, pDlg->m_nProgramKind);
    }
    std::memcpy(data + 743, szTime, sizeof szTime);
    QueueReport(this, OP_LOCAL_STATUS, data, kStatusReportSize, nConn);
}

void CCenterSession::SendShortStatus(int nConn) {
    CVelmoraDlg* pDlg = m_pDlg;
    if (!LinkConnected(pDlg, nConn)) return;
    if (pDlg->m_bMmfOpen != 1) {
        DebugF("MMF Not Open - 데이타 통신을 할 수 없다...");
        return;
    }
    if (IsTransferKind(m_nSendKind)) {
        DebugF("Violation/Image Data Sending......");
        HoldReport(kPendingShortStatus);
        return;
    }
    std::lock_guard<std::recursive_mutex> lock(m_csSession);
    if (!m_pReportFrame) return;
    uint8_t data[kShortStatusSize];
    {
        std::shared_lock<std::shared_mutex> shm(pDlg->m_shmMutex);
        if (pDlg->m_pLocalStatus == nullptr) return;  // closed at the end of the program
        BuildShortStatusData(data, pDlg->m_pLocalStatus, pDlg->m_nProgramKind,
                             pDlg->m_nSimulationMode, vplat::env()->Time64());
    }
    QueueReport(this, OP_STATUS, data, kShortStatusSize, nConn);
}

void CCenterSession::SendTrafficReport(int nConn) {
    CVelmoraDlg* pDlg = m_pDlg;
    if (!LinkConnected(pDlg, nConn) || pDlg->m_bMmfOpen != 1) return;
    if (m_nSendKind == SEND_VOL) {
        DebugF("교통정보 전송 못했음 [위반화일 전송 중!!]");
        HoldReport(kPendingTraffic);
        return;
    }
    std::lock_guard<std::recursive_mutex> lock(m_csSession);
    if (!m_pReportFrame) return;
    uint8_t data[kTrafficReportSize];
    {
        std::shared_lock<std::shared_mutex> shm(pDlg->m_shmMutex);
        if (pDlg->m_pTrafficInfo == nullptr) return;  // closed at the end of the program
        std::memcpy(data, pDlg->m_pTrafficInfo, kTrafficReportSize);
    }
    QueueReport(this, OP_TRAFFIC_INFO, data, kTrafficReportSize, nConn);
}

void CCenterSession::SendTimeReport(int nConn) {
    if (m_pDlg == nullptr || nConn < 0 || nConn >= kMaxLinks) return;
    std::lock_guard<std::recursive_mutex> lock(m_csSession);
    if (!m_pReportFrame) return;
    char szTime[20];
    std::memset(szTime, 0, sizeof szTime);
    FormatTimeText(szTime, sizeof szTime, vplat::env()->Time64());
    QueueReport(this, OP_TIME, reinterpret_cast<const uint8_t*>(szTime), kTimeReportSize, nConn);
}
