// The station's health, refreshed by the dialog thread's one-second tick: the link state
// and how long it has been down, the backlog of violation files and the age of the
// oldest, the progress of the file in transfer, and whether this year's system log folder
// exists, all as gauges of the "VelmoraStats" mapping that velmoractl reads. The same tick
// keeps the service manager's watchdog alive, so a dialog thread that hangs is restarted;
// the first tick also tells it that the station is ready.
#include <string>
#include <vector>

#include "app/resource.h"
#include "app/velmora_dlg.h"
#include "commands/center_session.h"
#include "platform/platform.h"

namespace {

constexpr size_t kMaxFilesAged = 1000;  // files whose age is looked at on one tick

}  // namespace

void CVelmoraDlg::UpdateHealth() {
    vplat::Env* pEnv = vplat::env();
    const int nState = m_pConn[0].m_nLinkState.load();
    m_nLinkDownTicks = nState == 1 ? 0 : m_nLinkDownTicks + 1;
    m_stats.SetGauge(kGaugeLinkState, nState);
    m_stats.SetGauge(kGaugeLinkDownFor, m_nLinkDownTicks);

    // The files that wait, as the transfer finds them.
    const std::string szDir = std::string(m_szEnfImgDirectory) + "/";
    const std::string szId = m_pConn[0].m_szLocalId;
    int64_t nWaiting = 0;
    int64_t nOldest = -1;
    if (m_szEnfImgDirectory[0] != '\0' && !szId.empty()) {
        const std::vector<std::string> names = pEnv->FindFiles((szDir + "*." + szId).c_str());
        nWaiting = static_cast<int64_t>(names.size());
        for (size_t k = 0; k < names.size() && k < kMaxFilesAged; ++k) {
            const int64_t nAge = pEnv->FileAgeSeconds((szDir + names[k]).c_str());
            if (nAge > nOldest) nOldest = nAge;
        }
    }
    m_stats.SetGauge(kGaugeBacklog, nWaiting);
    m_stats.SetGauge(kGaugeOldestAge, nOldest);
    std::string szBacklog = "backlog " + std::to_string(nWaiting);
    if (nOldest >= 0) szBacklog += ", oldest " + std::to_string(nOldest / 60) + " min";
    SetItemText(IDC_BACKLOG, szBacklog);

    const bool bVol = m_pSession != nullptr && m_pSession->m_nSendKind.load() == SEND_VOL;
    const int nInFlight = bVol ? m_pSession->m_nVolPacketInFlight.load() : 0;
    m_stats.SetGauge(kGaugeFilePackets, bVol ? m_pSession->m_nVolTotalPacket.load() : 0);
    m_stats.SetGauge(kGaugeFileAcked, nInFlight > 0 ? nInFlight : 0);

    const std::string szLogDir = "d:/System_Log/" + std::to_string(pEnv->GetLocalTimeNow().nYear);
    m_stats.SetGauge(kGaugeSysLogMissing,
                     pEnv->GetPathKind(szLogDir.c_str()) == vplat::PathKind::kDirectory ? 0 : 1);
    m_stats.SetGauge(kGaugeTick, pEnv->Time64());

    if (!m_bServiceReady) {
        m_bServiceReady = true;
        vplat::NotifyServiceManager("READY=1");
    }
    vplat::NotifyServiceManager("WATCHDOG=1");
}
