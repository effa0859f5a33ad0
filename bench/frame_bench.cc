// Throughput of the manager frame's hot paths: the station's CRC-32 over a short report,
// a full file packet and a whole receive buffer, and the cutting of back-to-back frames
// out of a filled receive buffer as the link thread does it after a receive.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "link/tcp_common.h"

namespace {

// A finished frame of nData data bytes.
std::vector<uint8_t> MakeFrame(int nData) {
    if (nData < 0) nData = 0;
    const int nLength = kFrameOverhead + nData;
    std::vector<uint8_t> f(static_cast<size_t>(nLength), 0);
    char szHead[64] = {};
    std::snprintf(szHead, sizeof szHead, "%07d10%02d%07d%04dABCDE0", nLength, 51, nData, 1);
    f[0] = f[1] = kFrameStart;
    std::memcpy(f.data() + 2, szHead, 28);
    for (int k = 0; k < nData; ++k) f[static_cast<size_t>(30 + k)] = static_cast<uint8_t>(k * 7);
    CTcpCommon::PutFrameCrc(f.data(), nLength);
    f[static_cast<size_t>(nLength - 2)] = f[static_cast<size_t>(nLength - 1)] = kFrameEnd;
    return f;
}

void BM_ComputeCrc32(benchmark::State& state) {
    std::vector<uint8_t> bytes(static_cast<size_t>(state.range(0)));
    for (size_t k = 0; k < bytes.size(); ++k) bytes[k] = static_cast<uint8_t>(k);
    for (auto _ : state) {
        benchmark::DoNotOptimize(ComputeCrc32(bytes.data(), static_cast<uint32_t>(bytes.size())));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_ComputeCrc32)->Arg(28)->Arg(3022)->Arg(10232);

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

}  // namespace

BENCHMARK_MAIN();
