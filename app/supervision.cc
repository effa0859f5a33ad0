// What drives the dialog after start-up: the timers (second tick, supervision and link
// watchdog, violation transfer, status report, daily running log, first short status),
// the window message of the main operation program and the two buttons.
#include <cstdio>
#include <cstring>
#include <shared_mutex>

#include "app/resource.h"
#include "app/siblings.h"
#include "app/velmora_dlg.h"
#include "housekeeping/cleanup.h"
#include "housekeeping/system_log.h"

void CVelmoraDlg::OnTimer(unsigned nIdEvent) {
    switch (nIdEvent) {
        case kTimerSecond:
            OnSecondTick();
            break;
        case kTimerSupervise:
            if (m_nVolFileSendSystem == 1) m_bSendToManager = 1;
            if (m_bMmfOpen != 1) {
                if (!vplat::env()->FindWindowTitle(sib::kHarwent).IsNull()) {
                    if (OpenSharedMemory()) m_bMmfOpen = 1;
                } else {
                    SetItemText(IDC_NOTICE, "Not Open MMF");
                }
                if (m_bMmfOpen != 1) break;
            }
            PublishSendToManager();
            CheckLinkWatchdog(0);
            break;
        case kTimerVolSend:
            RunViolationTransfer();
            break;
        case kTimerStatus:
            m_pSession->SendStatusReport(0);
            break;
        case kTimerRunLog: {
            if (m_bSendToManager != 1) break;
            const vplat::LocalTime t = vplat::env()->GetLocalTimeNow();
            if (m_bLogSentToday == 0 && t.nHour == 23 && t.nMinute >= m_nLogSendMinute &&
                t.nSecond >= m_nLogSendSecond) {
                m_pSession->SendRunningLog(0);
            }
            break;
        }
        case kTimerFirstStatus:
            m_pSession->SendShortStatus(0);
            StopTimer(kTimerFirstStatus);
            break;
        default:
            break;
    }
}

void CVelmoraDlg::OnSecondTick() {
    SetItemIcon(IDC_LINK_ICON, m_pConn[0].m_nLinkState == 1 ? m_hIconLinkUp : m_hIconLinkDown);
    sib::SendToSibling(sib::kHarwent, sib::WM_LINK_STATE, sib::kCodeHeartbeat, 0);
    SetItemText(IDC_DISCONNECTS, std::to_string(m_pConn[0].m_nDisconnects.load()));
    const vplat::LocalTime t = vplat::env()->GetLocalTimeNow();
    if (t.nHour == 0 && t.nMinute == 0 && t.nSecond == 0) {
        const int64_t tNow = vplat::env()->Time64();
        MoveOldImageFiles(tNow);
        DeleteOldNoPlateFiles(tNow);
        m_bLogSentToday = 0;
    }
    UpdateHealth();
}

void CVelmoraDlg::CheckLinkWatchdog(int nConn) {
    LinkEntry& link = m_pConn[nConn];
    const bool bHealthy = link.m_nLinkState == 1 || m_bLinkExpected == 0;
    sib::PostToSibling(sib::kHarwent, sib::WM_LINK_STATE, sib::kCodeLinkHealth, bHealthy ? 1 : 0);
    if (m_bMmfOpen != 1) return;

    // The station's own address for the main operation program.
    const uint32_t ip = GetLocalAddress();
    char szAddr[16] = {};
    std::snprintf(szAddr, sizeof szAddr, "%u.%u.%u.%u", (ip >> 24) & 0xFF, (ip >> 16) & 0xFF,
                  (ip >> 8) & 0xFF, ip & 0xFF);
    {
        std::shared_lock<std::shared_mutex> lock(m_shmMutex);
        if (m_pLocalStatus != nullptr) {
            std::memcpy(m_pLocalStatus + LS_OWN_ADDRESS, szAddr, sizeof szAddr);
        }
    }

    if (m_nOperationMode != 0) return;
    if (vplat::env()->FindWindowTitle(sib::kQuillamor).IsNull()) m_bUpdateRunning = 0;
    if (m_nRecvFrames != 0 || m_bUpdateRunning == 1) {
        m_nNoRecvTicks = 0;
    } else {
        const int nTicks = ++m_nNoRecvTicks;
        if (nTicks > 20 && link.m_nLinkState == 1) {
            sib::SendToSibling(sib::kBrisketon, sib::WM_DESTROY_, 0, 0);
            vplat::env()->SleepMs(1000);
            WriteSystemLog("일정시간 수신데이타 없어서 통신프로그램 Restart !!");
            // WM_DESTROY to the own window runs OnDestroy at once on this thread.
            OnDestroy();
        }
    }
    m_nRecvFrames = 0;
}

void CVelmoraDlg::RunViolationTransfer() {
    if (m_bSendToManager != 1) return;
    if (UpdateSendState() == 0) return;
    if (m_bSendEnable == 1) m_pSession->SendViolationFile();
}

int CVelmoraDlg::UpdateSendState() {
    if (m_bSendEnable == 0) {
        SetItemText(IDC_SEND_STATE, "전송 중지 !!!");
        SetItemText(IDC_BTN_SEND, "Send Stop");
        return 0;
    }
    SetItemText(IDC_BTN_SEND, "관리 전송");
    if (m_bSendToManager != 0) {
        SetItemText(IDC_SEND_STATE, "관리PC로 전송중.....");
        return 1;
    }
    SetItemText(IDC_SEND_STATE, "표준서버로 화일 전송중.....");
    return 0;
}

intptr_t CVelmoraDlg::OnWmMgrViolation(uintptr_t wParam, intptr_t lParam) {
    vplat::env()->DebugOutput("OnWmMgrViolation");
    const int nCode = static_cast<int>(wParam);
    switch (nCode) {
        case sib::kNoticeVolFile:
            if (m_bSendEnable == 1 && m_bLinkExpected == 0 && m_nOperationMode == 0) {
                vplat::env()->DebugOutput(
                    "Create CDMA Modem - 위반화일이 만들어 져서 CDMA 연결 !!!");
                StartCdmaLink();
            }
            break;
        case sib::kNoticeRoadImage:
        case sib::kNoticeCarImage:
        case sib::kNoticeTrackingImage:
            m_pSession->SendImageFile(nCode, 0);
            break;
        case sib::kNoticeTraffic:
            if (m_bUpdateRunning == 0) m_pSession->SendTrafficReport(0);
            break;
        case sib::kNoticeStatus:
            if (m_bUpdateRunning == 0) m_pSession->SendStatusReport(0);
            break;
        case sib::kNoticeShortStatus:
            m_pSession->SendShortStatus(0);
            break;
        case sib::kNoticeSendSwitch:
            if (lParam == 1) {
                m_bSendEnable = 0;
            } else {
                m_bSendEnable = 1;
                m_bUpdateRunning = 0;
            }
            break;
        default:
            break;
    }
    return 0;
}

void CVelmoraDlg::OnBnClickedSendToggle() {
    if (m_bSendEnable != 1) {
        m_bSendEnable = 1;
        SetItemText(IDC_BTN_SEND, "관리 전송");
    } else {
        m_bSendEnable = 0;
        SetItemText(IDC_BTN_SEND, "Send Stop");
    }
}

void CVelmoraDlg::OnBnClickedCdma() {
    if (m_bLinkExpected == 0 && m_nOperationMode == 0) {
        vplat::env()->DebugOutput("Create CDMA Modem - 화면 버튼으로 CDMA 연결 !!!");
        StartCdmaLink();
    }
}
