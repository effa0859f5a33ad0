// Test bed of the file transfers: a station root with the two INI files, the violation,
// capture and log directories, a dialog with its session against the fake platform, the
// link entry marked connected, and helpers to put files in place, read the queued frames
// and build the Manager PC's replies.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/resource.h"
#include "app/velmora_dlg.h"
#include "platform/fake/fake_env.h"

namespace transfer_test {

namespace fs = std::filesystem;

// One frame the station queued, taken apart. Every accessor stays inside the bytes, so a
// missing or short frame fails the test instead of crashing it.
struct SentFrame {
    std::vector<uint8_t> bytes;  // the finished frame
    int Opcode() const { return Digits(11, 2); }
    int DataLength() const { return Digits(13, 7); }
    int PacketNo() const { return Digits(20, 4); }
    int LengthField() const { return Digits(2, 7); }
    std::string StationId() const { return Text(24, 5); }
    std::string DataText() const { return Text(30, DataLength()); }
    // True when the data are exactly the n bytes at p.
    bool DataEquals(const uint8_t* p, int n) const {
        return DataLength() == n && bytes.size() >= static_cast<size_t>(30 + n) &&
               std::memcmp(bytes.data() + 30, p, static_cast<size_t>(n)) == 0;
    }
    // The decimal field at nAt, -1 when it is missing or not all digits.
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

class TransferTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char szTemplate[] = "/tmp/velmora-transfer-XXXXXX";
        m_szRoot = mkdtemp(szTemplate);
        fs::create_directories(m_szRoot + "/d/QN64-ABRIX/Data");
        fs::create_directories(m_szRoot + "/d/QN64-ABRIX/Bin");
        fs::create_directories(m_szRoot + "/d/ENF_IMG");
        fs::create_directories(m_szRoot + "/d/Capture_img");
        fs::create_directories(m_szRoot + "/d/System_Log/2024");
        std::ofstream(m_szRoot + "/d/QN64-ABRIX/Data/ConfigInfoSetup.ini")
            << "[LocalInfo]\r\nLOCAL_ADDRESS=" << StationIdSetting() << "\r\n";
        std::ofstream(m_szRoot + "/d/QN64-ABRIX/Data/LocalMemorySet.ini")
            << "[AdditionItem]\r\nENF_IMG_DIRECTORY=d:/ENF_IMG\r\n";
        m_szOldCwd = fs::current_path();
        fs::current_path(m_szRoot + "/d/QN64-ABRIX/Bin");
        m_pEnv = std::make_unique<vplat::FakeEnv>(m_szRoot);
        m_pEnv->Install();
        m_pEnv->SetTime64(vplat::Time64FromLocal(2024, 3, 5, 12, 0, 0));

        m_pDlg = std::make_unique<CVelmoraDlg>();
        // The transfers' view of the settings, pinned so that the tests do not depend on
        // how the INI files are read.
        std::memset(m_pDlg->m_pConn[0].m_szLocalId, 0, sizeof m_pDlg->m_pConn[0].m_szLocalId);
        std::snprintf(m_pDlg->m_pConn[0].m_szLocalId, sizeof m_pDlg->m_pConn[0].m_szLocalId, "%s",
                      StationIdSetting().c_str());
        std::memset(m_pDlg->m_szEnfImgDirectory, 0, sizeof m_pDlg->m_szEnfImgDirectory);
        std::snprintf(m_pDlg->m_szEnfImgDirectory, sizeof m_pDlg->m_szEnfImgDirectory, "%s",
                      "d:/ENF_IMG");
        m_pDlg->m_nConnCount = 1;
        m_pDlg->m_nOperationMode = 0;
        m_pDlg->m_nCenterCommKind = 0;
        m_pEnv->SetLoopHandler(m_pDlg.get());
        m_pDlg->m_pSession = new CCenterSession(m_pDlg.get());
        m_pDlg->m_pSession->Init();
        m_pSession = m_pDlg->m_pSession;

        m_local.assign(4096, 0);
        std::memcpy(m_local.data(), "ABCDE", 5);
        m_pDlg->m_pLocalStatus = m_local.data();
        m_pDlg->m_bMmfOpen = 1;
        m_pDlg->m_pConn[0].m_nLinkState = 1;
        m_pEnv->ClearMessages();
    }

    void TearDown() override {
        m_pDlg.reset();
        m_pEnv->Uninstall();
        fs::current_path(m_szOldCwd);
        fs::remove_all(m_szRoot);
    }

    virtual std::string StationIdSetting() const { return "ABCDE"; }

    // Host path of a station path "d/..." below the root.
    std::string Host(const std::string& szRel) const { return m_szRoot + "/" + szRel; }

    // A file of n bytes whose byte i is (i * 7 + nSeed) & 0xFF.
    static std::vector<uint8_t> Pattern(size_t n, int nSeed = 1) {
        std::vector<uint8_t> v(n);
        for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>((i * 7 + nSeed) & 0xFF);
        return v;
    }
    void PutFile(const std::string& szRel, const std::vector<uint8_t>& bytes) {
        std::ofstream out(Host(szRel), std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }
    void PutVol(const std::string& szName, size_t nSize, int nSeed = 1) {
        PutFile("d/ENF_IMG/" + szName, Pattern(nSize, nSeed));
    }
    bool Exists(const std::string& szRel) const { return fs::exists(Host(szRel)); }

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
    std::vector<uint8_t> Reply(int nOpcode, int nPacket, uint8_t nStatus) const {
        std::vector<uint8_t> f(kFrameBufSize, 0);
        char szHead[40] = {};
        std::snprintf(szHead, sizeof szHead, "%c%c%07d10%02d%07d%04dABCDE0", 0xAA, 0xAA, 37,
                      nOpcode, 1, nPacket);
        std::memcpy(f.data(), szHead, 30);
        f[30] = nStatus;
        f[35] = 0x55;
        f[36] = 0x55;
        return f;
    }
    void VolReply(int nPacket, uint8_t nStatus) {
        m_pSession->OnVolReply(Reply(OP_VOL_FILE, nPacket, nStatus).data(), 0);
    }

    int CountDebug(const std::string& szLine) const {
        int n = 0;
        for (const auto& s : m_pEnv->DebugLines()) n += (s == szLine) ? 1 : 0;
        return n;
    }
    int CountDebugPrefix(const std::string& szPrefix) const {
        int n = 0;
        for (const auto& s : m_pEnv->DebugLines()) n += (s.rfind(szPrefix, 0) == 0) ? 1 : 0;
        return n;
    }
    std::string Control(int nId) { return m_pEnv->GetControlText(nId); }

    std::string m_szRoot, m_szOldCwd;
    std::unique_ptr<vplat::FakeEnv> m_pEnv;
    std::unique_ptr<CVelmoraDlg> m_pDlg;
    CCenterSession* m_pSession = nullptr;
    std::vector<uint8_t> m_local;
};

}  // namespace transfer_test
