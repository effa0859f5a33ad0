// The settings of the station: CTcpClientComm's constructor reads both INI files once
// (LoadConfig), before any window or thread exists, and then reserves the send queues of
// the link entries. Every key keeps its default when it is missing or empty; texts longer
// than their fields are cut to fit. Nothing here is written back to the files.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "config/profile_load.h"
#include "link/tcp_client_comm.h"
#include "platform/platform.h"

namespace {

constexpr const char* kConfigPath = "D:/QN64-ABRIX/Data/ConfigInfoSetup.ini";    // file A
constexpr const char* kMemorySetPath = "D:/QN64-ABRIX/Data/LocalMemorySet.ini";  // file B
constexpr uint16_t kManagerPort = 11001;
constexpr size_t kLoopKeyBufSize = 8;  // the two-digit loop keys: at most 7 characters

// "d,d": the first digit into m_nLoopLane[0][nCamera][nLane], the third character's digit
// into m_nLoopLane[1][nCamera][nLane]; the separator between them is not looked at. A
// missing or empty key leaves both entries as they are.
void ReadLoopKey(CProfileLoad* pIni, const char* szSection, const char* szKey,
                 int (&nLoopLane)[2][2][3], int nCamera, int nLane) {
    char szBuf[kLoopKeyBufSize];
    if (pIni->GetProfileRaw(szSection, szKey, szBuf, sizeof szBuf) <= 0) return;
    nLoopLane[0][nCamera][nLane] = szBuf[0] - '0';
    nLoopLane[1][nCamera][nLane] = szBuf[2] - '0';
}

}  // namespace

CTcpClientComm::CTcpClientComm() {
    LoadConfig();
    // One queue of kQueueSlots frames per link entry (about 200 KB each), value-initialised
    // so that every slot starts cleared.
    m_pSendQueuesStorage = std::make_unique<SendQueue[]>(kMaxLinks);
    m_pSendQueues = m_pSendQueuesStorage.get();
    for (int i = 0; i < kMaxLinks; ++i) m_pConn[i].m_pQueue = &m_pSendQueues[i];
}

void CTcpClientComm::LoadConfig() {
    vplat::Env* pEnv = vplat::env();

    // 1.-2. File A lies on the drive the program runs from.
    char szCurDir[128];
    std::memset(szCurDir, 0, sizeof szCurDir);
    pEnv->GetCurrentDir(szCurDir, sizeof szCurDir);
    char szPathA[128];
    std::memset(szPathA, 0, sizeof szPathA);
    std::snprintf(szPathA, sizeof szPathA, "%s", kConfigPath);
    if (szCurDir[0] != '\0') szPathA[0] = szCurDir[0];
    auto pIni = std::make_unique<CProfileLoad>(szPathA);

    // 3. Cleared link entries.
    m_pConn.reset(new LinkEntry[kMaxLinks]);
    LinkEntry& link0 = m_pConn[0];

    // 4.
    pIni->GetProfileInt("SelectSystem", "THIS_PROGRAM_KIND", &m_nProgramKind);
    std::memset(link0.m_szLocalId, 0, sizeof link0.m_szLocalId);
    pIni->GetProfileString("LocalInfo", "LOCAL_ADDRESS", link0.m_szLocalId,
                           sizeof link0.m_szLocalId);
    std::memset(link0.m_szLocalName, 0, sizeof link0.m_szLocalName);
    pIni->GetProfileString("LocalInfo", "LOCAL_NAME", link0.m_szLocalName,
                           sizeof link0.m_szLocalName);
    pIni->GetProfileInt("LocalInfo", "CENTER_COMM_KIND", &m_nCenterCommKind);

    // 5. The CDMA keys only on a line of kind 1.
    if (m_nCenterCommKind == 1) {
        std::memset(m_szCdmaTelNumber, 0, sizeof m_szCdmaTelNumber);
        pIni->GetProfileString("LocalInfo", "CDMA_TEL_NUMBER", m_szCdmaTelNumber,
                               sizeof m_szCdmaTelNumber);
        pIni->GetProfileInt("LocalInfo", "WAIT_CDMA_CONNECT", &m_nWaitCdmaConnect);
        pIni->GetProfileInt("LocalInfo", "WAKEUP_CDMA", &m_nWakeupCdma);
    }

    // 6.
    pIni->GetProfileInt("LocalInfo", "SINULATION_MODE", &m_nSimulationMode);
    pIni->GetProfileInt("OperationInfo", "OPERATION_MODE", &m_nOperationMode);

    // 7. Violation files go to the Manager PC unless the file says otherwise.
    int nVolFileSendSystem = 1;
    pIni->GetProfileInt("LocalInfo", "VOL_FILE_SEND_SYSTEM", &nVolFileSendSystem);
    m_nVolFileSendSystem = nVolFileSendSystem;

    // 8. The daily log send time: minute first, then second, from the unseeded generator.
    pIni->GetProfileInt("LocalInfo", "AUTO_SEND_LOG", &m_nAutoSendLog);
    if (m_nAutoSendLog == 1) {
        m_nLogSendMinute = 10 + std::rand() % 40;
        m_nLogSendSecond = std::rand() % 50;
    }

    // 9. The Manager PC and the fixed values of link entry 0.
    char szIp[32];
    std::memset(szIp, 0, sizeof szIp);
    pIni->GetProfileString("LocalInfo", "MANAGE_PC_IP", szIp, sizeof szIp);
    link0.m_dwManagerIp = Ipv4FromText(szIp);
    link0.m_bRun = 1;
    link0.m_nManagerPort = kManagerPort;
    link0.m_hSocket = INVALID_SOCKET_T;
    m_nConnCount = 1;

    // 10. Camera 1.
    pIni->GetProfileInt("LocalInfo", "ENF_CAMERA_CNT", &m_nEnfCameraCnt);
    pIni->GetProfileInt("DigitalCAM_1", "TARGET_LANE_1", &m_nTargetLane[0]);
    std::memset(m_nLoopLane, 0, sizeof m_nLoopLane);
    ReadLoopKey(pIni.get(), "DigitalCAM_1", "LOOP1_CHASUN_1", m_nLoopLane, 0, 0);
    ReadLoopKey(pIni.get(), "DigitalCAM_1", "LOOP1_CHASUN_2", m_nLoopLane, 0, 1);
    if (m_nProgramKind == 1) {
        ReadLoopKey(pIni.get(), "DigitalCAM_1", "LOOP1_CHASUN_3", m_nLoopLane, 0, 2);
    }

    // 11. Camera 2.
    if (m_nEnfCameraCnt == 2) {
        pIni->GetProfileInt("DigitalCAM_2", "TARGET_LANE_2", &m_nTargetLane[1]);
        ReadLoopKey(pIni.get(), "DigitalCAM_2", "LOOP2_CHASUN_1", m_nLoopLane, 1, 0);
        ReadLoopKey(pIni.get(), "DigitalCAM_2", "LOOP2_CHASUN_2", m_nLoopLane, 1, 1);
        if (m_nProgramKind == 1) {
            ReadLoopKey(pIni.get(), "DigitalCAM_2", "LOOP2_CHASUN_3", m_nLoopLane, 1, 2);
        }
    }

    // 12.
    pIni.reset();

    // 13. File B always lies on drive D.
    pIni = std::make_unique<CProfileLoad>(kMemorySetPath);
    std::memset(m_szEnfImgDirectory, 0, sizeof m_szEnfImgDirectory);
    pIni->GetProfileString("AdditionItem", "ENF_IMG_DIRECTORY", m_szEnfImgDirectory,
                           sizeof m_szEnfImgDirectory);
    pIni.reset();

    // Velmora's own section of file A, after all the station's keys.
    pIni = std::make_unique<CProfileLoad>(szPathA);
    pIni->GetProfileInt("Velmora", "STD_SERVER_VERSION", &m_nStdServerVersion);
    if (m_nCenterCommKind != 0) {
        // A device path may be longer than the station's 31-character texts.
        pIni->GetProfileRaw("Velmora", "MODEM_PORT", m_szModemDevice, sizeof m_szModemDevice);
    }
    pIni->GetProfileInt("Velmora", "MODEM_BAUD", &m_nModemBaud);
    int nAtOnce = 0;
    pIni->GetProfileInt("Velmora", "SEND_NEXT_AT_ONCE", &nAtOnce);
    if (nAtOnce == 0 || nAtOnce == 1) {
        m_nSendNextAtOnce = nAtOnce;
    } else {
        char szText[96];
        std::snprintf(szText, sizeof szText, "SEND_NEXT_AT_ONCE=%d is neither 0 nor 1: 0 is used",
                      nAtOnce);
        pEnv->DebugOutput(szText);
    }
    pIni->GetProfileInt("Velmora", "SET_MACHINE_CLOCK", &m_bSetMachineClock);
    pEnv->SetMachineClockAllowed(m_bSetMachineClock == 1);
}
