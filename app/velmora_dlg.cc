// The main dialog's life: construction (settings are read by the CTcpClientComm base),
// the start-up sequence of OnInitDialog, the first display of the station data, the start
// of the link and serial threads, the message map of the dialog window, and OnDestroy,
// which ends the process with status 1.
#include "app/velmora_dlg.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "app/resource.h"
#include "app/siblings.h"
#include "housekeeping/system_log.h"

namespace {

constexpr uint32_t kMsgSysCommand = 0x0112;  // WM_SYSCOMMAND
constexpr unsigned kScClose = 0xF060;        // SC_CLOSE, the system menu's close entry
constexpr const char* kAboutMenuText = "Velmora 정보(&A)...";  // string 101

}  // namespace

CVelmoraDlg::CVelmoraDlg() : CDialog(IDD_VELMORA_DIALOG) {
    m_hIcon = IDR_MAINFRAME;
    m_bComOpen = 0;
    m_bSerialRun = 0;
    m_bLinkExpected = 1;
    m_nNoRecvTicks = 0;
    m_nRecvFrames = 0;
    m_bUpdateRunning = 0;
    m_bLogSentToday = 0;
}

CVelmoraDlg::~CVelmoraDlg() {
    // The process ends in OnDestroy; this runs only for dialogs built by tests and tools,
    // which stop the threads they started.
    for (int i = 0; i < kMaxLinks; ++i) {
        LinkEntry& link = m_pConn[i];
        if (!link.m_hThread.joinable()) continue;
        link.m_bRun = 0;
        if (link.m_hStopEvent) link.m_hStopEvent->Set();
        link.m_hThread.join();
    }
    if (m_hSerialThread.joinable()) {
        m_bSerialRun = 0;
        if (m_hSerialStop) m_hSerialStop->Set();
        m_hSerialThread.join();
    }
    delete m_pSession;
    if (g_pMainDlg == this) g_pMainDlg = nullptr;
    delete m_pShareMem;
}

void CVelmoraDlg::CreateControls() {
    static const struct {
        int nId;
        const char* szText;
    } kInitial[] = {
        {IDC_LOCAL_NAME, "Local Name"}, {IDC_MANAGER_IP, "ip"},   {IDC_MANAGER_PORT, "port"},
        {IDC_LOCAL_ID, "ID"},           {IDC_RECV_EVENTS, ""},    {IDC_SENT_FRAMES, ""},
        {IDC_FILE_NAME, "file name"},   {IDC_VOL_SENT, "0"},      {IDC_VOL_TOTAL, "0"},
        {IDC_DISCONNECTS, "cnt"},       {IDC_CRC_ERRORS, "cnt"},  {IDC_RECV_BOX, ""},
        {IDC_LINE_KIND, "cdma"},        {IDC_BTN_CDMA, "CDMA"},   {IDC_SEND_BOX, ""},
        {IDC_NOTICE, "data"},           {IDC_SEND_STATE, ""},     {IDC_BTN_SEND, "센터 전송"},
    };
    for (const auto& c : kInitial) SetItemText(c.nId, c.szText);
    SetItemIcon(IDC_LINK_ICON, IDI_LINK_DOWN);
}

int CVelmoraDlg::OnInitDialog() {
    // 1. The dialog's own window: siblings find it by its title.
    if (!vplat::env()->OpenOwnWindow(sib::kVelmora)) {
        vplat::env()->DebugOutput("OnInitDialog: the window \"Velmora\" is held by another process");
    }
    // 2. About entry of the system menu (the terminal view offers it as a key).
    DebugF("system menu: %s", kAboutMenuText);
    // 3.-4. Icons (the window's own, m_hIcon, big and small) and the own window handle.
    m_hSelfWnd.szTitle = sib::kVelmora;

    // 5. The session.
    m_pSession = new CCenterSession(this);
    m_pSession->Init();

    // 6. Program directory on the drive the program runs from.
    char szCurDir[128] = {};
    vplat::env()->GetCurrentDir(szCurDir, sizeof szCurDir);
    std::snprintf(m_szBinDir, sizeof m_szBinDir, "%s", "D:/QN64-ABRIX/Bin");
    if (szCurDir[0] != '\0') m_szBinDir[0] = szCurDir[0];

    // 7.-8.
    m_pShareMem = new CShareMem();
    m_bSendToManager = (m_nVolFileSendSystem == 1) ? 1 : 0;

    // 9. Shared memory, if the main operation program runs.
    if (m_bMmfOpen != 1) {
        if (!vplat::env()->FindWindowTitle(sib::kHarwent).IsNull()) {
            if (OpenSharedMemory()) m_bMmfOpen = 1;
        } else {
            SetItemText(IDC_NOTICE, "Not Open MMF");
        }
    }

    // 10. Destination line.
    SetItemText(IDC_SEND_STATE,
                m_bSendToManager == 1 ? "관리PC로 전송중....." : "표준서버로 전송 중....");

    // 11. Link thread(s) and, on a CDMA line, the serial thread; the counters they keep
    // are published for velmoractl first.
    m_stats.Publish();
    StartLinkThreads();

    // 12. Line kind.
    if (m_nCenterCommKind == 0) {
        SetItemText(IDC_LINE_KIND, "전용선");
    } else if (m_nWakeupCdma > 0 && m_nWaitCdmaConnect > 0) {
        char szText[64];
        std::snprintf(szText, sizeof szText, "Min: %d/%d", m_nWaitCdmaConnect, m_nWakeupCdma);
        SetItemText(IDC_LINE_KIND, szText);
    } else {
        SetItemText(IDC_LINE_KIND, "Day Connect");
        m_bLinkExpected = 1;
    }

    // 13. Timers, in this order.
    StartTimer(kTimerSupervise, 10000);
    StartTimer(kTimerVolSend, m_nProgramKind == 1 ? 16000 : 10000);
    if (m_nAutoSendLog == 1) StartTimer(kTimerRunLog, 33000);
    if (m_nOperationMode == 0) StartTimer(kTimerStatus, 100000);
    StartTimer(kTimerFirstStatus, 5000);

    // 14. First display.
    ShowLocalInfo();
    return 1;
}

void CVelmoraDlg::ShowLocalInfo() {
    vplat::env()->SleepMs(50);
    const LinkEntry& link = m_pConn[0];
    char szText[64];
    const uint32_t ip = link.m_dwManagerIp;
    std::snprintf(szText, sizeof szText, "%u.%u.%u.%u", (ip >> 24) & 0xFF, (ip >> 16) & 0xFF,
                  (ip >> 8) & 0xFF, ip & 0xFF);
    SetItemText(IDC_MANAGER_IP, szText);
    std::snprintf(szText, sizeof szText, "%d", link.m_nManagerPort);
    SetItemText(IDC_MANAGER_PORT, szText);
    SetItemText(IDC_LOCAL_ID, std::string(link.m_szLocalId, strnlen(link.m_szLocalId, sizeof link.m_szLocalId)));
    SetItemText(IDC_LOCAL_NAME,
                std::string(link.m_szLocalName, strnlen(link.m_szLocalName, sizeof link.m_szLocalName)));
    m_hIconLinkUp = IDI_LINK_UP;
    m_hIconLinkDown = IDI_LINK_DOWN;
    m_bSendEnable = 1;
    StartTimer(kTimerSecond, 1000);
}

void CVelmoraDlg::StartLinkThreads() {
    for (int i = 0; i < m_nConnCount && i < kMaxLinks; ++i) {
        InitLinkEntry(i);
        m_pConn[i].m_nIndex = i;
        m_pConn[i].m_hThread = std::thread(LinkThreadProc, this, i);
        m_pConn[i].m_dwThreadId = m_pConn[i].m_hThread.get_id();
    }
    if (m_nCenterCommKind != 0) {
        m_bSerialRun = 1;
        m_hSerialStop = vplat::env()->NewEvent(true);
        OpenModemPort();
        m_hSerialThread = std::thread(SerialThreadProc, this);
    }
}

void CVelmoraDlg::OnSysCommand(unsigned nId) {
    if ((nId & 0xFFF0u) == static_cast<unsigned>(IDM_ABOUTBOX)) {
        // The about box: caption, version text and its button.
        SetItemText(IDD_ABOUTBOX, "Velmora 정보: Velmora 버전 1.0 [확인]");
        return;
    }
    // Any other command takes the window's default action. Where the platform's window
    // handles it itself (Windows) it never comes here; without one, the only default that
    // does anything is SC_CLOSE, which closes the dialog as WM_CLOSE does.
    if ((nId & 0xFFF0u) == kScClose) OnDestroy();
}

void CVelmoraDlg::CloseStdServerClients() {
    if (m_nProgramKind == 2) {
        sib::SendToSibling(sib::kValdrift, sib::WM_DESTROY_, 0, 0);
        sib::SendToSibling(sib::kOstermay, sib::WM_DESTROY_, 0, 0);
    } else {
        sib::SendToSibling(sib::kPlinquet, sib::WM_DESTROY_, 0, 0);
    }
}

void CVelmoraDlg::OnDestroy() {
    for (unsigned nId : {kTimerSupervise, kTimerVolSend, kTimerStatus, kTimerSerial, kTimerCdma}) {
        StopTimer(nId);
    }
    CloseStdServerClients();
    if (m_bMmfOpen == 1) {
        // The link thread goes on running and may be in the middle of a report or a log
        // line that reads the areas; it finishes before they are unmapped.
        std::unique_lock<std::shared_mutex> lock(m_shmMutex);
        if (m_hLocalStatusMem) m_pShareMem->CloseShareMem(m_hLocalStatusMem, 0);
        if (m_hTrafficMem) m_pShareMem->CloseShareMem(m_hTrafficMem, 0);
        m_hLocalStatusMem = m_hTrafficMem = nullptr;
        m_pLocalStatus = m_pTrafficInfo = nullptr;
        m_bMmfOpen = 0;
        delete m_pShareMem;
        m_pShareMem = nullptr;
    }
    // The link and serial threads are not joined: the process ends under them.
    vplat::env()->EndProcess(1);
    std::abort();  // EndProcess does not return
}

void CVelmoraDlg::OnLoopTimer(uint32_t nTimerId) { OnTimer(nTimerId); }

intptr_t CVelmoraDlg::OnLoopMessage(uint32_t nMsg, uintptr_t wParam, intptr_t lParam) {
    switch (nMsg) {
        case sib::WM_MGR_VIOLATION:
            return OnWmMgrViolation(wParam, lParam);
        case vplat::kMsgClose:
        case vplat::kMsgDestroy:
            OnDestroy();
        case vplat::kMsgCommand: {
            const unsigned nId = static_cast<unsigned>(wParam & 0xFFFF);
            const unsigned nNotify = static_cast<unsigned>((wParam >> 16) & 0xFFFF);
            if (nNotify != 0) return 0;  // BN_CLICKED only
            if (nId == static_cast<unsigned>(IDC_BTN_SEND)) OnBnClickedSendToggle();
            if (nId == static_cast<unsigned>(IDC_BTN_CDMA)) OnBnClickedCdma();
            return 0;
        }
        case kMsgSysCommand:
            OnSysCommand(static_cast<unsigned>(wParam));
            return 0;
        default:
            return 0;
    }
}

int CVelmoraDlg::DoModal() {
    CreateControls();
    OnInitDialog();
    vplat::env()->ShowDialogView("Velmora");
    vplat::env()->RunLoop(this);
    return 0;
}
