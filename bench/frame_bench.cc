// Throughput of the manager frame's hot paths: the station's CRC-32 over a short report,
// a whole file packet and a whole receive buffer (next to a byte-at-a-time table loop and
// a plain copy of the same bytes, measured in the same run), the cutting of back-to-back
// frames out of a filled receive buffer as the link thread does it after a receive, the
// send queue's way for one file packet (finish, queue, take for the send pass), and the
// station's whole work for one acknowledgement of a violation-file packet without the
// socket (dispatch, reply handling, the next packet finished and queued, taken off the
// queue). The last two need a station root; they use the current directory (or
// VELMORA_ROOT), where no INI file is needed.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "app/velmora_dlg.h"
#include "commands/center_session.h"
#include "link/send_queue.h"
#include "link/tcp_common.h"
#include "transfer/packetizer.h"

namespace {

// A finished frame of nData data bytes.
std::vector<uint8_t> MakeFrame(int nData, int nCode = 51, int nPacket = 1) {
    if (nData < 0) nData = 0;
    const int nLength = kFrameOverhead + nData;
    std::vector<uint8_t> f(static_cast<size_t>(nLength), 0);
    char szHead[64] = {};
    std::snprintf(szHead, sizeof szHead, "%07d10%02d%07d%04dABCDE0", nLength, nCode, nData,
                  nPacket);
    f[0] = f[1] = kFrameStart;
    std::memcpy(f.data() + 2, szHead, 28);
    for (int k = 0; k < nData; ++k) f[static_cast<size_t>(30 + k)] = static_cast<uint8_t>(k * 7);
    CTcpCommon::PutFrameCrc(f.data(), nLength);
    f[static_cast<size_t>(nLength - 2)] = f[static_cast<size_t>(nLength - 1)] = kFrameEnd;
    return f;
}

std::vector<uint8_t> Counting(int64_t n) {
    std::vector<uint8_t> bytes(static_cast<size_t>(n));
    for (size_t k = 0; k < bytes.size(); ++k) bytes[k] = static_cast<uint8_t>(k);
    return bytes;
}

// 28: the range of a frame without data; 3028: of a full file packet; 10232: of the
// largest frame the link can send.
void BM_ComputeCrc32(benchmark::State& state) {
    const std::vector<uint8_t> bytes = Counting(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(ComputeCrc32(bytes.data(), static_cast<uint32_t>(bytes.size())));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_ComputeCrc32)->Arg(28)->Arg(3028)->Arg(10232);

// The reference: one table step per byte.
void BM_Crc32OneByteAtATime(benchmark::State& state) {
    uint32_t table[256];
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1u) ? (0xEDB88320u ^ (c >> 1)) : (c >> 1);
        table[n] = c;
    }
    const std::vector<uint8_t> bytes = Counting(state.range(0));
    for (auto _ : state) {
        uint32_t nReg = 0xFFFFFFFFu;
        for (uint8_t b : bytes) nReg = (nReg >> 8) ^ table[(nReg ^ b) & 0xFFu];
        benchmark::DoNotOptimize(nReg);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc32OneByteAtATime)->Arg(3028);

// The floor: copying the same bytes.
void BM_CopySameBytes(benchmark::State& state) {
    const std::vector<uint8_t> bytes = Counting(state.range(0));
    std::vector<uint8_t> to(bytes.size());
    for (auto _ : state) {
        std::memcpy(to.data(), bytes.data(), bytes.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_CopySameBytes)->Arg(3028);

// A receive buffer filled with frames of range(0) data bytes, cut and checked whole.
void BM_ExtractFrames(benchmark::State& state) {
    const std::vector<uint8_t> one = MakeFrame(static_cast<int>(state.range(0)));
    std::vector<uint8_t> buf;
    while (buf.size() + one.size() <= static_cast<size_t>(kRecvBufSize)) {
        buf.insert(buf.end(), one.begin(), one.end());
    }
    std::vector<uint8_t> frame(kFrameBufSize);
    int64_t nFrames = 0;
    for (auto _ : state) {
        int nOffset = 0;
        const int nFill = static_cast<int>(buf.size());
        while (nFill - nOffset > 0) {
            int nCapacity = nFill - nOffset;
            const int n = CTcpCommon::ExtractFrame(frame.data(), frame.size(), &nCapacity,
                                                   buf.data() + nOffset, nFill - nOffset);
            if (n <= 0) break;
            uint32_t nComputed = 0;
            uint32_t nStored = 0;
            CTcpCommon::CheckFrameCrc(frame.data(), n, &nComputed, &nStored);
            benchmark::DoNotOptimize(nComputed == nStored);
            nOffset += n;
            ++nFrames;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(buf.size()));
    state.SetItemsProcessed(nFrames);
}
BENCHMARK(BM_ExtractFrames)->Arg(0)->Arg(24)->Arg(2994);  // 2994: the longest frame taken

// One file packet through the send queue as the link thread queues and sends it: finished
// (length, CRC, trailer) and queued, then copied out and removed by the send pass.
void BM_QueueFramePeekRemove(benchmark::State& state) {
    CTcpClientComm comm;
    comm.m_nConnCount = 1;
    comm.InitLinkEntry(0);
    LinkEntry& link = comm.m_pConn[0];
    link.m_nLinkState = 1;
    link.m_dwThreadId = std::this_thread::get_id();  // this thread plays the link thread
    std::vector<uint8_t> frame = MakeFrame(3000);
    std::vector<uint8_t> out(kLinkSendBufSize);
    int nLength = 0;
    uint64_t nSeq = 0;
    for (auto _ : state) {
        comm.QueueFrame(frame.data(), static_cast<int>(frame.size()), 0);
        PeekOldestFrame(link, out.data(), static_cast<int>(out.size()), &nLength, &nSeq);
        RemoveSentFrame(link, nSeq);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_QueueFramePeekRemove);

// The station's work for one acknowledgement of a violation-file packet, on the thread
// that plays the link thread: the dispatcher checks and routes the reply, the transfer
// hands the next packet of an 894,000-byte file to QueueFrame, and the send pass takes it
// off the queue. The file never completes: after the 298th packet it starts over.
void BM_VolAckToNextPacket(benchmark::State& state) {
    CVelmoraDlg dlg;
    std::snprintf(dlg.m_pConn[0].m_szLocalId, sizeof dlg.m_pConn[0].m_szLocalId, "ABCDE");
    dlg.m_nConnCount = 1;
    dlg.InitLinkEntry(0);
    LinkEntry& link = dlg.m_pConn[0];
    link.m_nLinkState = 1;
    link.m_dwThreadId = std::this_thread::get_id();
    dlg.m_pSession = new CCenterSession(&dlg);
    CCenterSession& s = *dlg.m_pSession;
    s.Init();
    const std::vector<uint8_t> file = Counting(894000);
    const FilePacketPlan plan = {SEND_VOL,
                                 OP_VOL_FILE,
                                 &s.m_nVolTotalPacket,
                                 &s.m_nVolPacketInFlight,
                                 s.m_pVolPackets.get(),
                                 s.m_nMaxVolPackets,
                                 nullptr,
                                 nullptr};
    {
        std::lock_guard<std::recursive_mutex> lock(s.m_csSession);
        SendFilePackets(&s, plan, file.data(), static_cast<int>(file.size()), "1000.ABCDE", 0);
    }
    std::vector<std::vector<uint8_t>> acks;
    for (int k = 0; k < 298; ++k) {
        std::vector<uint8_t> ack = MakeFrame(1, 51, k);
        ack[kFrameHeader] = PACKET_OK;
        CTcpCommon::PutFrameCrc(ack.data(), static_cast<int>(ack.size()));
        acks.push_back(ack);
    }
    std::vector<uint8_t> out(kLinkSendBufSize);
    int nLength = 0;
    uint64_t nSeq = 0;
    while (PeekOldestFrame(link, out.data(), static_cast<int>(out.size()), &nLength, &nSeq))
        RemoveSentFrame(link, nSeq);  // the info packet
    size_t k = 0;
    for (auto _ : state) {
        dlg.TcpMessageRecvFromCenter(acks[k].data(), static_cast<int>(acks[k].size()), 0);
        PeekOldestFrame(link, out.data(), static_cast<int>(out.size()), &nLength, &nSeq);
        RemoveSentFrame(link, nSeq);
        if (++k == acks.size()) {
            k = 0;
            s.m_nVolPacketInFlight = 0;
        }
    }
    if (s.m_nSendKind != SEND_VOL || nLength != 3036) state.SkipWithError("the transfer broke off");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_VolAckToNextPacket);

}  // namespace

BENCHMARK_MAIN();
