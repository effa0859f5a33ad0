// Shared set-up of the modem tests: a CDMA station dialog on the fake platform (settings
// from an INI file under a fresh root, a session, the program directory), a
// pseudo-terminal that plays the modem behind a symlink the station's MODEM_PORT names,
// and helpers to build SMS answer lines and to look for debug and log lines.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "app/velmora_dlg.h"
#include "platform/fake/fake_env.h"
#include "status/time_format.h"

namespace modemtest {

constexpr int64_t kNow = 1765031400;  // the fake clock of every modem test
constexpr const char* kCenterTel = "01012345678";

// A pseudo-terminal whose station side is reached through a symlink.
class FakeModem {
  public:
    explicit FakeModem(const std::string& szLink) : m_szLink(szLink) { Plug(); }
    ~FakeModem() { Unplug(); }

    void Plug() {
        int nSlave = -1;
        ASSERT_EQ(openpty(&m_nMaster, &nSlave, nullptr, nullptr, nullptr), 0);
        termios tio{};
        tcgetattr(nSlave, &tio);
        cfmakeraw(&tio);
        tcsetattr(nSlave, TCSANOW, &tio);
        char szPts[128] = {};
        ASSERT_EQ(ptsname_r(m_nMaster, szPts, sizeof szPts), 0);
        close(nSlave);  // the station opens its own side through the link
        std::filesystem::remove(m_szLink);
        std::filesystem::create_symlink(szPts, m_szLink);
    }
    // The device goes away: the station's side sees a hang-up.
    void Unplug() {
        if (m_nMaster >= 0) close(m_nMaster);
        m_nMaster = -1;
        std::error_code ec;
        std::filesystem::remove(m_szLink, ec);
    }
    void Write(const std::string& szBytes) {
        ASSERT_EQ(write(m_nMaster, szBytes.data(), szBytes.size()),
                  static_cast<ssize_t>(szBytes.size()));
    }
    // What the station wrote, collected until nBytes arrived or nWaitMs passed.
    std::string Read(size_t nBytes, int nWaitMs) {
        std::string szOut;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nWaitMs);
        while (szOut.size() < nBytes && std::chrono::steady_clock::now() < deadline) {
            pollfd pfd{m_nMaster, POLLIN, 0};
            if (poll(&pfd, 1, 20) <= 0) continue;
            char buf[1024];
            const ssize_t n = read(m_nMaster, buf, sizeof buf);
            if (n <= 0) break;
            szOut.append(buf, static_cast<size_t>(n));
        }
        return szOut;
    }
    const std::string& Link() const { return m_szLink; }

  private:
    std::string m_szLink;  // symlink to the station's side
    int m_nMaster = -1;    // modem side
};

class ModemTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char szTemplate[] = "/tmp/velmora-modem-XXXXXX";
        m_szRoot = mkdtemp(szTemplate);
        std::filesystem::create_directories(m_szRoot + "/d/QN64-ABRIX/Data");
        std::filesystem::create_directories(m_szRoot + "/d/QN64-ABRIX/Bin");
        std::ofstream(m_szRoot + "/d/QN64-ABRIX/Data/ConfigInfoSetup.ini")
            << "[SelectSystem]\nTHIS_PROGRAM_KIND=2\n"
            << "[LocalInfo]\nLOCAL_ADDRESS=ABCDE\nCENTER_COMM_KIND=1\nCDMA_TEL_NUMBER="
            << kCenterTel << "\n[OperationInfo]\nOPERATION_MODE=0\n";
        m_pEnv = std::make_unique<vplat::FakeEnv>(m_szRoot);
        m_pEnv->Install();
        m_pEnv->SetTime64(kNow);
        m_pDlg = std::make_unique<CVelmoraDlg>();
        m_pDlg->m_nCenterCommKind = 1;
        m_pDlg->m_nOperationMode = 0;
        std::snprintf(m_pDlg->m_szCdmaTelNumber, sizeof m_pDlg->m_szCdmaTelNumber, "%s",
                      kCenterTel);
        std::snprintf(m_pDlg->m_szBinDir, sizeof m_pDlg->m_szBinDir, "%s", "D:/QN64-ABRIX/Bin");
        m_pEnv->SetLoopHandler(m_pDlg.get());
        m_pDlg->m_pSession = new CCenterSession(m_pDlg.get());
        m_pDlg->m_pSession->Init();
        m_pEnv->ClearMessages();
        m_pEnv->ClearDebugLines();
    }
    void TearDown() override {
        if (m_pDlg->m_hComPort.IsOpen()) m_pDlg->CloseComm(m_pDlg->m_hComPort);
        m_pDlg.reset();
        m_pModem.reset();
        m_pEnv->Uninstall();
        std::filesystem::remove_all(m_szRoot);
    }

    // A modem on a pseudo-terminal, named by the station's MODEM_PORT, and the port open.
    void OpenModem() {
        m_pModem = std::make_unique<FakeModem>(m_szRoot + "/modem");
        std::snprintf(m_pDlg->m_szModemDevice, sizeof m_pDlg->m_szModemDevice, "%s",
                      m_pModem->Link().c_str());
        m_pDlg->OpenModemPort();
        ASSERT_EQ(m_pDlg->m_bComOpen.load(), 1);
    }

    // Waits until the station's side of the port has at least nBytes queued (the terminal
    // hands written bytes over a moment later), as the serial thread waits before reading.
    void WaitQueued(int nBytes) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        int nQueued = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            if (m_pEnv->SerialWait(m_pDlg->m_hComPort, nullptr, 50, &nQueued) == 1 &&
                nQueued >= nBytes) {
                return;
            }
        }
        ADD_FAILURE() << "the modem's bytes did not arrive: " << nQueued << " of " << nBytes;
    }
    // The modem writes, and the station reads once they are there.
    void ModemSays(const std::string& szBytes) {
        m_pModem->Write(szBytes);
        WaitQueued(static_cast<int>(szBytes.size()));
    }

    // The 14 time digits nAgo seconds before the fake now.
    static std::string TimeDigits(int64_t nAgo) {
        char sz[17] = {};
        FormatTimeDigits(sz, 16, kNow - nAgo);
        return std::string(sz, 14);
    }
    // An SMS answer line as the session gets it (after the two leading bytes).
    static std::string SmsLine(int64_t nAgo, const std::string& szSender,
                               const std::string& szHex) {
        return TimeDigits(nAgo) + "," + szSender + ",x,x,x," + szHex + ",x\r\n";
    }
    void Sms(const std::string& szLine) {
        m_pDlg->m_pSession->OnSmsMessage(szLine.data(), static_cast<int>(szLine.size()));
    }

    bool HasLine(const std::string& szLine) {
        for (const auto& l : m_pEnv->DebugLines()) {
            if (l == szLine) return true;
        }
        return false;
    }
    bool HasLineContaining(const std::string& szPart) {
        for (const auto& l : m_pEnv->DebugLines()) {
            if (l.find(szPart) != std::string::npos) return true;
        }
        return false;
    }
    size_t DialerStarts() { return m_pEnv->StartedPrograms().size(); }

    std::string m_szRoot;
    std::unique_ptr<vplat::FakeEnv> m_pEnv;
    std::unique_ptr<CVelmoraDlg> m_pDlg;
    std::unique_ptr<FakeModem> m_pModem;
};

}  // namespace modemtest
