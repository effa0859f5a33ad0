// CCenterSession: the manager-protocol session. It owns the frame buffers that the
// dispatcher, the command handlers, the transfers and the reports share, and the state
// of the one file transfer that may be current.
//
// Locking: m_csSession guards the frame buffers (m_pReportFrame, m_SendBuf, the packet
// tables) and the transfer fields. Every report, every transfer start and every reply
// holds it for its whole build-and-queue step, so a report built on the dialog thread
// never interleaves with a reply built on the link thread. It is never held while a
// sibling is messaged or the thread pauses. m_pRecvFrame is written and read only on the
// link thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "link/tcp_common.h"
#include "platform/platform.h"

class CVelmoraDlg;

// Transfer kinds (m_nSendKind).
constexpr int SEND_NONE = 0;
constexpr int SEND_VOL = 101;
constexpr int SEND_ROAD_IMAGE = 102;
constexpr int SEND_CAR_IMAGE = 103;
constexpr int SEND_TRACKING_IMAGE = 104;
constexpr int SEND_RUN_LOG = 108;

// True for the kinds that mark a transfer as current (101, 102, 103, 104, 108).
inline bool IsTransferKind(int nKind) {
    return nKind == SEND_VOL || nKind == SEND_ROAD_IMAGE || nKind == SEND_CAR_IMAGE ||
           nKind == SEND_TRACKING_IMAGE || nKind == SEND_RUN_LOG;
}

// Status byte of the Manager PC's replies to file packets.
constexpr uint8_t PACKET_OK = 1;
constexpr uint8_t ERROR_RESEND = 3;
constexpr uint8_t ERROR_FILE = 4;

// Command codes (both directions).
enum CenterOpcode : uint8_t {
    OP_VOL_FILE = 51, OP_ROAD_IMAGE = 52, OP_CAR_IMAGE = 53, OP_TRACKING_IMAGE = 54,
    OP_LOCAL_STATUS = 55, OP_TRAFFIC_INFO = 56, OP_TIME = 57, OP_SUPERVISOR_CMD = 58,
    OP_STATUS = 59, OP_SPEED_SET = 60, OP_LANE = 61, OP_PANTILT = 62, OP_LENS = 63,
    OP_LOOP_DELAY = 64, OP_MODE = 65, OP_OPER = 66, OP_SPEED_FILTER = 67, OP_RUN_LOG = 68,
    OP_RTU_RESET = 69, OP_SEND_SWITCH = 71, OP_SEND_TARGET = 72, OP_VIRTUAL_SIGNAL = 73,
    OP_SIGNAL_DELAY = 74, OP_N_PASS = 75, OP_BRIGHT = 76, OP_CDMA_HANGUP = 78,
    OP_PROGRAM_UPDATE = 79,
};
// The name of a code ("OP_TIME"), or null.
const char* CenterOpcodeName(int nCode);

constexpr int kFileListEntries = 365;
constexpr int kFileListEntrySize = 64;
constexpr int kVolReadLimit = 900000;
constexpr int kImageReadLimit = 300000;
constexpr int kLogReadLimit = 900000;

class CCenterSession {
public:
    explicit CCenterSession(CVelmoraDlg* pDlg);  // stores the dialog in g_pMainDlg
    ~CCenterSession();
    CCenterSession(const CCenterSession&) = delete;
    CCenterSession& operator=(const CCenterSession&) = delete;

    // Clears the counters, allocates the buffers, tells the main operation program to
    // refresh its status (code 106).
    void Init();

    // ---- frames ----
    // Clears the 3,030-byte frame buffer and m_SendBuf and writes start bytes, "10",
    // the code, the link's station ID and '0'.
    void BuildFrameHeader(uint8_t* pFrame, int nCode, int nConn);
    // Copies nLength bytes of a built frame into m_SendBuf and queues it; 1 if queued.
    int QueueFromBuffer(const uint8_t* pFrame, int nLength, int nConn);
    void ShowLinkSpinner(int nConn);
    void ShowLinkCounters(int nConn);

    // ---- device and system commands (link thread) ----
    void OnCameraCommand(int nOpcode, const uint8_t* pData, int nLength, int nConn);
    void OnSpeedSet(const uint8_t* pData, int nLength);
    void OnSignalTest(int nOpcode, const uint8_t* pData, int nLength, int nConn);
    void OnNPassSet(const uint8_t* pData, int nLength);
    void OnBrightSet(const uint8_t* pData, int nLength);
    void OnTimeSet(const uint8_t* pData, int nLength, int nConn);
    void OnSendTargetChange(const uint8_t* pData, int nLength);
    void OnProgramUpdate();
    void OnSupervisorRequest(int nOpcode, const uint8_t* pData, int nLength);

    // ---- reports ----
    void SendStatusReport(int nConn);
    void SendShortStatus(int nConn);
    void SendTrafficReport(int nConn);
    void SendTimeReport(int nConn);

    // ---- transfers ----
    int getSendFileName(int nKind, int nConn, char* szPath, size_t nPathSize, char* szName,
                        size_t nNameSize);
    void SelectOldestFileName(char* szResult, size_t nResultSize, int nCount);
    void SendImageFile(int nKind, int nConn);
    void OnImageReply(int nOpcode, int nConn, const uint8_t* pFrame);
    void SendViolationFile();
    void SendVolFile(int nKind, int nConn);
    void OnVolReply(const uint8_t* pFrame, int nConn);
    int PacketSendRetry(int nConn);
    void LogSentVolFile(const char* szName);
    // Ends the current violation-file attempt without a verdict: the file stays where it is
    // and the next tick sends it again from its info packet.
    void EndVolAttempt();
    // An attempt to start a transfer while one is current (the busy rule): counted in
    // sendRetryCenter, unless the current transfer was acknowledged since the last
    // attempt, which starts the count afresh. Caller holds m_csSession.
    void CountBusyAttempt();
    // A PACKET_OK that moved the current transfer forward.
    void NoteTransferProgress() { ++m_nTransferProgress; }
    // True when the violation file of this name was set aside for the rest of the run.
    bool IsSetAside(const std::string& szName);

    // ---- draining a backlog (SEND_NEXT_AT_ONCE) ----
    // True when the next violation file goes as soon as one completes.
    bool DrainMode() const;
    // A report held back by a transfer, remembered in drain mode (kPending... bits) so
    // that it goes between two files instead of never.
    void HoldReport(int nBit);
    // A transfer completed in drain mode: the reports and the trigger image held back go
    // now, on this link, and then the next violation file starts, on the dialog thread.
    void ContinueDrain(int nConn);
    void SendRunningLog(int nConn);
    void OnLogReply(int nOpcode, int nConn, const uint8_t* pFrame);

    // ---- CDMA ----
    void OnSmsMessage(const char* szLine, int nLength);

    CVelmoraDlg* m_pDlg;                         // the main dialog
    std::recursive_mutex m_csSession;            // see the file comment

    // frame buffers
    std::unique_ptr<uint8_t[]> m_pRecvFrame;     // 3,030 bytes: frame under decoding (link thread)
    int m_nRecvDataBytes = 0;                    // data bytes that arrived with it (link thread)
    std::unique_ptr<uint8_t[]> m_pReportFrame;   // 3,030 bytes: single reports and replies
    uint8_t m_SendBuf[kSendCopySize] = {};       // outgoing copy area handed to QueueFrame
    int m_nFrameOverhead = 0;                    // 36
    int m_nSpinner = 0;                          // phase of the connect indicator

    // transfer fields
    int m_nPacketDataSize = 0;                   // 3000
    int m_nMaxImagePackets = 0;                  // 200
    int m_nMaxVolPackets = 0;                    // 300
    int m_nMaxLogPackets = 0;                    // 305
    std::atomic<int> m_nVolTotalPacket{0};       // packets of the current VOL transfer
    std::atomic<int> m_nImageTotalPacket{0};     // packets of the current image transfer
    std::atomic<int> m_nLogTotalPacket{0};       // packets of the current log transfer
    std::atomic<int> m_nResendCount{0};          // resend requests counted
    std::atomic<int> m_nRetryRound{0};           // retry rounds of the current VOL file
    std::atomic<int> sendRetryCenter{0};         // busy counter
    std::atomic<int> m_nSendKind{0};             // kind of the current transfer; 0 none
    std::unique_ptr<uint8_t[]> m_pVolPackets;    // 300 x 3,030
    std::unique_ptr<uint8_t[]> m_pImagePackets;  // 200 x 3,030
    std::unique_ptr<uint8_t[]> m_pLogPackets;    // 305 x 3,030
    std::unique_ptr<uint8_t[]> m_pFileBuf;       // 900,000-byte read buffer of the transfers
    char m_szFileList[kFileListEntries][kFileListEntrySize] = {};  // names of the last search
    char m_szVolFileName[128] = {};              // bare name of the VOL file in transfer
    char m_szVolFilePath[256] = {};              // its full path (deletes and the give-up copy use it)
    char m_szEmptyVolName[128] = {};             // an empty VOL file seen on the last tick
    std::atomic<int> m_nVolSentCount{0};         // files completed since start (control 1007)
    std::atomic<int> m_nVolMovedCount{0};        // files moved aside since start
    std::atomic<int> m_nVolLinkErrors{0};        // send failures while a VOL file was in transfer
    std::atomic<int> m_nPauseLimit{0};           // ticks to pause after too many link errors
    std::atomic<int> m_nPauseCount{1};           // ticks paused so far
    // Number of the file packet of each kind that awaits the Manager PC's reply (-1 none):
    // a reply counts only for the packet in flight, so late replies of an abandoned
    // transfer can never move the current one forward.
    std::atomic<int> m_nVolPacketInFlight{-1};   // violation file
    std::atomic<int> m_nImagePacketInFlight{-1}; // trigger image
    std::atomic<int> m_nLogPacketInFlight{-1};   // running log
    std::atomic<uint32_t> m_nTransferProgress{0};  // acknowledgements that moved a transfer on
    uint32_t m_nProgressSeen = 0;                // m_nTransferProgress at the last busy attempt
    vplat::FileIdentity m_volFileIdentity;       // the VOL file in transfer as it was read
    char m_szDeleteFailedName[128] = {};         // the last file whose final delete failed
    // Violation files the give-up rules retired but that could not be moved aside: skipped
    // for the rest of the run so that later files go; tried again after a restart.
    std::set<std::string> m_setAsideNames;
    // Drain mode: reports (kPending... bits) and a trigger image (its kind) held back by
    // a violation file in transfer, sent when it completes.
    std::atomic<int> m_nPendingReports{0};
    std::atomic<int> m_nPendingImage{0};
};

// Reports remembered while a violation file holds them back (drain mode only).
constexpr int kPendingShortStatus = 1;
constexpr int kPendingTraffic = 2;
constexpr int kPendingStatus = 4;

extern CVelmoraDlg* g_pMainDlg;
