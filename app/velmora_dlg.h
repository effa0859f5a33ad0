// CVelmoraDlg: the main dialog and the owner of everything: settings and link entries
// (CTcpClientComm), the modem port (CSerialComm), the session, the shared-memory views
// and the run-time flags. Its handlers run on the dialog thread; the link thread and the
// serial thread use its members directly, so every flag and counter they share is atomic.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <thread>

#include "commands/center_session.h"
#include "link/tcp_client_comm.h"
#include "modem/serial_comm.h"
#include "platform/mfc.h"
#include "status/share_mem.h"

// Timer ids of the dialog.
constexpr unsigned kTimerSecond = 1;
constexpr unsigned kTimerSupervise = 11;
constexpr unsigned kTimerVolSend = 21;
constexpr unsigned kTimerStatus = 22;
constexpr unsigned kTimerSerial = 23;
constexpr unsigned kTimerCdma = 24;
constexpr unsigned kTimerRunLog = 25;
constexpr unsigned kTimerFirstStatus = 99;

class CVelmoraDlg : public CDialog, public CTcpClientComm, public CSerialComm {
public:
    CVelmoraDlg();
    ~CVelmoraDlg() override;

    // ---- start-up and shutdown ----
    int OnInitDialog();
    void OnSysCommand(unsigned nId);
    [[noreturn]] void OnDestroy();
    void ShowLocalInfo();
    void StartLinkThreads();
    void CloseStdServerClients();
    bool OpenSharedMemory();  // true when both areas are open
    void PublishSendToManager();  // m_bSendToManager into the local status area

    // ---- timers, buttons, window messages ----
    void OnTimer(unsigned nIdEvent);
    void OnSecondTick();
    void UpdateHealth();  // the health gauges and the service manager's watchdog, each second
    void CheckLinkWatchdog(int nConn);
    int UpdateSendState();
    // The duty of the transfer timer: the send-state display and, when violation files go
    // to the Manager PC and sending is on, the oldest waiting file. Also run at once after
    // a completed file when the station drains its backlog (SEND_NEXT_AT_ONCE).
    void RunViolationTransfer();
    intptr_t OnWmMgrViolation(uintptr_t wParam, intptr_t lParam);
    void OnBnClickedSendToggle();
    void OnBnClickedCdma();

    // LoopHandler: the message map.
    void OnLoopTimer(uint32_t nTimerId) override;
    intptr_t OnLoopMessage(uint32_t nMsg, uintptr_t wParam, intptr_t lParam) override;

    // ---- received frames (link thread) ----
    void TcpMessageRecvFromCenter(const uint8_t* pFrame, int nLength, int nConn);
    bool ValidateFrame(const uint8_t* pFrame, int nLength, int nConn);
    void ShowFrameCode(int nBox, int nCode, int nValue);

    // ---- CDMA modem ----
    void OnSerialReceive(int nQueued);
    void RequestSmsRead();
    int WriteSms(const char* pBytes, int nLength);
    void StartCdmaLink();
    void CloseSerialLink();
    void StopCdmaLink();
    // Opens the configured modem device at start-up, unless the dialer has the modem: not
    // while the link is expected up or while the dialer's window exists.
    void OpenModemPort();
    // After a hang-up: wants the port back, waits (bounded) for the dialer's window to go
    // and opens the port then; a dialer still there leaves it to the serial thread, which
    // takes it once the window has gone.
    void TakeModemPortBack();
    // True when the modem is free for the station: the link is not expected up and the
    // dialer has no window.
    bool ModemPortFree();
    void CreateControls(); // the controls of template 102 with their initial texts
    int DoModal();         // OnInitDialog, then the message loop (never returns in practice)

    // The station text at the start of LOCALSTATUSINFO (empty while not open), at most
    // 7 characters. Any thread.
    void GetStationText(char* szOut, size_t nSize);

    CCenterSession* m_pSession = nullptr;          // the manager-protocol session
    vplat::SerialHandle m_hComPort;                // modem port; invalid = none
    std::atomic<int> m_bComOpen{0};                // the port is open
    std::atomic<int> m_bSerialRun{0};              // the serial thread runs
    vplat::WindowHandle m_hSelfWnd;                // the dialog's own window
    // The two views are opened on the dialog thread and closed by OnDestroy while the link
    // thread may be reading them for a report or a log line: the handles and views are
    // read and changed only under m_shmMutex (shared to read or write the areas' bytes,
    // exclusive to open or close them). Nothing is logged while it is held.
    mutable std::shared_mutex m_shmMutex;
    ShareMemHandle* m_hLocalStatusMem = nullptr;   // LOCALSTATUSINFO record
    uint8_t* m_pLocalStatus = nullptr;             // its view
    ShareMemHandle* m_hTrafficMem = nullptr;       // TRAFFICSENDINFO record
    uint8_t* m_pTrafficInfo = nullptr;             // its view
    std::atomic<int> m_bMmfOpen{0};                // both areas open
    std::atomic<int> m_bSendEnable{0};             // violation transfer on (exactly 1)
    std::atomic<int> m_bSendToManager{0};          // 1 = files go to the Manager PC
    std::atomic<int> m_bLogSentToday{0};           // automatic log send done today
    int m_hIconLinkUp = 0;                         // icon 129
    int m_hIconLinkDown = 0;                       // icon 130
    std::atomic<int> m_bLinkExpected{0};           // the manager link is meant to be up
    std::atomic<int> m_nRecvFrames{0};             // frames accepted since the last watchdog tick
    std::atomic<int> m_nNoRecvTicks{0};            // watchdog ticks without a frame
    std::atomic<int> m_bUpdateRunning{0};          // a program update is under way
    std::atomic<int> m_nCrcErrors{0};              // frames rejected for their checksum (0-9999)
    CShareMem* m_pShareMem = nullptr;              // opener of the areas
    char m_szBinDir[32] = {};                      // program directory
    int m_hIcon = 0;                               // application icon 128
    std::unique_ptr<vplat::Event> m_hSerialStop;   // ends the serial thread's wait
    std::thread m_hSerialThread;                   // the serial thread
    std::atomic<int> m_nFramesIn{0};               // frames accepted since start (stats)
    int64_t m_nLinkDownTicks = 0;                  // second ticks since the link was last up
    bool m_bServiceReady = false;                  // readiness told to the service manager
};

// The serial thread body (CDMA stations).
void SerialThreadProc(CVelmoraDlg* pDlg);
