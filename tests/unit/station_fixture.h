// Shared test bed of the unit tests: a temporary station root (removed afterwards), host
// file helpers, the fake platform installed as the process-wide env, the two INI files, a
// dialog with its session, the shared-memory areas, Manager PC frames built and the
// station's queued frames taken apart, the messages the siblings got (with the fake time
// of each), the controls and the debug lines.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/resource.h"
#include "app/siblings.h"
#include "app/velmora_dlg.h"
#include "link/tcp_common.h"
#include "platform/fake/fake_env.h"
#include "status/share_mem.h"
#include "tests/unit/test_host.h"

namespace vtest {

namespace fs = std::filesystem;

// A fresh directory under the temporary directory, removed with everything in it.
class TempRoot {
  public:
    TempRoot() : m_szPath(host::MakeTempDir()) {}
    ~TempRoot() {
        std::error_code ec;
        if (!m_szPath.empty()) fs::remove_all(m_szPath, ec);
    }
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;
    const std::string& Path() const { return m_szPath; }
    std::string Host(const std::string& szRel) const { return m_szPath + "/" + szRel; }

  private:
    std::string m_szPath;  // the root directory
};

inline void WriteHostFile(const std::string& szPath, const std::string& szText) {
    fs::create_directories(fs::path(szPath).parent_path());
    std::ofstream(szPath, std::ios::binary) << szText;
}
inline std::string ReadHostFile(const std::string& szPath) {
    std::ifstream in(szPath, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}
// Polls cond until it holds or nMs pass: a bound against a hang, never a speed check.
inline bool WaitFor(const std::function<bool()>& cond, int nMs = 20000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

inline std::vector<uint8_t> Bytes(const std::string& sz) { return {sz.begin(), sz.end()}; }

// A listening socket on 127.0.0.1 that accepts one station at a time.
class LoopbackServer {
  public:
    LoopbackServer() {
        m_nListen = host::ListenLoopback(&m_nPort);
        if (m_nListen == host::kNoConn) ADD_FAILURE() << "cannot listen";
    }
    ~LoopbackServer() {
        Drop();
        host::CloseConn(m_nListen);
    }
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;
    int Port() const { return m_nPort; }
    // Accepts the next connection (waits at most nMs).
    bool Accept(int nMs = 10000) {
        Drop();
        m_nConn = host::AcceptWithin(m_nListen, nMs);
        return m_nConn != host::kNoConn;
    }
    void Send(const std::vector<uint8_t>& bytes) {
        ASSERT_TRUE(host::SendAll(m_nConn, bytes.data(), bytes.size()));
    }
    // Reads until n bytes arrived, the station closed or nMs passed; what arrived.
    std::vector<uint8_t> Recv(size_t n, int nMs = 10000) {
        std::vector<uint8_t> out;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
        while (out.size() < n && std::chrono::steady_clock::now() < end) {
            if (!host::ReadableWithin(m_nConn, 20)) continue;
            uint8_t buf[4096];
            const long k = host::ReceiveSome(m_nConn, buf, std::min(sizeof buf, n - out.size()));
            if (k <= 0) break;
            out.insert(out.end(), buf, buf + k);
        }
        return out;
    }
    // True when the station closed its end (at most nMs).
    bool PeerClosed(int nMs = 10000) {
        if (!host::ReadableWithin(m_nConn, nMs)) return false;
        uint8_t b;
        return host::ReceiveSome(m_nConn, &b, 1) <= 0;
    }
    void Drop() {
        host::CloseConn(m_nConn);
        m_nConn = host::kNoConn;
    }

  private:
    host::Conn m_nListen = host::kNoConn;  // listening socket
    host::Conn m_nConn = host::kNoConn;    // the accepted station
    int m_nPort = 0;                       // port of the listener
};

// A loopback port where nothing listens.
inline int FreePort() { return host::UnusedPort(); }

// A finished manager frame as the Manager PC sends it; the ID is written as given (up to
// five bytes) and bBadCrc stores the inverted checksum instead of the station's.
inline std::vector<uint8_t> MakeFrame(const std::string& szCode, const std::vector<uint8_t>& data,
                                      const std::string& szId = "ABCDE", int nPacket = 0,
                                      bool bBadCrc = false) {
    const int nLength = kFrameOverhead + static_cast<int>(data.size());
    std::vector<uint8_t> f(static_cast<size_t>(nLength), 0);
    char szHead[40] = {};
    std::snprintf(szHead, sizeof szHead, "%07d10%2.2s%07d%04d", nLength, szCode.c_str(),
                  static_cast<int>(data.size()), nPacket);
    f[0] = f[1] = 0xAA;
    std::memcpy(&f[2], szHead, 22);
    for (size_t k = 0; k < 5 && k < szId.size(); ++k) f[24 + k] = static_cast<uint8_t>(szId[k]);
    f[29] = '0';
    std::copy(data.begin(), data.end(), f.begin() + 30);
    uint32_t nCrc = ComputeCrc32(&f[2], static_cast<uint32_t>(nLength - 8));
    if (bBadCrc) nCrc = ~nCrc;
    for (int k = 0; k < 4; ++k) f[static_cast<size_t>(nLength - 6 + k)] = uint8_t(nCrc >> (8 * k));
    f[static_cast<size_t>(nLength - 2)] = f[static_cast<size_t>(nLength - 1)] = 0x55;
    return f;
}

// One frame the station queued, taken apart; every accessor stays inside the bytes.
struct SentFrame {
    std::vector<uint8_t> bytes;  // the finished frame
    int Opcode() const { return Digits(11, 2); }
    int DataLength() const { return Digits(13, 7); }
    int PacketNo() const { return Digits(20, 4); }
    std::string DataText() const { return Text(30, DataLength()); }
    std::vector<uint8_t> Data() const { return Bytes(DataText()); }
    bool DataEquals(const uint8_t* p, int n) const {
        return Data() == std::vector<uint8_t>(p, p + n);
    }
    int Digits(size_t nAt, size_t nWidth) const {
        if (nAt + nWidth > bytes.size()) return -1;
        int n = 0;
        for (size_t i = nAt; i < nAt + nWidth; ++i) {
            if (bytes[i] < '0' || bytes[i] > '9') return -1;
            n = n * 10 + (bytes[i] - '0');
        }
        return n;
    }
    std::string Text(size_t nAt, int nLength) const {
        if (nLength < 0 || nAt + static_cast<size_t>(nLength) > bytes.size()) return "";
        return std::string(bytes.begin() + static_cast<long>(nAt),
                           bytes.begin() + static_cast<long>(nAt) + nLength);
    }
};

// One message as a sibling received it; nAtMs counts from the last ResetRecords.
struct Sent {
    std::string szTitle;
    uint32_t nMsg;
    uintptr_t wParam;
    intptr_t lParam;
    uint64_t nAtMs;
    bool operator==(const Sent& o) const = default;
};
inline std::ostream& operator<<(std::ostream& os, const Sent& s) {
    return os << "{" << s.szTitle << ", " << s.nMsg << ", " << s.wParam << ", " << s.lParam << ", @"
              << s.nAtMs << "ms}";
}

// The byte the tests put at offset i of a shared-memory area.
inline uint8_t PatternByte(size_t i) { return static_cast<uint8_t>((i * 7 + 3) % 251); }
// A file of n bytes whose byte i is (i * 7 + nSeed) & 0xFF.
inline std::vector<uint8_t> Pattern(size_t n, int nSeed = 1) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>((i * 7 + nSeed) & 0xFF);
    return v;
}

class StationTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(m_root.Path().empty());
        fs::create_directories(Host("d/QN64-ABRIX/Bin"));
        m_szOldCwd = fs::current_path().string();
        fs::current_path(Host("d/QN64-ABRIX/Bin"));
        m_pEnv = std::make_unique<vplat::FakeEnv>(m_root.Path());
        m_pEnv->Install();
    }
    void TearDown() override {
        if (m_pDlg) {
            // As the dialog closes them: a link thread may be writing a log line.
            std::unique_lock<std::shared_mutex> lock(m_pDlg->m_shmMutex);
            CShareMem shm;
            shm.CloseShareMem(m_pDlg->m_hLocalStatusMem, 0);
            shm.CloseShareMem(m_pDlg->m_hTrafficMem, 0);
            m_pDlg->m_hLocalStatusMem = m_pDlg->m_hTrafficMem = nullptr;
            m_pDlg->m_pLocalStatus = m_pDlg->m_pTrafficInfo = nullptr;
        }
        m_pDlg.reset();  // stops a link thread a test started
        for (auto& view : m_views) m_pEnv->CloseMapping(&view);
        m_views.clear();
        m_pEnv->Uninstall();
        fs::current_path(m_szOldCwd);
    }

    // ---- files of the station ("d/x/y" below the root) ----
    std::string Host(const std::string& szRel) const { return m_root.Host(szRel); }
    void WriteFile(const std::string& szRel, const std::string& szBody) {
        WriteHostFile(Host(szRel), szBody);
    }
    void PutFile(const std::string& szRel, const std::vector<uint8_t>& v) {
        WriteFile(szRel, {v.begin(), v.end()});
    }
    std::string ReadFile(const std::string& szRel) const { return ReadHostFile(Host(szRel)); }
    bool Exists(const std::string& szRel) const { return fs::exists(Host(szRel)); }
    // The two INI files of the station.
    void WriteIni(const std::string& szConfig, const std::string& szLocalMemory = "") {
        WriteFile("d/QN64-ABRIX/Data/ConfigInfoSetup.ini", szConfig);
        if (!szLocalMemory.empty())
            WriteFile("d/QN64-ABRIX/Data/LocalMemorySet.ini", szLocalMemory);
    }

    // ---- the dialog ----
    // Builds the dialog (its constructor reads the INI files) and its session.
    CVelmoraDlg& MakeDialog() {
        m_pDlg = std::make_unique<CVelmoraDlg>();
        m_pEnv->SetLoopHandler(m_pDlg.get());
        m_pDlg->m_pSession = new CCenterSession(m_pDlg.get());
        m_pDlg->m_pSession->Init();
        m_pSession = m_pDlg->m_pSession;
        ResetRecords();
        return *m_pDlg;
    }
    // A dialog on link 0 with station ID szId, normal operation on a leased line, and the
    // local-status area stood in by a plain buffer (szId at its start) counted as open.
    CVelmoraDlg& MakeLinkedDialog(const char* szId = "ABCDE", int nLinkState = 1) {
        CVelmoraDlg& dlg = MakeDialog();
        LinkEntry& link = dlg.m_pConn[0];
        std::memset(link.m_szLocalId, 0, sizeof link.m_szLocalId);
        std::snprintf(link.m_szLocalId, sizeof link.m_szLocalId, "%s", szId);
        dlg.m_nConnCount = 1;
        dlg.m_nOperationMode = 0;
        dlg.m_nCenterCommKind = 0;
        dlg.InitLinkEntry(0);
        link.m_nLinkState = nLinkState;
        m_local.assign(4096, 0);
        std::memcpy(m_local.data(), szId, std::min<size_t>(std::strlen(szId), 5));
        dlg.m_pLocalStatus = m_local.data();
        dlg.m_bMmfOpen = 1;
        ResetRecords();
        return dlg;
    }
    LinkEntry& Link() { return m_pDlg->m_pConn[0]; }
    // A station ready for transfers: the violation, capture and log directories, INI files
    // naming szId and "d:/ENF_IMG", the clock at 2024-03-05 12:00, link 0 connected.
    CVelmoraDlg& MakeTransferStation(const char* szId = "ABCDE") {
        for (const char* szDir : {"d/ENF_IMG", "d/Capture_img", "d/System_Log/2024"})
            fs::create_directories(Host(szDir));
        WriteIni(std::string("[LocalInfo]\r\nLOCAL_ADDRESS=") + szId + "\r\n",
                 "[AdditionItem]\r\nENF_IMG_DIRECTORY=d:/ENF_IMG\r\n");
        m_pEnv->SetTime64(vplat::Time64FromLocal(2024, 3, 5, 12, 0, 0));
        CVelmoraDlg& dlg = MakeLinkedDialog(szId);
        std::snprintf(dlg.m_szEnfImgDirectory, sizeof dlg.m_szEnfImgDirectory, "%s", "d:/ENF_IMG");
        return dlg;
    }
    void ResetRecords() {
        m_pEnv->ClearMessages();
        m_pEnv->ClearDebugLines();
        m_nStartMs = m_pEnv->MonotonicMs();
    }
    uint64_t ElapsedMs() { return m_pEnv->MonotonicMs() - m_nStartMs; }

    // ---- shared memory of the main operation program ----
    uint8_t* CreateArea(const char* szName, size_t nSize) {
        vplat::MappedView view;
        bool bCreated = false;
        EXPECT_TRUE(m_pEnv->CreateMapping(szName, nSize, &view, &bCreated));
        auto* p = static_cast<uint8_t*>(view.pView);
        for (size_t i = 0; i < nSize; ++i) p[i] = PatternByte(i);
        m_views.push_back(view);
        return p;
    }
    // Both areas with the pattern, opened by the dialog as its timer would.
    void OpenAreas(CVelmoraDlg& dlg, size_t nLocalSize = 4096, size_t nTrafficSize = 128) {
        m_pLocal = CreateArea("LOCALSTATUSINFO", nLocalSize);
        m_pTraffic = CreateArea("TRAFFICSENDINFO", nTrafficSize);
        ASSERT_TRUE(dlg.OpenSharedMemory());
        dlg.m_bMmfOpen = 1;
    }

    // ---- frames ----
    // A frame with code nCode and data szData built by the session and queued on link 0.
    int QueueReport(int nCode, const std::string& szData) {
        std::lock_guard<std::recursive_mutex> lock(m_pSession->m_csSession);
        // The report buffer holds 3,030 bytes: a frame of at most 2,994 data bytes.
        EXPECT_LE(szData.size() + kFrameOverhead, static_cast<size_t>(kFrameBufSize));
        if (szData.size() + kFrameOverhead > static_cast<size_t>(kFrameBufSize)) return 0;
        uint8_t* pFrame = m_pSession->m_pReportFrame.get();
        m_pSession->BuildFrameHeader(pFrame, nCode, 0);
        char szField[16] = {};
        std::snprintf(szField, sizeof szField, "%07d", static_cast<int>(szData.size()));
        std::memcpy(pFrame + 13, szField, 7);
        std::memcpy(pFrame + 20, "0000", 4);
        std::memcpy(pFrame + 30, szData.data(), szData.size());
        return m_pSession->QueueFromBuffer(pFrame, kFrameOverhead + static_cast<int>(szData.size()),
                                           0);
    }
    std::vector<SentFrame> TakeFrames() {
        std::vector<SentFrame> out;
        for (auto& f : m_pDlg->TakeQueuedFrames(0)) out.push_back(SentFrame{f});
        return out;
    }
    // The one frame queued since the last take (fails the test when there is not exactly one).
    SentFrame TakeOne() {
        std::vector<SentFrame> frames = TakeFrames();
        EXPECT_EQ(frames.size(), 1u);
        return frames.empty() ? SentFrame{} : frames.front();
    }
    // A reply of the Manager PC under nOpcode for packet nPacket with a status byte, as the
    // dispatcher leaves it in the receive-frame buffer.
    static std::vector<uint8_t> Reply(int nOpcode, int nPacket, uint8_t nStatus) {
        std::vector<uint8_t> f(kFrameBufSize, 0);
        char szHead[40] = {};
        std::snprintf(szHead, sizeof szHead, "%c%c%07d10%02d%07d%04dABCDE0", 0xAA, 0xAA, 37,
                      nOpcode, 1, nPacket);
        std::memcpy(f.data(), szHead, 30);
        f[30] = nStatus;
        f[35] = f[36] = 0x55;
        return f;
    }

    // ---- what the station showed and said ----
    std::vector<Sent> Received() {
        std::vector<Sent> out;
        for (const vplat::FakeMessage& m : m_pEnv->Messages())
            out.push_back(Sent{m.szTitle, m.nMsg, m.wParam, m.lParam, m.nAtMs - m_nStartMs});
        return out;
    }
    std::string Control(int nId) { return m_pEnv->GetControlText(nId); }
    // Debug lines equal to, starting with, or containing sz.
    int CountDebug(const std::string& sz) {
        return CountDebugIf([&](auto& s) { return s == sz; });
    }
    int CountDebugPrefix(const std::string& sz) {
        return CountDebugIf([&](auto& s) { return s.rfind(sz, 0) == 0; });
    }
    int CountDebugContaining(const std::string& sz) {
        return CountDebugIf([&](auto& s) { return s.find(sz) != s.npos; });
    }
    template <class Pred>
    int CountDebugIf(Pred pred) {
        const auto lines = m_pEnv->DebugLines();
        return static_cast<int>(std::count_if(lines.begin(), lines.end(), pred));
    }

    TempRoot m_root;
    std::string m_szOldCwd;
    std::unique_ptr<vplat::FakeEnv> m_pEnv;
    std::unique_ptr<CVelmoraDlg> m_pDlg;
    CCenterSession* m_pSession = nullptr;
    uint64_t m_nStartMs = 0;                 // fake time of the last ResetRecords
    std::vector<uint8_t> m_local;            // stand-in local-status area
    std::vector<vplat::MappedView> m_views;  // the areas as the main operation program holds them
    uint8_t* m_pLocal = nullptr;             // its view of LOCALSTATUSINFO
    uint8_t* m_pTraffic = nullptr;           // its view of TRAFFICSENDINFO
};

}  // namespace vtest
