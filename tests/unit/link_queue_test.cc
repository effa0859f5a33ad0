// The link entries and the send queue without a link thread: refusal while the link is
// not connected, overflow keeping the 19 newest frames, the send pass's peek-and-remove
// with frames appended (and dropped) in between, hang-up requests and the entry set-up.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "link/send_queue.h"
#include "tests/unit/link_fixture.h"

namespace link_test {
namespace {

class LinkQueueTest : public LinkTest {
  protected:
    // The data text of a queued frame.
    static std::string DataOf(const std::vector<uint8_t>& f) {
        return std::string(f.begin() + 30, f.end() - 6);
    }
    static std::string Label(int k) {
        char sz[16];
        std::snprintf(sz, sizeof sz, "F%03d", k);
        return sz;
    }
};

TEST_F(LinkQueueTest, RefusedUnlessConnected) {
    for (int nState : {0, 2}) {
        Link().m_nLinkState = nState;
        EXPECT_EQ(QueueReport(59, "x"), 0) << nState;
    }
    Link().m_nLinkState = 1;
    uint8_t frame[64] = {};
    EXPECT_EQ(m_pDlg->QueueFrame(frame, 36, -1), 0);
    EXPECT_EQ(m_pDlg->QueueFrame(frame, 36, kMaxLinks), 0);
    EXPECT_EQ(m_pDlg->QueueFrame(frame, 35, 0), 0);  // shorter than any frame
    std::vector<uint8_t> big(kQueueSlotBytes + 1, 0);
    EXPECT_EQ(m_pDlg->QueueFrame(big.data(), static_cast<int>(big.size()), 0), 0);
    EXPECT_TRUE(m_pDlg->TakeQueuedFrames(0).empty());
    EXPECT_EQ(m_pDlg->QueueFrame(big.data(), kQueueSlotBytes, 0), 1);  // the largest slot
}

TEST_F(LinkQueueTest, OverflowKeepsTheNineteenNewestInOrder) {
    Link().m_nLinkState = 1;
    for (int k = 0; k < 25; ++k) ASSERT_EQ(QueueReport(56, Label(k)), 1);
    const auto frames = m_pDlg->TakeQueuedFrames(0);
    ASSERT_EQ(frames.size(), 19u);
    for (size_t k = 0; k < frames.size(); ++k)
        EXPECT_EQ(DataOf(frames[k]), Label(static_cast<int>(k) + 6));
    EXPECT_TRUE(m_pDlg->TakeQueuedFrames(0).empty());
}

TEST_F(LinkQueueTest, QueuingWakesTheLinkThread) {
    Link().m_nLinkState = 1;
    vplat::Event* events[2] = {Link().m_hStopEvent.get(), Link().m_hSendEvent.get()};
    EXPECT_EQ(m_pEnv->WaitEventsOrSocket(events, 2, vplat::kNoSocket, 0), -1);
    ASSERT_EQ(QueueReport(59, ""), 1);
    EXPECT_EQ(m_pEnv->WaitEventsOrSocket(events, 2, vplat::kNoSocket, 0), 1);
    EXPECT_EQ(m_pEnv->WaitEventsOrSocket(events, 2, vplat::kNoSocket, 0), -1);  // auto-reset
}

TEST_F(LinkQueueTest, SentFrameIsRemovedOnlyWhileStillTheHead) {
    Link().m_nLinkState = 1;
    std::vector<uint8_t> buf(kLinkSendBufSize);
    int nLength = 0;
    uint64_t nSeq = 0;

    // Appended during the send: the sent frame goes, the new one stays.
    ASSERT_EQ(QueueReport(56, Label(0)), 1);
    ASSERT_TRUE(PeekOldestFrame(Link(), buf.data(), kLinkSendBufSize, &nLength, &nSeq));
    EXPECT_EQ(DataOf({buf.begin(), buf.begin() + nLength}), Label(0));
    ASSERT_EQ(QueueReport(56, Label(1)), 1);
    RemoveSentFrame(Link(), nSeq);
    auto frames = m_pDlg->TakeQueuedFrames(0);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(DataOf(frames[0]), Label(1));

    // Overflow during the send dropped the frame being sent: nothing else is removed.
    ASSERT_EQ(QueueReport(56, Label(2)), 1);
    ASSERT_TRUE(PeekOldestFrame(Link(), buf.data(), kLinkSendBufSize, &nLength, &nSeq));
    for (int k = 3; k < 3 + 19; ++k) ASSERT_EQ(QueueReport(56, Label(k)), 1);
    RemoveSentFrame(Link(), nSeq);
    frames = m_pDlg->TakeQueuedFrames(0);
    ASSERT_EQ(frames.size(), 19u);
    EXPECT_EQ(DataOf(frames.front()), Label(3));
    EXPECT_FALSE(PeekOldestFrame(Link(), buf.data(), kLinkSendBufSize, &nLength, &nSeq));
}

// A producer queues while a consumer runs send passes: every frame is seen at most once
// and in order; only overflow may drop frames.
TEST_F(LinkQueueTest, ConcurrentQueuingNeverSendsTwice) {
    Link().m_nLinkState = 1;
    constexpr int kFrames = 2000;
    std::atomic<bool> bDone{false};
    std::thread producer([&] {
        for (int k = 0; k < kFrames; ++k)
            QueueReport(56, Label(k % 1000) + std::to_string(k / 1000));
        bDone = true;
    });
    std::vector<uint8_t> buf(kLinkSendBufSize);
    std::vector<uint64_t> seen;
    for (;;) {
        const bool bLast = bDone.load();
        int nLength = 0;
        uint64_t nSeq = 0;
        while (PeekOldestFrame(Link(), buf.data(), kLinkSendBufSize, &nLength, &nSeq)) {
            seen.push_back(nSeq);
            RemoveSentFrame(Link(), nSeq);
        }
        if (bLast) break;
        std::this_thread::yield();
    }
    producer.join();
    ASSERT_FALSE(seen.empty());
    for (size_t k = 1; k < seen.size(); ++k) ASSERT_LT(seen[k - 1], seen[k]);
    EXPECT_EQ(seen.back(), static_cast<uint64_t>(kFrames));  // the newest is never lost
}

TEST_F(LinkQueueTest, HangUpRequestMarksTheLinkDownAndWakesTheThread) {
    Link().m_nLinkState = 1;
    m_pDlg->RequestLinkClose(0);
    EXPECT_EQ(Link().m_nLinkState.load(), 2);
    EXPECT_EQ(Link().m_bCloseRequested.load(), 1);
    vplat::Event* events[2] = {Link().m_hStopEvent.get(), Link().m_hSendEvent.get()};
    EXPECT_EQ(m_pEnv->WaitEventsOrSocket(events, 2, vplat::kNoSocket, 0), 1);
    EXPECT_EQ(QueueReport(59, ""), 0);  // refused from now on
    m_pDlg->RequestLinkClose(-1);       // ignored
    m_pDlg->RequestLinkClose(kMaxLinks);
}

TEST_F(LinkQueueTest, EntrySetUpAndLookup) {
    LinkEntry& link = Link();
    link.m_nSentFrames = 5;
    link.m_nRecvEvents = 6;
    link.m_nLinkState = 1;
    link.m_nIndex = 3;
    m_pDlg->InitLinkEntry(0);
    EXPECT_EQ(link.m_nSentFrames.load(), 0);
    EXPECT_EQ(link.m_nRecvEvents.load(), 0);
    EXPECT_EQ(link.m_nLinkState.load(), 0);
    EXPECT_EQ(link.m_nIndex, -1);
    EXPECT_EQ(link.m_pQueue, &m_pDlg->m_pSendQueues[0]);
    ASSERT_TRUE(link.m_hStopEvent && link.m_hSendEvent && link.m_hNetEvent);

    EXPECT_EQ(m_pDlg->FindLinkIndex(0), -1);
    EXPECT_EQ(m_pDlg->FindLinkIndex(1), 0);  // one link: no lookup
    EXPECT_EQ(m_pDlg->FindLinkIndex(2), -1);
    m_pDlg->m_pConn[1].m_dwThreadId = std::this_thread::get_id();
    EXPECT_EQ(m_pDlg->FindLinkIndex(2), 1);

    link.m_hStopEvent->Set();
    m_pDlg->ReleaseLinkEntry(0);
    EXPECT_EQ(link.m_hSocket.load(), INVALID_SOCKET_T);
    vplat::Event* events[1] = {link.m_hStopEvent.get()};
    EXPECT_EQ(m_pEnv->WaitEventsOrSocket(events, 1, vplat::kNoSocket, 0), -1);  // cleared
}

TEST_F(LinkQueueTest, QueueFromBufferRejectsWhatTheCopyAreaCannotHold) {
    Link().m_nLinkState = 1;
    std::vector<uint8_t> big(kSendCopySize + 1, 0);
    EXPECT_EQ(m_pSession->QueueFromBuffer(big.data(), kSendCopySize + 1, 0), 0);
    EXPECT_EQ(m_pSession->QueueFromBuffer(big.data(), 20, 0), 0);
    EXPECT_EQ(m_pSession->QueueFromBuffer(big.data(), kSendCopySize, 0), 1);
}

}  // namespace
}  // namespace link_test
