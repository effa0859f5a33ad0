// CTcpClientComm: the station's settings (filled from the INI files by LoadConfig), the
// manager link entries and their send queues. A base of the main dialog.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "link/tcp_common.h"
#include "link/win_sock.h"
#include "platform/platform.h"
#include "status/station_stats.h"

constexpr int kMaxLinks = 2;          // link entries reserved
constexpr int kQueueSlots = 20;       // slots of one send queue
constexpr int kQueueKeep = 19;        // frames kept when the queue overflows
// A slot holds one frame as the link thread can send it (its send buffer is 10,240
// bytes and no frame of this system exceeds the 5,000-byte copy area), so the queue of
// a link costs about 200 KB instead of the 50 MB a 2,500,000-byte slot would reserve.
constexpr int kQueueSlotBytes = kLinkSendBufSize;

// One queued frame.
struct QueueSlot {
    int nLength = 0;                  // bytes of the frame
    uint64_t nSeq = 0;                // order of queuing, for the send pass
    uint8_t bytes[kQueueSlotBytes];   // the finished frame
};

// The send queue of one link: a ring of 20 slots keeping the 19 newest frames, oldest
// first. Touched only under the link's m_hQueueMutex.
struct SendQueue {
    int nHead = 0;                    // slot of the oldest frame
    int nCount = 0;                   // frames queued
    uint64_t nNextSeq = 1;            // sequence number of the next frame queued
    QueueSlot slots[kQueueSlots];
};

// One manager link.
struct LinkEntry {
    char m_szLocalId[16] = {};                  // station ID (LOCAL_ADDRESS)
    char m_szLocalName[64] = {};                // station name (LOCAL_NAME)
    std::atomic<uint8_t> m_bRun{0};             // the link thread loops while non-zero
    uint32_t m_dwManagerIp = 0;                 // Manager PC address, host order
    int m_nManagerPort = 0;                     // always 11001
    int m_nIndex = -1;                          // own index; -1 until started
    std::thread m_hThread;                      // link thread
    std::atomic<std::thread::id> m_dwThreadId{};// link thread id
    std::atomic<int> m_nDisconnects{0};         // link breaks (control 1000)
    std::atomic<int> m_nSentFrames{0};          // frames sent whole (control 1018)
    std::atomic<int> m_nRecvEvents{0};          // successful receives (control 1017)
    std::mutex m_hQueueMutex;                   // guards m_pQueue
    std::unique_ptr<vplat::Event> m_hStopEvent; // ends the link thread
    std::unique_ptr<vplat::Event> m_hSendEvent; // a frame was queued
    std::unique_ptr<vplat::Event> m_hNetEvent;  // kept for the entry's shape; nothing sets it
    std::atomic<SOCKET_T> m_hSocket{INVALID_SOCKET_T};  // the connection; owned by the link thread
    std::atomic<int> m_nLinkState{0};           // 0 not yet connected, 1 connected, 2 disconnected
    std::atomic<int> m_bCloseRequested{0};      // another thread asked the link thread to hang up
    std::unique_ptr<vplat::Event> m_hClosedEvent;  // set by the link thread once it hung up
    SendQueue* m_pQueue = nullptr;              // this link's queue in m_pSendQueues
};

class CVelmoraDlg;

class CTcpClientComm : public CWinSock, public CTcpCommon {
public:
    CTcpClientComm();   // LoadConfig, then the send-queue storage
    // A link thread runs only for the dialog (it is the thread's argument), whose own
    // destructor stops and joins it before this one runs.
    ~CTcpClientComm() = default;
    CTcpClientComm(const CTcpClientComm&) = delete;
    CTcpClientComm& operator=(const CTcpClientComm&) = delete;

    void LoadConfig();

    // Appends the frame of nLength bytes whose header and data are the first nLength - 6
    // bytes at pFrame to the link's queue, finished there (length field, CRC, trailer);
    // the caller's bytes are only read, so a packet goes from the session's packet table
    // into the queue in one copy. 1 if queued, 0 if refused (bad index, link not
    // connected, too long). Any thread.
    int QueueFrame(const uint8_t* pFrame, int nLength, int nConn);

    // True when link entry nConn exists and is connected (state 1). Any thread.
    bool IsLinkConnected(int nConn) const {
        return nConn >= 0 && nConn < kMaxLinks && m_pConn && m_pConn[nConn].m_nLinkState == 1;
    }

    // Removes and returns the queued frames of a link, oldest first (tests and tools).
    std::vector<std::vector<uint8_t>> TakeQueuedFrames(int nConn);

    void InitLinkEntry(int i);
    void ReleaseLinkEntry(int i);
    int FindLinkIndex(int nCount);
    // Asks the link thread of entry i to close its connection now (CDMA hang-up): the
    // state becomes 2 at once and the thread closes the socket on its next turn, before
    // anything else it would do then, and sets m_hClosedEvent. Any thread.
    void RequestLinkClose(int i);
    // Closes the connection of entry i before returning (CDMA hang-up); the state becomes
    // 2 and the frames still queued go with the link. The link thread itself (a command
    // it dispatches), or any thread while no link thread runs, closes the socket at once;
    // another thread asks the link thread and waits for it, at most nWaitMs. True when
    // the connection is closed (or there was none); false when the wait ran out.
    bool CloseLinkNow(int i, uint32_t nWaitMs);

    // ---- settings (read once at start; see LoadConfig) ----
    std::unique_ptr<SendQueue[]> m_pSendQueuesStorage;  // owns m_pSendQueues
    SendQueue* m_pSendQueues = nullptr;         // one queue per link entry
    std::unique_ptr<LinkEntry[]> m_pConn;       // link entries (kMaxLinks)
    int m_nConnCount = 0;                       // entries in use; always 1
    int m_nOperationMode = 0;                   // OPERATION_MODE; 0 = normal operation
    std::atomic<int> m_nVolFileSendSystem{0};   // VOL_FILE_SEND_SYSTEM; changed by command 72
    int m_nProgramKind = 0;                     // THIS_PROGRAM_KIND: 1 signal, 2 speed
    int m_nAutoSendLog = 0;                     // AUTO_SEND_LOG
    int m_nLogSendMinute = 0;                   // drawn minute of the daily log send
    int m_nLogSendSecond = 0;                   // drawn second of the daily log send
    int m_nCenterCommKind = 0;                  // CENTER_COMM_KIND; 0 leased line, else CDMA
    int m_nWaitCdmaConnect = 0;                 // WAIT_CDMA_CONNECT
    int m_nWakeupCdma = 0;                      // WAKEUP_CDMA
    char m_szCdmaTelNumber[16] = {};            // CDMA_TEL_NUMBER
    int m_nEnfCameraCnt = 0;                    // ENF_CAMERA_CNT
    int m_nSimulationMode = 0;                  // SINULATION_MODE
    int m_nTargetLane[2] = {};                  // TARGET_LANE_1/2
    int m_nLoopLane[2][2][3] = {};              // LOOPn_CHASUN_m digits
    char m_szEnfImgDirectory[256] = {};         // ENF_IMG_DIRECTORY
    // Keys of Velmora's own section [Velmora] of ConfigInfoSetup.ini:
    int m_nStdServerVersion = 0;                // STD_SERVER_VERSION: destination 0 is kept only when >= 2000
    int m_nSendNextAtOnce = 0;                  // SEND_NEXT_AT_ONCE: 1 = the next violation file goes as one completes
    char m_szModemDevice[64] = {};              // MODEM_PORT: modem device; empty = no port
    int m_nModemBaud = 115200;                  // MODEM_BAUD
    int m_bSetMachineClock = 1;                 // SET_MACHINE_CLOCK: 1 = command 57 sets the machine clock

    CStationStats m_stats;                      // link and transfer counters since start
};

// The link thread of one entry (started by StartLinkThreads).
void LinkThreadProc(CVelmoraDlg* pDlg, int nIndex);
