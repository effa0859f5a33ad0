// Fuzz target for the received side of the manager link: the input is a byte stream from
// the Manager PC, delivered in receives of a size the first byte picks, into a receive
// buffer of the link thread's size. Whole frames are cut with ExtractFrame and handed to
// the dispatcher of a dialog that runs against the fake platform (siblings absent); a
// frame error empties the buffer as on the link. Everything the handlers queue in answer
// must be a well-formed manager frame.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/velmora_dlg.h"
#include "link/tcp_common.h"
#include "fuzz/temp_root.h"
#include "platform/fake/fake_env.h"

namespace {

// The dialog and its session, built once; the fake platform is renewed now and then so
// that what it records does not pile up.
struct Bed {
    std::string szRoot;                    // station root of the fake platform
    std::unique_ptr<vplat::FakeEnv> pEnv;  // the fake platform
    std::unique_ptr<CVelmoraDlg> pDlg;     // the dialog under test
    std::vector<uint8_t> local;            // stands in for LOCALSTATUSINFO
    std::vector<uint8_t> traffic;          // stands in for TRAFFICSENDINFO
    int nRuns = 0;                         // inputs since the platform was renewed

    Bed() {
        szRoot = NewFuzzRoot("velmora-frame-fuzz-");
        if (szRoot.empty()) std::abort();
        std::filesystem::create_directories(szRoot + "/d/QN64-ABRIX/Data");
        std::ofstream(szRoot + "/d/QN64-ABRIX/Data/ConfigInfoSetup.ini")
            << "[LocalInfo]\r\nLOCAL_ADDRESS=ABCDE\r\n";
        NewEnv();
        pDlg = std::make_unique<CVelmoraDlg>();
        pDlg->m_pSession = new CCenterSession(pDlg.get());
        pDlg->m_pSession->Init();
        pDlg->m_nConnCount = 1;
        pDlg->InitLinkEntry(0);
        std::memset(pDlg->m_pConn[0].m_szLocalId, 0, sizeof pDlg->m_pConn[0].m_szLocalId);
        std::memcpy(pDlg->m_pConn[0].m_szLocalId, "ABCDE", 5);
        local.assign(4096, 0);
        std::memcpy(local.data(), "ABCDE", 5);
        traffic.assign(256, 7);
        pDlg->m_pLocalStatus = local.data();
        pDlg->m_pTrafficInfo = traffic.data();
    }

    void NewEnv() {
        if (pEnv) pEnv->Uninstall();
        pEnv = std::make_unique<vplat::FakeEnv>(szRoot);
        pEnv->Install();
    }

    // The same starting state for every input, so that a finding reproduces alone.
    void Reset(uint8_t nSettings) {
        if (++nRuns >= 500) {
            nRuns = 0;
            NewEnv();
        }
        pEnv->SetTime64(vplat::Time64FromLocal(2026, 12, 6, 12, 0, 0));
        CCenterSession* s = pDlg->m_pSession;
        s->m_nSendKind = 0;
        s->m_nVolTotalPacket = 0;
        s->m_nImageTotalPacket = 0;
        s->m_nLogTotalPacket = 0;
        s->m_nResendCount = 0;
        s->m_nRetryRound = 0;
        s->sendRetryCenter = 0;
        pDlg->m_bSendEnable = 0;
        pDlg->m_bUpdateRunning = 0;
        pDlg->m_nRecvFrames = 0;
        pDlg->m_bMmfOpen = (nSettings & 1) ? 1 : 0;
        pDlg->m_nCenterCommKind = (nSettings & 2) ? 1 : 0;
        pDlg->m_nProgramKind = (nSettings & 4) ? 1 : 2;
        pDlg->m_nOperationMode = (nSettings & 8) ? 1 : 0;
        pDlg->m_pConn[0].m_nLinkState = 1;
        pDlg->m_pConn[0].m_bCloseRequested = 0;
        pDlg->TakeQueuedFrames(0);
    }
};

// A queued frame must be finished: start bytes, its own length, CRC and trailer.
void CheckQueued(const std::vector<uint8_t>& f) {
    if (f.size() < static_cast<size_t>(kFrameOverhead) ||
        f.size() > static_cast<size_t>(kSendCopySize)) {
        __builtin_trap();
    }
    const int n = static_cast<int>(f.size());
    if (f[0] != kFrameStart || f[1] != kFrameStart || FrameDecimal(&f[2], 7) != n) __builtin_trap();
    if (f[static_cast<size_t>(n - 2)] != kFrameEnd || f[static_cast<size_t>(n - 1)] != kFrameEnd) {
        __builtin_trap();
    }
    uint32_t nComputed = 0, nStored = 0;
    CTcpCommon::CheckFrameCrc(f.data(), n, &nComputed, &nStored);
    if (nComputed != nStored) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    static Bed* bed = new Bed();  // lives for the whole run
    if (nSize < 2) return 0;
    bed->Reset(pData[1]);
    const size_t nChunk = pData[0] == 0 ? 1 : pData[0] * 8u;  // bytes per receive
    pData += 2;
    nSize -= 2;

    // The link thread's buffers, exactly sized so that a stray access is caught.
    std::unique_ptr<uint8_t[]> pRecv(new uint8_t[kRecvBufSize]);
    std::unique_ptr<uint8_t[]> pFrame(new uint8_t[kFrameBufSize]);
    int nFill = 0;
    size_t nAt = 0;
    while (nAt < nSize) {
        size_t nTake = nSize - nAt;
        if (nTake > nChunk) nTake = nChunk;
        if (nTake > static_cast<size_t>(kRecvBufSize - nFill)) nTake = kRecvBufSize - nFill;
        std::memcpy(pRecv.get() + nFill, pData + nAt, nTake);
        nFill += static_cast<int>(nTake);
        nAt += nTake;
        int nOffset = 0;
        while (nFill - nOffset > 0) {
            int nCapacity = nFill - nOffset;
            const int n = CTcpCommon::ExtractFrame(pFrame.get(), kFrameBufSize, &nCapacity,
                                                   pRecv.get() + nOffset, nFill - nOffset);
            if (n == 0) break;
            if (n < 0) {
                nFill = 0;
                nOffset = 0;
                break;
            }
            if (n < kFrameOverhead || n > kFrameBufSize || nCapacity != n) __builtin_trap();
            bed->pDlg->TcpMessageRecvFromCenter(pFrame.get(), n, 0);
            nOffset += n;
        }
        std::memmove(pRecv.get(), pRecv.get() + nOffset, static_cast<size_t>(nFill - nOffset));
        nFill -= nOffset;
        // A partial frame always fits: nothing longer than a frame buffer is waited for.
        if (nFill >= kRecvBufSize) __builtin_trap();
        for (const auto& f : bed->pDlg->TakeQueuedFrames(0)) CheckQueued(f);
        bed->pDlg->m_pConn[0].m_nLinkState = 1;  // a hang-up only ends this receive's link
    }
    return 0;
}
