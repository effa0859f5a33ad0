// Test bed of the manager link: a station root with the INI files, a dialog and its
// session against the fake platform, link entry 0 set up (events and queue) with the
// station ID ABCDE, and helpers that build Manager PC frames and read the station's
// queued frames.
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
#include "link/tcp_common.h"
#include "platform/fake/fake_env.h"

namespace link_test {

namespace fs = std::filesystem;

// A finished manager frame as the Manager PC sends it; the ID is written as given (up to
// five bytes) and bBadCrc stores the standard, inverted CRC-32 instead of the station's.
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
    for (int k = 0; k < 4; ++k)
        f[static_cast<size_t>(nLength - 6 + k)] = static_cast<uint8_t>(nCrc >> (8 * k));
    f[static_cast<size_t>(nLength - 2)] = f[static_cast<size_t>(nLength - 1)] = 0x55;
    return f;
}

inline std::vector<uint8_t> Bytes(const std::string& sz) { return {sz.begin(), sz.end()}; }

class LinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char szTemplate[] = "/tmp/velmora-link-XXXXXX";
        m_szRoot = mkdtemp(szTemplate);
        fs::create_directories(m_szRoot + "/d/QN64-ABRIX/Data");
        fs::create_directories(m_szRoot + "/d/QN64-ABRIX/Bin");
        fs::create_directories(m_szRoot + "/d/System_Log");
        std::ofstream(m_szRoot + "/d/QN64-ABRIX/Data/ConfigInfoSetup.ini")
            << "[LocalInfo]\r\nLOCAL_ADDRESS=ABCDE\r\nMANAGE_PC_IP=127.0.0.1\r\n";
        std::ofstream(m_szRoot + "/d/QN64-ABRIX/Data/LocalMemorySet.ini") << "[AdditionItem]\r\n";
        m_pEnv = std::make_unique<vplat::FakeEnv>(m_szRoot);
        m_pEnv->Install();

        m_pDlg = std::make_unique<CVelmoraDlg>();
        LinkEntry& link = m_pDlg->m_pConn[0];
        std::memset(link.m_szLocalId, 0, sizeof link.m_szLocalId);
        std::strncpy(link.m_szLocalId, "ABCDE", sizeof link.m_szLocalId - 1);
        m_pDlg->m_nConnCount = 1;
        m_pDlg->m_nOperationMode = 0;
        m_pDlg->m_nCenterCommKind = 0;
        m_pEnv->SetLoopHandler(m_pDlg.get());
        m_pDlg->m_pSession = new CCenterSession(m_pDlg.get());
        m_pDlg->m_pSession->Init();
        m_pSession = m_pDlg->m_pSession;
        m_pDlg->InitLinkEntry(0);
        m_pEnv->ClearMessages();
        m_pEnv->ClearDebugLines();
    }

    void TearDown() override {
        m_pDlg.reset();  // stops a link thread the test started
        m_pEnv->Uninstall();
        fs::remove_all(m_szRoot);
    }

    LinkEntry& Link() { return m_pDlg->m_pConn[0]; }
    std::string Control(int nId) { return m_pEnv->GetControlText(nId); }

    // A frame of nData bytes with code nCode built by the session and queued on link 0.
    int QueueReport(int nCode, const std::string& szData) {
        std::lock_guard<std::recursive_mutex> lock(m_pSession->m_csSession);
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

    // Times a debug or log line was written exactly like this.
    int CountLines(const std::string& szLine) {
        int n = 0;
        for (const auto& s : m_pEnv->DebugLines()) n += s.find(szLine) != std::string::npos ? 1 : 0;
        return n;
    }

    std::string m_szRoot;
    std::unique_ptr<vplat::FakeEnv> m_pEnv;
    std::unique_ptr<CVelmoraDlg> m_pDlg;
    CCenterSession* m_pSession = nullptr;
};

}  // namespace link_test
