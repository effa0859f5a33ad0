// Test bed of the settings, the shared-memory views, the reports and the housekeeping: a
// fresh station root on the fake platform, helpers that write INI files and other station
// files into it, a dialog with its session, and the two shared-memory areas of the main
// operation program created with a known byte pattern.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/velmora_dlg.h"
#include "platform/fake/fake_env.h"
#include "status/share_mem.h"

namespace station_test {

// The byte the tests put at offset i of a shared-memory area.
inline uint8_t PatternByte(size_t i) { return static_cast<uint8_t>((i * 7 + 3) % 251); }

class StationTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char szTemplate[] = "/tmp/velmora-station-XXXXXX";
        m_szRoot = mkdtemp(szTemplate);
        std::filesystem::create_directories(m_szRoot + "/d");
        m_pEnv = std::make_unique<vplat::FakeEnv>(m_szRoot);
        m_pEnv->Install();
    }

    void TearDown() override {
        if (m_pDlg) {
            CShareMem shm;
            shm.CloseShareMem(m_pDlg->m_hLocalStatusMem, 0);
            shm.CloseShareMem(m_pDlg->m_hTrafficMem, 0);
            m_pDlg->m_hLocalStatusMem = m_pDlg->m_hTrafficMem = nullptr;
            m_pDlg->m_pLocalStatus = m_pDlg->m_pTrafficInfo = nullptr;
        }
        m_pDlg.reset();
        for (auto& view : m_views) m_pEnv->CloseMapping(&view);
        m_views.clear();
        m_pEnv->Uninstall();
        std::filesystem::remove_all(m_szRoot);
    }

    // Host path of a station path "d/x/y" (drive letter folder first).
    std::string Host(const std::string& szRel) const { return m_szRoot + "/" + szRel; }

    // Writes a file below the root, creating its folders.
    void WriteFile(const std::string& szRel, const std::string& szBody) {
        const std::filesystem::path p = Host(szRel);
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << szBody;
    }
    std::string ReadFile(const std::string& szRel) const {
        std::ifstream in(Host(szRel), std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    bool Exists(const std::string& szRel) const { return std::filesystem::exists(Host(szRel)); }

    // The dialog (its constructor reads the INI files) and its session.
    CVelmoraDlg& MakeDialog() {
        m_pDlg = std::make_unique<CVelmoraDlg>();
        m_pDlg->m_pSession = new CCenterSession(m_pDlg.get());
        m_pDlg->m_pSession->Init();
        return *m_pDlg;
    }

    // Creates a shared-memory area of nSize bytes filled with PatternByte.
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

    std::string m_szRoot;
    std::unique_ptr<vplat::FakeEnv> m_pEnv;
    std::unique_ptr<CVelmoraDlg> m_pDlg;
    std::vector<vplat::MappedView> m_views;  // the areas as the main operation program holds them
    uint8_t* m_pLocal = nullptr;             // its view of LOCALSTATUSINFO
    uint8_t* m_pTraffic = nullptr;           // its view of TRAFFICSENDINFO
};

}  // namespace station_test
