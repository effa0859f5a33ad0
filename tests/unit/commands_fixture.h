// Test bed of the command handlers: a dialog and its session against the fake platform,
// with the main operation program and the camera-control program present as windows, and
// helpers that read back what the siblings were sent (in order, with the fake time of each
// message), the notices, and the lines the station wrote to the debug output.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "app/resource.h"
#include "app/siblings.h"
#include "app/velmora_dlg.h"
#include "platform/fake/fake_env.h"

namespace commands_test {

// One message as a sibling received it; nAtMs counts from the start of the test's command.
struct Sent {
    std::string szTitle;
    uint32_t nMsg;
    uintptr_t wParam;
    intptr_t lParam;
    uint64_t nAtMs;
    bool operator==(const Sent& o) const {
        return szTitle == o.szTitle && nMsg == o.nMsg && wParam == o.wParam && lParam == o.lParam &&
               nAtMs == o.nAtMs;
    }
};
inline std::ostream& operator<<(std::ostream& os, const Sent& s) {
    return os << "{" << s.szTitle << ", " << s.nMsg << ", " << s.wParam << ", " << s.lParam << ", @"
              << s.nAtMs << "ms}";
}

// Device code (WM_USER+14) to the main operation program / the camera-control program.
inline Sent ToHarwent(int nCode, intptr_t nValue, uint64_t nAtMs = 0) {
    return Sent{sib::kHarwent, sib::WM_DEVICE, static_cast<uintptr_t>(nCode), nValue, nAtMs};
}
inline Sent ToZentoral(int nCode, intptr_t nValue, uint64_t nAtMs = 0) {
    return Sent{sib::kZentoral, sib::WM_DEVICE, static_cast<uintptr_t>(nCode), nValue, nAtMs};
}

class CommandsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char szTemplate[] = "/tmp/velmora-commands-XXXXXX";
        m_szRoot = mkdtemp(szTemplate);
        m_pEnv = std::make_unique<vplat::FakeEnv>(m_szRoot);
        m_pEnv->Install();
        m_pEnv->SetTime64(vplat::Time64FromLocal(2024, 6, 15, 14, 30, 0));
        m_pEnv->AddWindow(sib::kHarwent);
        m_pEnv->AddWindow(sib::kZentoral);

        m_pDlg = std::make_unique<CVelmoraDlg>();
        // The settings the handlers read, pinned here rather than taken from INI files.
        m_pDlg->m_nEnfCameraCnt = 2;
        m_pDlg->m_nTargetLane[0] = 3;
        m_pDlg->m_nTargetLane[1] = 4;
        m_pDlg->m_nProgramKind = 1;
        m_pDlg->m_nOperationMode = 0;
        m_pDlg->m_nVolFileSendSystem = 1;
        m_pDlg->m_nStdServerVersion = 0;
        m_pDlg->m_nConnCount = 1;
        m_pDlg->m_pSession = new CCenterSession(m_pDlg.get());
        m_pDlg->m_pSession->Init();
        m_pSession = m_pDlg->m_pSession;

        m_pEnv->SetControlText(IDC_NOTICE, "data");
        m_pEnv->ClearMessages();
        m_pEnv->ClearDebugLines();
        m_nStartMs = m_pEnv->MonotonicMs();
    }

    void TearDown() override {
        m_pDlg.reset();
        m_pEnv->Uninstall();
        std::filesystem::remove_all(m_szRoot);
    }

    // Messages the siblings received since SetUp, times relative to SetUp.
    std::vector<Sent> Received() {
        std::vector<Sent> out;
        for (const vplat::FakeMessage& m : m_pEnv->Messages()) {
            out.push_back(Sent{m.szTitle, m.nMsg, m.wParam, m.lParam, m.nAtMs - m_nStartMs});
        }
        return out;
    }
    // Fake milliseconds spent since SetUp.
    uint64_t ElapsedMs() { return m_pEnv->MonotonicMs() - m_nStartMs; }

    std::string Notice() { return m_pEnv->GetControlText(IDC_NOTICE); }
    std::string Control(int nId) { return m_pEnv->GetControlText(nId); }

    int CountDebug(const std::string& szLine) {
        int n = 0;
        for (const std::string& s : m_pEnv->DebugLines()) n += (s == szLine) ? 1 : 0;
        return n;
    }
    int CountDebugPrefix(const std::string& szPrefix) {
        int n = 0;
        for (const std::string& s : m_pEnv->DebugLines()) n += (s.rfind(szPrefix, 0) == 0) ? 1 : 0;
        return n;
    }

    // The handlers get exactly the bytes of the data on the heap, so a read past its length
    // is caught by the address sanitizer.
    static std::unique_ptr<uint8_t[]> Bytes(const std::string& szData) {
        std::unique_ptr<uint8_t[]> p(new uint8_t[szData.size() + (szData.empty() ? 1 : 0)]);
        for (size_t i = 0; i < szData.size(); ++i) p[i] = static_cast<uint8_t>(szData[i]);
        return p;
    }
    void Camera(int nOpcode, const std::string& szData) {
        auto p = Bytes(szData);
        m_pSession->OnCameraCommand(nOpcode, p.get(), static_cast<int>(szData.size()), 0);
    }
    void Speed(const std::string& szData) {
        auto p = Bytes(szData);
        m_pSession->OnSpeedSet(p.get(), static_cast<int>(szData.size()));
    }
    void Signal(int nOpcode, const std::string& szData) {
        auto p = Bytes(szData);
        m_pSession->OnSignalTest(nOpcode, p.get(), static_cast<int>(szData.size()), 0);
    }
    void NPass(const std::string& szData) {
        auto p = Bytes(szData);
        m_pSession->OnNPassSet(p.get(), static_cast<int>(szData.size()));
    }
    void Bright(const std::string& szData) {
        auto p = Bytes(szData);
        m_pSession->OnBrightSet(p.get(), static_cast<int>(szData.size()));
    }
    void TimeSet(const std::string& szData) {
        auto p = Bytes(szData);
        m_pSession->OnTimeSet(p.get(), static_cast<int>(szData.size()), 0);
    }
    void SendTarget(const std::string& szData) {
        auto p = Bytes(szData);
        m_pSession->OnSendTargetChange(p.get(), static_cast<int>(szData.size()));
    }
    void Supervisor(const std::string& szData) {
        auto p = Bytes(szData);
        m_pSession->OnSupervisorRequest(OP_SUPERVISOR_CMD, p.get(),
                                        static_cast<int>(szData.size()));
    }

    std::string m_szRoot;
    std::unique_ptr<vplat::FakeEnv> m_pEnv;
    std::unique_ptr<CVelmoraDlg> m_pDlg;
    CCenterSession* m_pSession = nullptr;
    uint64_t m_nStartMs = 0;
};

}  // namespace commands_test
