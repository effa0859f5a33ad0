// The serial thread of a CDMA station and the opening of the modem port. The thread
// waits for characters from the modem (three seconds at a time, or until its stop event)
// and hands them to OnSerialReceive 20 ms after they arrived; while no port is open it
// idles in one-second steps. When the device vanishes (a USB modem unplugged) the port
// is closed, the loss goes on record, and the thread tries the configured device again
// every few seconds until it is back. The modem belongs to the dialer "Brisketon" while
// the link is expected up or while the dialer's window exists: the port is then neither
// opened at start-up nor tried again, and after a hang-up it is taken back only once the
// dialer's window has gone.
#include <cstdio>
#include <cstring>

#include "app/siblings.h"
#include "app/velmora_dlg.h"
#include "housekeeping/system_log.h"

namespace {

constexpr uint32_t kIdleMs = 1000;        // one idle step while no port is open
constexpr uint32_t kWaitMs = 3000;        // longest wait for characters
constexpr uint32_t kSettleMs = 20;        // lets the rest of a line arrive before reading
constexpr int kReopenEveryIdleSteps = 5;  // a lost port is tried again every 5 idle steps
constexpr uint32_t kDialerGoneWaitMs = 3000;  // longest wait for the dialer's window to go
constexpr uint32_t kDialerPollMs = 100;       // how often its window is looked for

// The configured device as a NUL-terminated text (the setting may fill its buffer).
void ModemDevice(const CVelmoraDlg* pDlg, char* szOut, size_t nSize) {
    const size_t nLen = strnlen(pDlg->m_szModemDevice, sizeof pDlg->m_szModemDevice);
    std::snprintf(szOut, nSize, "%.*s", static_cast<int>(nLen), pDlg->m_szModemDevice);
}

// Opens the configured device unless a port is open already. bRetry: a quiet attempt of
// the serial thread, made only while the port is wanted back and the modem is free. A
// first failure is put on record and leaves the port wanted back, so a modem plugged in
// later is picked up by the thread. True when a port is open afterwards.
bool TryOpenPort(CVelmoraDlg* pDlg, bool bRetry) {
    char szDevice[sizeof pDlg->m_szModemDevice + 1];
    ModemDevice(pDlg, szDevice, sizeof szDevice);
    if (szDevice[0] == '\0') return false;
    if (bRetry && (pDlg->m_bReopenPort == 0 || !pDlg->ModemPortFree())) return false;
    bool bOpened = false;
    {
        std::lock_guard<std::mutex> lock(pDlg->m_csPort);
        if (pDlg->m_hComPort.IsOpen()) return true;
        if (bRetry && pDlg->m_bReopenPort == 0) return false;  // handed to the dialer meanwhile
        const vplat::SerialHandle h = vplat::env()->SerialOpen(szDevice, pDlg->m_nModemBaud);
        if (h.IsOpen()) {
            pDlg->m_hComPort = h;
            pDlg->m_bComOpen = 1;
            pDlg->m_bReopenPort = 0;
            bOpened = true;
        } else {
            pDlg->m_bReopenPort = 1;
        }
    }
    if (bOpened) {
        WriteSystemLogF(bRetry ? "MODEM: 포트를 다시 열었음 [%s]" : "MODEM: 포트 열림 [%s]",
                        LogBytes(szDevice).c_str());
    } else if (!bRetry) {
        WriteSystemLogF("MODEM: 포트를 열 수 없음 [%s]", LogBytes(szDevice).c_str());
    }
    return bOpened;
}

// The port handle as it stands now.
vplat::SerialHandle CurrentPort(CVelmoraDlg* pDlg) {
    std::lock_guard<std::mutex> lock(pDlg->m_csPort);
    return pDlg->m_hComPort;
}

// Closes the port h after its device vanished, if it is still the dialog's port, and
// leaves it wanted back.
void OnPortVanished(CVelmoraDlg* pDlg, vplat::SerialHandle h) {
    bool bClosed = false;
    {
        std::lock_guard<std::mutex> lock(pDlg->m_csPort);
        if (pDlg->m_hComPort.IsOpen() && pDlg->m_hComPort.nHandle == h.nHandle) {
            pDlg->CloseComm(h);
            pDlg->m_hComPort = vplat::SerialHandle{};
            pDlg->m_bComOpen = 0;
            pDlg->m_bReopenPort = 1;
            bClosed = true;
        }
    }
    if (bClosed) {
        char szDevice[sizeof pDlg->m_szModemDevice + 1];
        ModemDevice(pDlg, szDevice, sizeof szDevice);
        WriteSystemLogF("MODEM: 포트 장치가 사라짐 [%s]", LogBytes(szDevice).c_str());
    }
}

// One idle step; true when the stop event was set meanwhile.
bool IdleStep(vplat::Event* pStop) {
    if (pStop == nullptr) {
        vplat::env()->SleepMs(kIdleMs);
        return false;
    }
    vplat::Event* const events[1] = {pStop};
    return vplat::env()->WaitEventsOrSocket(events, 1, vplat::kNoSocket, kIdleMs) == 0;
}

}  // namespace

bool CVelmoraDlg::ModemPortFree() {
    return m_bLinkExpected == 0 && vplat::env()->FindWindowTitle(sib::kBrisketon).IsNull();
}

void CVelmoraDlg::OpenModemPort() {
    if (m_nCenterCommKind == 0) return;
    if (m_szModemDevice[0] == '\0') {
        DebugF("MODEM: no MODEM_PORT configured, the modem is not heard");
        return;
    }
    if (!ModemPortFree()) {
        DebugF("MODEM: the port is left to the dialer (link expected %d)", m_bLinkExpected.load());
        return;
    }
    TryOpenPort(this, false);
}

void CVelmoraDlg::TakeModemPortBack() {
    if (m_nCenterCommKind == 0 || m_szModemDevice[0] == '\0') return;
    m_bReopenPort = 1;
    vplat::Env* pEnv = vplat::env();
    for (uint32_t nWaited = 0; !pEnv->FindWindowTitle(sib::kBrisketon).IsNull();
         nWaited += kDialerPollMs) {
        if (nWaited >= kDialerGoneWaitMs) {
            DebugF("MODEM: the dialer's window stays; the serial thread takes the port later");
            return;
        }
        pEnv->SleepMs(kDialerPollMs);
    }
    if (m_bLinkExpected == 0) TryOpenPort(this, false);
}

void SerialThreadProc(CVelmoraDlg* pDlg) {
    vplat::Event* const pStop = pDlg->m_hSerialStop.get();
    int nIdleSteps = 0;  // idle steps since the last attempt to get a lost port back
    while (pDlg->m_bSerialRun != 0) {
        const vplat::SerialHandle h = CurrentPort(pDlg);
        if (!h.IsOpen()) {
            if (pDlg->m_bReopenPort != 0 && ++nIdleSteps >= kReopenEveryIdleSteps) {
                nIdleSteps = 0;
                if (TryOpenPort(pDlg, true)) continue;
            }
            if (IdleStep(pStop)) break;
            continue;
        }
        nIdleSteps = 0;
        int nQueued = 0;
        const int nResult = vplat::env()->SerialWait(h, pStop, kWaitMs, &nQueued);
        if (nResult == -1) break;  // stop event
        if (nResult == -2) {
            OnPortVanished(pDlg, h);
            continue;
        }
        if (nResult == 1) {
            vplat::env()->SleepMs(kSettleMs);
            if (nQueued > 0) pDlg->OnSerialReceive(nQueued);
            continue;
        }
        if (nResult != 0) vplat::env()->SleepMs(kSettleMs);  // an answer the port never gives
    }
    pDlg->m_bSerialRun = 0;
    std::lock_guard<std::mutex> lock(pDlg->m_csPort);
    if (pDlg->m_hComPort.IsOpen()) {
        pDlg->CloseComm(pDlg->m_hComPort);
        pDlg->m_hComPort = vplat::SerialHandle{};
        pDlg->m_bComOpen = 0;
    }
}
