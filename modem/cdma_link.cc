// The CDMA link of a station without a leased line: dialling (the modem port is given up
// to the dialer "Brisketon", which is started minimised when it is not running, and the
// violation transfer timer runs again) and hanging up on the center's order (the
// connection to the center is closed before the dialer is told to end twice, the
// transfer timers stop, and the modem port is taken back once the dialer's window has
// gone, so that the next SMS is heard). A leased-line station ignores all of it.
#include <cstdio>
#include <cstring>

#include "app/siblings.h"
#include "app/velmora_dlg.h"
#include "housekeeping/system_log.h"

namespace {

constexpr int kShowMinimized = 6;          // SW_MINIMIZE
constexpr uint32_t kPortReleaseMs = 1000;  // lets the modem settle before the dialer takes it
constexpr uint32_t kDestroyGapMs = 500;    // between the two WM_DESTROY to the dialer
// Longest wait for the link thread to close the connection when another thread hangs up:
// the link thread may be inside a connect attempt or a send, each bounded by 5 s.
constexpr uint32_t kLinkCloseWaitMs = 6000;

}  // namespace

void CVelmoraDlg::StartCdmaLink() {
    if (m_nCenterCommKind == 0) return;

    // 1. The dialer needs the modem port: give it up, and stop wanting a lost one back.
    bool bPortHeld = false;
    {
        std::lock_guard<std::mutex> lock(m_csPort);
        m_bReopenPort = 0;
        bPortHeld = (m_bComOpen == 1);
    }
    if (bPortHeld) {
        CloseSerialLink();
        vplat::env()->SleepMs(kPortReleaseMs);
    }

    // 2. The dialer, unless it runs already.
    if (vplat::env()->FindWindowTitle(sib::kBrisketon).IsNull()) {
        char szCommand[128];
        const size_t nDir = strnlen(m_szBinDir, sizeof m_szBinDir);
        std::snprintf(szCommand, sizeof szCommand, "%.*s/%s", static_cast<int>(nDir), m_szBinDir,
                      sib::kBrisketonExe);
        vplat::env()->StartProgram(szCommand, kShowMinimized);  // a missing dialer fails silently
    }

    // 3. Violation transfer runs again.
    StartTimer(kTimerVolSend, m_nProgramKind == 1 ? 16000 : 10000);

    // 4.-5.
    DebugF("==> create CDMA Comm Thread..");
    m_bLinkExpected = 1;
    m_bComOpen = 0;
}

void CVelmoraDlg::CloseSerialLink() {
    if (m_nCenterCommKind == 0) return;
    {
        std::lock_guard<std::mutex> lock(m_csPort);
        if (!m_hComPort.IsOpen() || m_bComOpen == 0) return;
        CloseComm(m_hComPort);
        m_hComPort = vplat::SerialHandle{};
        m_bComOpen = 0;
    }
    StopTimer(kTimerSerial);
    DebugF("<== end Serial Comm Thread..");
}

void CVelmoraDlg::StopCdmaLink() {
    if (m_nCenterCommKind == 0) return;

    // 1. The connection is closed before the dialer hears of the hang-up. Command 78 runs
    // on the link thread, which closes its socket itself, at once.
    if (m_pConn != nullptr && m_pConn[0].m_nLinkState == 1 && !CloseLinkNow(0, kLinkCloseWaitMs)) {
        DebugF("StopCdmaLink: the link thread did not close the connection in time");
    }

    // 2.-3. The link is no longer wanted; violation transfer stops meanwhile.
    m_bLinkExpected = 0;
    StopTimer(kTimerVolSend);
    StopTimer(kTimerCdma);

    // 4. The dialer is asked twice to end.
    sib::SendToSibling(sib::kBrisketon, sib::WM_DESTROY_, 0, 0);
    vplat::env()->SleepMs(kDestroyGapMs);
    sib::SendToSibling(sib::kBrisketon, sib::WM_DESTROY_, 0, 0);

    // 5.
    DebugF("==> end CDMA Comm Thread..");

    // The dialer is done with the modem once its window has gone: listen for the next SMS.
    TakeModemPortBack();
}
