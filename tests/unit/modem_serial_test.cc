// The serial thread against a pseudo-terminal modem: a notice is answered with the AT
// command, the thread idles without a port and ends on its stop event or its run flag,
// a pending write and a read error keep their results, and an unplugged modem closes the
// port, goes on record and is picked up again once it is back.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "tests/unit/modem_fixture.h"

namespace modemtest {
namespace {

class SerialThreadTest : public ModemTest {
  protected:
    void StartThread() {
        m_pDlg->m_hSerialStop = m_pEnv->NewEvent(true);
        m_pDlg->m_bSerialRun = 1;
        m_thread = std::thread(SerialThreadProc, m_pDlg.get());
    }
    void StopThread() {
        if (!m_thread.joinable()) return;
        m_pDlg->m_hSerialStop->Set();
        m_thread.join();
    }
    void TearDown() override {
        StopThread();
        ModemTest::TearDown();
    }
    // Waits (at most nSeconds) until pred holds.
    template <typename Pred>
    bool Eventually(Pred pred, int nSeconds) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(nSeconds);
        while (std::chrono::steady_clock::now() < deadline) {
            if (pred()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return pred();
    }

    std::thread m_thread;  // the serial thread under test
};

TEST_F(SerialThreadTest, NoticeIsAnsweredWithTheAtCommand) {
    OpenModem();
    StartThread();
    m_pModem->Write("$008:0\r\n");
    EXPECT_EQ(m_pModem->Read(13, 5000), "AT$SMSMT=1?\r\n");
    EXPECT_TRUE(Eventually([&] { return HasLine("READ :$008:0\r\n[8]"); }, 5));
    StopThread();
    EXPECT_EQ(m_pDlg->m_bSerialRun.load(), 0);
    // The thread closes the port it leaves behind.
    EXPECT_FALSE(m_pDlg->m_hComPort.IsOpen());
    EXPECT_EQ(m_pDlg->m_bComOpen.load(), 0);
}

TEST_F(SerialThreadTest, IdlesWithoutAPortUntilStopped) {
    StartThread();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(m_pDlg->m_bSerialRun.load(), 1);
    StopThread();
    EXPECT_EQ(m_pDlg->m_bSerialRun.load(), 0);
    EXPECT_TRUE(m_pEnv->DebugLines().empty());
}

TEST_F(SerialThreadTest, EndsWhenItsRunFlagIsCleared) {
    OpenModem();
    StartThread();
    m_pDlg->m_bSerialRun = 0;
    m_pModem->Write("x");  // ends the current wait early
    m_thread.join();
    EXPECT_FALSE(m_pDlg->m_hComPort.IsOpen());
}

TEST_F(SerialThreadTest, UnpluggedModemIsClosedAndPickedUpAgain) {
    OpenModem();
    StartThread();
    m_pModem->Unplug();
    ASSERT_TRUE(Eventually([&] { return m_pDlg->m_bComOpen.load() == 0; }, 5));
    EXPECT_TRUE(Eventually(
        [&] { return HasLine("MODEM: 포트 장치가 사라짐 [" + m_szRoot + "/modem]"); }, 2));
    EXPECT_EQ(m_pDlg->m_bReopenPort.load(), 1);

    // Plugged in again: the thread opens it within a few idle steps and listens.
    m_pModem->Plug();
    ASSERT_TRUE(Eventually([&] { return m_pDlg->m_bComOpen.load() == 1; }, 15));
    EXPECT_TRUE(HasLine("MODEM: 포트를 다시 열었음 [" + m_szRoot + "/modem]"));
    m_pModem->Write("$008:0\r\n");
    EXPECT_EQ(m_pModem->Read(13, 5000), "AT$SMSMT=1?\r\n");
}

TEST_F(SerialThreadTest, PortGivenToTheDialerIsNotTakenBack) {
    OpenModem();
    StartThread();
    m_pDlg->StartCdmaLink();
    EXPECT_FALSE(m_pDlg->m_hComPort.IsOpen());
    // The thread idles; with the port wanted by the dialer it does not reopen it.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(m_pDlg->m_bComOpen.load(), 0);
    EXPECT_EQ(m_pDlg->m_bReopenPort.load(), 0);
}

TEST(SerialCommTest, ReadAndWriteResults) {
    CSerialComm comm;
    int nCount = 99;
    char buf[8];
    // A read error gives an empty read and still 1; a failed write gives 0.
    EXPECT_EQ(comm.ReadComm(vplat::SerialHandle{}, buf, sizeof buf, &nCount), 1);
    EXPECT_EQ(nCount, 0);
    nCount = 99;
    EXPECT_EQ(comm.WriteComm(vplat::SerialHandle{}, "AT", 2, &nCount), 0);
    EXPECT_EQ(nCount, 0);
    EXPECT_EQ(comm.CloseComm(vplat::SerialHandle{}), 1);
}

}  // namespace
}  // namespace modemtest
